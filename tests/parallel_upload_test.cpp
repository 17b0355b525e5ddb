// Uploads spread over several connections, against the real test server:
// the same tree and the same log as with one, a server that lets in fewer,
// a failure and a cancel among uploads under way.
#include <algorithm>
#include <chrono>
#include <ctime>
#include <filesystem>
#include <map>
#include <optional>
#include <string>
#include <string_view>
#include <thread>
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

  // Whichever connection sent a file, its name arrived as the walk wrote it.
  EXPECT_EQ(Contents(Remote()), Contents(Local()));
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

class SilentExtrasTest : public ParallelUploadTest {
 protected:
  SilentExtrasTest()
      : ParallelUploadTest({.uploadBytesPerSecond = 256 << 10, .greetedSessions = 1}) {}
};

// The extra connections wait for a greeting that never comes; Cancel must
// not wait for them.
TEST_F(SilentExtrasTest, CancelEndsTheRunWhileExtraLoginsWait) {
  WriteFile(Local("part.bin"), std::string(2 << 20, 'x'));
  profile.connections = 4;
  timeouts = {std::chrono::seconds(20), std::chrono::seconds(20), std::chrono::seconds(20)};
  CancelLater("Copy file to FTP", std::chrono::milliseconds(500));

  EXPECT_EQ(Publish(), CompletionCode::kCanceled) << Transcript();

  EXPECT_LT(std::chrono::steady_clock::now() - canceledAt(), std::chrono::seconds(3));
  EXPECT_EQ(console().LastLine(), "Velmorix Canceled!") << Transcript();
}

// --- Faults real hosts have, each met with 1, 2 and 4 connections ----------
//
// Whatever the timing, a run with several connections must end (far within
// its time-outs) and leave the tree, the log and the result that one
// connection leaves. Each run gets a server of its own, so that its first
// login is the run's own connection, which the faults spare.

// Every file below `root` with its size and a hash of its content, short
// enough to show when two trees differ.
std::map<std::string, std::string> Digests(const fs::path& root) {
  std::map<std::string, std::string> digests;
  for (const auto& [name, content] : Contents(root)) {
    digests[name] =
        std::to_string(content.size()) + "/" + std::to_string(std::hash<std::string>()(content));
  }
  return digests;
}

struct RunOutcome {
  std::optional<CompletionCode> code;
  std::map<std::string, std::string> tree;
  std::vector<std::string> log;
  std::vector<std::string> errors;
  std::vector<std::string> lines;
  std::vector<std::string> commands;  // as the server received them: "<login> <line>"
  std::chrono::steady_clock::duration took{};
};

// The server's command lines of the logins after the run's own.
std::vector<std::string> OfOtherLogins(const std::vector<std::string>& commands) {
  std::vector<std::string> others;
  for (const std::string& command : commands) {
    if (!command.starts_with("0 ") && !command.starts_with("1 "))
      others.push_back(command);
  }
  return others;
}

int Count(const std::vector<std::string>& lines, std::string_view part) {
  return static_cast<int>(std::count_if(lines.begin(), lines.end(), [&](const std::string& line) {
    return line.find(part) != std::string::npos;
  }));
}

struct HostFault {
  const char* name;
  TestFtpServerOptions server;
  // The local tree, and what the server holds before the run.
  void (*prepare)(const fs::path& local, const fs::path& remote);
  // Shows, for a run with `connections`, that the fault was met (and, for
  // a fault one connection does not share, how it ended).
  void (*check)(const RunOutcome& run, int connections) = nullptr;
  // The walk stops for `pause` after the first line that begins with
  // `pauseAt`, while the other connections sit idle.
  const char* pauseAt = nullptr;
  std::chrono::milliseconds pause{0};
  bool deleteOnServer = false;
};

void Files(const fs::path& folder, const std::string& stem, int count, size_t size) {
  for (int i = 0; i < count; ++i)
    WriteFile(folder / (stem + std::to_string(i) + ".html"), std::string(size, 'a' + i % 26));
}

