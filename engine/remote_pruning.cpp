#include "engine/remote_pruning.h"

#include <utility>

#include "engine/listing_read_ahead.h"
#include "resources/string_table.h"

namespace velmorix {
namespace {

// Reads the current remote folder into the remote side of `table`, with the
// next entry read ahead (ReadListingAhead): the cancel request is tested
// before each entry but the last, so a listing whose last entry has been
// read always completes.
RunResult CollectRemoteEntries(TransferJob& job, EntryTable& table, const std::string& folder,
                               bool& empty) {
  empty = false;
  FtpListing listing;
  RemoteEntry entry;
  const FtpStatus first = job.connection.FindFirst("", listing, entry);
  if (!first.ok()) {
    if (first.kind == FtpErrorKind::kNoMoreFiles) {
      empty = true;
      return RunResult::kCompleted;
    }
    job.ShowError("ERROR AT FTP FINDFIRST FILE IN DELETE!");
    return RunResult::kFailed;
  }
  job.Report(kOutputConsole, "Searching files and directories at %s", folder.c_str());
  // A full table fails as a broken listing does.
  const RunResult result =
      ReadListingAhead(job, listing, std::move(entry),
                       [&table](const RemoteEntry& each) { return AddRemoteEntry(table, each); });
  if (result == RunResult::kFailed)
    job.ShowError("ERROR AT FTP FINDNEXT FILE IN DELETE!");
  return result;
}

}  // namespace

RunResult RemoveRemoteTree(TransferJob& job, const std::string& folder) {
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

  for (int i = 0; i < table->remoteCount; ++i) {
    if (job.CancelRequested())
      return RunResult::kCanceled;
    const std::string& name = table->remoteName[i];
    if (table->remoteIsDir[i]) {
      job.Report(kOutputConsole, "Down directory on FTP to %s/%s", folder.c_str(), name.c_str());
      if (RunResult r = RemoveRemoteTree(job, JoinPath(folder, name)); r != RunResult::kCompleted) {
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

RunResult PruneRemoteDirectory(TransferJob& job, const EntryTable& table,
                               const std::string& remoteDir) {
  if (!job.connection.ChangeFolder(remoteDir).ok()) {
    job.ShowError(CommandErrorText(strings::kTagChangeDirectory));
    return RunResult::kFailed;
  }
  const bool ask = job.settings.deleteMessage != 0;
  for (int i = 0; i < table.remoteCount; ++i) {
    if (table.remoteMatched[i])
      continue;
    const std::string& name = table.remoteName[i];
    if (table.remoteIsDir[i]) {
      const std::string child = JoinPath(remoteDir, name);
      if (ask) {
        const Answer answer = job.console.Ask(
            FormatText("FTP : %s\n以下を全て削除してもよろしいですか。", child.c_str()));
        if (answer == Answer::kNo)
          continue;
        if (answer == Answer::kCancel) {
          job.Report(kOutputConsoleAndLog, "Process is Terminated by User");
          return RunResult::kFailed;
        }
      }
      job.Report(kOutputConsole, "Down directory to %s", child.c_str());
      if (RunResult r = RemoveRemoteTree(job, child); r != RunResult::kCompleted)
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
      const Answer answer =
          job.console.Ask(FormatText("FTP : %s\nを削除してもよろしいですか。", name.c_str()));
      if (answer == Answer::kNo)
        continue;
      if (answer == Answer::kCancel) {
        job.Report(kOutputConsoleAndLog, "Process is Terminated by User");
        return RunResult::kFailed;
      }
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
