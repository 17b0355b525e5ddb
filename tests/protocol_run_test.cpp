// The same publish on both protocols: one scenario (a first publish, a
// re-run with nothing to do, a pruning, a dry run and a listing) run by the
// real engine against a real FTP server and a real SSH server, each row
// with the same tree and the same log; then what only SFTP has (host keys
// asked about, the login line).
#include <algorithm>
#include <cstdlib>
#include <filesystem>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "settings/destinations.h"
#include "sftp/sftp_connector.h"
#include "tests/support/engine_fixture.h"
#include "tests/support/test_ssh_server.h"

namespace velmorix::testing {
namespace {

namespace fs = std::filesystem;

struct ProtocolCase {
  const char* name;
  bool sftp;
  int connections;
};

class ProtocolRunTest : public EngineRunTest, public ::testing::WithParamInterface<ProtocolCase> {
 protected:
  void SetUp() override {
    EngineRunTest::SetUp();
    // The program's own known_hosts file goes to a folder of the test's;
    // no agent of the user's answers.
    setenv("XDG_CONFIG_HOME", config_.str().c_str(), 1);
    unsetenv("SSH_AUTH_SOCK");
    profile.connections = GetParam().connections;
    if (GetParam().sftp) {
      if (!TestSshServer::Available())
        GTEST_SKIP() << "sshd is not installed";
      ssh_.emplace();
      ssh_->Start();
      UseServer(ssh_->host(), ssh_->port());
      profile.protocol = kProtocolSftp;
      profile.userId = TestSshServer::User();
      profile.password.clear();
      profile.keyFile = ssh_->clientKey();
      profile.trustedHostKey = ssh_->HostKeyFingerprint();
      remoteRoot_ = ssh_->root() / "site";
      profile.remoteDir = remoteRoot_.string();
    } else {
      ftp_.emplace();
      ftp_->Start();
      UseServer(ftp_->host(), ftp_->port());
      remoteRoot_ = ftp_->root() / "site";
    }
    fs::create_directories(remoteRoot_);
  }
  void TearDown() override { unsetenv("XDG_CONFIG_HOME"); }

  RunRequest Request() {
    RunRequest request = EngineRunTest::Request();
    request.connector = sftp::ConnectorFor(profile);
    return request;
  }
  std::optional<CompletionCode> Publish() { return StartTransfer(Request()); }

  // The log with the remote folder written as /site, as the FTP row has it.
  std::vector<std::string> SortedLog() const {
    std::vector<std::string> lines = LogLines();
    for (std::string& line : lines) {
      if (const size_t at = line.find(profile.remoteDir); at != std::string::npos)
        line.replace(at, profile.remoteDir.size(), "/site");
    }
    std::sort(lines.begin(), lines.end());
    return lines;
  }