const HostFault kHostFaults[] = {
    {"IdleConnectionsClosedByTheServer",
     {.idleTimeoutSeconds = 0.5},
     [](const fs::path& local, const fs::path& remote) {
       Files(local / "a", "a", 4, 3000);
       Files(local / "b", "b", 4, 3000);
       Files(local / "b/c/d", "d", 6, 3000);
       fs::create_directories(remote / "b/c/d");  // read ahead after the pause
     },
     [](const RunOutcome& run, int connections) {
       // Extra connections were closed, and logged in again.
       if (connections > 1) {
         EXPECT_GT(Count(run.commands, " PASS"), connections);
       }
     },
     "Down to a directory /site/b",
     std::chrono::milliseconds(1200)},
    {"SessionCutDuringAnUpload",
     {.cutUploadOf = "0big.bin"},
     [](const fs::path& local, const fs::path&) {
       WriteFile(local / "0big.bin", std::string(1 << 20, 'b'));
       Files(local / "f", "p", 6, 5000);
     },
     [](const RunOutcome& run, int connections) {
       if (connections > 1) {
         EXPECT_EQ(Count(OfOtherLogins(run.commands), "STOR /site/0big.bin"), 2);
       }
     },
     // The others have logged in and wait when the big file comes.
     "Matching from Local HDD to FTP = /site",
     std::chrono::milliseconds(400)},
    {"OneFileRefused",
     {.refuseUploadOf = "p3.html"},
     [](const fs::path& local, const fs::path&) {
       Files(local / "f0", "p", 6, 20000);
       Files(local / "f1", "q", 6, 20000);
     },
     [](const RunOutcome& run, int) {
       EXPECT_EQ(run.code, CompletionCode::kFailed);
       ASSERT_EQ(run.errors.size(), 1u);
       EXPECT_EQ(run.errors[0],
                 "ＦＴＰへのコマンドでエラー発生[ファイル転送]\n"
                 "/site/f0/p3.html : 553 Could not create file.");
       EXPECT_EQ(Count(run.log, "Copy file to FTP failed : /site/f0/p3.html"), 1);
       // Every other file the log names was sent whole.
       for (const std::string& line : run.log) {
         const std::string copied = "Copy file to FTP : /site/";
         if (line.starts_with(copied) && !line.ends_with("p3.html")) {
           const auto file = run.tree.find(line.substr(copied.size()));
           EXPECT_TRUE(file != run.tree.end() && file->second.starts_with("20000/")) << line;
         }
       }
     }},
    {"ListingFailedAfterItsData",
     {.failListingOf = "d4"},
     [](const fs::path& local, const fs::path& remote) {
       for (int i = 0; i < 6; ++i) {
         const std::string folder = "d" + std::to_string(i);
         Files(local / folder, "p", 5, 3000);
         Files(remote / folder, "p", 5, 10);
       }
     },
     [](const RunOutcome& run, int) {
       // Whichever connection read it, the server's 451 after the data
       // fails the run before anything changes.
       EXPECT_EQ(run.code, CompletionCode::kFailed);
       // (FINDFIRSTFILE where the reply overtook the data.)
       ASSERT_EQ(run.errors.size(), 1u);
       EXPECT_TRUE(run.errors[0].starts_with("ERROR AT FTP FIND")) << run.errors[0];
       EXPECT_EQ(Count(run.commands, "STOR"), 0);
       EXPECT_EQ(run.tree.size(), 30u);
     }},
    {"ExtraLoginsNeverGreeted",
     {.greetedSessions = 1},
     [](const fs::path& local, const fs::path&) { Files(local, "p", 60, 100); }},
    {"PassiveModeRefused",
     {.passive = TestFtpServerOptions::Passive::kRefused},
     [](const fs::path& local, const fs::path& remote) {
       Files(local / "a/b", "p", 5, 2000);
       Files(local / "c", "q", 5, 2000);
       fs::create_directories(remote / "a/b");
       fs::create_directories(remote / "c");
     },
     [](const RunOutcome& run, int) {
       // Learned once, by the run's own connection, for all of them.
       EXPECT_EQ(Count(run.lines, "Passive mode failed"), 1);
       EXPECT_EQ(Count(OfOtherLogins(run.commands), "PSV"), 0);
     }},
    {"TwoLocalFoldersForOneServerFolder",
     {},
     [](const fs::path& local, const fs::path& remote) {
       // "Sub" and "sub" are both the server's "sub". The run decides from
       // the listings it read before any change, so the second does not
       // delete what the first sends there.
       Files(local / "Sub", "s", 10, 60000);
       Files(local / "sub", "t", 1, 100);
       fs::create_directories(remote / "sub");
     },
     [](const RunOutcome& run, int) {
       EXPECT_EQ(run.tree.size(), 11u);
       EXPECT_TRUE(run.tree.contains("sub/t0.html") && run.tree.contains("sub/s9.html"));
     },
     nullptr,
     std::chrono::milliseconds(0),
     true},
};

