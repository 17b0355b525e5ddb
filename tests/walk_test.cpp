// The walk's and the pruning's rules, tried on a server held in memory:
// what is uploaded, created, deleted and kept; what a dry run shows; how the
// progress counters add up.
#include <fcntl.h>
#include <sys/stat.h>

#include <algorithm>
#include <filesystem>
#include <memory>
#include <optional>
#include <string>
#include <tuple>
#include <vector>

#include <gtest/gtest.h>

#include "engine/dry_run_site.h"
#include "engine/mirror_walk.h"
#include "engine/run_progress.h"
#include "engine/tree_reader.h"
#include "engine/walk_rules.h"
#include "tests/support/memory_site.h"
#include "tests/support/scripted_console.h"
#include "tests/support/test_ftp_server.h"

namespace velmorix::testing {
namespace {

namespace fs = std::filesystem;

TEST(WalkRulesTest, UploadDecisions) {
  struct Case {
    int32_t onlyNewer;
    bool timeDifference;
    int64_t local;
    std::optional<int64_t> remote;
    UploadReason expected;
    int64_t localSize = 10;
    int64_t remoteSize = 10;  // -1: not listed
  };
  const Case cases[] = {
      {1, false, 100, std::nullopt, UploadReason::kNew},
      {0, false, 100, std::nullopt, UploadReason::kNew},
      {1, false, 101, 100, UploadReason::kNewer},
      {1, false, 100, 100, UploadReason::kUpToDate},  // the same second is not newer
      {1, false, 100, 200, UploadReason::kUpToDate},
      {0, false, 100, 200, UploadReason::kReplace},
      // The server's clock runs nine hours ahead.
      {1, true, 100, 100 + 32400 - 1, UploadReason::kNewer},
      {1, true, 100, 100 + 32400, UploadReason::kUpToDate},
      // A server copy cut short looks newer; its size gives it away.
      {1, false, 100, 200, UploadReason::kSizeDiffers, 10, 4},
      {1, false, 100, 100, UploadReason::kSizeDiffers, 10, 11},
      {1, false, 100, 200, UploadReason::kUpToDate, 10, -1},
      {0, false, 100, 200, UploadReason::kReplace, 10, 4},
  };
  for (const Case& c : cases) {
    WalkRules rules;
    rules.options.onlyNewer = c.onlyNewer;
    rules.clock.timeDifference = c.timeDifference;
    const std::optional<ListedFile> remote =
        c.remote ? std::optional<ListedFile>(ListedFile{*c.remote, c.remoteSize}) : std::nullopt;
    EXPECT_EQ(DecideUpload(rules, c.local, c.localSize, remote), c.expected)
        << "onlyNewer " << c.onlyNewer << " local " << c.local << " remote "
        << c.remote.value_or(-1);
  }
}

TEST(WalkRulesTest, NamesLeftOutAndKept) {
  WalkRules all;
  all.options = {.onlyNewer = 1,
                 .skipFrontPageFolders = 1,
                 .skipImagesFolder = 1,
                 .ignoreExeFiles = 1,
                 .deleteOnServer = 1};
  all.keepDotFiles = true;
  WalkRules none;
  none.options = {0, 0, 0, 0, 0};

  struct Case {
    const char* name;
    bool skippedFolder;  // with all options on
    bool ignoredFile;
    bool keptUnmatched;
  };
  const Case cases[] = {
      {"_vti_cnf", true, false, false},    {"images", true, false, false},
      {"IMAGES", true, false, false},      {"Images2", false, false, false},
      {"setup.EXE", false, true, true},    {"setup.exe.txt", false, false, false},
      {"exe", false, false, false},        {".htaccess", false, false, true},
      {"index.html", false, false, false},
  };
  for (const Case& c : cases) {
    EXPECT_EQ(SkipsLocalFolder(all, c.name), c.skippedFolder) << c.name;
    EXPECT_EQ(IgnoresFile(all, c.name), c.ignoredFile) << c.name;
    EXPECT_EQ(KeepsUnmatchedFile(all, c.name), c.keptUnmatched) << c.name;
    EXPECT_FALSE(SkipsLocalFolder(none, c.name) || IgnoresFile(none, c.name) ||
                 KeepsUnmatchedFile(none, c.name))
        << c.name;
  }
}

// A local tree and the walk over a server in memory.
class MemoryWalkTest : public ::testing::Test {
 protected:
  MemoryWalkTest() {
    rules.options = {0, 0, 0, 0, 0};
    site.AddFolder("/site");
  }

