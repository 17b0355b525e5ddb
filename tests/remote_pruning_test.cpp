// The pruning against a real FTP server: what is deleted, what is kept, the
// questions and their answers, deep removals, the entry limit of a removal
// and cancelling one; links on the server and names that differ only in
// letter case; and, against a scripted server, names and folders that a
// hostile server makes up.
#include <algorithm>
#include <filesystem>
#include <set>
#include <string>
#include <string_view>

#include <gtest/gtest.h>

#include "engine/entry_table.h"
#include "settings/destinations.h"
#include "tests/support/engine_fixture.h"

namespace velmorix::testing {
namespace {

namespace fs = std::filesystem;

class PruningTest : public EngineTest {
 protected:
  explicit PruningTest(TestFtpServerOptions options = {}) : EngineTest(options) {}
  void SetUp() override {
    EngineTest::SetUp();
    profile.options.deleteOnServer = 1;
    WriteFile(Local("keep.txt"), "local");
  }
};

TEST_F(PruningTest, UnmatchedEntriesGoWithoutAQuestionWhenDeleteMessageIsOff) {
  WriteFile(Remote("keep.txt"), "server");
  WriteFile(Remote("old.txt"), "old");
  WriteFile(Remote("olddir/x.txt"), "x");
  WriteFile(Remote("olddir/sub/y.txt"), "y");
  // Below a removed folder nothing is spared.
  WriteFile(Remote("olddir/.hidden"), "h");
  WriteFile(Remote("olddir/tool.exe"), "t");
  settings.deleteDots = 1;
  profile.options.ignoreExeFiles = 1;

  ASSERT_EQ(Publish(), CompletionCode::kCompleted) << Transcript();

  EXPECT_EQ(Tree(Remote()), (std::set<std::string>{"keep.txt"}));
  EXPECT_TRUE(console().questions.empty());
  const std::vector<std::string> log = LogLines();
  const std::set<std::string> logged(log.begin(), log.end());
  EXPECT_EQ(logged, (std::set<std::string>{
                        "Copy file to FTP : /site/keep.txt",
                        "Delete file on FTP : /site/old.txt",
                        "Delete file on FTP : /site/olddir/x.txt",
                        "Delete file on FTP : /site/olddir/.hidden",
                        "Delete file on FTP : /site/olddir/tool.exe",
                        "Delete file on FTP : /site/olddir/sub/y.txt",
                        "Remove directory on FTP : /site/olddir/sub",
                        "Remove directory on FTP : /site/olddir",
                    }));
  // A folder is removed only after everything below it.
  const auto position = [&log](const std::string& line) {
    return std::find(log.begin(), log.end(), line) - log.begin();
  };
  EXPECT_LT(position("Remove directory on FTP : /site/olddir/sub"),
            position("Remove directory on FTP : /site/olddir"));
  EXPECT_LT(position("Delete file on FTP : /site/olddir/sub/y.txt"),
            position("Remove directory on FTP : /site/olddir/sub"));
}

TEST_F(PruningTest, WithoutDeleteOnServerNothingIsDeletedAtAnyLevel) {
  profile.options.deleteOnServer = 0;
  WriteFile(Local("sub/a.txt"), "a");
  WriteFile(Remote("old.txt"), "old");
  WriteFile(Remote("sub/old.txt"), "old");
  WriteFile(Remote("olddir/x.txt"), "x");

  ASSERT_EQ(Publish(), CompletionCode::kCompleted) << Transcript();

  EXPECT_EQ(Tree(Remote()), (std::set<std::string>{"keep.txt", "old.txt", "olddir/", "olddir/x.txt",
                                                   "sub/", "sub/a.txt", "sub/old.txt"}));
}

TEST_F(PruningTest, AnEmptyLocalFolderEmptiesItsServerFolder) {
  fs::remove(Local("keep.txt"));
  fs::create_directories(Local("sub"));
  WriteFile(Remote("sub/a.txt"), "a");
  WriteFile(Remote("sub/inner/b.txt"), "b");

  ASSERT_EQ(Publish(), CompletionCode::kCompleted) << Transcript();

  EXPECT_EQ(Tree(Remote()), (std::set<std::string>{"sub/"}));
}

TEST_F(PruningTest, AnEmptyUnmatchedFolderIsRemoved) {
  fs::create_directories(Remote("empty"));

  ASSERT_EQ(Publish(), CompletionCode::kCompleted) << Transcript();

  EXPECT_EQ(Tree(Remote()), (std::set<std::string>{"keep.txt"}));
  EXPECT_TRUE(console().Showed("Remove directory on FTP : /site/empty")) << Transcript();
}

TEST_F(PruningTest, ARemovalThreeLevelsDeepEntersEachLevelByItsFullPath) {
  WriteFile(Remote("a/b/c/file.txt"), "f");
  WriteFile(Remote("a/b/other.txt"), "o");

  ASSERT_EQ(Publish(), CompletionCode::kCompleted) << Transcript();

  EXPECT_EQ(Tree(Remote()), (std::set<std::string>{"keep.txt"}));
  EXPECT_TRUE(console().Showed("Down directory to /site/a"));
  EXPECT_TRUE(console().Showed("Down directory on FTP to /site/a/b"));
  EXPECT_TRUE(console().Showed("Down directory on FTP to /site/a/b/c"));
  EXPECT_TRUE(console().Showed("Change current directory to /site/a/b/c"));
  EXPECT_TRUE(console().Showed("Searching files and directories at /site/a/b/c"));
  EXPECT_TRUE(console().Showed("Delete file on FTP : /site/a/b/c/file.txt"));
  EXPECT_TRUE(console().Showed("Remove directory on FTP : /site/a/b/c"));
}

TEST_F(PruningTest, FoldersLeftOutByTheExclusionsArePrunedLikeAbsentOnes) {
  profile.options.skipImagesFolder = 1;
  profile.options.skipFrontPageFolders = 1;
  WriteFile(Local("Images/a.gif"), "a");
  WriteFile(Local("_vti_cnf/x"), "x");
  WriteFile(Remote("images/a.gif"), "a");
  WriteFile(Remote("_vti_cnf/x"), "x");

  ASSERT_EQ(Publish(), CompletionCode::kCompleted) << Transcript();

  EXPECT_EQ(Tree(Remote()), (std::set<std::string>{"keep.txt"}));
}

TEST_F(PruningTest, DotFilesStayWhenDeleteDotsIsOn) {
  settings.deleteDots = 1;
  WriteFile(Remote(".htaccess"), "h");
  WriteFile(Remote(".olddir/x"), "x");  // the rule is for files only

  ASSERT_EQ(Publish(), CompletionCode::kCompleted) << Transcript();

  EXPECT_EQ(Tree(Remote()), (std::set<std::string>{".htaccess", "keep.txt"}));
}

TEST_F(PruningTest, DotFilesGoWhenDeleteDotsIsOff) {
  settings.deleteDots = 0;
  WriteFile(Remote(".htaccess"), "h");

  ASSERT_EQ(Publish(), CompletionCode::kCompleted) << Transcript();

  EXPECT_EQ(Tree(Remote()), (std::set<std::string>{"keep.txt"}));
}

TEST_F(PruningTest, ExeFilesStayInAnyLetterCaseWhenIgnored) {
  profile.options.ignoreExeFiles = 1;
  WriteFile(Local("setup.exe"), "local");
  WriteFile(Remote("SETUP.EXE"), "server");  // matched: neither uploaded nor deleted
  WriteFile(Remote("OLD.EXE"), "o");
  WriteFile(Remote("old.Exe"), "o");
  WriteFile(Remote("old.exe.bak"), "o");

  ASSERT_EQ(Publish(), CompletionCode::kCompleted) << Transcript();

  EXPECT_EQ(Tree(Remote()), (std::set<std::string>{"OLD.EXE", "SETUP.EXE", "keep.txt", "old.Exe"}));
  EXPECT_EQ(ReadFile(Remote("SETUP.EXE")), "server");
}

TEST_F(PruningTest, ExeFilesGoWhenNotIgnored) {
  WriteFile(Remote("OLD.EXE"), "o");

  ASSERT_EQ(Publish(), CompletionCode::kCompleted) << Transcript();

  EXPECT_EQ(Tree(Remote()), (std::set<std::string>{"keep.txt"}));
}

TEST_F(PruningTest, AFolderOfThousandsOfEntriesIsRemoved) {
  for (int i = 0; i < 2500; ++i)
    WriteFile(Remote("big/f" + std::to_string(i)), "");

  ASSERT_EQ(Publish(), CompletionCode::kCompleted) << Transcript();

  EXPECT_EQ(Tree(Remote()), (std::set<std::string>{"keep.txt"}));
}

// --- The guard against a mass deletion ------------------------------------------

class DeletionGuardRunTest : public PruningTest {
 protected:
  // A site of twelve entries; the local folder holds `local` of its files.
  void Site(int local) {
    fs::remove(Local("keep.txt"));
    for (int i = 0; i < 11; ++i) {
      WriteFile(Remote("page" + std::to_string(i) + ".html"), "p");
      if (i < local)
        WriteFile(Local("page" + std::to_string(i) + ".html"), "p");
    }
    WriteFile(Remote("img/logo.png"), "i");
  }
};

TEST_F(DeletionGuardRunTest, AMassDeletionIsAskedFirstAndNoKeepsTheSiteWhole) {
  const struct {
    const char* name;
    int local;
    std::optional<int64_t> maxDelete;
    bool answer;
    bool asked;
    CompletionCode code;
    size_t left;  // entries left in the server's folder, at every level
  } cases[] = {
      // The site holds 13 entries: eleven pages, a folder and its logo.
      {"empty local folder, answered no", 0, {}, false, true, CompletionCode::kStopped, 13},
      {"empty local folder, answered yes", 0, {}, true, true, CompletionCode::kCompleted, 0},
      {"one page left locally", 1, {}, false, true, CompletionCode::kStopped, 13},
      {"a tidy-up asks nothing", 9, {}, false, false, CompletionCode::kCompleted, 9},
      {"--max-delete allows it", 0, 13, false, false, CompletionCode::kCompleted, 0},
      {"--max-delete below it", 9, 3, true, false, CompletionCode::kStopped, 13},
      {"--max-delete 0", 9, 0, true, false, CompletionCode::kStopped, 13},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    fs::remove_all(Remote());
    fs::remove_all(Local());
    fs::create_directories(Local());
    Site(c.local);
    maxDelete = c.maxDelete;
    ResetConsole().allowMassDeletion = c.answer;

    EXPECT_EQ(Publish(), c.code) << Transcript();

    EXPECT_EQ(console().massDeletionQuestions.size(), c.asked ? 1u : 0u);
    size_t left = 0;
    for ([[maybe_unused]] const auto& entry : fs::recursive_directory_iterator(Remote()))
      ++left;
    EXPECT_EQ(left, c.left);
    if (c.code == CompletionCode::kStopped) {
      EXPECT_EQ(LogText(), "");
      EXPECT_TRUE(console().LastLine().starts_with("Stopped before deleting")) << Transcript();
      ASSERT_EQ(console().summaries.size(), 1u);
      EXPECT_TRUE(console().summaries[0].starts_with("Summary : nothing changed"));
    }
  }
}

// --- The user's exclusions ---------------------------------------------------------

// Deletion on, dot files not kept, every question asked: what the patterns
// name survives on the server, at the top, inside a folder the pruning
// removes and as whole folders, and is never asked about; what they name
// locally is not sent. The deletion guard counts alike: a local folder
// that holds nothing but such entries holds nothing to publish.
TEST_F(PruningTest, ExcludedEntriesSurviveAndAreNeverAskedAbout) {
  profile.excludePatterns = std::string(kNewDestinationExcludePatterns) + "\n*.psd";
  settings.deleteDots = 0;
  settings.deleteMessage = 1;
  WriteFile(Remote(".git/HEAD"), "ref");
  WriteFile(Remote(".git/objects/ab"), "blob");
  WriteFile(Remote("Thumbs.db"), "t");
  WriteFile(Remote("banner.psd"), "server's");
  WriteFile(Remote("old/.DS_Store"), "d");
  WriteFile(Remote("old/page.html"), "p");
  WriteFile(Remote("gone.html"), "g");
  WriteFile(Local("banner.psd"), "local");
  WriteFile(Local(".DS_Store"), "d");
  WriteFile(Local("sub/.svn/entries"), "e");
  console().QueueAnswer(Answer::kYes);
  console().QueueAnswer(Answer::kYes);

  ASSERT_EQ(Publish(), CompletionCode::kCompleted) << Transcript();

  EXPECT_EQ(Tree(Remote()), (std::set<std::string>{".git/", ".git/HEAD", ".git/objects/",
                                                   ".git/objects/ab", "Thumbs.db", "banner.psd",
                                                   "keep.txt", "old/", "old/.DS_Store", "sub/"}));
  EXPECT_EQ(ReadFile(Remote("banner.psd")), "server's");
  std::vector<std::string> asked = console().questions;
  std::sort(asked.begin(), asked.end());
  EXPECT_EQ(asked,
            (std::vector<std::string>{"FTP : /site/old\n以下を全て削除してもよろしいですか。",
                                      "FTP : gone.html\nを削除してもよろしいですか。"}));

  fs::remove_all(Local());
  WriteFile(Local(".DS_Store"), "d");
  WriteFile(Local("banner.psd"), "local");
  ResetConsole().allowMassDeletion = false;
  EXPECT_EQ(Publish(), CompletionCode::kStopped) << Transcript();
  EXPECT_EQ(console().massDeletionQuestions.size(), 1u);

  // Nor are they among the server's entries the guard counts: deleting
  // keep.txt and sub/ deletes everything else there is.
  fs::remove_all(Remote("old"));
  WriteFile(Local("new.html"), "n");
  ResetConsole().allowMassDeletion = false;
  EXPECT_EQ(Publish(), CompletionCode::kStopped) << Transcript();
  EXPECT_EQ(console().massDeletionQuestions.size(), 1u);
}

// --- Questions -----------------------------------------------------------------

class PruningQuestionTest : public PruningTest {
 protected:
  void SetUp() override {
    PruningTest::SetUp();
    settings.deleteMessage = 1;
  }
};

TEST_F(PruningQuestionTest, NoKeepsTheEntryAndYesDeletesTheNext) {
  WriteFile(Remote("old1.txt"), "1");
  WriteFile(Remote("old2.txt"), "2");
  console().QueueAnswer(Answer::kNo);
  console().QueueAnswer(Answer::kYes);

  ASSERT_EQ(Publish(), CompletionCode::kCompleted) << Transcript();

  ASSERT_EQ(console().questions.size(), 2u);
  // The server's listing order decides which is asked first.
  const std::string suffix = "\nを削除してもよろしいですか。";
  const std::string first = console().questions[0];
  ASSERT_TRUE(first.starts_with("FTP : ") && first.ends_with(suffix)) << first;
  const std::string kept = first.substr(6, first.size() - 6 - suffix.size());
  const std::string deleted = kept == "old1.txt" ? "old2.txt" : "old1.txt";
  EXPECT_EQ(console().questions[1], "FTP : " + deleted + suffix);
  EXPECT_TRUE(fs::exists(Remote(kept)));
  EXPECT_FALSE(fs::exists(Remote(deleted)));
}

TEST_F(PruningQuestionTest, AFolderIsAskedForOnceWithItsFullPath) {
  WriteFile(Remote("olddir/a/b.txt"), "b");
  WriteFile(Remote("olddir/c.txt"), "c");
  console().QueueAnswer(Answer::kYes);

  ASSERT_EQ(Publish(), CompletionCode::kCompleted) << Transcript();

  EXPECT_EQ(console().questions,
            std::vector<std::string>{"FTP : /site/olddir\n以下を全て削除してもよろしいですか。"});
  EXPECT_EQ(Tree(Remote()), (std::set<std::string>{"keep.txt"}));
}

TEST_F(PruningQuestionTest, NoToAFolderKeepsAllOfIt) {
  WriteFile(Remote("olddir/a.txt"), "a");
  console().QueueAnswer(Answer::kNo);

  ASSERT_EQ(Publish(), CompletionCode::kCompleted) << Transcript();

  EXPECT_EQ(Tree(Remote()), (std::set<std::string>{"keep.txt", "olddir/", "olddir/a.txt"}));
}

TEST_F(PruningQuestionTest, CancelEndsTheRunAsFailedAndIsLogged) {
  WriteFile(Remote("old.txt"), "o");
  console().QueueAnswer(Answer::kCancel);

  EXPECT_EQ(Publish(), CompletionCode::kFailed);

  EXPECT_TRUE(fs::exists(Remote("old.txt")));
  EXPECT_TRUE(console().errors.empty()) << Transcript();
  EXPECT_EQ(console().LastLine(), "Process is Terminated by User");
  EXPECT_EQ(LogLines().back(), "Process is Terminated by User");
}

// --- Refused deletions --------------------------------------------------------

class ReadOnlyPruningTest : public EngineTest {
 protected:
  ReadOnlyPruningTest() : EngineTest({.writable = false}) {}
  void SetUp() override {
    EngineTest::SetUp();
    profile.options.deleteOnServer = 1;
  }
};

TEST_F(ReadOnlyPruningTest, RefusedFileDeletionShowsItsBox) {
  WriteFile(Remote("old.txt"), "o");

  EXPECT_EQ(Publish(), CompletionCode::kFailed);

  EXPECT_EQ(console().errors,
            std::vector<std::string>{"ＦＴＰへのコマンドでエラー発生[ファイル削除]"});
  EXPECT_TRUE(fs::exists(Remote("old.txt")));
}

TEST_F(ReadOnlyPruningTest, RefusedFolderRemovalShowsItsBox) {
  fs::create_directories(Remote("olddir"));

  EXPECT_EQ(Publish(), CompletionCode::kFailed);

  EXPECT_EQ(console().errors,
            std::vector<std::string>{"ＦＴＰへのコマンドでエラー発生[ディレクトリ削除]"});
}

// --- Cancelling a removal -----------------------------------------------------

class PruningCancelTest : public PruningTest {
 protected:
  void SetUp() override {
    PruningTest::SetUp();
    WriteFile(Remote("olddir/a.txt"), "a");
    WriteFile(Remote("olddir/b.txt"), "b");
    WriteFile(Remote("olddir/c.txt"), "c");
  }
};

TEST_F(PruningCancelTest, CancelWhileListingAFolderDeletesNothingInIt) {
  console().CancelOnLine("Searching files and directories at /site/olddir", cancelEvent);

  EXPECT_EQ(Publish(), CompletionCode::kCanceled);

  EXPECT_EQ(console().LastLine(), "Velmorix Canceled!") << Transcript();
  EXPECT_EQ(Tree(Remote("olddir")).size(), 3u);
}

TEST_F(PruningCancelTest, CancelAfterADeletionStopsAtTheNextEntryAndKeepsTheParents) {
  WriteFile(Remote("outer/olddir/a.txt"), "a");
  WriteFile(Remote("outer/olddir/b.txt"), "b");
  console().CancelOnLine("Delete file on FTP : /site/outer/olddir/", cancelEvent);
  fs::remove_all(Remote("olddir"));

  EXPECT_EQ(Publish(), CompletionCode::kCanceled);

  EXPECT_EQ(console().LastLine(), "Velmorix Canceled!") << Transcript();
  EXPECT_EQ(Tree(Remote("outer/olddir")).size(), 1u);
  EXPECT_TRUE(console().LinesStartingWith("Remove directory").empty()) << Transcript();
}

// --- Deletion stays inside the destination's folder ----------------------------

// pyftpdlib lists a link to a folder as a folder in MLSD and as a link in
// LIST; both listings must leave what the link points to alone.
class PruningLinkTest : public PruningTest, public ::testing::WithParamInterface<bool> {
 protected:
  PruningLinkTest() : PruningTest({.mlsd = GetParam()}) {}
  void SetUp() override {
    PruningTest::SetUp();
    WriteFile(server_.root() / "othersite" / "keep.txt", "other site");
    fs::create_directory_symlink("../othersite", Remote("other"));
    fs::create_directory_symlink(".", Remote("loop"));
  }
};
INSTANTIATE_TEST_SUITE_P(Listings, PruningLinkTest, ::testing::Values(true, false),
                         [](const auto& info) { return info.param ? "Mlsd" : "List"; });

TEST_P(PruningLinkTest, ALinkIsAskedForAndDeletedAsOneEntryAndNeverEntered) {
  settings.deleteMessage = 1;
  console().QueueAnswer(Answer::kYes);
  console().QueueAnswer(Answer::kYes);

  ASSERT_EQ(Publish(), CompletionCode::kCompleted) << Transcript();

  EXPECT_EQ(ReadFile(server_.root() / "othersite" / "keep.txt"), "other site");
  EXPECT_EQ(Tree(Remote()), std::set<std::string>{"keep.txt"});
  EXPECT_EQ(std::set<std::string>(console().questions.begin(), console().questions.end()),
            (std::set<std::string>{"FTP : loop\nを削除してもよろしいですか。",
                                   "FTP : other\nを削除してもよろしいですか。"}));
  const std::vector<std::string> log = LogLines();
  EXPECT_EQ(
      std::set<std::string>(log.begin(), log.end()),
      (std::set<std::string>{"Copy file to FTP : /site/keep.txt", "Delete file on FTP : /site/loop",
                             "Delete file on FTP : /site/other"}));
}

TEST_P(PruningLinkTest, ALocalFolderIsNeverPublishedThroughALinkOfItsName) {
  WriteFile(Local("other/page.html"), "mine");
  WriteFile(Local("loop/page.html"), "mine");

  ASSERT_EQ(Publish(), CompletionCode::kCompleted) << Transcript();

  EXPECT_TRUE(console().Showed("Skip link on FTP : /site/other")) << Transcript();
  EXPECT_TRUE(console().Showed("Skip link on FTP : /site/loop")) << Transcript();
  EXPECT_EQ(Tree(server_.root() / "othersite"), std::set<std::string>{"keep.txt"});
  EXPECT_TRUE(fs::is_symlink(Remote("other")) && fs::is_symlink(Remote("loop")));
}

// Whatever the names on both sides, a run never deletes what it stored or
// created itself, and never loses one of two names that differ only in
// letter case. Each case runs twice: a second run sees the first one's work.
struct Scenario {
  const char* name;
  std::vector<std::string> local;   // files, relative to the source folder
  std::vector<std::string> remote;  // files on the server before the first run
  std::vector<std::string> links;   // "name>target" links made in the server folder
};

void PrintTo(const Scenario& scenario, std::ostream* out) {
  *out << scenario.name;
}

class PruningInvariantTest : public PruningTest, public ::testing::WithParamInterface<Scenario> {};

INSTANTIATE_TEST_SUITE_P(
    Names, PruningInvariantTest,
    ::testing::Values(
        Scenario{"FileSpelledTwiceOnTheServer", {"Index.html"}, {"INDEX.HTML", "Index.html"}, {}},
        Scenario{"FileSpelledOtherwiseOnTheServer", {"Index.html"}, {"INDEX.HTML"}, {}},
        Scenario{"FolderSpelledTwiceOnTheServer",
                 {"Sub/page.html"},
                 {"SUB/other.html", "Sub/page.html"},
                 {}},
        Scenario{"LinkToTheFolderItself", {"page.html", "sub/a.html"}, {}, {"loop>."}}),
    [](const auto& info) { return std::string(info.param.name); });

TEST_P(PruningInvariantTest, NothingStoredOrCreatedInTheRunIsDeletedAndNoSpellingIsLost) {
  const Scenario& scenario = GetParam();
  for (const std::string& file : scenario.local)
    WriteFile(Local(file), "local " + file);
  for (const std::string& file : scenario.remote)
    WriteFile(Remote(file), "server " + file);
  for (const std::string& link : scenario.links) {
    const size_t arrow = link.find('>');
    fs::create_directory_symlink(link.substr(arrow + 1), Remote(link.substr(0, arrow)));
  }
  fs::remove(Local("keep.txt"));

  for (int run = 1; run <= 2; ++run) {
    ResetConsole();
    ASSERT_EQ(Publish(), CompletionCode::kCompleted) << "run " << run << "\n" << Transcript();
    std::set<std::string> written;
    std::set<std::string> deleted;
    for (const std::string& line : LogLines()) {
      for (const char* prefix : {"Copy file to FTP : ", "Create Directory on FTP : "}) {
        if (line.starts_with(prefix))
          written.insert(line.substr(std::string_view(prefix).size()));
      }
      for (const char* prefix : {"Delete file on FTP : ", "Remove directory on FTP : "}) {
        if (line.starts_with(prefix))
          deleted.insert(line.substr(std::string_view(prefix).size()));
      }
    }
    for (const std::string& path : written)
      EXPECT_EQ(deleted.count(path), 0u) << "run " << run << " deleted " << path;
    // Also through another path (a link): every local file is on the server.
    for (const std::string& file : scenario.local)
      EXPECT_EQ(ReadFile(Remote(file)), "local " + file) << "run " << run;
    for (const std::string& file : scenario.remote) {
      if (!fs::exists(Local(file))) {
        EXPECT_TRUE(fs::exists(Remote(file))) << "run " << run << " lost " << file;
      }
    }
  }
}

// --- Names and folders a server makes up -----------------------------------------

class HostileServerPruningTest : public ScriptedEngineTest {
 protected:
  void SetUp() override {
    ScriptedEngineTest::SetUp();
    profile.options.deleteOnServer = 1;
  }
};

TEST_F(HostileServerPruningTest, NamesThatLeaveTheFolderAreNeverUsedInACommand) {
  Serve([](std::string_view, const std::string& folder) {
    ScriptedFtpServer::Listing listing;
    if (folder == "/site") {
      listing.data = Mlsd("file", "../victim.txt") + Mlsd("file", "/home/user/.profile") +
                     Mlsd("dir", "..") + Mlsd("dir", ".") + Mlsd("dir", "sub/../..") +
                     Mlsd("file", "line\rbreak") + Mlsd("file", "\x1b[2Jclear.txt") +
                     Mlsd("file", "plain.txt");
    }
    return listing;
  });

  ASSERT_EQ(Publish(), CompletionCode::kCompleted) << Transcript();

  EXPECT_EQ(scripted().CommandsStartingWith("DELE"),
            (std::vector<std::string>{"DELE \x1b[2Jclear.txt", "DELE plain.txt"}));
  EXPECT_TRUE(scripted().CommandsStartingWith("RMD").empty());
  for (const std::string& command : scripted().CommandsStartingWith("CWD"))
    EXPECT_EQ(command, "CWD /site");
  // The name that holds ESC is logged written out, not as a terminal command.
  EXPECT_EQ(LogLines(), (std::vector<std::string>{"Delete file on FTP : /site/\\x1B[2Jclear.txt",
                                                  "Delete file on FTP : /site/plain.txt"}));
}

TEST_F(HostileServerPruningTest, EndlesslyNestedFoldersEndInABoxNotACrash) {
  Serve([](std::string_view command, const std::string&) {
    ScriptedFtpServer::Listing listing;
    listing.data =
        command == "MLSD" ? Mlsd("dir", "d") : "drwxr-xr-x 2 user group 0 Jan 01 2020 d\r\n";
    return listing;
  });

  EXPECT_EQ(Publish(), CompletionCode::kFailed);

  EXPECT_EQ(console().errors,
            std::vector<std::string>{"ERROR AT FTP DIRECTORY TOO DEEP IN DELETE!"});
  EXPECT_TRUE(scripted().CommandsStartingWith("RMD").empty());
  EXPECT_EQ(scripted().CommandsStartingWith("MLSD").size(), size_t{kMaxFolderDepth} + 1)
      << "the destination's folder and one listing per level below it";
}

}  // namespace
}  // namespace velmorix::testing

