// The remote listing tool against a real FTP server: the entry lines byte for
// byte, the log, cancelling a listing and its failures.
#include <stdlib.h>

#include <chrono>
#include <ctime>
#include <filesystem>
#include <string>

#include <gtest/gtest.h>

#include "listing/remote_listing.h"
#include "tests/support/engine_fixture.h"

namespace velmorix::testing {
namespace {

namespace fs = std::filesystem;

// Local time is Japan's for every case: nine hours ahead, no daylight saving.
class ListingTest : public EngineTest {
 protected:
  void SetUp() override {
    EngineTest::SetUp();
    const char* zone = getenv("TZ");
    savedZone_ = zone ? std::optional<std::string>(zone) : std::nullopt;
    setenv("TZ", "JST-9", 1);
    tzset();
  }
  void TearDown() override {
    if (savedZone_) {
      setenv("TZ", savedZone_->c_str(), 1);
    } else {
      unsetenv("TZ");
    }
    tzset();
  }
  std::set<std::string> LoggedSet() const {
    const std::vector<std::string> lines = LogLines();
    return {lines.begin(), lines.end()};
  }

 private:
  std::optional<std::string> savedZone_;
};

TEST_F(ListingTest, FileAndFolderLinesAreByteForByte) {
  WriteFile(Remote("images/inner.gif"), "i");
  WriteFile(Remote("index.html"), "x");
  SetFileTime(Remote("index.html"), 1'700'000'000);  // 2023-11-14 22:13:20 UTC
  SetFileTime(Remote("images"), 883'612'799);        // 1997-12-31 23:59:59 UTC

  ASSERT_EQ(List(), CompletionCode::kCompleted) << Transcript();

  const std::string fileLine = " " + std::string(20, ' ') + "index.html" + "   11/15/23 7:13:20";
  const std::string folderLine = " " + std::string(22, ' ') + "[images]" + "   1/1/98 8:59:59";
  EXPECT_EQ(LoggedSet(), (std::set<std::string>{fileLine, folderLine}));
  EXPECT_EQ(LogLines().size(), 2u) << "sub-folders are listed as entries only";
  EXPECT_EQ(console().lines.front(), "Velmorix Started...");
  EXPECT_TRUE(console().Showed("Serching FTP Server processing... FTP= /site"));
  EXPECT_EQ(console().LastLine(), "FTP ls command completed!");
}

TEST_F(ListingTest, WidthCountsColumnsAndLongNamesPushTheTimeRight) {
  const std::string japanese = "日本語.txt";  // 10 columns in a Japanese fixed-width font
  const std::string longName(40, 'n');
  WriteFile(Remote(japanese), "j");
  WriteFile(Remote(longName), "l");
  SetFileTime(Remote(japanese), 1'000'000'000);  // 2001-09-09 01:46:40 UTC
  SetFileTime(Remote(longName), 1'000'000'000);

  ASSERT_EQ(List(), CompletionCode::kCompleted) << Transcript();

  EXPECT_EQ(LoggedSet(), (std::set<std::string>{
                             " " + std::string(20, ' ') + japanese + "   9/9/01 10:46:40",
                             " " + longName + "   9/9/01 10:46:40",
                         }));
}

TEST(ListingLineTest, NameFieldIsThirtyColumnsWithControlCharactersWrittenOut) {
  struct Case {
    RemoteEntry entry;
    std::string field;  // the name field, up to the three spaces before the time
  };
  const Case cases[] = {
      {{.name = "日本語.html"}, std::string(19, ' ') + "日本語.html"},
      {{.name = "ｶﾀｶﾅ.html"}, std::string(21, ' ') + "ｶﾀｶﾅ.html"},
      {{.name = "画像", .isDir = true}, std::string(24, ' ') + "[画像]"},
      {{.name = "..", .isDir = true}, std::string(26, ' ') + "[..]"},
      {{.name = "../victim.txt"}, std::string(17, ' ') + "../victim.txt"},
      {{.name = "\x1b[2Jcr\rname"}, std::string(15, ' ') + "\\x1B[2Jcr\\rname"},
  };
  for (const Case& c : cases) {
    const std::string line = FormatListingLine(c.entry);
    EXPECT_TRUE(line.starts_with(" " + c.field + "   ")) << line;
  }
}

TEST_F(ListingTest, EmptyFolderCompletesWithAnEmptyLog) {
  WriteFile(logPath, "the listing before\r\n");

  ASSERT_EQ(List(), CompletionCode::kCompleted) << Transcript();

  EXPECT_TRUE(console().LinesStartingWith("Serching").empty());
  EXPECT_EQ(console().LastLine(), "FTP ls command completed!");
  EXPECT_TRUE(fs::exists(logPath));
  EXPECT_EQ(LogText(), "");
}

TEST_F(ListingTest, MissingFolderShowsTheFailureLineThenTheServerPathBox) {
  profile.remoteDir = "/missing";

  EXPECT_EQ(List(), CompletionCode::kFailed);

  ASSERT_GE(console().events.size(), 3u);
  const size_t n = console().events.size();
  EXPECT_EQ(console().events[n - 3], "line: Velmorix Failed..See Error Message !!");
  EXPECT_EQ(console().events[n - 2], "error: パラメタ指定の誤りです。[ＦＴＰサーバーパス]");
  EXPECT_EQ(console().events[n - 1], "done: 3");
}

TEST_F(ListingTest, WrongPasswordFailsWithOneBoxAndNoClosingLine) {
  profile.password = "wrong";

  EXPECT_EQ(List(), CompletionCode::kFailed);

  EXPECT_EQ(console().errors.size(), 1u);
  EXPECT_EQ(console().LastLine(), "Connect to " + profile.url + " processing...");
}

TEST_F(ListingTest, ListingNeedsNoSourceFolder) {
  profile.localDir = "/no/such/folder";
  WriteFile(Remote("a"), "a");

  EXPECT_EQ(List(), CompletionCode::kCompleted) << Transcript();

  EXPECT_EQ(LogLines().size(), 1u);
}

// --- Cancelling a listing -------------------------------------------------------

class ListingCancelTest : public ListingTest {
 protected:
  void Entries(int count) {
    for (int i = 0; i < count; ++i)
      WriteFile(Remote("f" + std::to_string(i)), "x");
  }
};

TEST_F(ListingCancelTest, CancelBeforeTheFirstEntryListsNothing) {
  Entries(3);
  console().CancelOnLine("Serching FTP Server", cancelEvent);

  EXPECT_EQ(List(), CompletionCode::kCanceled);

  EXPECT_EQ(console().LastLine(), "FTP ls command canceled!");
  EXPECT_EQ(console().events.back(), "done: 4");
  EXPECT_EQ(LogText(), "");
}

TEST_F(ListingCancelTest, CancelAfterAnEntryKeepsTheLinesWrittenBefore) {
  Entries(3);
  console().CancelOnLine(" ", cancelEvent);  // the first entry line

  EXPECT_EQ(List(), CompletionCode::kCanceled);

  EXPECT_EQ(LogLines().size(), 1u);
  EXPECT_EQ(console().LastLine(), "FTP ls command canceled!");
}

TEST_F(ListingCancelTest, TheLastEntryIsAlwaysListed) {
  Entries(2);
  console().CancelOnLine(" ", cancelEvent);  // after the first of two

  EXPECT_EQ(List(), CompletionCode::kCompleted) << Transcript();

  EXPECT_EQ(LogLines().size(), 2u);
  EXPECT_EQ(console().LastLine(), "FTP ls command completed!");
}

// --- A server that sends what it should not ---------------------------------------

class ScriptedServerListingTest : public ScriptedEngineTest {};

TEST_F(ScriptedServerListingTest, NamesTheWalkLeavesAloneAreStillShownEscaped) {
  Serve([](std::string_view, const std::string&) {
    return ScriptedFtpServer::Listing{.data = Mlsd("file", "../victim.txt") + Mlsd("dir", "..") +
                                              Mlsd("file", "line\rbreak")};
  });

  ASSERT_EQ(List(), CompletionCode::kCompleted) << Transcript();

  const std::vector<std::string> lines = LogLines();
  ASSERT_EQ(lines.size(), 3u);
  EXPECT_NE(lines[0].find(" ../victim.txt   "), std::string::npos) << lines[0];
  EXPECT_NE(lines[1].find(" [..]   "), std::string::npos) << lines[1];
  EXPECT_NE(lines[2].find(" line\\rbreak   "), std::string::npos) << lines[2];
}

TEST_F(ScriptedServerListingTest, CancelEndsAListingThatTricklesForEver) {
  timeouts = {std::chrono::seconds(20), std::chrono::seconds(20), std::chrono::seconds(20)};
  Serve([](std::string_view, const std::string&) {
    return ScriptedFtpServer::Listing{
        .data = "x", .chunk = 1, .pause = std::chrono::milliseconds(200), .endless = true};
  });
  CancelLater("Connect to", std::chrono::milliseconds(500));

  EXPECT_EQ(List(), CompletionCode::kCanceled);

  EXPECT_LT(std::chrono::steady_clock::now() - canceledAt(), std::chrono::seconds(3));
  EXPECT_EQ(console().LastLine(), "FTP ls command canceled!") << Transcript();
  EXPECT_TRUE(console().errors.empty()) << Transcript();
}

}  // namespace
}  // namespace velmorix::testing