  // The tree of most tests: a server copy that is newer, one that is older,
  // leftovers, and local entries the options may leave out.
  void TypicalTrees() {
    site.AddFile("/site/index.html", 5000);
    site.AddFile("/site/old.html", 1000);
    site.AddFile("/site/gone.html", 1000);
    site.AddFolder("/site/gonefolder");
    site.AddFile("/site/gonefolder/inner.html", 1000);
    Local("INDEX.HTML", 4000, 10);
    Local("old.html", 2000, 20);
    Local("new/a.html", 2000, 300);
    Local("new/deeper/b.html", 2000, 4000);
    Local("_private/p.html", 2000, 50000);
    Local("setup.exe", 2000, 600000);
  }

  // A local file of `size` bytes, last written at `time`.
  void Local(const std::string& relative, int64_t time, size_t size = 1) {
    const fs::path path = local_.path() / relative;
    fs::create_directories(path.parent_path());
    WriteFile(path, std::string(size, 'x'));
    const timespec times[2] = {{time, 0}, {time, 0}};
    ASSERT_EQ(utimensat(AT_FDCWD, path.c_str(), times, 0), 0);
  }
  void LocalFolder(const std::string& relative) {
    fs::create_directories(local_.path() / relative);
  }

  RunResult Walk(RemoteSite& on, RunMode mode = RunMode::kPublish) {
    RunOutput output(console, cancelEvent, {}, mode);
    const RunResult result = MirrorDirectory({on, output, rules}, local_.str(), "/site");
    progress = output.progress.Read();
    return result;
  }

  static std::vector<std::string> Sorted(std::vector<std::string> lines) {
    std::sort(lines.begin(), lines.end());
    return lines;
  }

