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
#include <thread>
#include <vector>

#include "engine/transfer_run.h"
#include "listing/remote_listing.h"
#include "tests/support/scripted_console.h"
#include "tests/support/scripted_ftp_server.h"
#include "tests/support/test_ftp_server.h"

namespace velmorix::testing {

// Everything but the server: the destination points nowhere until
// UseServer() is called.
class EngineRunTest : public ::testing::Test {
 protected:
  void SetUp() override {
    profile.name = "test";
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
    logPath = (logDir_.path() / "VELMORIX.LOG").string();
  }

  void UseServer(const std::string& host, uint16_t port) {
    profile.url = host;
    profile.port = port;
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
                      .timeouts = timeouts,
                      .learned = &learned,
                      .maxDelete = maxDelete};
  }
  std::optional<CompletionCode> Publish() { return StartTransfer(Request()); }
  CompletionCode List() { return StartListing(Request()); }

  std::filesystem::path Local(const std::string& relative = "") const {
    return relative.empty() ? local_.path() : local_.path() / relative;
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

  // Presses Cancel `delay` after the first line that begins with `prefix`,
  // as a user would during a step that takes long; canceledAt() tells when.
  void CancelLater(std::string prefix, std::chrono::milliseconds delay) {
    console_->OnLine(std::move(prefix), [this, delay] {
      canceller_ = std::jthread([this, delay] {
        std::this_thread::sleep_for(delay);
        canceledAt_ = std::chrono::steady_clock::now();
        cancelEvent.Set();
      });
    });
  }
  std::chrono::steady_clock::time_point canceledAt() {
    canceller_ = {};  // joined: the time is written
    return canceledAt_;
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
  ConnectionLearned learned;  // what the last run learned
  std::optional<int64_t> maxDelete;
  // Short enough that a dead server ends a test quickly.
  FtpTimeouts timeouts{std::chrono::milliseconds(3000), std::chrono::milliseconds(3000),
                       std::chrono::milliseconds(3000)};

 private:
  TempDir local_;
  TempDir logDir_;
  std::unique_ptr<ScriptedConsole> console_ = std::make_unique<ScriptedConsole>();
  std::chrono::steady_clock::time_point canceledAt_;
  std::jthread canceller_;  // last, so it is joined before what it uses goes
};

// With a scripted server in place of the real one, for what the real one
// cannot be made to send.
class ScriptedEngineTest : public EngineRunTest {
 protected:
  void Serve(ScriptedFtpServer::Script script, ScriptedFtpServer::Options options = {}) {
    scripted_ = std::make_unique<ScriptedFtpServer>(std::move(script), options);
    UseServer(ScriptedFtpServer::kHost, scripted_->port());
  }
  const ScriptedFtpServer& scripted() const { return *scripted_; }

  // An MLSD line for a folder ("dir") or a file ("file") of that name.
  static std::string Mlsd(const std::string& type, const std::string& name) {
    return "type=" + type + ";modify=20200101000000; " + name + "\r\n";
  }

 private:
  std::unique_ptr<ScriptedFtpServer> scripted_;
};

// With a started test FTP server that serves the destination's "/site".
class EngineTest : public EngineRunTest {
 protected:
  explicit EngineTest(TestFtpServerOptions options = {}) : server_(options) {}

  void SetUp() override {
    server_.Start();
    EngineRunTest::SetUp();
    UseServer(server_.host(), server_.port());
    std::filesystem::create_directories(Remote());
  }

  // Inside the server's "/site".
  std::filesystem::path Remote(const std::string& relative = "") const {
    return relative.empty() ? server_.root() / "site" : server_.root() / "site" / relative;
  }

  TestFtpServer server_;
};

}  // namespace velmorix::testing