void PrintTo(const HostFault& fault, std::ostream* out) {
  *out << fault.name;
}

class HostFaultTest : public EngineRunTest, public ::testing::WithParamInterface<HostFault> {
 protected:
  void SetUp() override {
    EngineRunTest::SetUp();
    // Long enough that a wait for a time-out shows as a run that takes long.
    timeouts = {std::chrono::seconds(20), std::chrono::seconds(20), std::chrono::seconds(20)};
    GetParam().prepare(Local(), before_.path());
    profile.options.deleteOnServer = GetParam().deleteOnServer ? 1 : 0;
  }

  RunOutcome Run(int connections) {
    const HostFault& fault = GetParam();
    TestFtpServer server(fault.server);
    server.Start();
    UseServer(server.host(), server.port());
    const fs::path remote = server.root() / "site";
    fs::create_directories(remote);
    fs::copy(before_.path(), remote, fs::copy_options::recursive);
    profile.connections = connections;
    ResetConsole();
    if (fault.pauseAt != nullptr)
      console().OnLine(fault.pauseAt, [&fault] { std::this_thread::sleep_for(fault.pause); });
    RunOutcome run;
    const auto start = std::chrono::steady_clock::now();
    run.code = Publish();
    run.took = std::chrono::steady_clock::now() - start;
    run.tree = Digests(remote);
    run.log = LogLines();
    run.errors = console().boxes;
    run.lines = console().lines;
    run.commands = server.Commands();
    return run;
  }

 private:
  TempDir before_;  // what the server holds before each run
};

TEST_P(HostFaultTest, EndsAndLeavesWhatOneConnectionLeaves) {
  const HostFault& fault = GetParam();
  RunOutcome one;
  for (const int connections : {1, 2, 4}) {
    SCOPED_TRACE(std::to_string(connections) + " connections");
    const RunOutcome run = Run(connections);
    EXPECT_LT(run.took, std::chrono::seconds(8)) << Transcript();
    if (fault.check != nullptr)
      fault.check(run, connections);
    if (connections == 1) {
      one = run;
      if (fault.check == nullptr || run.code != CompletionCode::kFailed) {
        EXPECT_EQ(run.code, CompletionCode::kCompleted) << Transcript();
      }
    } else if (one.code == CompletionCode::kCompleted) {
      // A refused file ends a run where it is noticed, which depends on the
      // timing: that row's check says what must hold.
      EXPECT_EQ(run.code, one.code) << Transcript();
      EXPECT_EQ(run.errors, one.errors);
      EXPECT_EQ(run.tree, one.tree);
      EXPECT_EQ(run.log, one.log);
    }
  }
}

INSTANTIATE_TEST_SUITE_P(Table, HostFaultTest, ::testing::ValuesIn(kHostFaults),
                         [](const auto& info) { return std::string(info.param.name); });

}  // namespace
}  // namespace velmorix::testing