namespace velmorix::testing {
namespace {

// --- Names the run cannot write, or cannot read ----------------------------------
//
// A name is the same on both sides by its bytes in the destination's
// encoding. A local name the encoding cannot write is passed over, and the
// server's entries it may stand for stay; so does a server entry whose name
// cannot be read. Every row also has a server file to delete and a folder
// to publish after the name: the pruning works, and the run goes on.
struct NameCase {
  const char* name;
  TestFtpServerOptions::Names names;
  int32_t encoding;
  const char* localName;   // "" for none
  const char* serverName;  // as the server's disk holds it (UTF-8, or bytes that are none)
  bool serverKept;
  bool uploaded;  // the local file arrived under its own name
};

void PrintTo(const NameCase& c, std::ostream* out) {
  *out << c.name;
}

class NamePruningTest : public EngineTest, public ::testing::WithParamInterface<NameCase> {
 protected:
  NamePruningTest() : EngineTest({.names = GetParam().names}) {}
};

using Names = TestFtpServerOptions::Names;

INSTANTIATE_TEST_SUITE_P(
    Names, NamePruningTest,
    ::testing::Values(
        // U+301C, as macOS writes it; code page 932 has only U+FF5E for 81 60.
        NameCase{"WaveDashShiftJis", Names::kShiftJis, kNameEncodingShiftJis, "\u301Cwave.html",
                 "\uFF5Ewave.html", true, false},
        // UTF-8 writes both: two names, and the run's own replaces the other.
        NameCase{"WaveDashUtf8", Names::kUtf8, kNameEncodingUtf8, "\u301Cwave.html",
                 "\uFF5Ewave.html", false, true},
        // か and U+3099, as macOS names come; the server holds が.
        NameCase{"DecomposedShiftJis", Names::kShiftJis, kNameEncodingShiftJis,
                 "\u304B\u3099ido.html", "\u304Cido.html", true, false},
        NameCase{"DecomposedEucJp", Names::kEucJp, kNameEncodingEucJp, "\u304B\u3099ido.html",
                 "\u304Cido.html", true, false},
        NameCase{"HalfWidthKatakanaShiftJis", Names::kShiftJis, kNameEncodingShiftJis,
                 "\uFF83\uFF7D\uFF84.html", "\uFF83\uFF7D\uFF84.html", true, true},
        // 95 5C: a trail byte that is "\" in ASCII.
        NameCase{"TrailByte5cShiftJis", Names::kShiftJis, kNameEncodingShiftJis, "\u8868.txt",
                 "\u8868.txt", true, true},
        NameCase{"Latin1ShiftJis", Names::kShiftJis, kNameEncodingShiftJis, "", "caf\xE9.html",
                 true, false},
        NameCase{"Latin1EucJp", Names::kEucJp, kNameEncodingEucJp, "", "caf\xE9.html", true,
                 false}),
    [](const auto& info) { return std::string(info.param.name); });

TEST_P(NamePruningTest, NothingTheRunCouldNotWriteOrReadIsDeleted) {
  const NameCase& c = GetParam();
  profile.nameEncoding = c.encoding;
  profile.options.deleteOnServer = 1;
  WriteFile(Remote(c.serverName), "server copy");
  WriteFile(Remote("old.html"), "old");
  // The test server writes names that are no UTF-8 as "?" where it speaks
  // UTF-8, as no real server does; there the rule is tried in
  // ftp_encoding_test.
  const bool bytesReachTheWire = c.names != Names::kUtf8;
  if (bytesReachTheWire) {
    WriteFile(Remote("aaa/caf\xE9-deep.html"), "deep");
    WriteFile(Local("aaa/.keep"), "");
    WriteFile(Remote("gone/caf\xE9.txt"), "unreadable");
    WriteFile(Remote("gone/x.txt"), "x");
  }
  if (*c.localName != '\0')
    WriteFile(Local(c.localName), "local copy");
  WriteFile(Local("zzz/page.html"), "page");

  ASSERT_EQ(Publish(), CompletionCode::kCompleted) << Transcript();

  EXPECT_TRUE(console().errors.empty()) << Transcript();
  const std::set<std::string> tree = Tree(Remote());
  EXPECT_EQ(tree.count(c.serverName), c.serverKept ? 1u : 0u) << Transcript();
  if (*c.localName != '\0') {
    EXPECT_EQ(ReadFile(Remote(c.localName)) == "local copy", c.uploaded) << Transcript();
  }
  EXPECT_EQ(tree.count("old.html"), 0u);
  EXPECT_EQ(tree.count("zzz/page.html"), 1u);
  if (!bytesReachTheWire)
    return;
  // Names that cannot be read stay wherever they are, and keep the folder
  // that holds them, which no line claims to have removed.
  EXPECT_EQ(tree.count("aaa/caf\xE9-deep.html"), 1u);
  EXPECT_EQ(tree.count("gone/caf\xE9.txt"), 1u);
  EXPECT_EQ(tree.count("gone/x.txt"), 0u);
  for (const std::string& line : LogLines()) {
    EXPECT_EQ(line.find("caf"), std::string::npos) << line;
    EXPECT_NE(line, "Remove directory on FTP : /site/gone");
  }
}

}  // namespace
}  // namespace velmorix::testing

