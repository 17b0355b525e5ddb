#include "engine/mirror_walk.h"

#include <dirent.h>
#include <fcntl.h>
#include <sys/stat.h>

#include <algorithm>
#include <cerrno>
#include <memory>
#include <optional>
#include <vector>

#include "base/display_text.h"
#include "base/utf8.h"
#include "engine/remote_folders.h"
#include "engine/remote_pruning.h"
#include "ftp/name_codec.h"
#include "resources/string_table.h"

namespace velmorix {
namespace {

// The server's clock of a destination marked with the time difference runs
// nine hours ahead of the local one.
constexpr int64_t kTimeDifferenceSeconds = 32400;

constexpr ListingErrorBoxes kWalkListingBoxes = {"ERROR AT FTP FINDFIRSTFILE!",
                                                 "ERROR AT FTP FINDNEXTFILE!"};

struct DirCloser {
  void operator()(DIR* dir) const { closedir(dir); }
};
using DirHandle = std::unique_ptr<DIR, DirCloser>;

// A local folder as the file system knows it, whatever path led to it.
struct LocalFolderId {
  dev_t device = 0;
  ino_t inode = 0;
  bool operator==(const LocalFolderId&) const = default;
};

// What the walk carries from one folder pair down to the next.
struct Walk {
  TransferJob& job;
  // The local folders from the source folder down to the one being worked
  // on. A linked folder that is one of them would be walked for ever.
  std::vector<LocalFolderId> ancestors;
};

bool ShouldUpload(const TransferJob& job, const EntryTable& table, int local, int remote) {
  if (remote < 0 || !job.profile.options.onlyNewer)
    return true;
  int64_t remoteTime = table.remoteTime[remote];
  if (job.profile.timeDifference)
    remoteTime -= kTimeDifferenceSeconds;
  return table.localTime[local] > remoteTime;
}

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
// nor entered, and the remote entries of its name are kept, so that the
// pruning never deletes what it may stand for; the run goes on.
bool CanPublishName(TransferJob& job, EntryTable& table, const std::string& localDir,
                    const std::string& name) {
  if (!IsValidUtf8(name)) {
    job.Report(kOutputConsole, "Skip name not in UTF-8 on Local HDD : %s",
               EscapeInvalidUtf8(JoinPath(localDir, name)).c_str());
  } else if (!job.connection.CanWriteName(name)) {
    const std::string encoding(ftp::NameEncodingLabel(job.connection.NameEncodingInUse()));
    job.Report(kOutputConsole, "Skip name not writable in %s on FTP : %s", encoding.c_str(),
               EscapeInvalidUtf8(JoinPath(localDir, name)).c_str());
  } else {
    return true;
  }
  MarkRemoteMatches(table, name);
  return false;
}

RunResult MirrorFolder(Walk& walk, const std::string& localDir, const std::string& remoteDir,
                       int depth);

// Step 9 for a local folder: create or find its remote counterpart and
// descend. Returns kCompleted also when the folder is passed over.
RunResult MirrorSubFolder(Walk& walk, EntryTable& table, int local, const std::string& localDir,
                          const std::string& remoteDir, int depth) {
  TransferJob& job = walk.job;
  const std::string& name = table.localName[local];
  if (!CanPublishName(job, table, localDir, name))
    return RunResult::kCompleted;
  int match = FindRemoteMatch(table, name);
  if (match >= 0 && table.remoteIsDir[match]) {
    if (RunResult r = ConfirmRemoteFolders(job, table, remoteDir, kWalkListingBoxes);
        r != RunResult::kCompleted) {
      return r;
    }
  }
  if (match >= 0 && table.remoteIsLink[match]) {
    // Whatever the link points to is not this folder's to publish into.
    job.Report(kOutputConsole, "Skip link on FTP : %s/%s", remoteDir.c_str(),
               table.remoteName[match].c_str());
    MarkRemoteMatches(table, name);
    return RunResult::kCompleted;
  }

  const std::string localChild = JoinPath(localDir, name);
  struct stat status;
  if (stat(localChild.c_str(), &status) == 0) {
    const LocalFolderId id{status.st_dev, status.st_ino};
    if (std::find(walk.ancestors.begin(), walk.ancestors.end(), id) != walk.ancestors.end()) {
      job.Report(kOutputConsole, "Skip directory loop on Local HDD : %s", localChild.c_str());
      MarkRemoteMatches(table, name);
      return RunResult::kCompleted;
    }
  }
  if (depth >= kMaxFolderDepth) {
    job.ShowError("ERROR AT LOCAL DIRECTORY TOO DEEP!");
    return RunResult::kFailed;
  }

  std::string remoteChild;
  if (match < 0) {
    remoteChild = JoinPath(remoteDir, name);
    job.Report(kOutputConsoleAndLog, "Create Directory on FTP : %s", remoteChild.c_str());
    if (!job.connection.CreateFolder(remoteChild).ok()) {
      job.ShowError(CommandErrorText(strings::kTagCreateDirectory));
      return RunResult::kFailed;
    }
  } else {
    remoteChild = JoinPath(remoteDir, table.remoteName[match]);
  }
  job.Report(kOutputConsole, "Down to a directory %s", remoteChild.c_str());
  if (RunResult r = MirrorFolder(walk, localChild, remoteChild, depth + 1);
      r != RunResult::kCompleted) {
    return r;
  }
  job.Report(kOutputConsole, "Change current directory to %s", remoteDir.c_str());
  if (!job.connection.ChangeFolder(remoteDir).ok()) {
    job.ShowError(CommandErrorText(strings::kTagChangeDirectory));
    return RunResult::kFailed;
  }
  if (match >= 0)
    MarkRemoteMatches(table, name);
  return RunResult::kCompleted;
}

// Step 9 for a local file: upload it when it is missing or newer.
RunResult MirrorFile(TransferJob& job, EntryTable& table, int local, const std::string& localDir,
                     const std::string& remoteDir) {
  const std::string& name = table.localName[local];
  const int match = FindRemoteMatch(table, name);
  if (job.profile.options.ignoreExeFiles && HasExeExtension(name)) {
    MarkRemoteMatches(table, name);
    return RunResult::kCompleted;
  }
  if (!CanPublishName(job, table, localDir, name))
    return RunResult::kCompleted;
  if (table.localIsSpecial[local]) {
    // Reading a FIFO would wait for a writer, a device would never end.
    job.Report(kOutputConsole, "Skip special file on Local HDD : %s",
               JoinPath(localDir, name).c_str());
    MarkRemoteMatches(table, name);
    return RunResult::kCompleted;
  }
  if (ShouldUpload(job, table, local, match)) {
    job.Report(kOutputConsoleAndLog, "Copy file to FTP : %s/%s", remoteDir.c_str(), name.c_str());
    const FtpStatus status = job.connection.PutFile(JoinPath(localDir, name), name);
    if (status.kind == FtpErrorKind::kCanceled) {
      job.CancelRequested();  // the request has been acted on
      // The server keeps what arrived: the log must say that it is not all.
      job.Report(kOutputConsoleAndLog, "Copy file to FTP canceled : %s/%s", remoteDir.c_str(),
                 name.c_str());
      return RunResult::kCanceled;
    }
    if (!status.ok()) {
      job.ShowError(CommandErrorText(strings::kTagTransferFile));
      return RunResult::kFailed;
    }
  }
  if (match >= 0)
    MarkRemoteMatches(table, name);
  return RunResult::kCompleted;
}

RunResult MirrorFolder(Walk& walk, const std::string& localDir, const std::string& remoteDir,
                       int depth) {
  TransferJob& job = walk.job;
  const std::unique_ptr<EntryTable> table = NewEntryTable();
  if (RunResult r = ScanLocalDirectory(job, *table, localDir); r != RunResult::kCompleted) {
    return r;
  }
  if (job.CancelRequested())
    return RunResult::kCanceled;
  if (RunResult r = ScanRemoteDirectory(job, *table, remoteDir); r != RunResult::kCompleted) {
    return r;
  }
  if (job.CancelRequested())
    return RunResult::kCanceled;

  job.Report(kOutputConsole, "Change current directory FTP = %s", remoteDir.c_str());
  // Local files are opened by their full path, so the process's current
  // folder (shared with the window thread) is left alone; only the server's
  // current folder follows the walk, for the bare names of the uploads.
  if (!job.connection.ChangeFolder(remoteDir).ok()) {
    job.ShowError(CommandErrorText(strings::kTagChangeDirectory));
    return RunResult::kFailed;
  }
  job.Report(kOutputConsole, "Matching from Local HDD to FTP = %s", remoteDir.c_str());

  struct stat status;
  std::optional<AncestorScope> ancestor;
  if (stat(localDir.c_str(), &status) == 0)
    ancestor.emplace(walk, LocalFolderId{status.st_dev, status.st_ino});

  const TransferOptions& options = job.profile.options;
  for (int i = 0; i < table->localCount; ++i) {
    if (job.CancelRequested())
      return RunResult::kCanceled;
    const std::string& name = table->localName[i];
    RunResult result = RunResult::kCompleted;
    if (table->localIsDir[i]) {
      if (options.skipFrontPageFolders && !name.empty() && name[0] == '_')
        continue;
      if (options.skipImagesFolder && IsImagesFolderName(name))
        continue;
      result = MirrorSubFolder(walk, *table, i, localDir, remoteDir, depth);
    } else {
      result = MirrorFile(job, *table, i, localDir, remoteDir);
    }
    if (result != RunResult::kCompleted)
      return result;
  }

  if (options.deleteOnServer) {
    if (RunResult r = PruneRemoteDirectory(job, *table, remoteDir, depth);
        r != RunResult::kCompleted) {
      return r;
    }
  }
  return RunResult::kCompleted;
}

}  // namespace

RunResult ScanLocalDirectory(TransferJob& job, EntryTable& table, const std::string& localDir) {
  DirHandle dir(opendir(localDir.c_str()));
  if (!dir) {
    job.ShowError("ERROR AT LOCAL FILE FINDFIRSTFILE!");
    return RunResult::kFailed;
  }
  job.Report(kOutputConsole, "Serching Local HDD processing...at %s", localDir.c_str());
  const int dirFd = dirfd(dir.get());
  for (;;) {
    errno = 0;
    const dirent* entry = readdir(dir.get());
    if (entry == nullptr) {
      if (errno == 0)
        return RunResult::kCompleted;
      break;
    }
    const std::string_view name = entry->d_name;
    if (name == "." || name == "..")
      continue;
    if (table.localCount == kMaxEntries)
      break;

    // The time and kind of what a symbolic link points to; a broken link
    // keeps its own time and counts as a file, whose upload then fails.
    int64_t time = 0;
    bool isDir = false;
    bool isSpecial = false;
    struct stat status;
    if (fstatat(dirFd, entry->d_name, &status, 0) == 0) {
      time = status.st_mtime;
      isDir = S_ISDIR(status.st_mode);
      isSpecial = !isDir && !S_ISREG(status.st_mode);
    } else if (fstatat(dirFd, entry->d_name, &status, AT_SYMLINK_NOFOLLOW) == 0) {
      time = status.st_mtime;
    } else {
      isDir = entry->d_type == DT_DIR;  // it vanished meanwhile; its upload will say so
    }
    const int i = table.localCount++;
    table.localName[i] = name;
    table.localTime[i] = time;
    table.localIsDir[i] = isDir;
    table.localIsSpecial[i] = isSpecial;
  }
  job.ShowError("ERROR AT LOCAL FILE FINDNEXTFILE!");
  return RunResult::kFailed;
}

RunResult ScanRemoteDirectory(TransferJob& job, EntryTable& table, const std::string& remoteDir) {
  // MLSD may list a followed link as a folder; LIST shows links as links.
  table.remoteFoldersConfirmed = !job.connection.ListsWithMlsd();
  FtpListing listing;
  RemoteEntry entry;
  FtpStatus status = job.connection.FindFirst(remoteDir, listing, entry);
  if (!status.ok()) {
    if (status.kind == FtpErrorKind::kNoMoreFiles)
      return RunResult::kCompleted;
    if (status.kind == FtpErrorKind::kCanceled) {
      job.CancelRequested();  // the request has been acted on
      return RunResult::kCanceled;
    }
    job.ShowError("ERROR AT FTP FINDFIRSTFILE!");
    return RunResult::kFailed;
  }
  job.Report(kOutputConsole, "Serching FTP Server processing... URL = %s,FTP= %s",
             job.profile.url.c_str(), remoteDir.c_str());
  for (;;) {
    if (job.CancelRequested()) {
      listing.Close();
      return RunResult::kCanceled;
    }
    if (!AddRemoteEntry(table, entry))
      break;
    status = listing.Next(entry);
    if (status.kind == FtpErrorKind::kNoMoreFiles) {
      listing.Close();
      return RunResult::kCompleted;
    }
    if (status.kind == FtpErrorKind::kCanceled) {
      job.CancelRequested();
      return RunResult::kCanceled;
    }
    if (!status.ok())
      break;
  }
  // Close the listing before the box, so that the server is not left sending
  // while the user reads it.
  listing.Close();
  job.ShowError("ERROR AT FTP FINDNEXTFILE!");
  return RunResult::kFailed;
}

RunResult MirrorDirectory(TransferJob& job, const std::string& localDir,
                          const std::string& remoteDir) {
  Walk walk{job, {}};
  return MirrorFolder(walk, localDir, remoteDir, 0);
}

}  // namespace velmorix