  WalkRules rules;
  MemorySite site;
  ScriptedConsole console;
  CancelEvent cancelEvent;
  ProgressSnapshot progress;
  TempDir local_;
};

TEST_F(MemoryWalkTest, WhatIsUploadedCreatedDeletedAndKept) {
  struct Case {
    const char* name;
    TransferOptions options;
    bool keepDotFiles;
    std::vector<std::string> expected;  // the changing commands, sorted
  };
  const Case cases[] = {
      {"EverythingNewIsCreatedAndUploaded",
       {0, 0, 0, 0, 0},
       false,
       {"MKD /site/_private", "MKD /site/new", "MKD /site/Images", "STOR /site/_private/p.html",
        "STOR /site/INDEX.HTML", "STOR /site/new/a.html", "STOR /site/old.html",
        "STOR /site/Images/i.png", "STOR /site/setup.exe"}},
      {"OnlyNewerLeavesTheServersNewerCopy",
       {1, 0, 0, 0, 0},
       false,
       {"MKD /site/_private", "MKD /site/new", "MKD /site/Images", "STOR /site/_private/p.html",
        "STOR /site/new/a.html", "STOR /site/old.html", "STOR /site/Images/i.png",
        "STOR /site/setup.exe"}},
      {"ExcludedFoldersAndExeFilesAreLeftAlone",
       {1, 1, 1, 1, 0},
       false,
       {"MKD /site/new", "STOR /site/new/a.html", "STOR /site/old.html"}},
      {"PruningKeepsExeAndDotFilesAndRemovesWhatIsNotLocal",
       {1, 1, 1, 1, 1},
       true,
       {"DELE /site/gone.html", "DELE /site/gonefolder/inner.html", "MKD /site/new",
        "RMD /site/gonefolder", "STOR /site/new/a.html", "STOR /site/old.html"}},
      {"PruningWithoutKeepingDotFilesDeletesThem",
       {1, 1, 1, 1, 1},
       false,
       {"DELE /site/.htaccess", "DELE /site/gone.html", "DELE /site/gonefolder/inner.html",
        "MKD /site/new", "RMD /site/gonefolder", "STOR /site/new/a.html", "STOR /site/old.html"}},
  };
  Local("INDEX.HTML", 4000);
  Local("old.html", 2000);
  Local("new/a.html", 2000);
  Local("_private/p.html", 2000);
  Local("Images/i.png", 2000);
  Local("setup.exe", 2000);
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    MemorySite server;
    server.AddFolder("/site");
    // Spelled in other letters than the local INDEX.HTML, and newer.
    server.AddFile("/site/index.html", 5000);
    server.AddFile("/site/old.html", 1000);
    server.AddFile("/site/gone.html", 1000);
    server.AddFile("/site/.htaccess", 1000);
    server.AddFile("/site/tool.exe", 1000);
    server.AddFolder("/site/gonefolder");
    server.AddFile("/site/gonefolder/inner.html", 1000);
    rules.options = c.options;
    rules.keepDotFiles = c.keepDotFiles;
    EXPECT_EQ(Walk(server), RunResult::kCompleted);
    // INDEX.HTML matches the server's index.html; uploaded, it keeps its own spelling.
    EXPECT_EQ(Sorted(server.Changes()), Sorted(c.expected));
    EXPECT_TRUE(console.errors.empty());
  }
}

// The user's patterns leave both sides' entries alone wherever the walk,
// the pruning or a removal meets them; without them the same trees change.
TEST_F(MemoryWalkTest, ExcludedEntriesAreNeitherSentNorDeleted) {
  struct Case {
    const char* name;
    const char* patterns;
    std::vector<std::string> expected;  // the changing commands, sorted
  };
  const Case cases[] = {
      {"WithPatterns",
       ".git/\n.DS_Store\n*.psd\n/docs/drafts/\nBUILD/",
       {"DELE /site/gone.html", "DELE /site/old/page.html", "MKD /site/docs",
        "MKD /site/sub/docs/drafts", "STOR /site/docs/a.pdf", "STOR /site/index.html",
        "STOR /site/sub/docs/drafts/d.txt"}},
      {"WithoutPatterns",
       "",
       {"DELE /site/.DS_Store", "DELE /site/.git/HEAD", "DELE /site/build/out.bin",
        "DELE /site/gone.html", "DELE /site/old/.DS_Store", "DELE /site/old/page.html",
        "MKD /site/docs", "MKD /site/docs/drafts", "MKD /site/sub/build",
        "MKD /site/sub/docs/drafts", "RMD /site/build", "RMD /site/old", "STOR /site/.git/config",
        "STOR /site/docs/a.pdf", "STOR /site/docs/drafts/d.txt", "STOR /site/index.html",
        "STOR /site/logo.psd", "STOR /site/sub/build/x.o", "STOR /site/sub/docs/drafts/d.txt"}},
  };
  Local("index.html", 2000);
  Local(".git/config", 2000);
  Local("logo.psd", 2000);
  Local("docs/a.pdf", 2000);
  Local("docs/drafts/d.txt", 2000);  // anchored: only the top folder's drafts
  Local("sub/docs/drafts/d.txt", 2000);
  Local("sub/build/x.o", 2000);  // a folder of any letter case, at any depth
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    const auto server = [] {
      auto made = std::make_unique<MemorySite>();
      made->AddFolder("/site");
      made->AddFolder("/site/.git");
      made->AddFile("/site/.git/HEAD", 1000);
      made->AddFile("/site/.DS_Store", 1000);
      made->AddFile("/site/logo.psd", 1000);
      made->AddFolder("/site/build");  // no local counterpart at the top
      made->AddFile("/site/build/out.bin", 1000);
      made->AddFolder("/site/old");
      made->AddFile("/site/old/.DS_Store", 1000);  // keeps the removed folder
      made->AddFile("/site/old/page.html", 1000);
      made->AddFile("/site/gone.html", 1000);
      made->AddFolder("/site/sub");
      made->AddFolder("/site/sub/docs");
      return made;
    };
    rules.options = {0, 0, 0, 0, 1};
    rules.exclusions = ExclusionPatterns::Compile(c.patterns);

    std::unique_ptr<MemorySite> before = server();
    DryRunSite deciding(*before);
    ASSERT_EQ(Walk(deciding, RunMode::kDryRun), RunResult::kCompleted);
    const ProgressSnapshot decided = progress;
    std::unique_ptr<MemorySite> site = server();
    EXPECT_EQ(Walk(*site), RunResult::kCompleted);
    EXPECT_EQ(Sorted(site->Changes()), Sorted(c.expected));
    EXPECT_EQ(decided.filesUploaded, progress.filesUploaded);
    EXPECT_EQ(decided.entriesDeleted, progress.entriesDeleted);
    EXPECT_TRUE(console.errors.empty());
  }
}

