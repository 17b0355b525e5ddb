// One run of the engine: the job that a transfer or a listing carries from
// its start to its end, its one way of reporting (Output) and its test of the
// cancel event.
//
// The starting thread creates the job and destroys it after the worker thread
// has ended; in between only the worker thread touches it. The references
// point into objects that the front end owns and that outlive the job.
#pragma once

#include <cstdio>
#include <memory>
#include <optional>
#include <string>
#include <string_view>

#include "engine/cancel_event.h"
#include "engine/connection_learned.h"
#include "engine/run_console.h"
#include "ftp/ftp_session.h"
#include "settings/app_settings.h"

namespace velmorix {

// What every step of a run returns. A caller that receives anything other
// than kCompleted stops and passes the value up unchanged.
enum class RunResult : int {
  kFailed = 0,  // the failure has already been reported where it happened
  kCompleted = 1,
  kCanceled = 2,
};

CompletionCode CompletionCodeFor(RunResult result);

// The codes of Output.
inline constexpr int kOutputConsole = 132;        // show statusLine
inline constexpr int kOutputConsoleAndLog = 133;  // append it to the log, then show it
inline constexpr int kOutputOpenLog = 134;        // create the log file afresh
inline constexpr int kOutputCloseLog = 135;       // close the log file

// Closes the FILE it holds when destroyed.
struct FileCloser {
  void operator()(std::FILE* file) const { std::fclose(file); }
};
using LogFile = std::unique_ptr<std::FILE, FileCloser>;

struct TransferJob {
  TransferJob(const AppSettings& settings, const FtpProfile& profile, RunConsole& console,
              CancelEvent& cancelEvent, std::string logPath, FtpTimeouts timeouts);

  const AppSettings& settings;
  const FtpProfile& profile;
  RunConsole& console;
  std::string statusLine;             // the line the next Output reports
  std::optional<FtpSession> session;  // open while the run is connected
  FtpConnection connection;           // closed after a failed connect
  CancelEvent& cancelEvent;
  std::string logPath;
  LogFile logFile;                                       // none when the log could not be created
  FtpTimeouts timeouts;                                  // given to the session when it opens
  CompletionCode completion = CompletionCode::kRunning;  // what the worker posted
  ConnectionLearned learned;                             // handed to the front end at the end

  // Applies a message code to statusLine (see the constants above); any other
  // code does nothing. Never fails towards its caller: a log that cannot be
  // created or written is left out silently. Control characters in the line
  // (a name can hold ESC or a bare CR) are shown and logged escaped, so that
  // a name can neither forge a log line nor drive a terminal. Each log line
  // reaches the file before Output returns, so a run that is killed keeps
  // its log.
  void Output(int code);

  // Formats statusLine printf-style (only %s, %d and widths are used), then
  // calls Output(code).
  void Report(int code, const char* format, ...) __attribute__((format(printf, 3, 4)));

  // True when a cancel request was pending; the test consumes it.
  bool CancelRequested() { return cancelEvent.TryConsume(); }

  // Shows an error box through the console and waits until it is dismissed.
  // Control characters other than line breaks are shown escaped: the text
  // may carry the server's reply.
  void ShowError(const std::string& text);

  // Asks a Yes/No/Cancel question through the console and waits for the
  // answer; control characters other than line breaks are shown escaped.
  Answer Ask(const std::string& text);
};

// The box text of a failed command: "ＦＴＰへのコマンドでエラー発生" + tag.
std::string CommandErrorText(std::string_view tag);
// The box text of a wrong parameter: "パラメタ指定の誤りです。" + tag.
std::string ParameterErrorText(std::string_view tag);

// A child path, "%s/%s" with the folder and the name. Paths are never
// normalised: a child of "/" is "//name".
std::string JoinPath(const std::string& folder, std::string_view name);

// printf-style formatting into a string.
std::string FormatText(const char* format, ...) __attribute__((format(printf, 1, 2)));

}  // namespace velmorix
