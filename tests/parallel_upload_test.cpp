// Uploads spread over several connections, against the real test server:
// the same tree and the same log as with one, a server that lets in fewer,
// a failure and a cancel among uploads under way.
#include <ctime>
#include <filesystem>
#include <map>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "tests/support/engine_fixture.h"

namespace velmorix::testing {
namespace {

namespace fs = std::filesystem;

// Every file below `root` with its content.
std::map<std::string, std::string> Contents(const fs::path& root) {
  std::map<std::string, std::string> contents;
  for (const auto& entry : fs::recursive_directory_iterator(root)) {
    if (entry.is_regular_file())
      contents[fs::relative(entry.path(), root).string()] = ReadFile(entry.path());
  }
  return contents;
}

class ParallelUploadTest : public EngineTest {
 protected:
  explicit ParallelUploadTest(TestFtpServerOptions options = {}) : EngineTest(options) {}

  // Folders of files of different sizes, some large enough to be sent in parts.
  void SiteTree() {
    for (int folder = 0; folder < 3; ++folder) {
      for (int file = 0; file < 8; ++file) {
        const std::string name = "f" + std::to_string(folder) + "/p" + std::to_string(file);
        WriteFile(Local(name + ".html"), std::string(100 + file * 7919, 'a' + file));
      }
    }
    WriteFile(Local("index.html"), "top");
    WriteFile(Local("big.bin"), std::string(3 << 20, 'b'));
  }