  TempDir config_;
  std::optional<TestFtpServer> ftp_;
  std::optional<TestSshServer> ssh_;
  fs::path remoteRoot_;
};

INSTANTIATE_TEST_SUITE_P(Rows, ProtocolRunTest,
                         ::testing::Values(ProtocolCase{"Ftp", false, 1},
                                           ProtocolCase{"Sftp", true, 1},
                                           ProtocolCase{"SftpThreeConnections", true, 3}),
                         [](const auto& info) { return info.param.name; });

TEST_P(ProtocolRunTest, PublishesRerunsPrunesDryRunsAndListsAlike) {
  WriteFile(Local("index.html"), "top");
  WriteFile(Local("sub/page.html"), "page");
  WriteFile(Local("sub/deep/a.html"), "a");
  WriteFile(Local("_private/draft.html"), "draft");
  WriteFile(Local("tool.exe"), "exe");
  WriteFile(remoteRoot_ / "stale.html", "stale");
  profile.options = {.onlyNewer = 1,
                     .skipFrontPageFolders = 1,
                     .skipImagesFolder = 0,
                     .ignoreExeFiles = 1,
                     .deleteOnServer = 1};

  ASSERT_EQ(Publish(), CompletionCode::kCompleted) << Transcript();
  EXPECT_EQ(Tree(remoteRoot_), (std::set<std::string>{"index.html", "sub/", "sub/page.html",
                                                      "sub/deep/", "sub/deep/a.html"}));
  EXPECT_EQ(ReadFile(remoteRoot_ / "sub/deep/a.html"), "a");
  EXPECT_EQ(
      SortedLog(),
      (std::vector<std::string>{
          "Copy file to FTP : /site/index.html", "Copy file to FTP : /site/sub/deep/a.html",
          "Copy file to FTP : /site/sub/page.html", "Create Directory on FTP : /site/sub",
          "Create Directory on FTP : /site/sub/deep", "Delete file on FTP : /site/stale.html"}));

  // Nothing changed: the server's times compare with the local ones.
  ResetConsole();
  ASSERT_EQ(Publish(), CompletionCode::kCompleted) << Transcript();
  EXPECT_TRUE(SortedLog().empty()) << ::testing::PrintToString(SortedLog());

  fs::remove(Local("sub/page.html"));
  WriteFile(Local("new.html"), "new");
  ResetConsole();
  ASSERT_EQ(StartTransfer([&] {
              RunRequest request = Request();
              request.mode = RunMode::kDryRun;
              return request;
            }()),
            CompletionCode::kCompleted);
  std::vector<std::string> changes = console().changes;
  for (std::string& line : changes) {
    if (const size_t at = line.find(profile.remoteDir); at != std::string::npos)
      line.replace(at, profile.remoteDir.size(), "/site");
  }
  EXPECT_EQ(changes, (std::vector<std::string>{
                         "Copy file to FTP : /site/new.html  (new)",
                         "Delete file on FTP : /site/sub/page.html  (not on Local HDD)"}));
  EXPECT_TRUE(fs::exists(remoteRoot_ / "sub/page.html"));

  ResetConsole();
  ASSERT_EQ(Publish(), CompletionCode::kCompleted) << Transcript();
  EXPECT_EQ(SortedLog(), (std::vector<std::string>{"Copy file to FTP : /site/new.html",
                                                   "Delete file on FTP : /site/sub/page.html"}));

  ResetConsole();
  ASSERT_EQ(StartListing(Request()), CompletionCode::kCompleted) << Transcript();
  const std::string listed = LogText();
  for (const char* name : {"index.html", "new.html", "[sub]"})
    EXPECT_NE(listed.find(name), std::string::npos) << listed;
}

// SFTP only: an unknown host key is asked about, a refused one fails the
// run as one that could not connect, and the login line names the method.
class SftpHostKeyRunTest : public ProtocolRunTest {};

INSTANTIATE_TEST_SUITE_P(Sftp, SftpHostKeyRunTest, ::testing::Values(ProtocolCase{"Sftp", true, 1}),
                         [](const auto& info) { return info.param.name; });

TEST_P(SftpHostKeyRunTest, UnknownKeyIsAskedAboutAndKeptOnceTrusted) {
  profile.trustedHostKey.clear();
  WriteFile(Local("index.html"), "top");
  struct Step {
    bool trust;
    CompletionCode code;
    size_t questions;
  };
  const Step steps[] = {{false, CompletionCode::kFailed, 1},
                        {true, CompletionCode::kCompleted, 1},
                        {false, CompletionCode::kCompleted, 0}};  // known from now on
  for (const Step& step : steps) {
    ResetConsole().TrustCertificates(step.trust);
    EXPECT_EQ(Publish(), step.code) << Transcript();
    EXPECT_EQ(console().hostKeyQuestions.size(), step.questions);
  }
  ResetConsole().TrustCertificates(false);
  profile.trustedHostKey.clear();
  EXPECT_EQ(Publish(), CompletionCode::kCompleted);
  EXPECT_NE(std::find(console().lines.begin(), console().lines.end(),
                      "Login to 127.0.0.1 by key file " + ssh_->clientKey()),
            console().lines.end())
      << Transcript();
  EXPECT_NE(ReadFile(config_.path() / "Quenzari" / "known_hosts").find(ssh_->KnownHostsLine()),
            std::string::npos);
}

// SFTP only: a cancel while uploads are left going ends the run canceled
// without a box, and each file whose line the log has either arrived whole
// or is named as canceled.
TEST_P(SftpHostKeyRunTest, CancelLeavesNoUploadClaimedThatDidNotArrive) {
  const std::string names[] = {"a.html", "b.html", "c.html"};
  for (const std::string& name : names)
    WriteFile(Local(name), name);
  ResetConsole().CancelOnLine("Copy file to FTP : ", cancelEvent);
  EXPECT_EQ(Publish(), CompletionCode::kCanceled) << Transcript();
  EXPECT_TRUE(console().boxes.empty()) << Transcript();
  const std::vector<std::string> log = SortedLog();
  ASSERT_FALSE(log.empty());
  for (const std::string& name : names) {
    const auto has = [&](const std::string& line) {
      return std::find(log.begin(), log.end(), line) != log.end();
    };
    if (has("Copy file to FTP : /site/" + name) &&
        !has("Copy file to FTP canceled : /site/" + name)) {
      EXPECT_EQ(ReadFile(remoteRoot_ / name), name) << Transcript();
    }
  }
}

}  // namespace
}  // namespace velmorix::testing