TEST(WalkRulesTest, FolderBelowTopIsTheLastNamesOfItsDepth) {
  EXPECT_EQ(FolderBelowTop("/home/me/site", 0), "");
  EXPECT_EQ(FolderBelowTop("/home/me/site/a", 1), "a");
  EXPECT_EQ(FolderBelowTop("/home/me/site/a/b", 2), "a/b");
  EXPECT_EQ(FolderBelowTop("//a/b", 2), "a/b");  // below a server's "/"
}

TEST_F(MemoryWalkTest, EntriesAreTakenInNameOrderWhateverTheDiskKeeps) {
  // Made in an order that is neither the names' order nor its reverse, as
  // file systems list small folders one way or the other.
  Local("b.html", 2000);
  Local("c/d.html", 2000);
  Local("A.html", 2000);
  Local("a2.html", 2000);
  site.AddFolder("/site");
  EXPECT_EQ(Walk(site), RunResult::kCompleted);
  EXPECT_EQ(site.Changes(),
            (std::vector<std::string>{"STOR /site/A.html", "STOR /site/a2.html",
                                      "STOR /site/b.html", "MKD /site/c", "STOR /site/c/d.html"}));
}

TEST_F(MemoryWalkTest, AFailedUploadEndsTheWalkWithItsBox) {
  TypicalTrees();
  site.refusedUploads = {"a.html"};
  rules.options.onlyNewer = 1;

  EXPECT_EQ(Walk(site), RunResult::kFailed);
  EXPECT_EQ(console.boxes, std::vector<std::string>{"ＦＴＰへのコマンドでエラー発生[ファイル転送]"
                                                    "\n/site/new/a.html : 550 Refused."});
  EXPECT_EQ(site.commands.back(), "STOR /site/new/a.html");
  EXPECT_EQ(site.nodes.count("/site/new/a.html"), 0u);
}

// A dry run changes nothing and shows, with reasons, exactly what the
// publish that follows does; the publish then logs those lines in that order.
TEST_F(MemoryWalkTest, ADryRunShowsWhatThePublishThenDoes) {
  TypicalTrees();
  rules.options = {1, 1, 0, 1, 1};
  const auto before = site.nodes;

  DryRunSite dryRun(site);
  ASSERT_EQ(Walk(dryRun, RunMode::kDryRun), RunResult::kCompleted);
  EXPECT_EQ(site.nodes, before);
  EXPECT_TRUE(site.Changes().empty());
  const ProgressSnapshot planned = progress;
  const std::vector<std::string> shown = console.changes;
  EXPECT_EQ(Sorted(shown), Sorted({"Copy file to FTP : /site/old.html  (newer)",
                                   "Create Directory on FTP : /site/new  (new)",
                                   "Copy file to FTP : /site/new/a.html  (new)",
                                   "Create Directory on FTP : /site/new/deeper  (new)",
                                   "Copy file to FTP : /site/new/deeper/b.html  (new)",
                                   "Delete file on FTP : /site/gone.html  (not on Local HDD)",
                                   "Delete file on FTP : /site/gonefolder/inner.html  (not on "
                                   "Local HDD)",
                                   "Remove directory on FTP : /site/gonefolder  (not on Local "
                                   "HDD)"}));
  // Below a folder it would create, the dry run has listed nothing.
  EXPECT_EQ(std::count(site.commands.begin(), site.commands.end(), "LIST /site/new"), 0);

  console.lines.clear();
  ASSERT_EQ(Walk(site), RunResult::kCompleted);
  std::vector<std::string> logged;
  for (const std::string& line : console.lines) {
    for (const char* change : {"Copy file to FTP : ", "Create Directory on FTP : ",
                               "Delete file on FTP : ", "Remove directory on FTP : "}) {
      if (line.starts_with(change))
        logged.push_back(line);
    }
  }
  std::vector<std::string> withoutReasons;
  for (const std::string& line : shown)
    withoutReasons.push_back(line.substr(0, line.rfind("  (")));
  EXPECT_EQ(logged, withoutReasons);
  EXPECT_EQ(progress.filesUploaded, planned.filesUploaded);
  EXPECT_EQ(progress.bytesUploaded, planned.bytesUploaded);
  EXPECT_EQ(progress.foldersCreated, planned.foldersCreated);
  EXPECT_EQ(progress.entriesDeleted, planned.entriesDeleted);
  EXPECT_EQ(FormatDryRunSummary(planned),
            "Dry run : 2 directories to create, 3 files to upload (4.2 KB), 3 entries to delete");
}

