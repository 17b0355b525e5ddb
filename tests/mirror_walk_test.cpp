// The mirror walk against a real FTP server: what arrives, what is left out,
// which files an unchanged or newer run uploads, the entry limits and the
// cancel points of the walk; against a scripted server, a cancel while a
// listing or an upload hangs, and a local tree too deep to walk.
#include <sys/stat.h>
#include <unistd.h>

#include <chrono>
#include <filesystem>
#include <optional>
#include <string>

#include <gtest/gtest.h>

#include "engine/entry_table.h"
#include "settings/destinations.h"
#include "tests/support/engine_fixture.h"

namespace velmorix::testing {
namespace {

namespace fs = std::filesystem;

const std::string kTransferFailed = "ＦＴＰへのコマンドでエラー発生[ファイル転送]";
const std::string kCreateFailed = "ＦＴＰへのコマンドでエラー発生[ディレクトリ作成]";

// Bytes that a text-mode or truncating transfer would change.
std::string BinaryContent() {
  std::string content = "line one\r\nline two\nline three\r\n";
  content.push_back('\0');
  for (int i = 0; i < 3000; ++i)
    content.push_back(static_cast<char>(i * 7));
  return content;
}

// --- Names: the rules the walk and the pruning share ------------------------

TEST(NameRulesTest, AsciiLettersFoldButOtherBytesMustBeEqual) {
  EXPECT_TRUE(NamesMatch("Index.HTML", "index.html"));
  EXPECT_TRUE(NamesMatch("日本語Ａ.txt", "日本語Ａ.TXT"));
  // Folding anything beyond ASCII would merge names that Linux keeps apart.
  EXPECT_FALSE(NamesMatch("Ä.txt", "ä.txt"));
  EXPECT_FALSE(NamesMatch("Ａ", "ａ"));  // full-width letters are not folded
  EXPECT_FALSE(NamesMatch("a.txt", "a.txt "));
  EXPECT_FALSE(NamesMatch("[", "{"));  // 0x5B and 0x7B differ by the case bit but are not letters
}

TEST(NameRulesTest, ExeExtensionIsTheTextFromTheLastDot) {
  EXPECT_TRUE(HasExeExtension("SETUP.EXE"));
  EXPECT_TRUE(HasExeExtension("setup.Exe"));
  EXPECT_TRUE(HasExeExtension(".exe"));
  EXPECT_FALSE(HasExeExtension("tool.exe.bak"));
  EXPECT_FALSE(HasExeExtension("exe"));
  EXPECT_FALSE(HasExeExtension("setup.exe2"));
  EXPECT_FALSE(HasExeExtension("setupexe"));
}

TEST(NameRulesTest, NamesThatWouldLeaveTheFolderAreNeverUsable) {
  for (const char* name : {"index.html", ".htaccess", "...", "a b", "日本語", "\x1b[2J"})
    EXPECT_TRUE(IsUsableRemoteName(name)) << name;
  for (std::string_view name :
       {std::string_view(""), std::string_view("."), std::string_view(".."),
        std::string_view("../x"), std::string_view("/etc"), std::string_view("a/b"),
        std::string_view("a\rb"), std::string_view("a\nb"), std::string_view("a\0b", 3)}) {
    EXPECT_FALSE(IsUsableRemoteName(name)) << name;
  }
}

TEST(NameRulesTest, AnExactSpellingIsMatchedBeforeAnotherLetterCase) {
  EntryTable table;
  for (const char* name : {"INDEX.HTML", "Index.html", "index.HTML"})
    AddRemoteEntry(table, RemoteEntry{.name = name});
  EXPECT_EQ(FindRemoteMatch(table, "Index.html"), 1);
  EXPECT_EQ(FindRemoteMatch(table, "index.html"), 0);
  EXPECT_EQ(FindRemoteMatch(table, "about.html"), -1);

  MarkRemoteMatches(table, "Index.html");
  EXPECT_TRUE(table.remoteMatched[0] && table.remoteMatched[1] && table.remoteMatched[2]);
}

// --- Publishing a tree ------------------------------------------------------

class PublishTreeTest : public EngineTest {};

TEST_F(PublishTreeTest, EveryFileAndFolderArrivesByteForByteWithItsExactName) {
  const std::string binary = BinaryContent();
  WriteFile(Local("index.html"), binary);
  WriteFile(Local("sub dir/ページ.html"), "ページ");
  WriteFile(Local("sub dir/deeper/もっと深く/a b c.txt"), "deep");
  WriteFile(Local(".htaccess"), "dot");
  WriteFile(Local("_notes.txt"), "notes");
  WriteFile(Local("Images/a.gif"), "a");
  WriteFile(Local("_vti_cnf/x.htm"), "x");
  WriteFile(Local("SETUP.EXE"), "exe");
  fs::create_directories(Local("empty"));

  ASSERT_EQ(Publish(), CompletionCode::kCompleted) << Transcript();

  EXPECT_EQ(Tree(Remote()), Tree(Local()));
  EXPECT_EQ(ReadFile(Remote("index.html")), binary);
  EXPECT_EQ(ReadFile(Remote("sub dir/deeper/もっと深く/a b c.txt")), "deep");
  EXPECT_EQ(console().LastLine(), "Velmorix Successfully completed!");
  EXPECT_TRUE(console().errors.empty()) << Transcript();
  EXPECT_EQ(console().lines.front(), "Velmorix Started...");
}

TEST_F(PublishTreeTest, LinesNameTheRemotePathsAndOnlyChangesReachTheLog) {
  WriteFile(Local("sub/ページ.html"), "p");

  ASSERT_EQ(Publish(), CompletionCode::kCompleted) << Transcript();

  const std::vector<std::string> expected = {
      "Velmorix Started...",
      "Connect to " + profile.url + " processing...",
      "Connect to " + profile.url + " complete!",
      "Serching Local HDD processing...at " + Local().string(),
      // The remote folder is empty: its listing shows no line.
      "Change current directory FTP = /site",
      "Matching from Local HDD to FTP = /site",
      "Create Directory on FTP : /site/sub",
      "Down to a directory /site/sub",
      "Serching Local HDD processing...at " + Local().string() + "/sub",
      "Change current directory FTP = /site/sub",
      "Matching from Local HDD to FTP = /site/sub",
      "Copy file to FTP : /site/sub/ページ.html",
      "Change current directory to /site",
      "Velmorix Successfully completed!",
  };
  EXPECT_EQ(console().lines, expected);
  EXPECT_EQ(LogLines(), (std::vector<std::string>{"Create Directory on FTP : /site/sub",
                                                  "Copy file to FTP : /site/sub/ページ.html"}));
}

TEST_F(PublishTreeTest, RemoteListingLineNamesServerAndFolder) {
  WriteFile(Local("a.txt"), "a");
  WriteFile(Remote("other.txt"), "o");

  ASSERT_EQ(Publish(), CompletionCode::kCompleted) << Transcript();

  EXPECT_TRUE(
      console().Showed("Serching FTP Server processing... URL = " + profile.url + ",FTP= /site"))
      << Transcript();
}

TEST_F(PublishTreeTest, ExclusionsLeaveOutOnlyTheNamedFoldersAndExeFiles) {
  profile.options.skipFrontPageFolders = 1;
  profile.options.skipImagesFolder = 1;
  profile.options.ignoreExeFiles = 1;
  WriteFile(Local("Images/a.gif"), "a");
  WriteFile(Local("sub/images/b.gif"), "b");
  WriteFile(Local("sub/IMAGES/c.gif"), "c");
  WriteFile(Local("Images2/d.gif"), "d");
  WriteFile(Local("_vti_cnf/x.htm"), "x");
  WriteFile(Local("_private/y.htm"), "y");
  WriteFile(Local("_notes.txt"), "notes");  // the rule is for folders only
  WriteFile(Local("sub/Images"), "a file named Images");
  WriteFile(Local("SETUP.EXE"), "1");
  WriteFile(Local("setup.exe"), "2");
  WriteFile(Local("tool.exe.bak"), "3");

  ASSERT_EQ(Publish(), CompletionCode::kCompleted) << Transcript();

  EXPECT_EQ(Tree(Remote()), (std::set<std::string>{"Images2/", "Images2/d.gif", "_notes.txt",
                                                   "sub/", "sub/Images", "tool.exe.bak"}));
}

TEST_F(PublishTreeTest, NamesDifferingOnlyInAsciiCaseMatchTheServersSpelling) {
  profile.options.deleteOnServer = 1;
  WriteFile(Remote("SUB/keep.txt"), "server");
  WriteFile(Remote("INDEX.HTML"), "server");
  WriteFile(Local("Sub/new.txt"), "new");
  WriteFile(Local("Sub/keep.txt"), "local");
  WriteFile(Local("Index.html"), "local");

  ASSERT_EQ(Publish(), CompletionCode::kCompleted) << Transcript();

  // The walk descends into the server's SUB and creates no Sub beside it.
  EXPECT_TRUE(console().LinesStartingWith("Create Directory").empty()) << Transcript();
  EXPECT_TRUE(console().Showed("Down to a directory /site/SUB")) << Transcript();
  // The upload stores the local spelling; the matched server file is kept.
  EXPECT_EQ(Tree(Remote()), (std::set<std::string>{"INDEX.HTML", "Index.html", "SUB/",
                                                   "SUB/keep.txt", "SUB/new.txt"}));
  EXPECT_EQ(ReadFile(Remote("SUB/keep.txt")), "local");
  EXPECT_EQ(ReadFile(Remote("INDEX.HTML")), "server");
}

TEST_F(PublishTreeTest, NonAsciiLettersOfDifferentCaseAreDifferentNames) {
  profile.options.deleteOnServer = 1;
  WriteFile(Remote("ä.txt"), "server");
  WriteFile(Local("Ä.txt"), "local");

  ASSERT_EQ(Publish(), CompletionCode::kCompleted) << Transcript();

  EXPECT_EQ(Tree(Remote()), (std::set<std::string>{"Ä.txt"}));
}

TEST_F(PublishTreeTest, RootSlashBuildsChildPathsWithTwoSlashes) {
  profile.remoteDir = "/";
  WriteFile(Local("sub/a.txt"), "a");

  ASSERT_EQ(Publish(), CompletionCode::kCompleted) << Transcript();

  EXPECT_EQ(ReadFile(server_.root() / "sub/a.txt"), "a");
  EXPECT_EQ(LogLines(), (std::vector<std::string>{"Create Directory on FTP : //sub",
                                                  "Copy file to FTP : //sub/a.txt"}));
}

TEST_F(PublishTreeTest, SymbolicLinksAreFollowed) {
  TempDir outside;
  WriteFile(outside.path() / "inner.txt", "inner");
  fs::create_directory_symlink(outside.path(), Local("linked"));
  WriteFile(Local("real.txt"), "real");
  fs::create_symlink(Local("real.txt"), Local("alias.txt"));

  ASSERT_EQ(Publish(), CompletionCode::kCompleted) << Transcript();

  EXPECT_EQ(ReadFile(Remote("linked/inner.txt")), "inner");
  EXPECT_EQ(ReadFile(Remote("alias.txt")), "real");
}

TEST_F(PublishTreeTest, SpecialFilesAndLocalLoopsArePassedOverWithALine) {
  profile.options.deleteOnServer = 1;
  ASSERT_EQ(mkfifo(Local("pipe").c_str(), 0600), 0);
  fs::create_symlink("/dev/zero", Local("zero"));
  WriteFile(Local("sub/page.html"), "page");
  fs::create_directory_symlink("..", Local("sub/up"));  // the source folder again
  WriteFile(Remote("pipe"), "kept, as a file the walk leaves alone");

  ASSERT_EQ(Publish(), CompletionCode::kCompleted) << Transcript();

  EXPECT_EQ(Tree(Remote()), (std::set<std::string>{"pipe", "sub/", "sub/page.html"}));
  for (const std::string& line :
       {"Skip special file on Local HDD : " + Local("pipe").string(),
        "Skip special file on Local HDD : " + Local("zero").string(),
        "Skip directory loop on Local HDD : " + Local("sub/up").string()}) {
    EXPECT_TRUE(console().Showed(line)) << line << "\n" << Transcript();
  }
}

// --- Names the server cannot be given -------------------------------------------

constexpr int64_t kLongAgo = 1'000'000'000;  // 2001-09-09: older than any server copy

TEST_F(PublishTreeTest, NamesNotInUtf8ArePassedOverWithALineAndTheRunGoesOn) {
  profile.options.onlyNewer = 1;
  profile.options.deleteOnServer = 1;
  const std::string latin1 = "caf\xe9";  // "café" in Latin-1
  WriteFile(Local(latin1 + ".txt"), "not sent");
  WriteFile(Local(latin1 + " dir/inner.txt"), "not entered");
  WriteFile(Local("café.txt"), "sent");
  for (const char* file : {"caf\xe9.txt", "caf\xe9 dir/inner.txt", "café.txt"})
    SetFileTime(Local(file), kLongAgo);

  ASSERT_EQ(Publish(), CompletionCode::kCompleted) << Transcript();

  EXPECT_EQ(Tree(Remote()), (std::set<std::string>{"café.txt"}));
  for (const std::string& line :
       {"Skip name not in UTF-8 on Local HDD : " + Local().string() + "/caf\\xE9.txt",
        "Skip name not in UTF-8 on Local HDD : " + Local().string() + "/caf\\xE9 dir"}) {
    EXPECT_TRUE(console().Showed(line)) << line << "\n" << Transcript();
  }
  EXPECT_EQ(LogLines(), (std::vector<std::string>{"Copy file to FTP : /site/café.txt"}));

  ResetConsole();
  ASSERT_EQ(Publish(), CompletionCode::kCompleted) << Transcript();
  EXPECT_EQ(LogText(), "") << Transcript();  // nothing uploaded, created or deleted
  EXPECT_EQ(Tree(Remote()), (std::set<std::string>{"café.txt"}));
}

class ShiftJisServerWalkTest : public EngineTest {
 protected:
  ShiftJisServerWalkTest() : EngineTest({.names = TestFtpServerOptions::Names::kShiftJis}) {}
};

TEST_F(ShiftJisServerWalkTest, JapaneseNamesArriveAndANameOutsideCodePage932IsPassedOver) {
  profile.nameEncoding = kNameEncodingShiftJis;
  profile.options.onlyNewer = 1;
  profile.options.deleteOnServer = 1;
  // In Shift_JIS, 表 and ソ end in 0x5C, the byte of a backslash.
  for (const char* file : {"日本語.html", "資料/表ソース.txt", "😀.txt"}) {
    WriteFile(Local(file), file);
    SetFileTime(Local(file), kLongAgo);
  }

  ASSERT_EQ(Publish(), CompletionCode::kCompleted) << Transcript();

  // The server keeps UTF-8 names on its disk.
  EXPECT_EQ(Tree(Remote()), (std::set<std::string>{"日本語.html", "資料/", "資料/表ソース.txt"}));
  EXPECT_EQ(ReadFile(Remote("資料/表ソース.txt")), "資料/表ソース.txt");
  const std::string skipped =
      "Skip name not writable in Shift_JIS on FTP : " + Local("😀.txt").string();
  EXPECT_TRUE(console().Showed(skipped)) << Transcript();

  // Listed back in Shift_JIS, every name matches its local one.
  ResetConsole();
  ASSERT_EQ(Publish(), CompletionCode::kCompleted) << Transcript();
  EXPECT_EQ(LogText(), "") << Transcript();
  EXPECT_TRUE(console().Showed("Down to a directory /site/資料")) << Transcript();
  EXPECT_TRUE(console().Showed(skipped)) << Transcript();

  // Pruned by their converted names, and listed in UTF-8.
  fs::remove(Local("資料/表ソース.txt"));
  ResetConsole();
  ASSERT_EQ(Publish(), CompletionCode::kCompleted) << Transcript();
  EXPECT_EQ(LogLines(), std::vector<std::string>{"Delete file on FTP : /site/資料/表ソース.txt"});
  EXPECT_EQ(Tree(Remote()), (std::set<std::string>{"日本語.html", "資料/"}));
  ResetConsole();
  ASSERT_EQ(List(), CompletionCode::kCompleted) << Transcript();
  EXPECT_NE(LogText().find("日本語.html"), std::string::npos) << LogText();
  EXPECT_NE(LogText().find("[資料]"), std::string::npos) << LogText();
}

// --- Failures of the walk ------------------------------------------------------

class WalkFailureTest : public EngineTest {};

TEST_F(WalkFailureTest, BrokenSymbolicLinkFailsItsUpload) {
  fs::create_symlink(Local("missing-target"), Local("broken.txt"));

  EXPECT_EQ(Publish(), CompletionCode::kFailed);

  ASSERT_EQ(console().boxes.size(), 1u) << Transcript();
  EXPECT_TRUE(console().boxes[0].starts_with(kTransferFailed + "\n/site/broken.txt : "))
      << console().boxes[0];
  EXPECT_EQ(console().LastLine(), "Copy file to FTP failed : /site/broken.txt");
}

TEST_F(WalkFailureTest, LocalFileOntoServerFolderFailsTheUpload) {
  fs::create_directories(Remote("data"));
  WriteFile(Local("data"), "file");

  EXPECT_EQ(Publish(), CompletionCode::kFailed);

  EXPECT_EQ(console().boxes,
            std::vector<std::string>{kTransferFailed + "\n/site/data : 550 Is a directory."})
      << Transcript();
  EXPECT_TRUE(fs::is_directory(Remote("data")));
}

TEST_F(WalkFailureTest, LocalFolderOntoServerFileFailsWithOneBox) {
  WriteFile(Remote("docs"), "a server file");
  WriteFile(Local("docs/a.txt"), "a");

  EXPECT_EQ(Publish(), CompletionCode::kFailed);

  ASSERT_EQ(console().errors.size(), 1u) << Transcript();
  EXPECT_EQ(ReadFile(Remote("docs")), "a server file");
  // Nothing after the failure: no closing line.
  EXPECT_EQ(console().events.back(), "done: 3");
}

TEST_F(WalkFailureTest, NamesWithLineBreaksAreNeverSent) {
  WriteFile(Local("bad\nname.txt"), "x");

  EXPECT_EQ(Publish(), CompletionCode::kFailed);

  // The name is written out on the box's one line for the file.
  ASSERT_EQ(console().boxes.size(), 1u) << Transcript();
  EXPECT_TRUE(console().boxes[0].starts_with(kTransferFailed + "\n/site/bad\\nname.txt : "))
      << console().boxes[0];
  EXPECT_TRUE(Tree(Remote()).empty());
}

TEST_F(WalkFailureTest, FolderNameWithCarriageReturnFailsItsCreation) {
  fs::create_directories(Local("bad\rdir"));

  EXPECT_EQ(Publish(), CompletionCode::kFailed);

  EXPECT_EQ(console().errors, std::vector<std::string>{kCreateFailed}) << Transcript();
  EXPECT_TRUE(Tree(Remote()).empty());
}

class ReadOnlyServerWalkTest : public EngineTest {
 protected:
  ReadOnlyServerWalkTest() : EngineTest({.writable = false}) {}
};

TEST_F(ReadOnlyServerWalkTest, RefusedFolderCreationStopsTheRun) {
  WriteFile(Local("sub/a.txt"), "a");

  EXPECT_EQ(Publish(), CompletionCode::kFailed);

  EXPECT_EQ(console().errors, std::vector<std::string>{kCreateFailed}) << Transcript();
  EXPECT_TRUE(Tree(Remote()).empty());
}

TEST_F(ReadOnlyServerWalkTest, RefusedUploadIsNamedInTheBoxAndTheLog) {
  WriteFile(Local("a.txt"), "a");

  EXPECT_EQ(Publish(), CompletionCode::kFailed);

  EXPECT_EQ(console().boxes, std::vector<std::string>{kTransferFailed +
                                                      "\n/site/a.txt : 550 Not enough privileges."})
      << Transcript();
  EXPECT_EQ(LogLines(), (std::vector<std::string>{"Copy file to FTP : /site/a.txt",
                                                  "Copy file to FTP failed : /site/a.txt"}));
}

// --- Which files a run uploads ---------------------------------------------

class OnlyNewerTest : public EngineTest {
 protected:
  static constexpr int64_t kTime = 1'000'000'000;  // 2001-09-09

