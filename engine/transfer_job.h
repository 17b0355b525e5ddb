// One run of the engine: the job that a transfer or a listing carries from
// its start to its end, its one way of reporting (Output) and its test of the
// cancel event.
//
// The starting thread creates the job and destroys it after the worker thread
// has ended; in between only the worker thread touches it. The references
// point into objects that the front end owns and that outlive the job.
#pragma once

#include <cstdio>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "engine/cancel_event.h"
#include "engine/connection_learned.h"
#include "engine/run_console.h"
#include "engine/run_progress.h"
#include "engine/site_connector.h"
#include "ftp/ftp_session.h"
#include "settings/app_settings.h"

namespace velmorix {

// What StartTransfer does with the server.
enum class RunMode {
  kPublish,
  // Walks the server read-only and reports, through the console's
  // ShowChange, every change a publish would make; writes no log.
  kDryRun,
};

// What every step of a run returns. A caller that receives anything other
// than kCompleted stops and passes the value up unchanged.
enum class RunResult : int {
  kFailed = 0,  // the failure has already been reported where it happened
  kCompleted = 1,
  kCanceled = 2,
  // Stopped before its first change by the guard against mass deletion;
  // the reason has been shown.
  kStopped = 3,
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

// What a run can change on the server, and why: the reason a dry run shows.
enum class ChangeKind { kCreateFolder, kUpload, kDeleteFile, kRemoveFolder };
enum class ChangeReason {
  kNew,          // not on the server
  kNewer,        // newer on the local disk
  kReplace,      // on the server already; uploaded anyway (onlyNewer is off)
  kSizeDiffers,  // on the server, not older, but of another size
  kNotLocal,     // on the server only
};

// A run's reporting, which every step of a run takes: the shown and logged
// lines, the boxes and questions, the cancel test, the changes and the
// progress counters. Worker thread only, but for `progress`, which any
// thread may read.
class RunOutput {
 public:
  RunOutput(RunConsole& console, CancelEvent& cancelEvent, std::string logPath,
            RunMode mode = RunMode::kPublish);
  RunOutput(const RunOutput&) = delete;
  RunOutput& operator=(const RunOutput&) = delete;

  RunConsole& console;
  std::string statusLine;  // the line the next Output reports
  CancelEvent& cancelEvent;
  std::string logPath;
  LogFile logFile;  // none when the log could not be created
  const RunMode mode;
  RunProgress progress;
  // Where a publish also keeps its change lines (see run_history.h), and
  // the destination's name they are kept under; "" for none.
  std::string historyPath;
  std::string destination;
  // Every failure the run ended with, in order, for the front end's report.
  std::vector<RunFailure> failures;
  // The run ended because the user (or a console with no one to ask)
  // answered a question with Cancel.
  bool endedByAnswer = false;
  // Whether data connections are made in active mode now, for the hint of
  // a refused data connection; none: never.
  std::function<bool()> inActiveMode;

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

  // Says, just before it is made, that the change is made: in a publish
  // the log line of the change (code 133), in a dry run the same line with
  // its reason through the console's ShowChange. `path` is the folder the
  // change happens in, `name` the entry's name; a created folder is the
  // full path given as `path` with an empty name.
  void AnnounceChange(ChangeKind kind, ChangeReason reason, const std::string& path,
                      std::string_view name);

  // True when a cancel request was pending; the test consumes it.
  bool CancelRequested() { return cancelEvent.TryConsume(); }

  // Shows an error box through the console and waits until it is dismissed.
  // Control characters other than line breaks are shown escaped: the text
  // may carry the server's reply.
  void ShowError(const std::string& text);

  // Ends the run with `failure`: keeps it in `failures`, adds the hint of
  // the common cases when it has none, and shows it through the console's
  // ShowFailure. Control characters are shown escaped, as by ShowError.
  void Fail(RunFailure failure);
  // Several failures at once (uploads refused together), kept each and
  // shown in one box: the first's message, every cause, the first hint.
  void Fail(std::vector<RunFailure> together);
  // The failure of a server operation on `path`, shown under `message`.
  void Fail(std::string_view message, std::string_view path, const FtpStatus& status);
  // The failure of a local file operation on `path`: the system's reason
  // for `error` (an errno value).
  void FailLocal(std::string_view message, std::string_view path, int error);

  // Asks a Yes/No/Cancel question through the console and waits for the
  // answer; control characters other than line breaks are shown escaped.
  Answer Ask(const std::string& text);
};

// One run of a transfer or a listing.
struct TransferJob : RunOutput {
  TransferJob(const AppSettings& settings, const FtpProfile& profile, RunConsole& console,
              CancelEvent& cancelEvent, std::string logPath, FtpTimeouts timeouts,
              RunMode mode = RunMode::kPublish);

  const AppSettings& settings;
  const FtpProfile& profile;
  std::optional<FtpSession> session;                     // open while the run is connected
  FtpConnection connection;                              // closed after a failed connect
  FtpTimeouts timeouts;                                  // given to the session when it opens
  CompletionCode completion = CompletionCode::kRunning;  // what the worker posted
  ConnectionLearned learned;                             // handed to the front end at the end
  std::optional<int64_t> maxDelete;                      // see RunRequest
  SiteConnector* connector = nullptr;                    // see RunRequest
};

// The line a publish logs for a change (see RunOutput::AnnounceChange).
std::string ChangeLogLine(ChangeKind kind, const std::string& path, std::string_view name);
// The line a dry run shows for it: the log line and "  (reason)".
std::string DryRunChangeLine(ChangeKind kind, ChangeReason reason, const std::string& path,
                             std::string_view name);

// The box text of a failed command: "ＦＴＰへのコマンドでエラー発生" + tag.
std::string CommandErrorText(std::string_view tag);
// The box text of a wrong parameter: "パラメタ指定の誤りです。" + tag.
std::string ParameterErrorText(std::string_view tag);

// The failure a run ends with when it cannot connect to `host` at `port`,
// log in or trust the server: `status` from the connection's Connect. Its
// hint tells what a certificate or host key question means.
RunFailure ConnectionFailure(std::string_view host, uint16_t port, const FtpStatus& status);
// The reason of a failure at a folder deeper than the walk goes.
std::string TooDeepText();
// The hint line of a failure with the server's `reply` ("" for none), or
// "": a refused login, a data connection refused in active mode.
std::string FailureHint(std::string_view reply, FtpErrorKind kind, bool activeMode);

// A child path, "%s/%s" with the folder and the name. Paths are never
// normalised: a child of "/" is "//name".
std::string JoinPath(const std::string& folder, std::string_view name);

// printf-style formatting into a string.
std::string FormatText(const char* format, ...) __attribute__((format(printf, 1, 2)));

}  // namespace velmorix
