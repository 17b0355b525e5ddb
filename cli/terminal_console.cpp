#include "cli/terminal_console.h"

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <sys/ioctl.h>
#include <sys/signalfd.h>
#include <sys/stat.h>
#include <termios.h>
#include <unistd.h>

#include <atomic>
#include <cctype>
#include <cerrno>
#include <system_error>

#include "base/display_text.h"
#include "cli/command_line.h"
#include "engine/run_progress.h"
#include "resources/string_table.h"

namespace velmorix::cli {
namespace {

using namespace std::chrono_literals;

std::atomic<bool> outputFailed{false};

// How often RunModal looks at the counters, and so the fastest redraw.
constexpr std::chrono::milliseconds kProgressInterval = 100ms;
// A plain progress line (in a file or a pipe) comes at most this often.
constexpr std::chrono::seconds kPlainProgressInterval = 1s;

// Back to the start of the line and clear it to the end.
constexpr std::string_view kClearLine = "\r\x1b[K";

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

// True when `first` and `second` are the same terminal.
bool SameTerminal(int first, int second) {
  struct stat a, b;
  return ::isatty(first) && ::isatty(second) && ::fstat(first, &a) == 0 &&
         ::fstat(second, &b) == 0 && a.st_rdev == b.st_rdev;
}

// The columns of standard error's terminal; 0 when it does not tell.
size_t TerminalColumns() {
  winsize size{};
  if (::ioctl(STDERR_FILENO, TIOCGWINSZ, &size) != 0)
    return 0;
  return size.ws_col;
}

// `text` without as many of its last parts (the progress text separates
// them with two spaces) as it takes to fit in `columns` with the cursor
// after it; a line that wrapped could no longer be redrawn in place.
std::string FitToColumns(std::string text, size_t columns) {
  if (columns == 0)
    return text;
  while (DisplayWidth(text) >= columns) {
    const size_t cut = text.rfind("  ");
    if (cut == std::string::npos)
      return {};
    text.resize(cut);
  }
  return text;
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

InterruptWatcher::InterruptWatcher(CancelEvent& cancelEvent, ProgressLine progress)
    : cancelEvent_(cancelEvent), progress_(progress) {
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
      // The console says so, between its other lines.
      cancelEvent_.Set();
      WriteAll(notifyPipe_[1], "x");
    } else {
      // Not through the console, whose output may be stuck behind a worker
      // that is.
      const std::string clear(progress_ == ProgressLine::kRedrawn ? kClearLine : "");
      WriteAll(STDERR_FILENO, clear + "velmorix-cli: stopped\n");
      ::_exit(kExitInterrupted);
    }
  }
}

TerminalConsole::TerminalConsole(Options options, int interruptedFd)
    : options_(std::move(options)),
      interruptedFd_(interruptedFd),
      outputSharesTerminal_(
          options_.progress == ProgressLine::kRedrawn &&
          (options_.linesToStandardError || SameTerminal(STDOUT_FILENO, STDERR_FILENO))) {}

void TerminalConsole::ShowLine(const std::string& line) {
  if (options_.runLines == RunLines::kDropped || options_.quiet)
    return;
  std::lock_guard lock(outputMutex_);
  PrintOutput(line);
}

void TerminalConsole::ShowChange(const std::string& line) {
  if (options_.quiet)
    return;
  std::lock_guard lock(outputMutex_);
  PrintOutput(line);
}

void TerminalConsole::ShowSummary(const std::string& line) {
  std::lock_guard lock(outputMutex_);
  FinishProgress();
  PrintOutput(line);
}

void TerminalConsole::WatchProgress(const RunProgress& progress) {
  std::lock_guard lock(outputMutex_);
  progress_ = &progress;
}

bool TerminalConsole::OutputFailed() {
  return outputFailed;
}

void TerminalConsole::PrintOutput(const std::string& line) {
  const bool givesWay = outputSharesTerminal_ && progressShown_;
  if (givesWay)
    ClearProgressLine();
  if (options_.linesToStandardError) {
    WriteAll(STDERR_FILENO, line + "\n");
  } else if (!WriteAll(STDOUT_FILENO, line + "\n")) {
    outputFailed = true;
  }
  if (givesWay)
    RedrawProgressLine();
}

void TerminalConsole::PrintError(const std::string& text) {
  const bool givesWay = progressShown_;
  ClearProgressLine();
  WriteAll(STDERR_FILENO, text);
  if (givesWay)
    RedrawProgressLine();
}

void TerminalConsole::ShowError(const std::string& text) {
  std::lock_guard lock(outputMutex_);
  PrintError(BoxText(text) + "\n");
}

Answer TerminalConsole::Ask(const std::string& text) {
  if (options_.questions == Questions::kAnswerYes)
    return Answer::kYes;
  // The lock is held until the answer, so the progress line stays away
  // from the question meanwhile.
  std::lock_guard lock(outputMutex_);
  ClearProgressLine();
  Terminal terminal;
  if (terminal.inputFd < 0) {
    WriteAll(STDERR_FILENO, BoxText(text) + "\n" +
                                "velmorix-cli: no terminal to answer on: answered Cancel "
                                "(--yes answers Yes)\n");
    return Answer::kCancel;
  }
  return ReadAnswer(terminal.inputFd, terminal.promptFd, text);
}

bool TerminalConsole::AskYesNoOnTerminal(const std::string& question, std::string_view refusal,
                                         std::string_view command, std::string_view option) {
  std::lock_guard lock(outputMutex_);
  ClearProgressLine();
  Terminal terminal;
  if (terminal.inputFd >= 0)
    return ReadAnswer(terminal.inputFd, terminal.promptFd, question, false) == Answer::kYes;
  const std::string name =
      options_.destination.empty() ? std::string("NAME") : ShellQuoted(options_.destination);
  std::string text = BoxText(question) + "\nvelmorix-cli: no terminal to answer on: ";
  text.append(refusal).append("velmorix-cli ").append(command);
  text.append(" ").append(name).append(" ").append(option).append("\n");
  WriteAll(STDERR_FILENO, text);
  return false;
}

bool TerminalConsole::TrustCertificate(const CertificateInfo& certificate,
                                       const std::string& question) {
  return AskYesNoOnTerminal(question, "the certificate is refused; to trust it: ", "set",
                            "--trust-fingerprint " + certificate.fingerprint);
}

bool TerminalConsole::TrustHostKey(const std::string& fingerprint, const std::string& question) {
  return AskYesNoOnTerminal(question, "the host key is refused; to trust it: ", "set",
                            "--trust-host-key " + fingerprint);
}

std::optional<std::string> TerminalConsole::AskPassphrase(const std::string& keyFile) {
  std::lock_guard lock(outputMutex_);
  ClearProgressLine();
  Terminal terminal;
  if (terminal.inputFd < 0)
    return std::nullopt;
  WriteAll(terminal.promptFd, "パスフレーズ (" + keyFile + "): ");
  termios shown;
  const bool hidden = tcgetattr(terminal.inputFd, &shown) == 0;
  if (hidden) {
    termios quiet = shown;
    quiet.c_lflag &= ~static_cast<tcflag_t>(ECHO);
    tcsetattr(terminal.inputFd, TCSANOW, &quiet);
  }
  std::string passphrase;
  bool read = false;
  for (;;) {
    char c;
    const ssize_t n = ::read(terminal.inputFd, &c, 1);
    if (n < 0 && errno == EINTR)
      continue;
    if (n <= 0)
      break;
    if (c == '\n') {
      read = true;
      break;
    }
    passphrase.push_back(c);
  }
  if (hidden)
    tcsetattr(terminal.inputFd, TCSANOW, &shown);
  WriteAll(terminal.promptFd, "\n");
  if (!passphrase.empty() && passphrase.back() == '\r')
    passphrase.pop_back();
  if (!read || passphrase.empty())
    return std::nullopt;
  return passphrase;
}

bool TerminalConsole::ConfirmMassDeletion(const std::string& question, int64_t deletions) {
  return AskYesNoOnTerminal(question, "nothing was changed; to allow these deletions: ", "transfer",
                            "--max-delete " + std::to_string(deletions));
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
      NoticeInterrupt();
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
  for (;;) {
    bool done = false;
    {
      std::unique_lock lock(doneMutex_);
      done = doneChanged_.wait_for(lock, kProgressInterval, [this] { return done_; });
    }
    std::lock_guard lock(outputMutex_);
    NoticeInterrupt();
    if (done) {
      FinishProgress();
      return;
    }
    DrawProgress();
  }
}

void TerminalConsole::NoticeInterrupt() {
  if (interruptNoticed_ || interruptedFd_ < 0)
    return;
  pollfd interrupted = {interruptedFd_, POLLIN, 0};
  if (::poll(&interrupted, 1, 0) <= 0 || interrupted.revents == 0)
    return;
  interruptNoticed_ = true;
  PrintError("velmorix-cli: canceling at the next step; press Ctrl-C again to stop at once\n");
}

void TerminalConsole::DrawProgress() {
  if (progress_ == nullptr || progressFinished_ || options_.progress == ProgressLine::kNone)
    return;
  std::string text = FormatProgressText(progress_->Read());
  if (options_.progress == ProgressLine::kPlain) {
    const auto now = std::chrono::steady_clock::now();
    if (text.empty() || text == progressText_ || now - progressPrinted_ < kPlainProgressInterval)
      return;
    progressText_ = std::move(text);
    progressPrinted_ = now;
    WriteAll(STDERR_FILENO, progressText_ + "\n");
    return;
  }
  text = FitToColumns(std::move(text), TerminalColumns());
  if (progressShown_ && text == progressText_)
    return;
  progressText_ = std::move(text);
  if (progressText_.empty())
    ClearProgressLine();
  else
    RedrawProgressLine();
}

void TerminalConsole::RedrawProgressLine() {
  if (options_.progress != ProgressLine::kRedrawn || progressFinished_ || progressText_.empty())
    return;
  // Written over what is shown, and cleared behind it when it got shorter.
  WriteAll(STDERR_FILENO, std::string("\r") + progressText_ + "\x1b[K");
  progressShown_ = true;
}

void TerminalConsole::ClearProgressLine() {
  if (!progressShown_)
    return;
  WriteAll(STDERR_FILENO, kClearLine);
  progressShown_ = false;
}

void TerminalConsole::FinishProgress() {
  if (progressFinished_)
    return;
  if (options_.progress == ProgressLine::kPlain && progress_ != nullptr) {
    // However short the run, its last state is told once.
    const std::string text = FormatProgressText(progress_->Read());
    if (!text.empty() && text != progressText_)
      WriteAll(STDERR_FILENO, text + "\n");
  }
  ClearProgressLine();
  progressFinished_ = true;
}

}  // namespace velmorix::cli
