#include "engine/remote_pruning.h"

#include <utility>

#include "engine/listing_read_ahead.h"
#include "engine/remote_folders.h"
#include "resources/string_table.h"

namespace velmorix {
namespace {

constexpr ListingErrorBoxes kDeleteListingBoxes = {"ERROR AT FTP FINDFIRST FILE IN DELETE!",
                                                   "ERROR AT FTP FINDNEXT FILE IN DELETE!"};

// Reads the current remote folder into the remote side of `table`, with the
// next entry read ahead (ReadListingAhead): the cancel request is tested
// before each entry but the last, so a listing whose last entry has been
// read always completes.
RunResult CollectRemoteEntries(TransferJob& job, EntryTable& table, const std::string& folder,
                               bool& empty) {
  empty = false;
  table.remoteFoldersConfirmed = !job.connection.ListsWithMlsd();
  FtpListing listing;
  RemoteEntry entry;
  const FtpStatus first = job.connection.FindFirst("", listing, entry);
  if (!first.ok()) {
    if (first.kind == FtpErrorKind::kNoMoreFiles) {
      empty = true;
      return RunResult::kCompleted;
    }
    if (first.kind == FtpErrorKind::kCanceled) {
      job.CancelRequested();  // the request has been acted on
      return RunResult::kCanceled;
    }
    job.ShowError(std::string(kDeleteListingBoxes.cannotOpen));
    return RunResult::kFailed;
  }
  job.Report(kOutputConsole, "Searching files and directories at %s", folder.c_str());
  // A full table fails as a broken listing does.
  const RunResult result =
      ReadListingAhead(job, listing, std::move(entry),
                       [&table](const RemoteEntry& each) { return AddRemoteEntry(table, each); });
  if (result == RunResult::kFailed)
    job.ShowError(std::string(kDeleteListingBoxes.brokeOff));
  return result;
}

// Asks before an unmatched entry is deleted. Returns kCompleted to go on
// (`skip` tells whether the user said No), or what the run ends with.
RunResult Confirm(TransferJob& job, const std::string& question, bool& skip) {
  skip = false;
  switch (job.Ask(question)) {
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
  job.Report(kOutputConsoleAndLog, "Process is Terminated by User");
  return RunResult::kFailed;
}

}  // namespace

RunResult RemoveRemoteTree(TransferJob& job, const std::string& folder, int depth) {
  if (depth > kMaxFolderDepth) {
    job.ShowError("ERROR AT FTP DIRECTORY TOO DEEP IN DELETE!");
    return RunResult::kFailed;
  }
  job.Report(kOutputConsole, "Change current directory to %s", folder.c_str());
  if (!job.connection.ChangeFolder(folder).ok()) {
    job.ShowError(CommandErrorText(strings::kTagChangeDirectory));
    return RunResult::kFailed;
  }
  const std::unique_ptr<EntryTable> table = NewEntryTable();
  bool empty = false;
  if (RunResult r = CollectRemoteEntries(job, *table, folder, empty);
      r != RunResult::kCompleted || empty) {
    return r;
  }
  if (RunResult r = ConfirmRemoteFolders(job, *table, "", kDeleteListingBoxes);
      r != RunResult::kCompleted) {
    return r;
  }

  for (int i = 0; i < table->remoteCount; ++i) {
    if (job.CancelRequested())
      return RunResult::kCanceled;
    const std::string& name = table->remoteName[i];
    if (table->remoteIsDir[i]) {
      job.Report(kOutputConsole, "Down directory on FTP to %s/%s", folder.c_str(), name.c_str());
      if (RunResult r = RemoveRemoteTree(job, JoinPath(folder, name), depth + 1);
          r != RunResult::kCompleted) {
        return r;
      }
      // The line names the folder just emptied; the folder entered is its parent.
      job.Report(kOutputConsole, "Change current directory to %s/%s", folder.c_str(), name.c_str());
      if (!job.connection.ChangeFolder(folder).ok()) {
        job.ShowError(CommandErrorText(strings::kTagChangeDirectory));
        return RunResult::kFailed;
      }
      job.Report(kOutputConsoleAndLog, "Remove directory on FTP : %s/%s", folder.c_str(),
                 name.c_str());
      if (!job.connection.RemoveFolder(name).ok()) {
        job.ShowError(CommandErrorText(strings::kTagRemoveDirectory));
        return RunResult::kFailed;
      }
    } else {
      job.Report(kOutputConsoleAndLog, "Delete file on FTP : %s/%s", folder.c_str(), name.c_str());
      if (!job.connection.DeleteFile(name).ok()) {
        job.ShowError(CommandErrorText(strings::kTagDeleteFile));
        return RunResult::kFailed;
      }
    }
  }
  return RunResult::kCompleted;
}

RunResult PruneRemoteDirectory(TransferJob& job, EntryTable& table, const std::string& remoteDir,
                               int depth) {
  if (!job.connection.ChangeFolder(remoteDir).ok()) {
    job.ShowError(CommandErrorText(strings::kTagChangeDirectory));
    return RunResult::kFailed;
  }
  const bool ask = job.settings.deleteMessage != 0;
  for (int i = 0; i < table.remoteCount; ++i) {
    if (table.remoteMatched[i])
      continue;
    if (table.remoteIsDir[i]) {
      // A link must be asked for and deleted as the one entry it is.
      if (RunResult r = ConfirmRemoteFolders(job, table, remoteDir, kDeleteListingBoxes);
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
            job, FormatText("FTP : %s\n以下を全て削除してもよろしいですか。", child.c_str()), skip);
        if (r != RunResult::kCompleted)
          return r;
        if (skip)
          continue;
      }
      job.Report(kOutputConsole, "Down directory to %s", child.c_str());
      if (RunResult r = RemoveRemoteTree(job, child, depth + 1); r != RunResult::kCompleted)
        return r;
      job.Report(kOutputConsole, "Change current directory to %s", remoteDir.c_str());
      if (!job.connection.ChangeFolder(remoteDir).ok()) {
        job.ShowError(CommandErrorText(strings::kTagChangeDirectory));
        return RunResult::kFailed;
      }
      job.Report(kOutputConsoleAndLog, "Remove directory on FTP : %s/%s", remoteDir.c_str(),
                 name.c_str());
      if (!job.connection.RemoveFolder(name).ok()) {
        job.ShowError(CommandErrorText(strings::kTagRemoveDirectory));
        return RunResult::kFailed;
      }
      continue;
    }

    if (job.profile.options.ignoreExeFiles && HasExeExtension(name))
      continue;
    if (job.settings.deleteDots && !name.empty() && name[0] == '.')
      continue;
    if (ask) {
      const RunResult r =
          Confirm(job, FormatText("FTP : %s\nを削除してもよろしいですか。", name.c_str()), skip);
      if (r != RunResult::kCompleted)
        return r;
      if (skip)
        continue;
    }
    job.Report(kOutputConsoleAndLog, "Delete file on FTP : %s/%s", remoteDir.c_str(), name.c_str());
    if (!job.connection.DeleteFile(name).ok()) {
      job.ShowError(CommandErrorText(strings::kTagDeleteFile));
      return RunResult::kFailed;
    }
  }
  return RunResult::kCompleted;
}

}  // namespace velmorix
