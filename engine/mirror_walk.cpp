#include "engine/mirror_walk.h"

#include <sys/stat.h>

#include <algorithm>
#include <cerrno>
#include <memory>
#include <numeric>
#include <optional>
#include <vector>

#include "base/display_text.h"
#include "base/utf8.h"
#include "engine/local_scan.h"
#include "engine/parallel_uploads.h"
#include "engine/remote_folders.h"
#include "engine/remote_pruning.h"
#include "engine/remote_site.h"
#include "engine/tree_reader.h"
#include "engine/walk_uploads.h"
#include "ftp/name_codec.h"
#include "resources/string_table.h"
#include "settings/destinations.h"

namespace velmorix {
namespace {

constexpr ListingErrorBoxes kWalkListingBoxes = {"ERROR AT FTP FINDFIRSTFILE!",
                                                 "ERROR AT FTP FINDNEXTFILE!"};

// What the walk carries from one folder pair down to the next.
struct Walk {
  WalkContext context;
  // The local folders from the source folder down to the one being worked
  // on. A linked folder that is one of them would be walked for ever.
  std::vector<LocalFolderId> ancestors;
};

// Pushes a folder onto the walk's ancestors for the lifetime of the object.
class AncestorScope {
 public:
  AncestorScope(Walk& walk, LocalFolderId id) : walk_(walk) { walk_.ancestors.push_back(id); }
  ~AncestorScope() { walk_.ancestors.pop_back(); }
  AncestorScope(const AncestorScope&) = delete;
  AncestorScope& operator=(const AncestorScope&) = delete;

