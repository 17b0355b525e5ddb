// A fixture for end-to-end engine tests: a started test FTP server, a local
// source folder, a destination that points at the server's "/site", the two
// delete switches, a log file and a scripted console. Publish() and List()
// run the real engine through StartTransfer and StartListing.
#pragma once

#include <chrono>
#include <filesystem>
#include <memory>
#include <optional>
#include <set>
#include <sstream>
#include <string>
#include <vector>

#include "engine/transfer_run.h"
#include "tests/support/scripted_console.h"
#include "tests/support/test_ftp_server.h"

namespace velmorix::testing {

class EngineTest : public FtpServerTest {
 protected:
  explicit EngineTest(TestFtpServerOptions options = {}) : FtpServerTest(options) {}

  void SetUp() override {
    FtpServerTest::SetUp();
    profile.name = "test";
    profile.url = server_.host();
    profile.port = server_.port();
    profile.userId = TestFtpServer::kUser;
    profile.password = TestFtpServer::kPassword;
    profile.remoteDir = "/site";
    profile.localDir = local_.str();
    profile.options = {.onlyNewer = 0,
                       .skipFrontPageFolders = 0,
                       .skipImagesFolder = 0,
                       .ignoreExeFiles = 0,
                       .deleteOnServer = 0};
    settings.deleteMessage = 0;
    settings.deleteDots = 1;
    std::filesystem::create_directories(Remote());
    logPath = (logDir_.path() / "VELMORIX.LOG").string();
  }

  // A fresh console for the next run; the records of the last run are dropped.
  ScriptedConsole& ResetConsole() {
    console_ = std::make_unique<ScriptedConsole>();
    return *console_;
  }
  ScriptedConsole& console() { return *console_; }

  RunRequest Request() {
    return RunRequest{.settings = settings,
                      .profile = profile,
                      .console = *console_,
                      .cancelEvent = cancelEvent,
                      .logPath = logPath,
                      .timeouts = timeouts};
  }
  std::optional<CompletionCode> Publish() { return StartTransfer(Request()); }
  CompletionCode List() { return StartListing(Request()); }

  std::filesystem::path Local(const std::string& relative = "") const {
    return relative.empty() ? local_.path() : local_.path() / relative;
  }
  // Inside the server's "/site".
  std::filesystem::path Remote(const std::string& relative = "") const {
    return relative.empty() ? server_.root() / "site" : server_.root() / "site" / relative;
  }

  std::string LogText() const { return ReadFile(logPath); }
  // The log split at CR LF; fails the test when a line ends otherwise.
  std::vector<std::string> LogLines() const {
    const std::string text = LogText();
    std::vector<std::string> lines;
    size_t start = 0;
    while (start < text.size()) {
      const size_t end = text.find("\r\n", start);
      if (end == std::string::npos) {
        ADD_FAILURE() << "the log does not end in CR LF: " << text.substr(start);
        break;
      }
      const std::string line = text.substr(start, end - start);
      EXPECT_EQ(line.find('\n'), std::string::npos) << "bare LF in log line: " << line;
      lines.push_back(line);
      start = end + 2;
    }
    return lines;
  }

  // Every file and folder below `root`, as relative paths ("a/b.txt", folders
  // with a trailing "/").
  static std::set<std::string> Tree(const std::filesystem::path& root) {
    std::set<std::string> entries;
    for (const auto& entry : std::filesystem::recursive_directory_iterator(root)) {
      std::string relative = std::filesystem::relative(entry.path(), root).string();
      if (entry.is_directory())
        relative += '/';
      entries.insert(relative);
    }
    return entries;
  }

  // Everything the run showed, for a failing test's message.
  std::string Transcript() const {
    std::ostringstream out;
    for (const std::string& event : console_->events)
      out << "  " << event << "\n";
    return out.str();
  }

  AppSettings settings;
  FtpProfile profile;
  CancelEvent cancelEvent;
  std::string logPath;
  // Short enough that a dead server ends a test quickly.
  FtpTimeouts timeouts{std::chrono::milliseconds(3000), std::chrono::milliseconds(3000),
                       std::chrono::milliseconds(3000)};

 private:
  TempDir local_;
  TempDir logDir_;
  std::unique_ptr<ScriptedConsole> console_ = std::make_unique<ScriptedConsole>();
};

}  // namespace velmorix::testing