// The totals are what the run decided to upload, whatever it leaves out or
// passes over, so the bar ends at its end; and the counts never go back
// while files are sent.
TEST_F(MemoryWalkTest, ProgressEndsExactlyAtTheDecidedTotals) {
  TypicalTrees();
  LocalFolder("Images");
  Local("Images/i.png", 1, 7);
  // A folder that links to one above it is not walked.
  fs::create_directory_symlink(local_.path(), local_.path() / "new" / "loop");
  // A server link in place of a local folder is passed over with its files.
  Local("linked/c.html", 1, 8);
  struct Case {
    TransferOptions options;
    int64_t files;
    int64_t bytes;
  };
  const Case cases[] = {
      {{1, 1, 1, 1, 0}, 4, 10 + 20 + 300 + 4000},
      {{0, 0, 0, 0, 0}, 7, 10 + 20 + 300 + 4000 + 50000 + 600000 + 7},
  };
  for (const Case& c : cases) {
    rules.options = c.options;
    const auto server = [] {
      auto made = std::make_unique<MemorySite>();
      made->AddFolder("/site");
      made->AddFile("/site/old.html", 1000);
      made->AddLink("/site/linked");
      return made;
    };
    std::unique_ptr<MemorySite> before = server();
    DryRunSite deciding(*before);
    RunOutput decided(console, cancelEvent, {}, RunMode::kDryRun);
    ASSERT_EQ(MirrorDirectory({deciding, decided, rules}, local_.str(), "/site"),
              RunResult::kCompleted);
    const ProgressSnapshot totals = decided.progress.Read();
    EXPECT_EQ(totals.filesUploaded, c.files);
    EXPECT_EQ(totals.bytesUploaded, c.bytes);

    std::unique_ptr<MemorySite> site = server();
    RunOutput output(console, cancelEvent, {});
    output.progress.SetTotals(totals.filesUploaded, totals.bytesUploaded);
    ProgressSnapshot last;
    site->afterUploadStep = [&] {
      const ProgressSnapshot now = output.progress.Read();
      EXPECT_GE(now.doneBytes, last.doneBytes);
      EXPECT_GE(now.doneFiles, last.doneFiles);
      EXPECT_LE(now.doneBytes, totals.bytesUploaded);
      last = now;
    };
    MirrorDirectory({*site, output, rules}, local_.str(), "/site");
    const ProgressSnapshot end = output.progress.Read();
    EXPECT_EQ(end.doneFiles, c.files);
    EXPECT_EQ(end.doneBytes, c.bytes);
    EXPECT_EQ(ProgressFraction(end, 1000), 1000);
  }
}

