// The connection test against a real FTP server: for each way a first run
// goes wrong, the step that says so, what it tells the user to change,
// whether a run would work, and that the test changed nothing on the
// server and wrote no log.
#include "engine/connection_check.h"

#include <algorithm>
#include <filesystem>
#include <functional>
#include <optional>
#include <ostream>
#include <string>

#include <gtest/gtest.h>

#include "settings/destinations.h"
#include "tests/support/engine_fixture.h"
#include "tests/support/test_ftp_server.h"

namespace velmorix::testing {
namespace {

struct TestCase {
  const char* name;
  TestFtpServerOptions server;
  std::function<void(FtpProfile&)> destination;
  // The line of the step that tells, cut into what comes before the
  // client's or server's own words and what follows them; the whole line
  // when `ending` is empty.
  std::string line;
  std::string ending;
  CompletionCode completion;
  // What the destination keeps: the data mode 自動 learned, the clock.
  std::optional<int32_t> learnedDataMode;
  int32_t learnedClock = kClockOffsetNotLearned;
};

void PrintTo(const TestCase& c, std::ostream* out) {
  *out << c.name;
}

TestFtpServerOptions SelfSigned() {
  return {.tlsCertificate = TestCertificates::Get().selfSignedPem};
}

class ConnectionTestTest : public EngineTest, public ::testing::WithParamInterface<TestCase> {
 protected:
  ConnectionTestTest() : EngineTest(GetParam().server) {}

