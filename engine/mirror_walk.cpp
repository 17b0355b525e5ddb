#include "engine/mirror_walk.h"

#include <dirent.h>
#include <fcntl.h>
#include <sys/stat.h>

#include <cerrno>
#include <memory>

#include "engine/remote_pruning.h"
#include "resources/string_table.h"

namespace velmorix {
namespace {

// The server's clock of a destination marked with the time difference runs
// nine hours ahead of the local one.
constexpr int64_t kTimeDifferenceSeconds = 32400;

struct DirCloser {
  void operator()(DIR* dir) const { closedir(dir); }
};
using DirHandle = std::unique_ptr<DIR, DirCloser>;

// The first remote entry whose name matches, or -1.
int FindRemoteMatch(const EntryTable& table, std::string_view name) {
  for (int i = 0; i < table.remoteCount; ++i) {
    if (NamesMatch(table.remoteName[i], name))
      return i;
  }
  return -1;
}

bool ShouldUpload(const TransferJob& job, const EntryTable& table, int local, int remote) {
  if (remote < 0 || !job.profile.options.onlyNewer)
    return true;
  int64_t remoteTime = table.remoteTime[remote];
  if (job.profile.timeDifference)
    remoteTime -= kTimeDifferenceSeconds;
  return table.localTime[local] > remoteTime;
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
    struct stat status;
    if (fstatat(dirFd, entry->d_name, &status, 0) == 0) {
      time = status.st_mtime;
      isDir = S_ISDIR(status.st_mode);
    } else if (fstatat(dirFd, entry->d_name, &status, AT_SYMLINK_NOFOLLOW) == 0) {
      time = status.st_mtime;
    } else {
      isDir = entry->d_type == DT_DIR;  // it vanished meanwhile; its upload will say so
    }
    const int i = table.localCount++;
    table.localName[i] = name;
    table.localTime[i] = time;
    table.localIsDir[i] = isDir;
  }
  job.ShowError("ERROR AT LOCAL FILE FINDNEXTFILE!");
  return RunResult::kFailed;
}

RunResult ScanRemoteDirectory(TransferJob& job, EntryTable& table, const std::string& remoteDir) {
  FtpListing listing;
  RemoteEntry entry;
  FtpStatus status = job.connection.FindFirst(remoteDir, listing, entry);
  if (!status.ok()) {
    if (status.kind == FtpErrorKind::kNoMoreFiles)
      return RunResult::kCompleted;
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

  const FtpProfile& profile = job.profile;
  for (int i = 0; i < table->localCount; ++i) {
    if (job.CancelRequested())
      return RunResult::kCanceled;
    const std::string& name = table->localName[i];
    if (table->localIsDir[i]) {
      if (profile.options.skipFrontPageFolders && !name.empty() && name[0] == '_')
        continue;
      if (profile.options.skipImagesFolder && IsImagesFolderName(name))
        continue;
    }
    const int match = FindRemoteMatch(*table, name);

    if (table->localIsDir[i]) {
      std::string remoteChild;
      if (match < 0) {
        remoteChild = JoinPath(remoteDir, name);
        job.Report(kOutputConsoleAndLog, "Create Directory on FTP : %s", remoteChild.c_str());
        if (!job.connection.CreateFolder(remoteChild).ok()) {
          job.ShowError(CommandErrorText(strings::kTagCreateDirectory));
          return RunResult::kFailed;
        }
      } else {
        remoteChild = JoinPath(remoteDir, table->remoteName[match]);
      }
      const std::string localChild = JoinPath(localDir, name);
      job.Report(kOutputConsole, "Down to a directory %s", remoteChild.c_str());
      if (RunResult r = MirrorDirectory(job, localChild, remoteChild); r != RunResult::kCompleted) {
        return r;
      }
      job.Report(kOutputConsole, "Change current directory to %s", remoteDir.c_str());
      if (!job.connection.ChangeFolder(remoteDir).ok()) {
        job.ShowError(CommandErrorText(strings::kTagChangeDirectory));
        return RunResult::kFailed;
      }
      if (match >= 0)
        table->remoteMatched[match] = true;
      continue;
    }

    if (profile.options.ignoreExeFiles && HasExeExtension(name)) {
      if (match >= 0)
        table->remoteMatched[match] = true;
      continue;
    }
    if (ShouldUpload(job, *table, i, match)) {
      job.Report(kOutputConsoleAndLog, "Copy file to FTP : %s/%s", remoteDir.c_str(), name.c_str());
      if (!job.connection.PutFile(JoinPath(localDir, name), name).ok()) {
        job.ShowError(CommandErrorText(strings::kTagTransferFile));
        return RunResult::kFailed;
      }
    }
    if (match >= 0)
      table->remoteMatched[match] = true;
  }

  if (profile.options.deleteOnServer) {
    if (RunResult r = PruneRemoteDirectory(job, *table, remoteDir); r != RunResult::kCompleted) {
      return r;
    }
  }
  return RunResult::kCompleted;
}

}  // namespace velmorix
