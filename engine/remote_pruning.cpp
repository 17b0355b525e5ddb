#include "engine/remote_pruning.h"

#include <algorithm>
#include <utility>

#include "engine/listing_read_ahead.h"
#include "engine/remote_folders.h"
#include "engine/remote_site.h"
#include "engine/walk_uploads.h"
#include "ftp/name_codec.h"
#include "resources/string_table.h"

namespace velmorix {
namespace {

constexpr ListingErrorBoxes kDeleteListingBoxes = {"ERROR AT FTP FINDFIRST FILE IN DELETE!",
                                                   "ERROR AT FTP FINDNEXT FILE IN DELETE!"};

// Reads the current remote folder into the remote side of `table`, with the
// next entry read ahead (ReadListingAhead): the cancel request is tested
// before each entry but the last, so a listing whose last entry has been
// read always completes.
RunResult CollectRemoteEntries(const WalkContext& context, EntryTable& table,
                               const std::string& folder, bool& empty) {
  RunOutput& output = context.output;
  empty = false;
  table.remoteFoldersConfirmed = !context.site.ListsWithMlsd();
  std::unique_ptr<RemoteListing> listing;
  RemoteEntry entry;
  const FtpStatus first = context.site.OpenListing("", ListingCommand::kPreferred, listing, entry);
  if (!first.ok()) {
    if (first.kind == FtpErrorKind::kNoMoreFiles) {
      empty = true;
      return RunResult::kCompleted;
    }
    if (first.kind == FtpErrorKind::kCanceled) {
      output.CancelRequested();  // the request has been acted on
      return RunResult::kCanceled;
    }
    output.Fail(kDeleteListingBoxes.cannotOpen, folder, first);
    return RunResult::kFailed;
  }
  output.Report(kOutputConsole, "Searching files and directories at %s", folder.c_str());
  FtpStatus broke;
  const RunResult result = ReadListingAhead(
      output, *listing, std::move(entry),
      [&table](const RemoteEntry& each) {
        AddRemoteEntry(table, each);
        return true;
      },
      &broke);
  if (result == RunResult::kFailed)
    output.Fail(kDeleteListingBoxes.brokeOff, folder, broke);
  return result;
}

// Asks before an unmatched entry is deleted. Returns kCompleted to go on
// (`skip` tells whether the user said No), or what the run ends with.
RunResult Confirm(RunOutput& output, const std::string& question, bool& skip) {
  skip = false;
  switch (output.Ask(question)) {
    case Answer::kYes:
      return RunResult::kCompleted;
    case Answer::kNo:
      skip = true;
      return RunResult::kCompleted;
    case Answer::kInterrupted:
      return RunResult::kCanceled;
    case Answer::kCancel:
      break;
  }
  output.Report(kOutputConsoleAndLog, "Process is Terminated by User");
  output.endedByAnswer = true;
  return RunResult::kFailed;
}

// False, after a console line, for a server entry whose name could not be
// read: nothing can name it exactly, and it is never deleted.
bool CanTouch(const WalkContext& context, const std::string& folder, const std::string& name) {
  if (ftp::IsReadableServerName(name))
    return true;
  const std::string encoding = context.site.NameEncodingLabel();
  context.output.Report(kOutputConsole, "Skip name not readable in %s on FTP : %s/%s",
                        encoding.c_str(), folder.c_str(), name.c_str());
  return false;
}

}  // namespace

void RemoveLeftovers(const WalkContext& context, const EntryTable& table,
                     const std::string& folder) {
  if (table.leftovers.empty() || !context.site.ChangeFolder(folder).ok())
    return;
  for (const std::string& name : table.leftovers) {
    const bool removed = context.site.DeleteFile(name).ok();
    context.output.Report(kOutputConsole,
                          removed ? "Delete temporary file on FTP : %s/%s"
                                  : "Delete temporary file on FTP failed : %s/%s",
                          folder.c_str(), name.c_str());
  }
}

RunResult RemoveRemoteTree(const WalkContext& context, const std::string& folder, int depth,
                           bool& kept) {
  RunOutput& output = context.output;
  if (depth > kMaxFolderDepth) {
    output.Fail({.message = "ERROR AT FTP DIRECTORY TOO DEEP IN DELETE!",
                 .path = folder,
                 .cause = folder + " : " + TooDeepText()});
    return RunResult::kFailed;
  }
  output.Report(kOutputConsole, "Change current directory to %s", folder.c_str());
  if (const FtpStatus status = context.site.ChangeFolder(folder); !status.ok()) {
    output.Fail(CommandErrorText(strings::kTagChangeDirectory), folder, status);
    return RunResult::kFailed;
  }
  const std::unique_ptr<EntryTable> table = NewEntryTable();
  bool empty = false;
  if (RunResult r = CollectRemoteEntries(context, *table, folder, empty);
      r != RunResult::kCompleted || empty) {
    return r;
  }
  if (RunResult r = ConfirmRemoteFolders(context, *table, "", kDeleteListingBoxes);
      r != RunResult::kCompleted) {
    return r;
  }
  LeaveExcludedAlone(context.rules, FolderBelowTop(folder, depth), *table);

  for (int i = 0; i < table->remoteCount; ++i) {
    if (output.CancelRequested())
      return RunResult::kCanceled;
    const std::string& name = table->remoteName[i];
    if (table->remoteMatched[i] || !CanTouch(context, folder, name)) {
      kept = true;
      continue;
    }
    if (table->remoteIsDir[i]) {
      output.Report(kOutputConsole, "Down directory on FTP to %s/%s", folder.c_str(), name.c_str());
      bool keptBelow = false;
      if (RunResult r = RemoveRemoteTree(context, JoinPath(folder, name), depth + 1, keptBelow);
          r != RunResult::kCompleted) {
        return r;
      }
      // The line names the folder just emptied; the folder entered is its parent.
      output.Report(kOutputConsole, "Change current directory to %s/%s", folder.c_str(),
                    name.c_str());
      if (const FtpStatus status = context.site.ChangeFolder(folder); !status.ok()) {
        output.Fail(CommandErrorText(strings::kTagChangeDirectory), folder, status);
        return RunResult::kFailed;
      }
      if (keptBelow) {
        kept = true;  // what is left in it keeps it
        continue;
      }
      output.AnnounceChange(ChangeKind::kRemoveFolder, ChangeReason::kNotLocal, folder, name);
      if (const FtpStatus status = context.site.RemoveFolder(name); !status.ok()) {
        output.Fail(CommandErrorText(strings::kTagRemoveDirectory), JoinPath(folder, name), status);
        return RunResult::kFailed;
      }
      output.progress.EntryDeleted();
    } else {
      output.AnnounceChange(ChangeKind::kDeleteFile, ChangeReason::kNotLocal, folder, name);
      if (const FtpStatus status = context.site.DeleteFile(name); !status.ok()) {
        output.Fail(CommandErrorText(strings::kTagDeleteFile), JoinPath(folder, name), status);
        return RunResult::kFailed;
      }
      output.progress.EntryDeleted();
    }
  }
  RemoveLeftovers(context, *table, folder);
  return RunResult::kCompleted;
}

RunResult PruneRemoteDirectory(const WalkContext& context, EntryTable& table,
                               const std::string& remoteDir, int depth) {
  RunOutput& output = context.output;
  // Nothing is asked about or deleted while a file sent into the folder is
  // still on its way: one connection would have sent it before.
  const bool unmatched = std::find(table.remoteMatched.begin(), table.remoteMatched.end(), false) !=
                         table.remoteMatched.end();
  if (unmatched) {
    if (RunResult r = SettleUploads(context, remoteDir, OwnUploads::kWait);
        r != RunResult::kCompleted)
      return r;
  }
  if (const FtpStatus status = context.site.ChangeFolder(remoteDir); !status.ok()) {
    output.Fail(CommandErrorText(strings::kTagChangeDirectory), remoteDir, status);
    return RunResult::kFailed;
  }
  const bool ask = context.rules.askBeforeDeleting;
  for (int i = 0; i < table.remoteCount; ++i) {
    if (table.remoteMatched[i] || !CanTouch(context, remoteDir, table.remoteName[i]))
      continue;
    if (table.remoteIsDir[i]) {
      // A link must be asked for and deleted as the one entry it is.
      if (RunResult r = ConfirmRemoteFolders(context, table, remoteDir, kDeleteListingBoxes);
          r != RunResult::kCompleted) {
        return r;
      }
    }
    const std::string& name = table.remoteName[i];
    bool skip = false;
    if (table.remoteIsDir[i]) {
      const std::string child = JoinPath(remoteDir, name);
      if (ask) {
        const RunResult r = Confirm(
            output, FormatText("FTP : %s\n以下を全て削除してもよろしいですか。", child.c_str()),
            skip);
        if (r != RunResult::kCompleted)
          return r;
        if (skip)
          continue;
      }
      output.Report(kOutputConsole, "Down directory to %s", child.c_str());
      bool kept = false;
      if (RunResult r = RemoveRemoteTree(context, child, depth + 1, kept);
          r != RunResult::kCompleted) {
        return r;
      }
      output.Report(kOutputConsole, "Change current directory to %s", remoteDir.c_str());
      if (const FtpStatus status = context.site.ChangeFolder(remoteDir); !status.ok()) {
        output.Fail(CommandErrorText(strings::kTagChangeDirectory), remoteDir, status);
        return RunResult::kFailed;
      }
      if (kept)
        continue;  // what could not be deleted keeps it
      output.AnnounceChange(ChangeKind::kRemoveFolder, ChangeReason::kNotLocal, remoteDir, name);
      if (const FtpStatus status = context.site.RemoveFolder(name); !status.ok()) {
        output.Fail(CommandErrorText(strings::kTagRemoveDirectory), JoinPath(remoteDir, name),
                    status);
        return RunResult::kFailed;
      }
      output.progress.EntryDeleted();
      continue;
    }

    if (KeepsUnmatchedFile(context.rules, name))
      continue;
    if (ask) {
      const RunResult r =
          Confirm(output, FormatText("FTP : %s\nを削除してもよろしいですか。", name.c_str()), skip);
      if (r != RunResult::kCompleted)
        return r;
      if (skip)
        continue;
    }
    output.AnnounceChange(ChangeKind::kDeleteFile, ChangeReason::kNotLocal, remoteDir, name);
    if (const FtpStatus status = context.site.DeleteFile(name); !status.ok()) {
      output.Fail(CommandErrorText(strings::kTagDeleteFile), JoinPath(remoteDir, name), status);
      return RunResult::kFailed;
    }
    output.progress.EntryDeleted();
  }
  return RunResult::kCompleted;
}

}  // namespace velmorix
