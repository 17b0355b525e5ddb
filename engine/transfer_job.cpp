#include "engine/transfer_job.h"

#include <ctime>

#include <cstdarg>

#include "base/display_text.h"
#include "engine/run_history.h"
#include "resources/string_table.h"

namespace velmorix {
namespace {

std::string FormatList(const char* format, va_list args) {
  va_list measure;
  va_copy(measure, args);
  const int length = std::vsnprintf(nullptr, 0, format, measure);
  va_end(measure);
  if (length <= 0)
    return {};
  std::string text(static_cast<size_t>(length), '\0');
  std::vsnprintf(text.data(), text.size() + 1, format, args);
  return text;
}

}  // namespace

CompletionCode CompletionCodeFor(RunResult result) {
  switch (result) {
    case RunResult::kCompleted:
      return CompletionCode::kCompleted;
    case RunResult::kCanceled:
      return CompletionCode::kCanceled;
    case RunResult::kStopped:
      return CompletionCode::kStopped;
    case RunResult::kFailed:
      break;
  }
  return CompletionCode::kFailed;
}

RunOutput::RunOutput(RunConsole& console, CancelEvent& cancelEvent, std::string logPath,
                     RunMode mode)
    : console(console), cancelEvent(cancelEvent), logPath(std::move(logPath)), mode(mode) {}

TransferJob::TransferJob(const AppSettings& settings, const FtpProfile& profile,
                         RunConsole& console, CancelEvent& cancelEvent, std::string logPath,
                         FtpTimeouts timeouts, RunMode mode)
    : RunOutput(console, cancelEvent, std::move(logPath), mode),
      settings(settings),
      profile(profile),
      timeouts(timeouts) {}

void RunOutput::Output(int code) {
  switch (code) {
    case kOutputConsoleAndLog: {
      const std::string line = EscapeControlCharacters(statusLine);
      if (logFile) {
        // The log is read on systems that expect CR LF, so the line end is
        // written as bytes. Each line is handed to the system at once: the
        // log of a run that is killed or crashes must still tell what was
        // changed on the server. A failed write (a full disk) is not
        // reported: the run matters more than its log.
        std::fwrite(line.data(), 1, line.size(), logFile.get());
        std::fwrite("\r\n", 1, 2, logFile.get());
        std::fflush(logFile.get());
      }
      console.ShowLine(line);
      break;
    }
    case kOutputConsole:
      console.ShowLine(EscapeControlCharacters(statusLine));
      break;
    case kOutputOpenLog:
      // A folder that cannot be written leaves the run without a log.
      logFile.reset(std::fopen(logPath.c_str(), "wbe"));
      break;
    case kOutputCloseLog:
      logFile.reset();
      break;
    default:
      break;
  }
}

void RunOutput::ShowError(const std::string& text) {
  console.ShowError(EscapeControlCharacters(text, LineBreaks::kKeep));
}

Answer RunOutput::Ask(const std::string& text) {
  return console.Ask(EscapeControlCharacters(text, LineBreaks::kKeep));
}

void RunOutput::Report(int code, const char* format, ...) {
  va_list args;
  va_start(args, format);
  statusLine = FormatList(format, args);
  va_end(args);
  Output(code);
}

void RunOutput::AnnounceChange(ChangeKind kind, ChangeReason reason, const std::string& path,
                               std::string_view name) {
  if (mode == RunMode::kDryRun) {
    console.ShowChange(EscapeControlCharacters(DryRunChangeLine(kind, reason, path, name)));
    return;
  }
  statusLine = ChangeLogLine(kind, path, name);
  Output(kOutputConsoleAndLog);
  AppendHistory(historyPath, destination, ChangeLogLine(kind, path, name), std::time(nullptr));
}

std::string ChangeLogLine(ChangeKind kind, const std::string& path, std::string_view name) {
  const std::string entry(name);
  switch (kind) {
    case ChangeKind::kCreateFolder:
      return FormatText("Create Directory on FTP : %s", path.c_str());
    case ChangeKind::kUpload:
      return FormatText("Copy file to FTP : %s/%s", path.c_str(), entry.c_str());
    case ChangeKind::kDeleteFile:
      return FormatText("Delete file on FTP : %s/%s", path.c_str(), entry.c_str());
    case ChangeKind::kRemoveFolder:
      return FormatText("Remove directory on FTP : %s/%s", path.c_str(), entry.c_str());
  }
  return {};
}

std::string DryRunChangeLine(ChangeKind kind, ChangeReason reason, const std::string& path,
                             std::string_view name) {
  const char* why = "";
  switch (reason) {
    case ChangeReason::kNew:
      why = "new";
      break;
    case ChangeReason::kNewer:
      why = "newer";
      break;
    case ChangeReason::kReplace:
      why = "replace";
      break;
    case ChangeReason::kSizeDiffers:
      why = "size differs";
      break;
    case ChangeReason::kNotLocal:
      why = "not on Local HDD";
      break;
  }
  return ChangeLogLine(kind, path, name) + "  (" + why + ")";
}

std::string CommandErrorText(std::string_view tag) {
  std::string text(strings::kFtpCommandError);
  text += tag;
  return text;
}

std::string FailureBoxText(std::string_view designText, const FtpStatus& status) {
  std::string text(designText);
  if (status.kind == FtpErrorKind::kTlsFailed || status.kind == FtpErrorKind::kNameEncodingMismatch)
    text += "\n" + status.text;
  return text;
}

std::string ParameterErrorText(std::string_view tag) {
  std::string text(strings::kParameterError);
  text += tag;
  return text;
}

std::string JoinPath(const std::string& folder, std::string_view name) {
  std::string path;
  path.reserve(folder.size() + 1 + name.size());
  path += folder;
  path += '/';
  path += name;
  return path;
}

std::string FormatText(const char* format, ...) {
  va_list args;
  va_start(args, format);
  std::string text = FormatList(format, args);
  va_end(args);
  return text;
}

}  // namespace velmorix
