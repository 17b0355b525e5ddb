// What a run reports to: the window program's progress console, the
// command-line front end's terminal, or a test. The engine calls every
// member but RunModal from the run's worker thread.
#pragma once

#include <cstdint>
#include <optional>
#include <string>

#include "ftp/certificate_info.h"

namespace velmorix {

class RunProgress;

// A failure that ended a run, as the user and a script are told of it.
struct RunFailure {
  std::string message{};  // the box text, as every version of the program showed it
  std::string path{};     // the remote or local path it happened on, or ""
  std::string reply{};    // the server's reply (code and text), or ""
  // One line that names the cause: the server's reply, the system's reason
  // for a local failure, or the host and what failed for a connection.
  std::string cause{};
  std::string hint{};  // one line of advice for the common cases, or ""
  // The run could not connect, log in or trust the server.
  bool connection = false;
};

// The box of a failure: its message, its cause and its hint, a line each.
std::string FailureText(const RunFailure& failure);

// The completion notice the worker posts when a run has ended.
inline constexpr int WM_JOB_DONE = 1025;

enum class CompletionCode : int {
  kRunning = 1,  // the console's own state while a run is in progress; never posted
  kCompleted = 2,
  kFailed = 3,
  kCanceled = 4,
  // Stopped before its first change by the guard against mass deletion.
  kStopped = 5,
};

enum class Answer {
  kYes,
  kNo,
  kCancel,
  // The question was cut short by the user's interrupt (Ctrl-C on the command
  // line); the run ends as canceled, not as failed as after kCancel.
  kInterrupted,
};

class RunConsole {
 public:
  virtual ~RunConsole() = default;

  // Replaces the shown line with `line`; returns once it is shown.
  virtual void ShowLine(const std::string& line) = 0;
  // Shows an error box captioned "VELMORIX" with an OK button and returns
  // when it has been dismissed. Called from the worker thread during a run,
  // and from the starting thread when a run is refused before it starts.
  virtual void ShowError(const std::string& text) = 0;
  // A failure that ends the run, shown as an error box of FailureText
  // unless the console does more with it (its last line shows the cause).
  virtual void ShowFailure(const RunFailure& failure) { ShowError(FailureText(failure)); }
  // Asks a Yes/No/Cancel question and waits for the answer. `text` may hold
  // line breaks.
  virtual Answer Ask(const std::string& text) = 0;
  // Asks whether to trust a server certificate that failed verification, as
  // a Yes/No question; `question` describes it for the user. True trusts it.
  // A console that cannot ask says so, with the certificate's fingerprint,
  // and gives false.
  virtual bool TrustCertificate(const CertificateInfo& certificate,
                                const std::string& question) = 0;
  // Asks whether to trust a server's SSH host key that no known_hosts
  // file holds, as a Yes/No question whose safe answer is No; `fingerprint`
  // is "SHA256:..." as ssh writes it. A console that cannot ask says how
  // to trust it and gives false.
  virtual bool TrustHostKey(const std::string& fingerprint, const std::string& question) {
    (void)fingerprint;
    (void)question;
    return false;
  }
  // Asks for the passphrase of a key file, as for a password: never shown,
  // never kept. Nothing when there is no one to ask or the user declined.
  virtual std::optional<std::string> AskPassphrase(const std::string& keyFile) {
    (void)keyFile;
    return std::nullopt;
  }
  // Asks, before a publish changes anything, whether it may delete that
  // much (see deletion_guard.h): a Yes/No question whose safe answer is No.
  // `deletions` is the count. True lets the run go on.
  virtual bool ConfirmMassDeletion(const std::string& question, int64_t deletions) = 0;
  // The completion notice (WM_JOB_DONE). Must not block: it only records the
  // code and lets the console be closed. The worker still finishes its last
  // step after it, so the job outlives this call.
  virtual void JobDone(CompletionCode code) = 0;

  // A change that a dry run found: the line a real run would log, followed
  // by its reason in parentheses. Unlike ShowLine, the console keeps every
  // one of them for the user to read.
  virtual void ShowChange(const std::string& line) = 0;
  // The one summary line of a transfer or a dry run, after its last line;
  // shown beside that line, never in its place.
  virtual void ShowSummary(const std::string& line) = 0;
  // Starting thread, before the worker starts (so before RunModal): the
  // run's counters, which the console may read from any thread until
  // RunModal has returned. Not called for a listing, which has none.
  virtual void WatchProgress(const RunProgress& progress) = 0;

  // Starting thread: runs the console modally and returns when it has been
  // closed, which is possible only after JobDone. Lines, boxes and questions
  // from the worker may arrive before this is called and must be served by it.
  virtual void RunModal() = 0;
};

}  // namespace velmorix
