// The job's one way of reporting: the message codes of Output and the log
// file they write.
#include <filesystem>
#include <string>

#include <gtest/gtest.h>

#include "engine/run_history.h"
#include "engine/transfer_job.h"
#include "ftp/ftp_messages.h"
#include "tests/support/scripted_console.h"
#include "tests/support/test_ftp_server.h"

namespace velmorix::testing {
namespace {

namespace fs = std::filesystem;

class OutputTest : public ::testing::Test {
 protected:
  OutputTest()
      : job(settings, profile, console, cancelEvent, (dir.path() / "VELMORIX.LOG").string(), {}) {}

  void Emit(int code, const std::string& line) {
    job.statusLine = line;
    job.Output(code);
  }
  std::string Log() const { return ReadFile(job.logPath); }

  TempDir dir;
  AppSettings settings;
  FtpProfile profile;
  ScriptedConsole console;
  CancelEvent cancelEvent;
  TransferJob job;
};

TEST_F(OutputTest, ConsoleAndFileLinesEndInCrLfWhileConsoleLinesStayOutOfTheLog) {
  job.Output(kOutputOpenLog);
  Emit(kOutputConsoleAndLog, "Copy file to FTP : /a/ページ.html");
  Emit(kOutputConsole, "Down to a directory /a");
  Emit(kOutputConsoleAndLog, " %30s   %s");  // a line is written as it is, never as a format
  job.Output(kOutputCloseLog);

  EXPECT_EQ(Log(), "Copy file to FTP : /a/ページ.html\r\n %30s   %s\r\n");
  EXPECT_EQ(console.lines, (std::vector<std::string>{"Copy file to FTP : /a/ページ.html",
                                                     "Down to a directory /a", " %30s   %s"}));
}

TEST_F(OutputTest, EachLogLineIsInTheFileBeforeOutputReturns) {
  job.Output(kOutputOpenLog);
  Emit(kOutputConsoleAndLog, "Copy file to FTP : /a/b.html");

  // A run that is killed now still leaves this line behind.
  EXPECT_EQ(Log(), "Copy file to FTP : /a/b.html\r\n");
  job.Output(kOutputCloseLog);
}

TEST_F(OutputTest, ControlCharactersOfNamesNeverReachTheConsoleTheLogOrABoxRaw) {
  job.Output(kOutputOpenLog);
  Emit(kOutputConsoleAndLog, "Delete file on FTP : /a/x\rCopy file to FTP : /a/\x1b[2J");
  Emit(kOutputConsole, "Down directory to /a/\x1b]0;title\a");
  job.ShowError("530 Login incorrect.\nbye\x1b[31m");
  job.Ask("FTP : \x1b[1mred\nを削除してもよろしいですか。");
  job.Output(kOutputCloseLog);

  const std::string forged = "Delete file on FTP : /a/x\\rCopy file to FTP : /a/\\x1B[2J";
  EXPECT_EQ(Log(), forged + "\r\n");
  EXPECT_EQ(console.lines,
            (std::vector<std::string>{forged, "Down directory to /a/\\x1B]0;title\\x07"}));
  // Line breaks that we put between the lines of a reply or a question stay.
  EXPECT_EQ(console.errors, std::vector<std::string>{"530 Login incorrect.\nbye\\x1B[31m"});
  EXPECT_EQ(console.questions,
            std::vector<std::string>{"FTP : \\x1B[1mred\nを削除してもよろしいですか。"});
}

// The cause line and the hint each kind of failure gets, and what is kept
// of it for the front end.
TEST_F(OutputTest, FailuresNameTheirCauseOnOneLineWithAHintForTheCommonCases) {
  struct Case {
    FtpStatus status;
    bool activeMode;
    std::string cause;
    std::string reply;
    bool hinted;
  };
  const Case cases[] = {
      {{FtpErrorKind::kServerReply, "550 Permission denied.\r\nbye"},
       false,
       "/www/a : 550 Permission denied.\\r\\nbye",
       "550 Permission denied.\\r\\nbye",
       false},
      {{FtpErrorKind::kServerReply, "425 Failed to establish connection."},
       true,
       "/www/a : 425 Failed to establish connection.",
       "425 Failed to establish connection.",
       true},
      {{FtpErrorKind::kServerReply, "425 Failed to establish connection."},
       false,
       "/www/a : 425 Failed to establish connection.",
       "425 Failed to establish connection.",
       false},
      {{FtpErrorKind::kServerReply, "530 Not logged in."},
       false,
       "/www/a : 530 Not logged in.",
       "530 Not logged in.",
       true},
      {{FtpErrorKind::kTimeout, "サーバーの応答がタイムアウトしました (LIST)"},
       false,
       "/www/a : サーバーの応答がタイムアウトしました (LIST)",
       "",
       false},
  };
  for (const Case& c : cases) {
    job.inActiveMode = [&c] { return c.activeMode; };
    job.Fail("ERROR AT FTP FINDFIRSTFILE!", "/www/a", c.status);
    const RunFailure& kept = job.failures.back();
    EXPECT_EQ(kept.message, "ERROR AT FTP FINDFIRSTFILE!");
    EXPECT_EQ(kept.cause, c.cause);
    EXPECT_EQ(kept.reply, c.reply);
    EXPECT_EQ(!kept.hint.empty(), c.hinted) << c.cause;
    EXPECT_FALSE(kept.connection);
    EXPECT_EQ(console.boxes.back(), FailureText(kept));
  }

  struct ConnectCase {
    FtpStatus status;
    std::string cause;
    bool hinted;
  };
  const ConnectCase connecting[] = {
      {{FtpErrorKind::kHostNotFound, "x"},
       "接続先 ftp.example.jp:21 : 名前を解決できませんでした",
       false},
      {{FtpErrorKind::kTimeout, "x"}, "接続先 ftp.example.jp:21 : タイムアウトしました", false},
      {{FtpErrorKind::kLoginFailed, "ログインできませんでした: 530 Login incorrect."},
       "接続先 ftp.example.jp:21 : ログインできませんでした",
       true},
      {{FtpErrorKind::kTlsFailed, ftp::CertificateRefusedText("self-signed", "SHA256:AB")},
       "接続先 ftp.example.jp:21 : 証明書を信頼しませんでした",
       true},
      {{FtpErrorKind::kTlsFailed, ftp::TlsNotOfferedText("500 AUTH?")},
       "接続先 ftp.example.jp:21 : TLS を使えませんでした",
       false},
  };
  for (const ConnectCase& c : connecting) {
    const RunFailure failure = ConnectionFailure("ftp.example.jp", 21, c.status);
    EXPECT_EQ(failure.message, c.status.text);
    EXPECT_EQ(failure.cause, c.cause);
    EXPECT_EQ(!failure.hint.empty(), c.hinted) << c.cause;
    EXPECT_TRUE(failure.connection);
  }
  EXPECT_EQ(ConnectionFailure("h", 21, connecting[2].status).reply, "530 Login incorrect.");
}

TEST_F(OutputTest, OpeningTheLogEmptiesTheOneBefore) {
  WriteFile(job.logPath, "lines of an earlier run\r\n");

  job.Output(kOutputOpenLog);
  job.Output(kOutputCloseLog);

  EXPECT_TRUE(fs::exists(job.logPath));
  EXPECT_EQ(Log(), "");
}

TEST_F(OutputTest, OtherCodesChangeNothing) {
  job.Output(kOutputOpenLog);
  for (int code : {0, 129, 131, 136, 1025})
    Emit(code, "not shown");
  job.Output(kOutputCloseLog);

  EXPECT_TRUE(console.lines.empty());
  EXPECT_EQ(Log(), "");
}

TEST_F(OutputTest, WithoutALogLinesStillReachTheConsole) {
  job.logPath = (dir.path() / "missing-folder" / "VELMORIX.LOG").string();
  job.Output(kOutputOpenLog);
  Emit(kOutputConsoleAndLog, "Delete file on FTP : /a/b");
  job.Output(kOutputCloseLog);
  job.Output(kOutputCloseLog);  // closing twice is harmless

  EXPECT_EQ(console.lines, std::vector<std::string>{"Delete file on FTP : /a/b"});
  EXPECT_FALSE(fs::exists(job.logPath));
}

TEST_F(OutputTest, FailedLogWritesDoNotStopTheRun) {
  // /dev/full accepts the open and refuses every write, like a full disk.
  job.logPath = "/dev/full";
  job.Output(kOutputOpenLog);
  for (int i = 0; i < 10000; ++i)
    Emit(kOutputConsoleAndLog, "Copy file to FTP : /a/b");
  job.Output(kOutputCloseLog);

  EXPECT_EQ(console.lines.size(), 10000u);
}

// The kept history: a publish's change lines survive the next run's log,
// stay one line each whatever a name holds, and are kept to a few MB.
TEST_F(OutputTest, PublishedChangesAreKeptInTheHistoryAcrossRunsAndRotation) {
  const std::string history = (dir.path() / "history.log").string();
  job.historyPath = history;
  job.destination = "shop\tmain";
  job.Output(kOutputOpenLog);
  job.AnnounceChange(ChangeKind::kUpload, ChangeReason::kNew, "/site", "a\nb.html");
  job.AnnounceChange(ChangeKind::kRemoveFolder, ChangeReason::kNotLocal, "/site", "old");
  job.Output(kOutputCloseLog);
  const std::vector<std::string> kept = ReadHistory(history, "shop\tmain", std::nullopt);
  ASSERT_EQ(kept.size(), 2u);
  EXPECT_EQ(kept[0].substr(19), "\tshop\\tmain\tCopy file to FTP : /site/a\\nb.html");
  EXPECT_EQ(kept[1].substr(19), "\tshop\\tmain\tRemove directory on FTP : /site/old");

  // Lines of other destinations and days are told apart.
  AppendHistory(history, "blog", "Delete file on FTP : /x", 86400 * 365);  // in 1971
  EXPECT_EQ(ReadHistory(history, "blog", std::nullopt).size(), 1u);
  EXPECT_EQ(ReadHistory(history, std::nullopt, HistorySince("1972-01-01")).size(), 2u);
  EXPECT_EQ(ReadHistory(history, std::nullopt, HistorySince("2999-01-01 00:00")).size(), 0u);

  // Past the size, the file moves aside whole and the newest lines stay.
  for (int i = 0; i < 40; ++i)
    AppendHistory(history, "blog", "Copy file to FTP : /" + std::to_string(i), 0, 400);
  const std::vector<std::string> after = ReadHistory(history, "blog", std::nullopt);
  ASSERT_FALSE(after.empty());
  EXPECT_LT(after.size(), 30u);
  EXPECT_TRUE(after.back().ends_with("/39"));
  EXPECT_TRUE(fs::exists(history + ".1"));

  // A dry run keeps nothing.
  TransferJob dryRun(settings, profile, console, cancelEvent, job.logPath, {}, RunMode::kDryRun);
  dryRun.historyPath = (dir.path() / "dry.log").string();
  dryRun.AnnounceChange(ChangeKind::kUpload, ChangeReason::kNew, "/site", "a.html");
  EXPECT_FALSE(fs::exists(dryRun.historyPath));
}

TEST(HistorySinceTest, TakesADayOrADayAndTime) {
  const std::pair<const char*, const char*> cases[] = {
      {"2026-12-10", "2026-12-10"},
      {"2026-12-10 09:05", "2026-12-10 09:05"},
      {"2026-12-10T23:59", "2026-12-10 23:59"},
      {"2024-02-29", "2024-02-29"},
      {"2026-02-29", nullptr},
      {"2026-13-01", nullptr},
      {"2026-12-10 24:00", nullptr},
      {"2026-12-1", nullptr},
      {"10/12/2026", nullptr},
      {"2026-12-10 9:05", nullptr},
      {"", nullptr},
  };
  for (const auto& [text, expected] : cases) {
    const std::optional<std::string> since = HistorySince(text);
    EXPECT_EQ(since.has_value(), expected != nullptr) << text;
    if (since && expected) {
      EXPECT_EQ(*since, expected) << text;
    }
  }
}

}  // namespace
}  // namespace velmorix::testing
