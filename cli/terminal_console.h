// The console of a run started from the command line, and Ctrl-C.
//
// TerminalConsole prints each progress line to standard output as it is
// shown (none in a dry run, whose standard output lists only its changes and
// its summary), each message box to standard error as "VELMORIX: <text>",
// and asks the pruning's questions on the terminal. The engine calls it from
// the run's worker thread (and ShowError also from the starting thread);
// output is serialised by a mutex. While RunModal waits on the starting
// thread, it draws the transfer's progress on standard error.
//
// InterruptWatcher turns Ctrl-C (SIGINT) into the run's cancel request. The
// first Ctrl-C sets the cancel event and cuts a question being asked short,
// so that the run ends as canceled, and the console says so; a second one
// ends the program at once with status 130.
#pragma once

#include <chrono>
#include <condition_variable>
#include <mutex>
#include <string>
#include <thread>

#include "engine/cancel_event.h"
#include "engine/run_console.h"

namespace velmorix::cli {

// How a transfer's progress is shown on standard error.
enum class ProgressLine {
  kNone,
  // One line on the terminal, redrawn in place ten times a second at most and
  // cleared when the run ends.
  kRedrawn,
  // --progress where standard error is no terminal: a plain line once a
  // second at most when it has changed, and the last state at the end.
  kPlain,
};

class InterruptWatcher {
 public:
  // Blocks SIGINT in the calling thread, and so in every thread it starts
  // afterwards: construct it before the run's worker exists. SIGINT stays
  // blocked after destruction, so a late Ctrl-C cannot cut a save short.
  // `progress` is the console's, so that the notice of a second Ctrl-C
  // does not land on a progress line.
  explicit InterruptWatcher(CancelEvent& cancelEvent, ProgressLine progress = ProgressLine::kNone);
  ~InterruptWatcher();
  InterruptWatcher(const InterruptWatcher&) = delete;
  InterruptWatcher& operator=(const InterruptWatcher&) = delete;

  // Becomes readable (and stays so) with the first Ctrl-C; -1 when the
  // watcher could not be set up.
  int interruptedFd() const { return notifyPipe_[0]; }

 private:
  void Watch();

  CancelEvent& cancelEvent_;
  ProgressLine progress_;
  int signalFd_ = -1;
  int stopPipe_[2] = {-1, -1};
  int notifyPipe_[2] = {-1, -1};
  std::thread thread_;
};

class TerminalConsole : public RunConsole {
 public:
  enum class Questions {
    kAskTerminal,  // ask on the terminal; Cancel when there is none
    kAnswerYes,    // --yes
  };
  // What becomes of the run's ordinary lines (ShowLine).
  enum class RunLines {
    kPrinted,
    kDropped,  // a dry run: standard output is the list of its changes
  };
  struct Options {
    Questions questions = Questions::kAskTerminal;
    ProgressLine progress = ProgressLine::kNone;
    RunLines runLines = RunLines::kPrinted;
    std::string destination;  // the destination of the run, for hints
    // -q: no run lines, changes or progress line; failures and the summary
    // line only.
    bool quiet = false;
    // --json: standard output is kept for the report, the lines go to
    // standard error.
    bool linesToStandardError = false;
  };

  // `interruptedFd` is InterruptWatcher::interruptedFd() (or -1).
  TerminalConsole(Options options, int interruptedFd);

  void ShowLine(const std::string& line) override;
  void ShowError(const std::string& text) override;
  Answer Ask(const std::string& text) override;
  // Asked on the terminal whatever --yes says: trusting a server is no
  // deletion question. Without a terminal the certificate is refused, and
  // standard error says how to trust it on purpose.
  bool TrustCertificate(const CertificateInfo& certificate, const std::string& question) override;
  // As a certificate: asked on the terminal, else refused with the command
  // that trusts it (--trust-host-key).
  bool TrustHostKey(const std::string& fingerprint, const std::string& question) override;
  // Read on the terminal without echo; nothing without one, or for an
  // empty line.
  std::optional<std::string> AskPassphrase(const std::string& keyFile) override;
  // Asked on the terminal whatever --yes says. Without a terminal the run
  // stops, and standard error says how to allow it (--max-delete).
  bool ConfirmMassDeletion(const std::string& question, int64_t deletions) override;
  void JobDone(CompletionCode code) override;
  // Standard output, one line each.
  void ShowChange(const std::string& line) override;
  // Standard output, once the progress line has been cleared for good.
  void ShowSummary(const std::string& line) override;
  // `progress` must outlive RunModal.
  void WatchProgress(const RunProgress& progress) override;
  // Waits until the worker has posted its completion, drawing the progress
  // line meanwhile (reading only the counters' snapshot, so the upload
  // never waits for it) and saying so on the first Ctrl-C.
  void RunModal() override;

  // True once a line could not be written to standard output. The
  // run goes on (its work on the server matters more), but the command
  // then ends as failed.
  static bool OutputFailed();

 private:
  // These run with outputMutex_ held, which guards the progress line's
  // state below as well.

  // Standard output; the progress line gives way when it shares the terminal.
  void PrintOutput(const std::string& line);
  // Standard error; the progress line gives way.
  void PrintError(const std::string& text);
  // Reads one answer from `fd`; Cancel at the end of input, kInterrupted on
  // Ctrl-C. Without `offerCancel` only y and n are answers.
  Answer ReadAnswer(int inputFd, int promptFd, const std::string& text, bool offerCancel = true);
  // A Yes/No question asked on the terminal whatever --yes says; without
  // one, standard error gets the question, `refusal` and the command that
  // allows it ("velmorix-cli COMMAND NAME OPTION"), and the answer is No.
  bool AskYesNoOnTerminal(const std::string& question, std::string_view refusal,
                          std::string_view command, std::string_view option);
  // Says once, after the first Ctrl-C, that the run is being canceled.
  void NoticeInterrupt();
  // Draws the counters' present state, if it is time to.
  void DrawProgress();
  // Draws progressText_ over the line (again, after other output).
  void RedrawProgressLine();
  void ClearProgressLine();
  // The progress line's last appearance: wiped, or its last state printed.
  void FinishProgress();

  Options options_;
  int interruptedFd_;
  // Standard output is the terminal that standard error draws the progress
  // line on, so that a line printed there must clear it first.
  bool outputSharesTerminal_ = false;
  std::mutex outputMutex_;
  const RunProgress* progress_ = nullptr;
  std::string progressText_;       // last drawn or printed
  bool progressShown_ = false;     // kRedrawn: progressText_ is on the terminal now
  bool progressFinished_ = false;  // never drawn again
  std::chrono::steady_clock::time_point progressPrinted_{};  // kPlain: when last printed
  bool interruptNoticed_ = false;
  std::mutex doneMutex_;
  std::condition_variable doneChanged_;
  bool done_ = false;
};

}  // namespace velmorix::cli
