#include "cli/terminal_console.h"

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <sys/signalfd.h>
#include <unistd.h>

#include <atomic>
#include <cctype>
#include <cerrno>
#include <system_error>

#include "cli/command_line.h"
#include "resources/string_table.h"

namespace velmorix::cli {
namespace {

std::atomic<bool> outputFailed{false};

// Writes all of `text`; false when the output refused it.
bool WriteAll(int fd, std::string_view text) {
  while (!text.empty()) {
    const ssize_t n = ::write(fd, text.data(), text.size());
    if (n < 0) {
      if (errno == EINTR)
        continue;
      return false;
    }
    text.remove_prefix(static_cast<size_t>(n));
  }
  return true;
}

std::string BoxText(std::string_view text) {
  return std::string(strings::kProgramName) + ": " + std::string(text);
}

// `text` as one word for a POSIX shell.
std::string ShellQuoted(std::string_view text) {
  std::string quoted = "'";
  for (char c : text) {
    if (c == '\'')
      quoted += "'\\''";
    else
      quoted.push_back(c);
  }
  return quoted + "'";
}

void ClosePair(int (&fds)[2]) {
  for (int& fd : fds) {
    if (fd >= 0)
      ::close(fd);
    fd = -1;
  }
}

// The terminal to ask on: the controlling terminal if the process has one,
// else standard input when that is a terminal.
struct Terminal {
  int inputFd = -1;
  int promptFd = -1;
  bool ownsFd = false;