// A run keeps the whole tree it read packed: what it hands back must be
// what went in, entry for entry, and the count of the server's entries must
// follow a listing read again.
TEST(ReadTreeTest, KeepsEntriesAsRead) {
  ReadTree tree;
  const FolderListing top{"/site", ListingCommand::kPreferred};
  FolderRead read;
  read.entries = {
      {.name = "a-long-name-over-sixteen.html", .lastWriteTime = 5, .size = 7},
      {.name = "d", .isDir = true, .lastWriteTime = 6, .timeKind = ListedTime::kServerDay},
      {.name = "link", .isLink = true, .lastWriteTime = 7, .size = -1},
      {.name = "..", .isDir = true},
      {.name = ".page.html.velmorix-0123abcd-1.tmp", .size = 3}};
  tree.AddRemote(top, read);
  std::optional<FolderRead> back = tree.Remote(top);
  ASSERT_TRUE(back);
  ASSERT_EQ(back->entries.size(), read.entries.size());
  for (size_t i = 0; i < read.entries.size(); ++i) {
    const RemoteEntry& in = read.entries[i];
    const RemoteEntry& out = back->entries[i];
    EXPECT_EQ(std::tie(in.name, in.isDir, in.isLink, in.lastWriteTime, in.size, in.timeKind),
              std::tie(out.name, out.isDir, out.isLink, out.lastWriteTime, out.size, out.timeKind));
  }
  EXPECT_EQ(tree.RemoteEntries(), 3);  // neither ".." nor our leftover
  read.entries.resize(1);
  tree.AddRemote(top, read);
  EXPECT_EQ(tree.RemoteEntries(), 1);
  EXPECT_FALSE(tree.Remote({"/site", ListingCommand::kList}));

  LocalScan scan;
  AddLocalEntry(scan.entries, "index.html", 10, 20, false, false);
  AddLocalEntry(scan.entries, "fifo", 11, 0, false, true);
  AddLocalEntry(scan.entries, "sub", 12, 0, true, false);
  scan.outcome = LocalScan::Outcome::kBrokeOff;
  tree.AddLocal("/home/site", scan);
  const std::optional<LocalScan> local = tree.Local("/home/site");
  ASSERT_TRUE(local);
  EXPECT_EQ(local->outcome, LocalScan::Outcome::kBrokeOff);
  EXPECT_EQ(local->entries.localCount, 3);
  EXPECT_EQ(local->entries.localName, scan.entries.localName);
  EXPECT_EQ(local->entries.localTime, scan.entries.localTime);
  EXPECT_EQ(local->entries.localSize, scan.entries.localSize);
  EXPECT_EQ(local->entries.localIsDir, scan.entries.localIsDir);
  EXPECT_EQ(local->entries.localIsSpecial, scan.entries.localIsSpecial);
}

TEST(ProgressTextTest, Formats) {
  ProgressSnapshot snapshot;
  EXPECT_EQ(FormatProgressText(snapshot), "");
  snapshot.totalsKnown = true;
  snapshot.totalFiles = 200;
  snapshot.totalBytes = 20 << 20;
  snapshot.doneFiles = 50;
  snapshot.doneBytes = 5 << 20;
  snapshot.elapsed = std::chrono::milliseconds(500);
  EXPECT_EQ(FormatProgressText(snapshot), "50 / 200 ファイル  5.0 / 20.0 MB");
  snapshot.elapsed = std::chrono::seconds(10);
  EXPECT_EQ(FormatProgressText(snapshot), "50 / 200 ファイル  5.0 / 20.0 MB  0.5 MB/s  残り 0:30");
  EXPECT_EQ(ProgressFraction(snapshot, 100), 25);
  snapshot.doneFiles = 201;  // a file that appeared since the scan
  snapshot.doneBytes = 21 << 20;
  EXPECT_EQ(FormatProgressText(snapshot),
            "200 / 200 ファイル  20.0 / 20.0 MB  2.0 MB/s  残り 0:00");
  EXPECT_EQ(ProgressFraction(snapshot, 100), 100);

  snapshot.filesUploaded = 3;
  snapshot.bytesUploaded = 1536;
  snapshot.foldersCreated = 1;
  snapshot.entriesDeleted = 2;
  snapshot.elapsed = std::chrono::seconds(3725);
  EXPECT_EQ(FormatRunSummary(snapshot),
            "Summary : 3 files uploaded (1.5 KB), 1 directories created, 2 entries deleted, "
            "1:02:05 elapsed");
  for (const auto& [bytes, text] :
       std::vector<std::pair<int64_t, std::string>>{{0, "0 B"},
                                                    {1023, "1023 B"},
                                                    {1024, "1.0 KB"},
                                                    {5 << 20, "5.0 MB"},
                                                    {int64_t{3} << 30, "3.00 GB"}}) {
    EXPECT_EQ(FormatBytes(bytes), text);
  }
}

}  // namespace
}  // namespace velmorix::testing