namespace velmorix::testing {
namespace {

// 自動 decided UTF-8 from the root's names; a folder deeper down shows a
// Shift_JIS name. Deleting it and uploading its namesake in UTF-8 would turn
// the site over to another encoding: the run stops with a box instead.
class AutoEncodingTest : public ScriptedEngineTest {};

TEST_F(AutoEncodingTest, NameInAnotherEncodingThanDecidedStopsTheRunBeforeAnyChange) {
  profile.nameEncoding = kNameEncodingAuto;
  profile.dataMode = kDataModeActive;
  profile.options.deleteOnServer = 1;
  profile.options.onlyNewer = 1;
  WriteFile(Local("\u65E5\u672C.html"), "page");
  SetFileTime(Local("\u65E5\u672C.html"), 1577836800);  // 2020-01-01, as listed
  WriteFile(Local("sub/\u8868.txt"), "table");
  Serve(
      [](std::string_view command, const std::string& folder) {
        ScriptedFtpServer::Listing listing;
        if (command == "LIST") {
          // The check that "sub" is no link.
          listing.data = "drwxr-xr-x 2 u g 0 Jan 01  2020 sub\r\n";
        } else {
          listing.data = folder == "/site" ? Mlsd("file", "\u65E5\u672C.html") + Mlsd("dir", "sub")
                                           : Mlsd("file", "\x95\x5C.txt");
        }
        return listing;
      },
      {.utf8 = false});

  ASSERT_EQ(Publish(), CompletionCode::kFailed) << Transcript();

  ASSERT_EQ(console().boxes.size(), 1u) << Transcript();
  EXPECT_NE(console().boxes[0].find("Shift_JIS"), std::string::npos) << console().boxes[0];
  EXPECT_NE(console().boxes[0].find("UTF-8"), std::string::npos) << console().boxes[0];
  EXPECT_TRUE(scripted().CommandsStartingWith("DELE").empty()) << Transcript();
  EXPECT_TRUE(scripted().CommandsStartingWith("STOR").empty()) << Transcript();
}

}  // namespace
}  // namespace velmorix::testing