  TrustStore store_{true};
};

INSTANTIATE_TEST_SUITE_P(
    FirstRuns, ConnectionTestTest,
    ::testing::Values(
        TestCase{"AllWell",
                 {},
                 [](FtpProfile& p) { p.connections = 2; },
                 "connections: ok, 2 of 2",
                 "",
                 CompletionCode::kCompleted,
                 std::nullopt},
        TestCase{"WrongHost",
                 {},
                 [](FtpProfile& p) { p.url = "no-such-server.invalid"; },
                 "resolve: ",
                 ": check ＵＲＬ",
                 CompletionCode::kFailed,
                 std::nullopt},
        TestCase{"RefusedPort",
                 {},
                 [](FtpProfile& p) { p.port = ClosedPort(); },
                 "connect: ",
                 ": check ＵＲＬ and ポート",
                 CompletionCode::kFailed,
                 std::nullopt},
        TestCase{"WrongPassword",
                 {},
                 [](FtpProfile& p) { p.password = "wrong"; },
                 "login: 530 Authentication failed: check the login name and password",
                 "",
                 CompletionCode::kFailed,
                 std::nullopt},
        TestCase{
            "TlsRefused",
            {},
            [](FtpProfile& p) { p.security = kSecurityTlsRequired; },
            "TLS: 5",
            ": the server offers no TLS: セキュリティ TLS (可能なら) or なし logs in without it",
            CompletionCode::kFailed,
            std::nullopt},
        TestCase{"UnknownCertificate", SelfSigned(),
                 [](FtpProfile& p) { p.security = kSecurityTlsIfAvailable; },
                 "TLS: ", ": accept the certificate if its fingerprint is the server's",
                 CompletionCode::kFailed, std::nullopt},
        TestCase{"MissingFolder",
                 {},
                 [](FtpProfile& p) { p.remoteDir = "/nope"; },
                 "folder: 550 ",
                 ": check サーバーパス",
                 CompletionCode::kFailed,
                 std::nullopt},
        TestCase{"UnreachablePassivePort",
                 {.passive = TestFtpServerOptions::Passive::kSilent},
                 [](FtpProfile& p) { p.dataMode = kDataModePassive; },
                 "list (passive): passive data port unreachable within 0.5 s: データ接続 "
                 "アクティブ works",
                 "",
                 CompletionCode::kFailed,
                 std::nullopt},
        // 自動 gets there, and keeps what it found.
        TestCase{"UnreachablePassivePortWithAuto",
                 {.passive = TestFtpServerOptions::Passive::kSilent},
                 [](FtpProfile&) {},
                 "list (passive): passive data port unreachable within 0.5 s: データ接続 "
                 "アクティブ works",
                 "",
                 CompletionCode::kCompleted,
                 kDataModeActive},
        // ... and forgets it once active mode no longer works.
        TestCase{"LearnedActiveModeFails",
                 {.noConnectBack = true},
                 [](FtpProfile& p) { p.autoDataMode = kDataModeActive; },
                 "list (active): the server did not connect back within 0.5 s: データ接続 "
                 "パッシブ works",
                 "",
                 CompletionCode::kCompleted,
                 kDataModeAuto},
        TestCase{"ConnectionLimit",
                 {.maxConnections = 2},
                 [](FtpProfile& p) { p.connections = 4; },
                 "connections: the server allows 2 connections: 同時接続数 2",
                 "",
                 CompletionCode::kCompleted,
                 std::nullopt},
        // The one write: a file that tells the clock, deleted again.
        TestCase{"ClockOfAListServer",
                 {.mlsd = false},
                 [](FtpProfile& p) { p.clockMode = kClockModeAuto; },
                 "clock: ok, UTC+00:00 (時刻の補正 自動)",
                 "",
                 CompletionCode::kCompleted,
                 std::nullopt,
                 0}),
    [](const auto& info) { return std::string(info.param.name); });

TEST_P(ConnectionTestTest, TheStepThatTellsSaysWhatToChange) {
  const TestCase& c = GetParam();
  profile.connections = 1;
  profile.security = kSecurityNone;
  timeouts.passiveConnect = std::chrono::milliseconds(500);
  // The server answers a wrong password after 3 s, as servers slow down
  // guessing.
  timeouts.reply = std::chrono::milliseconds(5000);
  c.destination(profile);
  std::filesystem::create_directories(Remote("sub"));
  WriteFile(Remote("index.html"), "page");
  const auto before = Tree(server_.root());

  const ConnectionTestReport report = StartConnectionTest(Request());

  EXPECT_EQ(report.completion, c.completion) << Transcript();
  ASSERT_FALSE(report.steps.empty());
  bool told = false;
  for (const TestStep& step : report.steps) {
    const std::string line = TestStepLine(step);
    told = told || (c.ending.empty() ? line == c.line
                                     : line.starts_with(c.line) && line.ends_with(c.ending));
    // Every line reached the console as its step ended.
    EXPECT_EQ(console().LinesStartingWith(line).size(), 1u) << line;
  }
  EXPECT_TRUE(told) << Transcript();
  // A failed step is the run's failure.
  EXPECT_EQ(std::any_of(report.steps.begin(), report.steps.end(),
                        [](const TestStep& step) { return step.verdict == TestVerdict::kFailed; }),
            c.completion == CompletionCode::kFailed)
      << Transcript();
  if (c.completion == CompletionCode::kCompleted) {
    // Every step ran: the listing shows what the folder holds.
    EXPECT_EQ(console().LinesStartingWith("names: ok").size(), 1u) << Transcript();
    EXPECT_FALSE(console().LinesStartingWith("list (").empty());
    for (const std::string& listed : console().LinesStartingWith("list ("))
      EXPECT_TRUE(listed.ends_with("ok, 2 entries") || listed.find("works") != std::string::npos)
          << listed;
  }
  // A certificate is asked about once, as a run asks.
  EXPECT_EQ(console().certificates.size(), c.server.tlsCertificate.empty() ? 0u : 1u);
  EXPECT_EQ(learned.autoDataMode, c.learnedDataMode);
  EXPECT_EQ(learned.clockOffset, c.learnedClock);
  EXPECT_TRUE(console().errors.empty()) << Transcript();

  // Nothing written: not on the server, not in the log. The clock's file
  // is gone again.
  EXPECT_EQ(Tree(server_.root()), before);
  for (const std::string& command : server_.Commands()) {
    if (command.find(".clock-test.velmorix-") != std::string::npos)
      continue;
    const std::string verb = command.substr(command.find(' ') + 1, 4);
    for (const char* writing :
         {"STOR", "APPE", "DELE", "MKD ", "RMD ", "RNFR", "RNTO", "SITE", "MFMT", "STOU"}) {
      EXPECT_NE(verb, writing) << command;
    }
  }
  EXPECT_FALSE(std::filesystem::exists(logPath));
}

}  // namespace
}  // namespace velmorix::testing