 private:
  Walk& walk_;
};

// False, after a console line, when the local entry `name` cannot be
// published under its name: it is no valid UTF-8, or the server's name
// encoding cannot write it. Such an entry is neither uploaded nor created
// nor entered, and every remote entry it may stand for is kept (its own
// name, and what the name would be had it been written as nearly as the
// encoding allows), so that the pruning never deletes it; the run goes on.
bool CanPublishName(const WalkContext& walk, EntryTable& table, const std::string& localDir,
                    const std::string& name) {
  if (!IsValidUtf8(name)) {
    walk.output.Report(kOutputConsole, "Skip name not in UTF-8 on Local HDD : %s",
                       EscapeInvalidUtf8(JoinPath(localDir, name)).c_str());
  } else if (!walk.site.CanWriteName(name)) {
    const std::string encoding = walk.site.NameEncodingLabel();
    walk.output.Report(kOutputConsole, "Skip name not writable in %s on FTP : %s", encoding.c_str(),
                       EscapeInvalidUtf8(JoinPath(localDir, name)).c_str());
  } else {
    return true;
  }
  MarkRemoteMatches(table, name);
  MarkPossibleNamesakes(table, ftp::NearestServerName(walk.site.NameEncodingInUse(), name));
  return false;
}

RunResult MirrorFolder(Walk& walk, const std::string& localDir, const std::string& remoteDir,
                       int depth);

// An upload on another connection has failed: the run ends with the box of
// a failed upload once the others under way have ended.
RunResult EndAfterFailedUpload(const WalkContext& context) {
  return EndParallelUploads(context, RunResult::kCompleted);
}

bool UploadFailedMeanwhile(const WalkContext& context) {
  return context.uploads != nullptr && context.uploads->Failed();
}

// Step 9 for a local folder: create or find its remote counterpart and
// descend. Returns kCompleted also when the folder is passed over.
RunResult MirrorSubFolder(Walk& walk, EntryTable& table, int local, const std::string& localDir,
                          const std::string& remoteDir, int depth) {
  const WalkContext& context = walk.context;
  RunOutput& output = context.output;
  const std::string& name = table.localName[local];
  const std::string localChild = JoinPath(localDir, name);
  if (!CanPublishName(context, table, localDir, name)) {
    return RunResult::kCompleted;
  }
  int match = FindRemoteMatch(table, name);
  if (match >= 0 && table.remoteIsDir[match]) {
    if (RunResult r = ConfirmRemoteFolders(context, table, remoteDir, kWalkListingBoxes);
        r != RunResult::kCompleted) {
      return r;
    }
  }
  if (match >= 0 && table.remoteIsLink[match]) {
    // Whatever the link points to is not this folder's to publish into.
    output.Report(kOutputConsole, "Skip link on FTP : %s/%s", remoteDir.c_str(),
                  table.remoteName[match].c_str());
    MarkRemoteMatches(table, name);
    return RunResult::kCompleted;
  }

  struct stat status;
  if (stat(localChild.c_str(), &status) == 0) {
    const LocalFolderId id{status.st_dev, status.st_ino};
    if (std::find(walk.ancestors.begin(), walk.ancestors.end(), id) != walk.ancestors.end()) {
      output.Report(kOutputConsole, "Skip directory loop on Local HDD : %s", localChild.c_str());
      MarkRemoteMatches(table, name);
      return RunResult::kCompleted;
    }
  }
  if (depth >= kMaxFolderDepth) {
    output.Fail({.message = "ERROR AT LOCAL DIRECTORY TOO DEEP!",
                 .path = localChild,
                 .cause = localChild + " : " + TooDeepText()});
    return RunResult::kFailed;
  }

  std::string remoteChild;
  if (match < 0) {
    remoteChild = JoinPath(remoteDir, name);
    output.AnnounceChange(ChangeKind::kCreateFolder, ChangeReason::kNew, remoteChild, {});
    if (const FtpStatus status = context.site.CreateFolder(remoteChild); !status.ok()) {
      output.Fail(CommandErrorText(strings::kTagCreateDirectory), remoteChild, status);
      return RunResult::kFailed;
    }
    output.progress.FolderCreated();
  } else {
    remoteChild = JoinPath(remoteDir, table.remoteName[match]);
  }
  output.Report(kOutputConsole, "Down to a directory %s", remoteChild.c_str());
  if (RunResult r = MirrorFolder(walk, localChild, remoteChild, depth + 1);
      r != RunResult::kCompleted) {
    return r;
  }
  output.Report(kOutputConsole, "Change current directory to %s", remoteDir.c_str());
  if (const FtpStatus status = context.site.ChangeFolder(remoteDir); !status.ok()) {
    output.Fail(CommandErrorText(strings::kTagChangeDirectory), remoteDir, status);
    return RunResult::kFailed;
  }
  if (match >= 0)
    MarkRemoteMatches(table, name);
  return RunResult::kCompleted;
}

ChangeReason ReasonFor(UploadReason reason) {
  switch (reason) {
    case UploadReason::kNewer:
      return ChangeReason::kNewer;
    case UploadReason::kReplace:
      return ChangeReason::kReplace;
    case UploadReason::kSizeDiffers:
      return ChangeReason::kSizeDiffers;
    default:
      return ChangeReason::kNew;
  }
}

// Step 9 for a local file: upload it when it is missing or newer.
RunResult MirrorFile(const WalkContext& context, EntryTable& table, int local,
                     const std::string& localDir, const std::string& remoteDir) {
  RunOutput& output = context.output;
  const std::string& name = table.localName[local];
  const int64_t size = table.localSize[local];
  const int match = FindRemoteMatch(table, name);
  if (IgnoresFile(context.rules, name)) {
    MarkRemoteMatches(table, name);
    return RunResult::kCompleted;
  }
  if (!CanPublishName(context, table, localDir, name)) {
    output.progress.FileDone(size, false);
    return RunResult::kCompleted;
  }
  if (table.localIsSpecial[local]) {
    // Reading a FIFO would wait for a writer, a device would never end.
    output.Report(kOutputConsole, "Skip special file on Local HDD : %s",
                  JoinPath(localDir, name).c_str());
    MarkRemoteMatches(table, name);
    output.progress.FileDone(size, false);
    return RunResult::kCompleted;
  }
  const UploadReason reason = DecideUpload(
      context.rules, table.localTime[local], size,
      match >= 0
          ? std::optional<ListedFile>(ListedFile{table.remoteTime[match], table.remoteSize[match],
                                                 table.remoteTimeKind[match]})
          : std::nullopt);
  if (reason == UploadReason::kUpToDate) {
    output.progress.FileDone(size, false);
  } else {
    if (context.uploads != nullptr) {
      if (context.uploads->Failed())
        return EndAfterFailedUpload(context);
      if (std::string notice = context.uploads->TakeNotice(); !notice.empty()) {
        output.statusLine = std::move(notice);
        output.Output(kOutputConsole);
      }
    }
    output.AnnounceChange(ChangeKind::kUpload, ReasonFor(reason), remoteDir, name);
    ParallelUpload upload{JoinPath(localDir, name), remoteDir, name, size, match >= 0, {}};
    // Another connection sends it, when one is free, and counts it in when
    // it has gone.
    if (context.uploads == nullptr || !context.uploads->TryStart(upload)) {
      if (RunResult r = SendOnWalkConnection(context, upload); r != RunResult::kCompleted)
        return r;
    }
  }
  if (match >= 0)
    MarkRemoteMatches(table, name);
  return RunResult::kCompleted;
}

RunResult MirrorFolder(Walk& walk, const std::string& localDir, const std::string& remoteDir,
                       int depth) {
  const WalkContext& context = walk.context;
  RunOutput& output = context.output;
  const std::unique_ptr<EntryTable> table = NewEntryTable();
  if (RunResult r = ScanLocalDirectory(context, *table, localDir); r != RunResult::kCompleted) {
    return r;
  }
  if (output.CancelRequested())
    return RunResult::kCanceled;
  // A folder listed again (local "Sub" and "sub" are both the server's
  // "sub") must show what was sent into it before.
  if (RunResult r = SettleUploads(context, remoteDir, OwnUploads::kAsFarAsCome);
      r != RunResult::kCompleted)
    return r;
  if (RunResult r = ScanRemoteDirectory(context, *table, remoteDir); r != RunResult::kCompleted) {
    return r;
  }
  if (output.CancelRequested())
    return RunResult::kCanceled;
  LeaveExcludedAlone(context.rules, FolderBelowTop(localDir, depth), *table);

  output.Report(kOutputConsole, "Change current directory FTP = %s", remoteDir.c_str());
  // Local files are opened by their full path, so the process's current
  // folder (shared with the window thread) is left alone; only the server's
  // current folder follows the walk, for the bare names of the uploads.
  if (const FtpStatus status = context.site.ChangeFolder(remoteDir); !status.ok()) {
    output.Fail(CommandErrorText(strings::kTagChangeDirectory), remoteDir, status);
    return RunResult::kFailed;
  }
  output.Report(kOutputConsole, "Matching from Local HDD to FTP = %s", remoteDir.c_str());

  struct stat status;
  std::optional<AncestorScope> ancestor;
  if (stat(localDir.c_str(), &status) == 0)
    ancestor.emplace(walk, LocalFolderId{status.st_dev, status.st_ino});

  for (int i = 0; i < table->localCount; ++i) {
    if (output.CancelRequested())
      return RunResult::kCanceled;
    if (UploadFailedMeanwhile(context))
      return EndAfterFailedUpload(context);
    RunResult result = RunResult::kCompleted;
    if (table->localIsDir[i]) {
      if (SkipsLocalFolder(context.rules, table->localName[i]))
        continue;
      result = MirrorSubFolder(walk, *table, i, localDir, remoteDir, depth);
    } else {
      result = MirrorFile(context, *table, i, localDir, remoteDir);
    }
    if (result != RunResult::kCompleted)
      return result;
  }

  if (context.rules.options.deleteOnServer) {
    if (UploadFailedMeanwhile(context))
      return EndAfterFailedUpload(context);
    if (RunResult r = PruneRemoteDirectory(context, *table, remoteDir, depth);
        r != RunResult::kCompleted) {
      return r;
    }
  }
  RemoveLeftovers(context, *table, remoteDir);
  return RunResult::kCompleted;
}

}  // namespace

RunResult ScanLocalDirectory(const WalkContext& context, EntryTable& table,
                             const std::string& localDir) {
  RunOutput& output = context.output;
  std::optional<LocalScan> read =
      context.tree != nullptr ? context.tree->Local(localDir) : std::nullopt;
  if (!read)
    read = ScanLocalFolder(localDir);
  if (read->outcome == LocalScan::Outcome::kCannotOpen) {
    output.FailLocal("ERROR AT LOCAL FILE FINDFIRSTFILE!", localDir, read->error);
    return RunResult::kFailed;
  }
  output.Report(kOutputConsole, "Serching Local HDD processing...at %s", localDir.c_str());
  if (read->outcome == LocalScan::Outcome::kBrokeOff) {
    output.FailLocal("ERROR AT LOCAL FILE FINDNEXTFILE!", localDir, read->error);
    return RunResult::kFailed;
  }
  EntryTable& entries = read->entries;
  table.localCount = entries.localCount;
  table.localName = std::move(entries.localName);
  table.localTime = std::move(entries.localTime);
  table.localSize = std::move(entries.localSize);
  table.localIsDir = std::move(entries.localIsDir);
  table.localIsSpecial = std::move(entries.localIsSpecial);
  return RunResult::kCompleted;
}

RunResult ScanRemoteDirectory(const WalkContext& context, EntryTable& table,
                              const std::string& remoteDir) {
  RunOutput& output = context.output;
  // MLSD may list a followed link as a folder; LIST shows links as links.
  table.remoteFoldersConfirmed = !context.site.ListsWithMlsd();
  std::unique_ptr<RemoteListing> listing;
  RemoteEntry entry;
  FtpStatus status =
      context.site.OpenListing(remoteDir, ListingCommand::kPreferred, listing, entry);
  if (!status.ok()) {
    if (status.kind == FtpErrorKind::kNoMoreFiles)
      return RunResult::kCompleted;
    if (status.kind == FtpErrorKind::kCanceled) {
      output.CancelRequested();  // the request has been acted on
      return RunResult::kCanceled;
    }
    output.Fail("ERROR AT FTP FINDFIRSTFILE!", remoteDir, status);
    return RunResult::kFailed;
  }
  output.Report(kOutputConsole, "Serching FTP Server processing... URL = %s,FTP= %s",
                context.rules.serverName.c_str(), remoteDir.c_str());
  for (;;) {
    if (output.CancelRequested()) {
      listing->Close();
      return RunResult::kCanceled;
    }
    AddRemoteEntry(table, entry);
    status = listing->Next(entry);
    if (status.kind == FtpErrorKind::kNoMoreFiles) {
      listing->Close();
      return RunResult::kCompleted;
    }
    if (status.kind == FtpErrorKind::kCanceled) {
      output.CancelRequested();
      return RunResult::kCanceled;
    }
    if (!status.ok())
      break;
  }
  // Close the listing before the box, so that the server is not left sending
  // while the user reads it.
  listing->Close();
  output.Fail("ERROR AT FTP FINDNEXTFILE!", remoteDir, status);
  return RunResult::kFailed;
}

RunResult MirrorDirectory(const WalkContext& context, const std::string& localDir,
                          const std::string& remoteDir) {
  Walk walk{context, {}};
  return MirrorFolder(walk, localDir, remoteDir, 0);
}

}  // namespace velmorix
