#include "listing/remote_listing.h"

#include <ctime>
#include <utility>

#include "base/display_text.h"
#include "engine/listing_read_ahead.h"
#include "engine/transfer_worker.h"
#include "resources/string_table.h"

namespace velmorix {
namespace {

// The time field is the same whatever the user's locale.
std::string FormatLocalTime(int64_t secondsSinceEpoch) {
  const time_t time = static_cast<time_t>(secondsSinceEpoch);
  struct tm local {};
  if (localtime_r(&time, &local) == nullptr)
    return {};
  return FormatText("%d/%d/%02d %d:%02d:%02d", local.tm_mon + 1, local.tm_mday,
                    ((local.tm_year % 100) + 100) % 100, local.tm_hour, local.tm_min, local.tm_sec);
}

}  // namespace

std::string FormatListingLine(const RemoteEntry& entry) {
  // Every name is shown, the ones the walk leaves alone included; control
  // characters escaped, so that a name cannot break the line.
  const std::string escaped = EscapeControlCharacters(entry.name);
  const std::string name = entry.isDir ? "[" + escaped + "]" : escaped;
  // The name field is 30 columns wide as a fixed-width Japanese font shows
  // it: a full-width character takes two.
  constexpr size_t kNameWidth = 30;
  const size_t width = DisplayWidth(name);
  std::string line(1, ' ');
  if (width < kNameWidth)
    line.append(kNameWidth - width, ' ');
  line += name;
  line += "   ";
  line += FormatLocalTime(entry.lastWriteTime);
  return line;
}

RunResult ListRemoteDirectory(RemoteSite& site, RunOutput& output, const std::string& path) {
  std::unique_ptr<RemoteListing> listing;
  RemoteEntry entry;
  const FtpStatus first = site.OpenListing(path, ListingCommand::kPreferred, listing, entry);
  if (!first.ok()) {
    if (first.kind == FtpErrorKind::kNoMoreFiles)
      return RunResult::kCompleted;
    if (first.kind == FtpErrorKind::kCanceled) {
      output.CancelRequested();  // the request has been acted on
      return RunResult::kCanceled;
    }
    output.Fail("ERROR AT FTP FINDFIRSTFILE!", path, first);
    return RunResult::kFailed;
  }
  output.Report(kOutputConsole, "Serching FTP Server processing... FTP= %s", path.c_str());
  // The next entry is read ahead: the cancel request is tested only when
  // there is one, so the last entry is always listed.
  FtpStatus broke;
  const RunResult result = ReadListingAhead(
      output, *listing, std::move(entry),
      [&output](const RemoteEntry& each) {
        output.statusLine = FormatListingLine(each);
        output.Output(kOutputConsoleAndLog);
        return true;
      },
      &broke);
  if (result == RunResult::kFailed)
    output.Fail("ERROR AT FTP FINDNEXTFILE!", path, broke);
  return result;
}

namespace {

// The listing of a destination of another protocol, through its connector.
RunResult RunSiteListing(TransferJob& job) {
  bool canceled = false;
  std::unique_ptr<OpenSite> open = ConnectSite(job, {}, canceled);
  RunResult result = canceled ? RunResult::kCanceled : RunResult::kFailed;
  if (!open) {
    if (canceled)
      job.Report(kOutputConsole, "FTP ls command canceled!");
    return result;
  }
  RemoteSite& site = open->Site();
  const FtpStatus entered = site.ChangeFolder(job.profile.remoteDir);
  if (entered.ok()) {
    result = ListRemoteDirectory(site, job, job.profile.remoteDir);
  } else {
    job.Report(kOutputConsole, "Velmorix Failed..See Error Message !!");
    job.Fail(ParameterErrorText(strings::kTagFtpServerPath), job.profile.remoteDir, entered);
  }
  open.reset();
  if (result == RunResult::kCompleted) {
    job.Report(kOutputConsole, "FTP ls command completed!");
  } else if (result == RunResult::kCanceled) {
    job.Report(kOutputConsole, "FTP ls command canceled!");
  }
  return result;
}

}  // namespace

RunResult RunListing(TransferJob& job) {
  job.Report(kOutputConsole, "Velmorix Started...");
  if (job.connector != nullptr)
    return RunSiteListing(job);
  if (!ConnectServer(job))
    return RunResult::kFailed;
  RunResult result = RunResult::kFailed;
  FtpSite site(job.connection);
  const FtpStatus entered = site.ChangeFolder(job.profile.remoteDir);
  if (entered.ok()) {
    result = ListRemoteDirectory(site, job, job.profile.remoteDir);
    if (result == RunResult::kCompleted)
      NoteAutoNameEncoding(job);
  } else {
    job.Report(kOutputConsole, "Velmorix Failed..See Error Message !!");
    job.Fail(ParameterErrorText(strings::kTagFtpServerPath), job.profile.remoteDir, entered);
  }
  NoteAutoDataMode(job);
  DisconnectServer(job);
  if (result == RunResult::kCompleted) {
    job.Report(kOutputConsole, "FTP ls command completed!");
  } else if (result == RunResult::kCanceled) {
    job.Report(kOutputConsole, "FTP ls command canceled!");
  }
  return result;
}

namespace {

void ListingWorker(TransferJob& job) {
  job.Output(kOutputOpenLog);
  PostCompletion(job, RunListing(job));
  job.Output(kOutputCloseLog);
}

}  // namespace

CompletionCode StartListing(const RunRequest& request) {
  return RunOnWorker(request, &ListingWorker, WatchedProgress::kNone);
}

}  // namespace velmorix
