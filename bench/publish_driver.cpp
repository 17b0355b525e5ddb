// The benchmark's publisher: builds a destination from its arguments and
// publishes a local folder with the real engine, printing the run's lines.
//
//   velmorix-bench-publish --host H --port P --user U --password W
//                          --local DIR --remote DIR [--only-newer] [--quiet]
//                          [--log FILE]
//
// Exit status: 0 completed, 1 failed, 2 canceled, 3 refused or bad usage.
// The command-line front end does the same job for users; this program only
// keeps the benchmark independent of it.
#include <condition_variable>
#include <cstdio>
#include <cstdlib>
#include <mutex>
#include <string>
#include <string_view>

#include "engine/transfer_run.h"

namespace {

using velmorix::Answer;
using velmorix::CompletionCode;

// Prints every line (or only counts them) and every box; answers No to any
// question, so that nothing is deleted unasked.
class PrintingConsole : public velmorix::RunConsole {
 public:
  explicit PrintingConsole(bool quiet) : quiet_(quiet) {}

  void ShowLine(const std::string& line) override {
    ++lines_;
    if (!quiet_) std::printf("%s\n", line.c_str());
  }
  void ShowError(const std::string& text) override {
    std::fprintf(stderr, "VELMORIX: %s\n", text.c_str());
  }
  Answer Ask(const std::string& text) override {
    std::fprintf(stderr, "VELMORIX: %s (answered No)\n", text.c_str());
    return Answer::kNo;
  }
  void JobDone(CompletionCode) override {
    std::lock_guard<std::mutex> lock(mutex_);
    done_ = true;
    doneChanged_.notify_all();
  }
  void RunModal() override {
    std::unique_lock<std::mutex> lock(mutex_);
    doneChanged_.wait(lock, [this] { return done_; });
  }
  long lines() const { return lines_; }

 private:
  const bool quiet_;
  long lines_ = 0;
  std::mutex mutex_;
  std::condition_variable doneChanged_;
  bool done_ = false;
};

int Usage() {
  std::fprintf(stderr,
               "usage: velmorix-bench-publish --host H --port P --user U --password W "
               "--local DIR --remote DIR [--only-newer] [--quiet] [--log FILE]\n");
  return 3;
}

}  // namespace

int main(int argc, char** argv) {
  velmorix::AppSettings settings;
  velmorix::FtpProfile profile;
  profile.name = "bench";
  profile.options = {.onlyNewer = 0,
                     .skipFrontPageFolders = 0,
                     .skipImagesFolder = 0,
                     .ignoreExeFiles = 0,
                     .deleteOnServer = 0};
  bool quiet = false;
  std::string logPath = "/dev/null";
  for (int i = 1; i < argc; ++i) {
    const std::string_view arg = argv[i];
    const bool hasValue = i + 1 < argc;
    if (arg == "--only-newer") {
      profile.options.onlyNewer = 1;
    } else if (arg == "--quiet") {
      quiet = true;
    } else if (!hasValue) {
      return Usage();
    } else if (arg == "--host") {
      profile.url = argv[++i];
    } else if (arg == "--port") {
      profile.port = std::atoi(argv[++i]);
    } else if (arg == "--user") {
      profile.userId = argv[++i];
    } else if (arg == "--password") {
      profile.password = argv[++i];
    } else if (arg == "--local") {
      profile.localDir = argv[++i];
    } else if (arg == "--remote") {
      profile.remoteDir = argv[++i];
    } else if (arg == "--log") {
      logPath = argv[++i];
    } else {
      return Usage();
    }
  }
  if (profile.url.empty() || profile.localDir.empty() || profile.remoteDir.empty()) {
    return Usage();
  }

  PrintingConsole console(quiet);
  velmorix::CancelEvent cancelEvent;
  const velmorix::RunRequest request{.settings = settings,
                                     .profile = profile,
                                     .console = console,
                                     .cancelEvent = cancelEvent,
                                     .logPath = logPath};
  const std::optional<CompletionCode> code = velmorix::StartTransfer(request);
  if (quiet) std::printf("%ld lines\n", console.lines());
  if (!code) return 3;
  switch (*code) {
    case CompletionCode::kCompleted:
      return 0;
    case CompletionCode::kCanceled:
      return 2;
    default:
      return 1;
  }
}
