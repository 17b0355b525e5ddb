// The job's one way of reporting: the message codes of Output and the log
// file they write.
#include <filesystem>
#include <string>

#include <gtest/gtest.h>

#include "engine/transfer_job.h"
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

}  // namespace
}  // namespace velmorix::testing
