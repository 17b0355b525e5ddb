// The pruning against a real FTP server: what is deleted, what is kept, the
// questions and their answers, deep removals, the entry limit of a removal
// and cancelling one.
#include <algorithm>
#include <filesystem>
#include <string>

#include <gtest/gtest.h>

#include "engine/entry_table.h"
#include "tests/support/engine_fixture.h"

namespace velmorix::testing {
namespace {

namespace fs = std::filesystem;

class PruningTest : public EngineTest {
 protected:
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

TEST_F(PruningTest, AFolderOfExactlyAThousandEntriesIsRemoved) {
  for (int i = 0; i < kMaxEntries; ++i)
    WriteFile(Remote("big/f" + std::to_string(i)), "");

  ASSERT_EQ(Publish(), CompletionCode::kCompleted) << Transcript();

  EXPECT_EQ(Tree(Remote()), (std::set<std::string>{"keep.txt"}));
}

TEST_F(PruningTest, AFolderOfAThousandAndOneEntriesCannotBeRemoved) {
  for (int i = 0; i <= kMaxEntries; ++i)
    WriteFile(Remote("big/f" + std::to_string(i)), "");

  EXPECT_EQ(Publish(), CompletionCode::kFailed);

  EXPECT_EQ(console().errors, std::vector<std::string>{"ERROR AT FTP FINDNEXT FILE IN DELETE!"});
  EXPECT_EQ(Tree(Remote("big")).size(), static_cast<size_t>(kMaxEntries + 1));
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

}  // namespace
}  // namespace velmorix::testing