  void SetUp() override {
    EngineTest::SetUp();
    profile.options.onlyNewer = 1;
  }
  // A local file and a server file of the same name with the given times.
  void Pair(const std::string& name, int64_t localTime, int64_t remoteTime) {
    WriteFile(Local(name), "new " + name);
    SetFileTime(Local(name), localTime);
    WriteFile(Remote(name), "old " + name);
    SetFileTime(Remote(name), remoteTime);
  }
  bool Uploaded(const std::string& name) { return ReadFile(Remote(name)) == "new " + name; }
};

// An upload cut short leaves a server copy newer than the local file; its
// size gives it away, and it is repaired.
TEST_F(OnlyNewerTest, AServerCopyOfAnotherSizeIsSentAgainWhateverItsTime) {
  WriteFile(Local("page.html"), std::string(5000, 'p'));
  SetFileTime(Local("page.html"), kTime);
  WriteFile(Remote("page.html"), std::string(1200, 'p'));
  SetFileTime(Remote("page.html"), kTime + 3600);

  ASSERT_EQ(Publish(), CompletionCode::kCompleted) << Transcript();

  EXPECT_EQ(fs::file_size(Remote("page.html")), 5000u);
  EXPECT_EQ(LogLines(), std::vector<std::string>{"Copy file to FTP : /site/page.html"});
}

TEST_F(OnlyNewerTest, EqualTimesSkipAndOneSecondNewerUploads) {
  Pair("equal.txt", kTime, kTime);
  Pair("newer.txt", kTime + 1, kTime);
  Pair("older.txt", kTime - 1, kTime);
  WriteFile(Local("missing.txt"), "new missing.txt");
  SetFileTime(Local("missing.txt"), 1);  // missing on the server: uploaded whatever its age

  ASSERT_EQ(Publish(), CompletionCode::kCompleted) << Transcript();

  EXPECT_FALSE(Uploaded("equal.txt"));
  EXPECT_TRUE(Uploaded("newer.txt"));
  EXPECT_FALSE(Uploaded("older.txt"));
  EXPECT_TRUE(Uploaded("missing.txt"));
}

TEST_F(OnlyNewerTest, WithoutTheOptionEveryMatchedFileIsReplaced) {
  profile.options.onlyNewer = 0;
  Pair("older.txt", kTime - 100, kTime);
  Pair("equal.txt", kTime, kTime);

  ASSERT_EQ(Publish(), CompletionCode::kCompleted) << Transcript();

  EXPECT_TRUE(Uploaded("older.txt"));
  EXPECT_TRUE(Uploaded("equal.txt"));
}

TEST_F(OnlyNewerTest, TimeDifferenceTakesNineHoursOffTheServerTime) {
  profile.timeDifference = 1;
  Pair("nine-hours-later.txt", kTime, kTime + 32400);
  Pair("a-second-less.txt", kTime, kTime + 32399);
  Pair("ten-hours-later.txt", kTime, kTime + 36000);

  ASSERT_EQ(Publish(), CompletionCode::kCompleted) << Transcript();

  EXPECT_FALSE(Uploaded("nine-hours-later.txt"));
  EXPECT_TRUE(Uploaded("a-second-less.txt"));
  EXPECT_FALSE(Uploaded("ten-hours-later.txt"));
}

TEST_F(OnlyNewerTest, UnchangedRerunChangesNothingAndEmptiesTheLog) {
  WriteFile(Local("a.txt"), "a");
  WriteFile(Local("sub/b.txt"), "b");
  SetFileTime(Local("a.txt"), kTime);
  SetFileTime(Local("sub/b.txt"), kTime);
  ASSERT_EQ(Publish(), CompletionCode::kCompleted) << Transcript();
  ASSERT_EQ(LogLines().size(), 3u);

  ResetConsole();
  ASSERT_EQ(Publish(), CompletionCode::kCompleted) << Transcript();

  EXPECT_TRUE(console().LinesStartingWith("Copy file").empty()) << Transcript();
  EXPECT_TRUE(console().LinesStartingWith("Create Directory").empty()) << Transcript();
  EXPECT_TRUE(fs::exists(logPath));
  EXPECT_EQ(LogText(), "");
}

// --- Uploads under a temporary name -------------------------------------------

struct TemporaryUploadCase {
  const char* name;
  TestFtpServerOptions server;
  int temporaryUploads;
  int connections;
  CompletionCode code;
  std::string_view shown;  // a console line the run shows, or a box's part
};

class TemporaryUploadTest : public EngineRunTest,
                            public ::testing::WithParamInterface<TemporaryUploadCase> {};

void PrintTo(const TemporaryUploadCase& c, std::ostream* out) {
  *out << c.name;
}

// Whatever the server does with renames and whatever it keeps of a file,
// the real name holds the whole new file or the old one, and no temporary
// file is left: neither this run's nor one an earlier run left.
TEST_P(TemporaryUploadTest, RealNamesHoldWholeFilesAndNoTemporaryFileIsLeft) {
  const TemporaryUploadCase& c = GetParam();
  TestFtpServer server(c.server);
  server.Start();
  UseServer(server.host(), server.port());
  const fs::path remote = server.root() / "site";
  WriteFile(remote / "page.html", "old page");
  WriteFile(remote / "sub" / ".old.html.velmorix-0123abcd-2.tmp", "left by a killed run");
  for (int i = 0; i < 6; ++i)
    WriteFile(Local("sub/f" + std::to_string(i) + ".html"), std::string(4000 + i, 'f'));
  WriteFile(Local("page.html"), std::string(30000, 'n'));
  // Entered while the renames of what went into "sub" may still be due.
  WriteFile(Local("zz/g.html"), "g");
  profile.temporaryUploads = c.temporaryUploads;
  profile.connections = c.connections;
  settings.deleteMessage = 1;  // a leftover is never asked about

  EXPECT_EQ(Publish(), c.code) << Transcript();

  EXPECT_TRUE(console().questions.empty()) << Transcript();
  std::string page = ReadFile(remote / "page.html");
  EXPECT_TRUE(page == std::string(30000, 'n') || page == "old page" ||
              (!c.temporaryUploads && c.code == CompletionCode::kFailed))
      << page.size();
  if (c.code == CompletionCode::kCompleted) {
    for (int i = 0; i < 6; ++i)
      EXPECT_EQ(fs::file_size(remote / "sub" / ("f" + std::to_string(i) + ".html")), 4000u + i);
    EXPECT_EQ(ReadFile(remote / "zz/g.html"), "g");
  }
  // A run that failed before it reached "sub" leaves the old leftover there.
  const std::string leftover = ".old.html.velmorix-0123abcd-2.tmp";
  for (const auto& entry : fs::recursive_directory_iterator(remote)) {
    const std::string name = entry.path().filename().string();
    if (name != leftover || c.code == CompletionCode::kCompleted) {
      EXPECT_EQ(name.find(".velmorix-"), std::string::npos) << entry.path();
    }
  }
  std::string shown;
  for (const std::string& event : console().events)
    shown += event + "\n";
  for (const std::string& box : console().boxes)
    shown += box + "\n";
  EXPECT_NE(shown.find(c.shown), std::string::npos) << shown;
  for (const std::string& line : LogLines())
    EXPECT_EQ(line.find("velmorix-"), std::string::npos) << line;
}

using Renames = TestFtpServerOptions::Renames;
INSTANTIATE_TEST_SUITE_P(
    Servers, TemporaryUploadTest,
    ::testing::Values(
        TemporaryUploadCase{"RenamedOnOneConnection",
                            {},
                            1,
                            1,
                            CompletionCode::kCompleted,
                            "Delete temporary file on FTP : /site/sub/.old.html.velmorix-"},
        TemporaryUploadCase{
            "RenamedOnFour", {}, 1, 4, CompletionCode::kCompleted, "Delete temporary file on FTP"},
        TemporaryUploadCase{"OldFileDeletedFirst",
                            {.renames = Renames::kNotOntoFiles},
                            1,
                            4,
                            CompletionCode::kCompleted,
                            "Copy file to FTP : /site/page.html"},
        TemporaryUploadCase{"NoRenamesAtAll",
                            {.renames = Renames::kNone},
                            1,
                            4,
                            CompletionCode::kCompleted,
                            "Rename refused on 127.0.0.1"},
        // New files too: a refused rename is known before the next upload.
        TemporaryUploadCase{"RenamesDenied",
                            {.renames = Renames::kRntoDenied},
                            1,
                            4,
                            CompletionCode::kCompleted,
                            "Rename refused on 127.0.0.1"},
        TemporaryUploadCase{"HalfKeptUnderTheTemporaryName",
                            {.truncateUploadOf = "page.html"},
                            1,
                            4,
                            CompletionCode::kFailed,
                            "/site/page.html : 送信したサイズ 30000 バイトに対し"},
        TemporaryUploadCase{"HalfKeptUnderTheRealName",
                            {.truncateUploadOf = "page.html"},
                            0,
                            1,
                            CompletionCode::kFailed,
                            "サーバー上のサイズは 15000 バイトです"},
        // Found with the other connection's next command, or as it goes idle.
        TemporaryUploadCase{"HalfKeptUnderTheRealNameOnFour",
                            {.truncateUploadOf = "page.html"},
                            0,
                            4,
                            CompletionCode::kFailed,
                            "/site/page.html : 送信したサイズ 30000 バイトに対し"}),
    [](const auto& info) { return std::string(info.param.name); });

// --- Large folders ---------------------------------------------------------------

class LargeFolderTest : public EngineTest {
 protected:
  // `count` files on each side, equal in name and time.
  void MatchingFiles(int localCount, int remoteCount) {
    for (int i = 0; i < std::max(localCount, remoteCount); ++i) {
      const std::string name = "f" + std::to_string(i) + ".txt";
      if (i < localCount) {
        WriteFile(Local(name), "x");
        SetFileTime(Local(name), 1'000'000'000);
      }
      if (i < remoteCount) {
        WriteFile(Remote(name), "x");
        SetFileTime(Remote(name), 1'000'000'000);
      }
    }
  }
};

// A photo gallery holds thousands of files: every entry of either side
// counts, none is dropped (an entry dropped from the remote side would be
// uploaded again, one dropped from the local side deleted on the server).
TEST_F(LargeFolderTest, FoldersOfThousandsOfEntriesAreWalkedWhole) {
  profile.options.onlyNewer = 1;
  profile.options.deleteOnServer = 1;
  MatchingFiles(5000, 5002);
  WriteFile(Local("new.txt"), "n");

  ASSERT_EQ(Publish(), CompletionCode::kCompleted) << Transcript();

  // Deletions come in the server's listing order.
  std::vector<std::string> log = LogLines();
  std::sort(log.begin(), log.end());
  EXPECT_EQ(log, (std::vector<std::string>{"Copy file to FTP : /site/new.txt",
                                           "Delete file on FTP : /site/f5000.txt",
                                           "Delete file on FTP : /site/f5001.txt"}));
  EXPECT_EQ(Tree(Remote()).size(), 5001u);
}

// --- Cancel points of the walk -------------------------------------------------

class WalkCancelTest : public EngineTest {
 protected:
  void SetUp() override {
    EngineTest::SetUp();
    WriteFile(Local("a.txt"), "a");
    WriteFile(Local("b.txt"), "b");
    WriteFile(Local("c.txt"), "c");
    WriteFile(Remote("server1.txt"), "s");
    WriteFile(Remote("server2.txt"), "s");
  }
  void ExpectCanceled() {
    EXPECT_EQ(console().LastLine(), "Velmorix Canceled!") << Transcript();
    EXPECT_EQ(console().doneCode, CompletionCode::kCanceled);
    EXPECT_TRUE(console().errors.empty()) << Transcript();
  }
};

TEST_F(WalkCancelTest, CancelDuringTheLocalListingStopsBeforeTheServerIsListed) {
  console().CancelOnLine("Serching Local HDD", cancelEvent);

  EXPECT_EQ(Publish(), CompletionCode::kCanceled);

  ExpectCanceled();
  EXPECT_TRUE(console().LinesStartingWith("Serching FTP").empty());
}

TEST_F(WalkCancelTest, CancelDuringTheRemoteListingStopsBeforeTheFolderIsEntered) {
  console().CancelOnLine("Serching FTP Server", cancelEvent);

  EXPECT_EQ(Publish(), CompletionCode::kCanceled);

  ExpectCanceled();
  EXPECT_TRUE(console().LinesStartingWith("Change current directory").empty());
  EXPECT_EQ(Tree(Remote()), (std::set<std::string>{"server1.txt", "server2.txt"}));
}

TEST_F(WalkCancelTest, CancelBeforeTheFirstEntryUploadsNothing) {
  console().CancelOnLine("Matching from Local HDD", cancelEvent);

  EXPECT_EQ(Publish(), CompletionCode::kCanceled);

  ExpectCanceled();
  EXPECT_EQ(Tree(Remote()), (std::set<std::string>{"server1.txt", "server2.txt"}));
}

TEST_F(WalkCancelTest, CancelDuringAnUploadLetsItFinishAndStopsAtTheNextEntry) {
  console().CancelOnLine("Copy file to FTP", cancelEvent);

  EXPECT_EQ(Publish(), CompletionCode::kCanceled);

  ExpectCanceled();
  ASSERT_EQ(console().LinesStartingWith("Copy file").size(), 1u);
  EXPECT_EQ(Tree(Remote()).size(), 3u);  // the two server files and the one upload
}

TEST_F(WalkCancelTest, CancelInsideASubFolderUnwindsEveryLevel) {
  profile.options.deleteOnServer = 1;
  WriteFile(Local("sub/deep/x.txt"), "x");
  console().CancelOnLine("Serching Local HDD", cancelEvent, 3);  // the listing of sub/deep

  EXPECT_EQ(Publish(), CompletionCode::kCanceled);

  ExpectCanceled();
  // No level went on after it: nothing pruned, no return to a parent folder.
  EXPECT_TRUE(console().LinesStartingWith("Change current directory to").empty()) << Transcript();
  EXPECT_TRUE(fs::exists(Remote("server1.txt")));
}

// --- A server that hangs, a tree too deep ------------------------------------------

class ScriptedServerWalkTest : public ScriptedEngineTest {
 protected:
  void SetUp() override {
    ScriptedEngineTest::SetUp();
    // Long enough that only the cancel can end the run in time.
    timeouts = {std::chrono::seconds(20), std::chrono::seconds(20), std::chrono::seconds(20)};
  }
  // The run ended as canceled, without a box, soon after the cancel.
  void ExpectCanceledSoon(std::optional<CompletionCode> result) {
    const auto ended = std::chrono::steady_clock::now();
    EXPECT_EQ(result, CompletionCode::kCanceled) << Transcript();
    EXPECT_EQ(console().LastLine(), "Velmorix Canceled!") << Transcript();
    EXPECT_TRUE(console().errors.empty()) << Transcript();
    EXPECT_LT(ended - canceledAt(), std::chrono::seconds(3));
    EXPECT_EQ(scripted().CommandsStartingWith("ABOR").size(), 1u);
  }
};

TEST_F(ScriptedServerWalkTest, CancelEndsAListingThatTricklesForEver) {
  Serve([](std::string_view, const std::string&) {
    // A byte now and then, never a whole entry.
    return ScriptedFtpServer::Listing{
        .data = "x", .chunk = 1, .pause = std::chrono::milliseconds(200), .endless = true};
  });
  CancelLater("Connect to", std::chrono::milliseconds(500));

  ExpectCanceledSoon(Publish());
}

TEST_F(ScriptedServerWalkTest, CancelCutsAnUploadShortAndSaysWhichFile) {
  Serve([](std::string_view, const std::string&) { return ScriptedFtpServer::Listing{}; },
        {.readUploads = false});
  WriteFile(Local("big.bin"), "");
  fs::resize_file(Local("big.bin"), uintmax_t{64} << 20);
  CancelLater("Copy file to FTP", std::chrono::milliseconds(500));

  ExpectCanceledSoon(Publish());

  const std::string cut = "Copy file to FTP canceled : /site/big.bin";
  EXPECT_TRUE(console().Showed(cut)) << Transcript();
  EXPECT_EQ(LogLines(), (std::vector<std::string>{"Copy file to FTP : /site/big.bin", cut}));
}

TEST_F(ScriptedServerWalkTest, ALocalTreeDeeperThanTheBoundEndsInABox) {
  Serve([](std::string_view, const std::string&) { return ScriptedFtpServer::Listing{}; });
  fs::path deep = Local();
  for (int level = 0; level < kMaxFolderDepth + 10; ++level)
    deep /= "d";
  fs::create_directories(deep);

  EXPECT_EQ(Publish(), CompletionCode::kFailed);

  EXPECT_EQ(console().errors, std::vector<std::string>{"ERROR AT LOCAL DIRECTORY TOO DEEP!"});
  // Decided before the first change: nothing was created.
  EXPECT_TRUE(scripted().CommandsStartingWith("MKD").empty());
}

// The test server lists a name that is no UTF-8 with "?" in its place; a
// server that passes the bytes through lists it as the local disk has it.
TEST_F(ScriptedServerWalkTest, ServerNamesakeOfANameNotInUtf8IsNeverDeleted) {
  profile.options.deleteOnServer = 1;
  Serve([](std::string_view command, const std::string& folder) {
    if (command != "MLSD" || folder != "/site")
      return ScriptedFtpServer::Listing{};
    return ScriptedFtpServer::Listing{.data = Mlsd("file", "caf\xe9.txt")};
  });
  WriteFile(Local("caf\xe9.txt"), "local");

  ASSERT_EQ(Publish(), CompletionCode::kCompleted) << Transcript();

  EXPECT_TRUE(console().Showed("Skip name not in UTF-8 on Local HDD : " + Local().string() +
                               "/caf\\xE9.txt"))
      << Transcript();
  EXPECT_TRUE(scripted().CommandsStartingWith("DELE").empty());
  EXPECT_TRUE(scripted().CommandsStartingWith("STOR").empty());
}

}  // namespace
}  // namespace velmorix::testing