  Terminal() {
    const int tty = ::open("/dev/tty", O_RDWR | O_CLOEXEC | O_NOCTTY);
    if (tty >= 0) {
      inputFd = promptFd = tty;
      ownsFd = true;
    } else if (::isatty(STDIN_FILENO)) {
      inputFd = STDIN_FILENO;
      promptFd = STDERR_FILENO;
    }
  }
  ~Terminal() {
    if (ownsFd)
      ::close(inputFd);
  }
  Terminal(const Terminal&) = delete;
  Terminal& operator=(const Terminal&) = delete;
};

}  // namespace

InterruptWatcher::InterruptWatcher(CancelEvent& cancelEvent) : cancelEvent_(cancelEvent) {
  sigset_t interrupt;
  sigemptyset(&interrupt);
  sigaddset(&interrupt, SIGINT);
  pthread_sigmask(SIG_BLOCK, &interrupt, nullptr);
  signalFd_ = ::signalfd(-1, &interrupt, SFD_CLOEXEC);
  if (signalFd_ < 0 || ::pipe2(stopPipe_, O_CLOEXEC) != 0 || ::pipe2(notifyPipe_, O_CLOEXEC) != 0) {
    // Without the watcher Ctrl-C must still end the program, as usual.
    pthread_sigmask(SIG_UNBLOCK, &interrupt, nullptr);
    return;
  }
  try {
    thread_ = std::thread(&InterruptWatcher::Watch, this);
  } catch (const std::system_error&) {
    pthread_sigmask(SIG_UNBLOCK, &interrupt, nullptr);
  }
}

InterruptWatcher::~InterruptWatcher() {
  if (thread_.joinable()) {
    WriteAll(stopPipe_[1], "x");
    thread_.join();
  }
  if (signalFd_ >= 0)
    ::close(signalFd_);
  ClosePair(stopPipe_);
  ClosePair(notifyPipe_);
}

void InterruptWatcher::Watch() {
  int interrupts = 0;
  for (;;) {
    pollfd fds[2] = {{signalFd_, POLLIN, 0}, {stopPipe_[0], POLLIN, 0}};
    if (::poll(fds, 2, -1) < 0) {
      if (errno == EINTR)
        continue;
      return;
    }
    if (fds[1].revents != 0)
      return;
    if (fds[0].revents == 0)
      continue;
    signalfd_siginfo info;
    if (::read(signalFd_, &info, sizeof info) != static_cast<ssize_t>(sizeof info))
      continue;
    if (++interrupts == 1) {
      cancelEvent_.Set();
      WriteAll(notifyPipe_[1], "x");
      WriteAll(STDERR_FILENO,
               "velmorix-cli: canceling at the next step; press Ctrl-C again to stop at once\n");
    } else {
      WriteAll(STDERR_FILENO, "velmorix-cli: stopped\n");
      ::_exit(kExitInterrupted);
    }
  }
}

TerminalConsole::TerminalConsole(Questions questions, int interruptedFd, std::string destination)
    : questions_(questions), interruptedFd_(interruptedFd), destination_(std::move(destination)) {}

void TerminalConsole::ShowLine(const std::string& line) {
  std::lock_guard lock(outputMutex_);
  if (!WriteAll(STDOUT_FILENO, line + "\n"))
    outputFailed = true;
}

bool TerminalConsole::OutputFailed() {
  return outputFailed;
}

void TerminalConsole::ShowError(const std::string& text) {
  std::lock_guard lock(outputMutex_);
  WriteAll(STDERR_FILENO, BoxText(text) + "\n");
}

Answer TerminalConsole::Ask(const std::string& text) {
  if (questions_ == Questions::kAnswerYes)
    return Answer::kYes;
  std::lock_guard lock(outputMutex_);
  Terminal terminal;
  if (terminal.inputFd < 0) {
    WriteAll(STDERR_FILENO, BoxText(text) + "\n" +
                                "velmorix-cli: no terminal to answer on: answered Cancel "
                                "(--yes answers Yes)\n");
    return Answer::kCancel;
  }
  return ReadAnswer(terminal.inputFd, terminal.promptFd, text);
}

bool TerminalConsole::TrustCertificate(const CertificateInfo& certificate,
                                       const std::string& question) {
  std::lock_guard lock(outputMutex_);
  Terminal terminal;
  if (terminal.inputFd >= 0)
    return ReadAnswer(terminal.inputFd, terminal.promptFd, question, false) == Answer::kYes;
  const std::string name = destination_.empty() ? std::string("NAME") : ShellQuoted(destination_);
  WriteAll(STDERR_FILENO, BoxText(question) + "\n" +
                              "velmorix-cli: no terminal to answer on: the certificate is refused; "
                              "to trust it: velmorix-cli set " +
                              name + " --trust-fingerprint " + certificate.fingerprint + "\n");
  return false;
}

Answer TerminalConsole::ReadAnswer(int inputFd, int promptFd, const std::string& text,
                                   bool offerCancel) {
  WriteAll(promptFd, BoxText(text) + (offerCancel ? " [y/n/c] " : " [y/n] "));
  std::string answer;
  for (;;) {
    pollfd fds[2] = {{inputFd, POLLIN, 0}, {interruptedFd_, POLLIN, 0}};
    const int count = interruptedFd_ >= 0 ? 2 : 1;
    if (::poll(fds, count, -1) < 0) {
      if (errno == EINTR)
        continue;
      return Answer::kCancel;
    }
    if (count == 2 && fds[1].revents != 0) {
      // Ctrl-C cancels the run; it is no answer to the question.
      WriteAll(promptFd, "\n");
      return Answer::kInterrupted;
    }
    char c;
    const ssize_t n = ::read(inputFd, &c, 1);
    if (n < 0 && errno == EINTR)
      continue;
    if (n <= 0) {
      WriteAll(promptFd, "\n");
      return Answer::kCancel;
    }
    if (c != '\n') {
      answer.push_back(c);
      continue;
    }
    while (!answer.empty() && std::isspace(static_cast<unsigned char>(answer.back()))) {
      answer.pop_back();
    }
    while (!answer.empty() && std::isspace(static_cast<unsigned char>(answer.front()))) {
      answer.erase(answer.begin());
    }
    for (char& letter : answer) {
      letter = static_cast<char>(std::tolower(static_cast<unsigned char>(letter)));
    }
    if (answer == "y" || answer == "yes")
      return Answer::kYes;
    if (answer == "n" || answer == "no")
      return Answer::kNo;
    if (offerCancel && (answer == "c" || answer == "cancel"))
      return Answer::kCancel;
    answer.clear();
    WriteAll(promptFd, offerCancel ? "y (yes), n (no) or c (cancel)? " : "y (yes) or n (no)? ");
  }
}

void TerminalConsole::JobDone(CompletionCode) {
  std::lock_guard lock(doneMutex_);
  done_ = true;
  doneChanged_.notify_all();
}

void TerminalConsole::RunModal() {
  std::unique_lock lock(doneMutex_);
  doneChanged_.wait(lock, [this] { return done_; });
}

}  // namespace velmorix::cli
