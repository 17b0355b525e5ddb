#include "engine/transfer_job.h"

#include <cstdarg>
#include <cstring>
#include <ctime>

#include "base/display_text.h"
#include "engine/entry_table.h"
#include "engine/run_history.h"
#include "ftp/ftp_messages.h"
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

std::string FailureText(const RunFailure& failure) {
  std::string text = failure.message;
  for (const std::string* line : {&failure.cause, &failure.hint}) {
    if (!line->empty())
      text.append("\n").append(*line);
  }
  return text;
}

namespace {

// The cause and the reply are one line each, whatever the reply held.
void Escape(RunFailure& failure) {
  failure.message = EscapeControlCharacters(failure.message, LineBreaks::kKeep);
  failure.path = EscapeControlCharacters(failure.path, LineBreaks::kEscape);
  failure.reply = EscapeControlCharacters(failure.reply, LineBreaks::kEscape);
  failure.cause = EscapeControlCharacters(failure.cause, LineBreaks::kEscape);
}

}  // namespace

void RunOutput::Fail(RunFailure failure) {
  Escape(failure);
  failures.push_back(failure);
  console.ShowFailure(failure);
}

void RunOutput::Fail(std::vector<RunFailure> together) {
  if (together.empty())
    return;
  RunFailure shown;
  for (RunFailure& failure : together) {
    Escape(failure);
    if (shown.message.empty()) {
      shown = failure;
    } else {
      shown.cause += "\n" + failure.cause;
      if (shown.hint.empty())
        shown.hint = failure.hint;
    }
    failures.push_back(std::move(failure));
  }
  console.ShowFailure(shown);
}

void RunOutput::Fail(std::string_view message, std::string_view path, const FtpStatus& status) {
  RunFailure failure{.message = std::string(message), .path = std::string(path)};
  if (status.kind == FtpErrorKind::kServerReply)
    failure.reply = status.text;
  const std::string reason =
      status.text.empty() ? std::string(strings::kConnectErrorUnknown) : status.text;
  failure.cause = path.empty() ? reason : std::string(path) + " : " + reason;
  failure.hint = FailureHint(failure.reply, status.kind, inActiveMode && inActiveMode());
  Fail(std::move(failure));
}

void RunOutput::FailLocal(std::string_view message, std::string_view path, int error) {
  RunFailure failure{.message = std::string(message), .path = std::string(path)};
  failure.cause = std::string(path) + " : " + std::strerror(error);
  Fail(std::move(failure));
}

RunFailure ConnectionFailure(std::string_view host, uint16_t port, const FtpStatus& status) {
  RunFailure failure{
      .message = status.text.empty() ? std::string(strings::kConnectErrorUnknown) : status.text,
      .connection = true};
  const char* what = "接続に失敗しました";
  switch (status.kind) {
    case FtpErrorKind::kHostNotFound:
      what = "名前を解決できませんでした";
      break;
    case FtpErrorKind::kTimeout:
      what = "タイムアウトしました";
      break;
    case FtpErrorKind::kLoginFailed:
      what = "ログインできませんでした";
      failure.reply = status.text.substr(std::min(status.text.find(": "), status.text.size()));
      if (failure.reply.starts_with(": "))
        failure.reply.erase(0, 2);
      break;
    case FtpErrorKind::kTlsFailed:
      if (!ftp::IsCertificateRefusal(status.text)) {
        what = "TLS を使えませんでした";
        break;
      }
      what = "証明書を信頼しませんでした";
      failure.hint =
          "ヒント: サーバーの証明書を検証できませんでした。自己署名の証明書なら、指紋をホストの"
          "管理者に確かめてから信頼してください。";
      break;
    case FtpErrorKind::kHostKeyRefused:
      what = "ホスト鍵を信頼しませんでした";
      // A key never seen before, not one that changed.
      if (status.text.starts_with("The authenticity")) {
        failure.hint =
            "ヒント: 初めて接続するサーバーです。指紋をサーバーの管理者に確かめてから信頼してく"
            "ださい。";
      }
      break;
    case FtpErrorKind::kServerReply:
      failure.reply = status.text;
      break;
    default:
      break;
  }
  failure.cause = "接続先 " + ftp::HostAndPortText(host, port) + " : " + what;
  if (failure.hint.empty())
    failure.hint = FailureHint(failure.reply, status.kind, false);
  return failure;
}

std::string TooDeepText() {
  return FormatText("フォルダーの階層が深すぎます (%d 段まで)", kMaxFolderDepth);
}

std::string FailureHint(std::string_view reply, FtpErrorKind kind, bool activeMode) {
  if (kind == FtpErrorKind::kLoginFailed || reply.starts_with("530"))
    return "ヒント: ログイン名とパスワードを確かめてください。";
  if (reply.starts_with("425") && activeMode) {
    return "ヒント: サーバーからのデータ接続が届きません。ルーターの内側では、データ接続を 自動 "
           "か パッシブ にしてください。";
  }
  return {};
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
