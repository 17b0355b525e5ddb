// The console of a run started from the command line, and Ctrl-C.
//
// TerminalConsole prints each progress line to standard output as it is
// shown, each message box to standard error as "VELMORIX: <text>", and asks
// the pruning's questions on the terminal. The engine calls it from the
// run's worker thread (and ShowError also from the starting thread); output
// is serialised by a mutex.
//
// InterruptWatcher turns Ctrl-C (SIGINT) into the run's cancel request. The
// first Ctrl-C sets the cancel event and cuts a question being asked short,
// so that the run ends as canceled; a second one ends the program at once
// with status 130.
#pragma once

#include <condition_variable>
#include <mutex>
#include <string>
#include <thread>

#include "engine/cancel_event.h"
#include "engine/run_console.h"

namespace velmorix::cli {

class InterruptWatcher {
 public:
  // Blocks SIGINT in the calling thread, and so in every thread it starts
  // afterwards: construct it before the run's worker exists. SIGINT stays
  // blocked after destruction, so a late Ctrl-C cannot cut a save short.
  explicit InterruptWatcher(CancelEvent& cancelEvent);
  ~InterruptWatcher();
  InterruptWatcher(const InterruptWatcher&) = delete;
  InterruptWatcher& operator=(const InterruptWatcher&) = delete;

  // Becomes readable (and stays so) with the first Ctrl-C; -1 when the
  // watcher could not be set up.
  int interruptedFd() const { return notifyPipe_[0]; }

 private:
  void Watch();

  CancelEvent& cancelEvent_;
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

  // `interruptedFd` is InterruptWatcher::interruptedFd() (or -1).
  // `destination` names the destination of the run, for hints.
  TerminalConsole(Questions questions, int interruptedFd, std::string destination = {});

  void ShowLine(const std::string& line) override;
  void ShowError(const std::string& text) override;
  Answer Ask(const std::string& text) override;
  // Asked on the terminal whatever --yes says: trusting a server is no
  // deletion question. Without a terminal the certificate is refused, and
  // standard error says how to trust it on purpose.
  bool TrustCertificate(const CertificateInfo& certificate, const std::string& question) override;
  void JobDone(CompletionCode code) override;
  // Nothing to show: waits until the worker has posted its completion.
  void RunModal() override;

  // True once a progress line could not be written to standard output. The
  // run goes on (its work on the server matters more), but the command
  // then ends as failed.
  static bool OutputFailed();

 private:
  // Reads one answer from `fd`; Cancel at the end of input, kInterrupted on
  // Ctrl-C. Without `offerCancel` only y and n are answers.
  Answer ReadAnswer(int inputFd, int promptFd, const std::string& text, bool offerCancel = true);

  Questions questions_;
  int interruptedFd_;
  std::string destination_;
  std::mutex outputMutex_;
  std::mutex doneMutex_;
  std::condition_variable doneChanged_;
  bool done_ = false;
};

}  // namespace velmorix::cli