  void Reset() {
    fs::remove_all(Remote());
    fs::create_directories(Remote());
    ResetConsole();
  }
};

TEST_F(ParallelUploadTest, FourConnectionsPublishWhatOneDoesAndLogItInTheSameOrder) {
  SiteTree();
  profile.connections = 1;
  ASSERT_EQ(Publish(), CompletionCode::kCompleted) << Transcript();
  const auto one = Contents(Remote());
  const std::vector<std::string> oneLog = LogLines();
  EXPECT_TRUE(console().LinesStartingWith("Parallel connections").empty());

  Reset();
  profile.connections = 4;
  ASSERT_EQ(Publish(), CompletionCode::kCompleted) << Transcript();

  EXPECT_EQ(Contents(Remote()), one);
  EXPECT_EQ(Contents(Remote()), Contents(Local()));
  EXPECT_EQ(LogLines(), oneLog);
  EXPECT_EQ(console().LinesStartingWith("Parallel connections"),
            std::vector<std::string>{"Parallel connections to 127.0.0.1 : 4 of 4"});
  ASSERT_EQ(console().summaries.size(), 1u);
  EXPECT_TRUE(console().summaries[0].starts_with("Summary : 26 files uploaded"))
      << console().summaries[0];
}

// A run over a tree published before: the listings are read ahead on the
// other connections and folders are entered only for what is sent or
// deleted there, so every change must still land in its own folder.
TEST_F(ParallelUploadTest, ARunOverAPublishedTreeChangesWhatOneConnectionChanges) {
  profile.options.onlyNewer = 1;
  profile.options.deleteOnServer = 1;
  const auto runOver = [this](int connections) {
    fs::remove_all(Local());
    fs::create_directories(Local());
    Reset();
    SiteTree();
    WriteFile(Local("f0/deep/d.html"), "deep");
    profile.connections = 1;
    EXPECT_EQ(Publish(), CompletionCode::kCompleted) << Transcript();
    // Changed on both sides since: a newer local file in a subfolder, a
    // new one two levels down, files and a folder only the server has.
    WriteFile(Local("f2/p3.html"), "changed");
    SetFileTime(Local("f2/p3.html"), std::time(nullptr) + 86400);
    WriteFile(Local("f0/deep/new.html"), "new");
    WriteFile(Remote("f1/old.html"), "old");
    WriteFile(Remote("f0/deep/old.html"), "old");
    WriteFile(Remote("gone/x/y.html"), "gone");
    ResetConsole();
    profile.connections = connections;
    EXPECT_EQ(Publish(), CompletionCode::kCompleted) << Transcript();
    EXPECT_TRUE(console().errors.empty()) << Transcript();
    return std::pair{Contents(Remote()), LogLines()};
  };

  const auto one = runOver(1);
  const auto four = runOver(4);
  EXPECT_EQ(four.first, Contents(Local()));
  EXPECT_EQ(four.first, one.first);
  EXPECT_EQ(four.second, one.second);
  EXPECT_FALSE(fs::exists(Remote("gone")));
  EXPECT_EQ(four.second.size(), 7u);  // two uploads, four deletions, one folder removed
}

class TwoSessionServerTest : public ParallelUploadTest {
 protected:
  TwoSessionServerTest() : ParallelUploadTest({.maxConnections = 2}) {}
};

TEST_F(TwoSessionServerTest, AServerThatLetsInTwoStillGetsEverything) {
  SiteTree();
  profile.connections = 4;

  ASSERT_EQ(Publish(), CompletionCode::kCompleted) << Transcript();

  EXPECT_EQ(Contents(Remote()), Contents(Local()));
  EXPECT_TRUE(console().errors.empty()) << Transcript();
  EXPECT_EQ(console().LinesStartingWith("Parallel connections"),
            std::vector<std::string>{"Parallel connections to 127.0.0.1 : 2 of 4"});

  // The listings asked of connections that never came are read by the run.
  profile.options.onlyNewer = 1;
  WriteFile(Local("f1/added.html"), "added");
  ResetConsole();
  ASSERT_EQ(Publish(), CompletionCode::kCompleted) << Transcript();
  EXPECT_EQ(Contents(Remote()), Contents(Local()));
  EXPECT_EQ(LogLines(), std::vector<std::string>{"Copy file to FTP : /site/f1/added.html"});
}

TEST_F(ParallelUploadTest, AFailedUploadAmongOthersEndsTheRunWithItsBox) {
  SiteTree();
  // The server holds a folder where the local side has the file f1/p3.html.
  fs::create_directories(Remote("f1/p3.html"));
  profile.connections = 4;

  EXPECT_EQ(Publish(), CompletionCode::kFailed) << Transcript();

  EXPECT_EQ(console().errors,
            std::vector<std::string>{"ＦＴＰへのコマンドでエラー発生[ファイル転送]"});
  EXPECT_EQ(console().events.back(), "done: 3");
  // Nothing of the folder after it was touched: the run ended there.
  EXPECT_FALSE(fs::exists(Remote("f2")));
}

class ShiftJisServerTest : public ParallelUploadTest {
 protected:
  ShiftJisServerTest() : ParallelUploadTest({.names = TestFtpServerOptions::Names::kShiftJis}) {}
};

// The server's names show Shift_JIS only in the walk's first listing; the
// other connections, logged in as UTF-8, must write names as the walk's does.
TEST_F(ShiftJisServerTest, EveryConnectionWritesNamesInTheEncodingTheWalkFound) {
  WriteFile(Remote("既存.txt"), "old");
  for (int file = 0; file < 12; ++file)
    WriteFile(Local("資料/ページ" + std::to_string(file) + ".html"), std::string(5000, 'p'));
  WriteFile(Local("既存.txt"), "old");
  profile.connections = 4;

  ASSERT_EQ(Publish(), CompletionCode::kCompleted) << Transcript();

  EXPECT_EQ(Contents(Remote()), Contents(Local()));
  EXPECT_EQ(console().LinesStartingWith("Parallel connections"),
            std::vector<std::string>{"Parallel connections to 127.0.0.1 : 4 of 4"});
}

class SlowServerTest : public ParallelUploadTest {
 protected:
  SlowServerTest() : ParallelUploadTest({.uploadBytesPerSecond = 256 << 10}) {}
};

TEST_F(SlowServerTest, CancelDuringParallelUploadsEndsAsCanceledAndNamesEachCutFile) {
  for (int file = 0; file < 6; ++file)
    WriteFile(Local("part" + std::to_string(file) + ".bin"), std::string(1 << 20, 'x'));
  profile.connections = 4;
  timeouts = {std::chrono::seconds(20), std::chrono::seconds(20), std::chrono::seconds(20)};
  CancelLater("Copy file to FTP", std::chrono::milliseconds(600));

  EXPECT_EQ(Publish(), CompletionCode::kCanceled) << Transcript();

  EXPECT_EQ(console().LastLine(), "Velmorix Canceled!") << Transcript();
  EXPECT_TRUE(console().errors.empty()) << Transcript();
  EXPECT_LT(std::chrono::steady_clock::now() - canceledAt(), std::chrono::seconds(5));
  // Each file the log says was started is either whole on the server or
  // named as cut short.
  const std::vector<std::string> log = LogLines();
  for (const std::string& line : log) {
    const std::string started = "Copy file to FTP : /site/";
    if (!line.starts_with(started))
      continue;
    const std::string name = line.substr(started.size());
    const bool cut =
        std::find(log.begin(), log.end(), "Copy file to FTP canceled : /site/" + name) != log.end();
    const bool whole = fs::exists(Remote(name)) && fs::file_size(Remote(name)) == (1u << 20);
    EXPECT_NE(cut, whole) << name;
  }
  EXPECT_FALSE(console().LinesStartingWith("Copy file to FTP canceled").empty()) << Transcript();
}

}  // namespace
}  // namespace velmorix::testing
