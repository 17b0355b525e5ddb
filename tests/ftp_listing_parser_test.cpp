// The listing parser on its own: the real lines that pyftpdlib, proftpd and
// vsftpd sent (tests/data/*.txt), and the forms other servers use.
#include "engine/ftp_session/ftp_listing_parser.h"

#include <fstream>
#include <map>
#include <string>
#include <vector>

#include <gtest/gtest.h>

namespace velmorix::ftp {
namespace {

// Epoch seconds written out by hand (date -u -d ... +%s), so that the
// parser's own arithmetic is not used to check itself.
constexpr int64_t k2026Dec08At1810 = 1796753400;  // when the captures were taken
constexpr int64_t k2026Dec08At0102 = 1796691720;
constexpr int64_t k2026Dec08At010203 = 1796691723;
constexpr int64_t k2026Dec08At1756 = 1796752560;
constexpr int64_t k2026Dec08At175652 = 1796752612;
constexpr int64_t k2020Jan02 = 1577923200;
constexpr int64_t k2020Jan02At030405 = 1577934245;

struct Parsed {
  bool ok = false;
  RemoteEntry entry;
};

Parsed Unix(std::string_view line, int64_t now = k2026Dec08At1810) {
  Parsed parsed;
  parsed.ok = ParseListingLine(line, ListingFormat::kList, now, parsed.entry);
  return parsed;
}

Parsed Mlsd(std::string_view line) {
  Parsed parsed;
  parsed.ok = ParseListingLine(line, ListingFormat::kMlsd, 0, parsed.entry);
  return parsed;
}

// The data lines of one command in a capture file ("LIST -a via PORT").
std::vector<std::string> CapturedLines(const std::string& file, const std::string& command) {
  std::ifstream in(std::string(VELMORIX_TEST_DATA_DIR) + "/" + file);
  EXPECT_TRUE(in.good()) << file;
  std::vector<std::string> lines;
  std::string line;
  bool inside = false;
  while (std::getline(in, line)) {
    if (line.starts_with(">> ")) {
      inside = line == ">> " + command;
      continue;
    }
    const std::string marker = "<CRLF>";
    if (inside && line.ends_with(marker))
      lines.push_back(line.substr(0, line.size() - marker.size()));
  }
  EXPECT_FALSE(lines.empty()) << command << " in " << file;
  return lines;
}

std::map<std::string, RemoteEntry> ParseCapture(const std::string& file, const std::string& command,
                                                ListingFormat format) {
  std::map<std::string, RemoteEntry> entries;
  for (const std::string& line : CapturedLines(file, command)) {
    RemoteEntry entry;
    EXPECT_TRUE(ParseListingLine(line, format, k2026Dec08At1810, entry)) << line;
    EXPECT_EQ(entries.count(entry.name), 0u) << "twice: " << entry.name;
    entries[entry.name] = entry;
  }
  return entries;
}

// ---------------------------------------------------------------------------
// The captured listings of real servers.

class CapturedListingTest : public ::testing::Test {};

TEST_F(CapturedListingTest, UnixListingsOfAllThreeServersGiveTheSameEntries) {
  for (const std::string file : {"pyftpdlib-port.txt", "proftpd-eprt.txt", "vsftpd-port.txt"}) {
    SCOPED_TRACE(file);
    auto entries = ParseCapture(file,
                                file.starts_with("vsftpd")    ? "LIST -a via PORT"
                                : file.starts_with("proftpd") ? "LIST -a via EPRT"
                                                              : "LIST -a via PORT",
                                ListingFormat::kList);
    ASSERT_EQ(entries.count("link"), 1u) << "the link target must not stay in the name";
    EXPECT_FALSE(entries["link"].isDir);
    EXPECT_TRUE(entries["subdir"].isDir);
    EXPECT_FALSE(entries["file with spaces.txt"].isDir);
    EXPECT_EQ(entries.count(".hidden"), 1u);
    EXPECT_EQ(entries.count("日本語ファイル.txt"), 1u);
    EXPECT_EQ(entries["today.txt"].lastWriteTime, k2026Dec08At0102);
    EXPECT_EQ(entries["subdir"].lastWriteTime, k2026Dec08At1756);
    EXPECT_EQ(entries["old.txt"].lastWriteTime, k2020Jan02);
    if (!file.starts_with("pyftpdlib")) {
      // Dot entries are reported when the server lists them.
      EXPECT_TRUE(entries["."].isDir);
      EXPECT_TRUE(entries[".."].isDir);
    }
  }
}

TEST_F(CapturedListingTest, MlsdListingsGiveExactTimesAndTheDotEntries) {
  auto pyftpdlib = ParseCapture("pyftpdlib-port.txt", "MLSD via PORT", ListingFormat::kMlsd);
  EXPECT_EQ(pyftpdlib.size(), 10u);
  EXPECT_EQ(pyftpdlib["today.txt"].lastWriteTime, k2026Dec08At010203);
  EXPECT_EQ(pyftpdlib["old.txt"].lastWriteTime, k2020Jan02At030405);
  EXPECT_TRUE(pyftpdlib["newdir"].isDir);
  EXPECT_FALSE(pyftpdlib["file with spaces.txt"].isDir);

  auto proftpd = ParseCapture("proftpd-port.txt", "MLSD via PORT", ListingFormat::kMlsd);
  EXPECT_EQ(proftpd.size(), 9u);
  EXPECT_TRUE(proftpd["."].isDir);
  EXPECT_TRUE(proftpd[".."].isDir);
  EXPECT_FALSE(proftpd["link"].isDir) << "type=OS.unix=symlink is not a folder";
  EXPECT_EQ(proftpd["link"].lastWriteTime, k2026Dec08At175652);
  EXPECT_TRUE(proftpd["subdir"].isDir);
  EXPECT_EQ(proftpd.count("日本語ファイル.txt"), 1u);
}

// ---------------------------------------------------------------------------
// MLSD lines.

class MlsdLineTest : public ::testing::Test {};

TEST_F(MlsdLineTest, NameIsEverythingAfterTheFirstSpaceSemicolonsIncluded) {
  const Parsed parsed = Mlsd("type=file;size=3;modify=20200102030405; a; b  c.txt ");
  ASSERT_TRUE(parsed.ok);
  EXPECT_EQ(parsed.entry.name, "a; b  c.txt ");
  EXPECT_EQ(parsed.entry.lastWriteTime, k2020Jan02At030405);
}

TEST_F(MlsdLineTest, FactNamesAndTypeValuesIgnoreCase) {
  Parsed parsed = Mlsd("Type=DIR;MODIFY=20200102030405; Folder");
  ASSERT_TRUE(parsed.ok);
  EXPECT_TRUE(parsed.entry.isDir);
  EXPECT_EQ(parsed.entry.lastWriteTime, k2020Jan02At030405);
  parsed = Mlsd("TYPE=File; file");
  EXPECT_FALSE(parsed.entry.isDir);
}

TEST_F(MlsdLineTest, CurrentAndParentFolderBecomeDotNamesWhateverTheServerCallsThem) {
  Parsed parsed = Mlsd("type=cdir;modify=20200102030405; /home/ftpt/pub");
  ASSERT_TRUE(parsed.ok);
  EXPECT_EQ(parsed.entry.name, ".");
  EXPECT_TRUE(parsed.entry.isDir);
  parsed = Mlsd("type=pdir; /home/ftpt");
  ASSERT_TRUE(parsed.ok);
  EXPECT_EQ(parsed.entry.name, "..");
  EXPECT_TRUE(parsed.entry.isDir);
}

TEST_F(MlsdLineTest, LinksDevicesAndUnknownTypesAreFiles) {
  for (const char* line : {"type=OS.unix=slink:/srv/www; www", "type=OS.unix=symlink; www",
                           "type=OS.unix=chr-1/3; null", "type=weird; x", "size=1; no-type"}) {
    const Parsed parsed = Mlsd(line);
    ASSERT_TRUE(parsed.ok) << line;
    EXPECT_FALSE(parsed.entry.isDir) << line;
  }
}

TEST_F(MlsdLineTest, FractionOfASecondIsDroppedAndMalformedTimesAreZero) {
  EXPECT_EQ(Mlsd("type=file;modify=20200102030405.123; f").entry.lastWriteTime, k2020Jan02At030405);
  for (const char* line :
       {"type=file;modify=2020010203040; f", "type=file;modify=202001020304056; f",
        "type=file;modify=2020010203040x; f", "type=file;modify=20201302030405; f",
        "type=file;modify=20200230030405; f", "type=file;modify=20200102250405; f",
        "type=file;modify=20200102030405.; f", "type=file;modify=; f", "type=file; f"}) {
    const Parsed parsed = Mlsd(line);
    ASSERT_TRUE(parsed.ok) << line;
    EXPECT_EQ(parsed.entry.lastWriteTime, 0) << line;
    EXPECT_EQ(parsed.entry.name, "f");
  }
}

TEST_F(MlsdLineTest, LinesWithoutAName) {
  EXPECT_FALSE(Mlsd("type=file;modify=20200102030405;").ok);
  EXPECT_FALSE(Mlsd("type=file; ").ok);
  EXPECT_FALSE(Mlsd("").ok);
}

TEST_F(MlsdLineTest, EntryReusedForTheNextLineKeepsNothingOfTheLast) {
  RemoteEntry entry;
  ASSERT_TRUE(ParseMlsdLine("type=dir;modify=20200102030405; a-long-folder-name", entry));
  ASSERT_TRUE(ParseMlsdLine("type=file; b", entry));
  EXPECT_EQ(entry.name, "b");
  EXPECT_FALSE(entry.isDir);
  EXPECT_EQ(entry.lastWriteTime, 0);
}

// ---------------------------------------------------------------------------
// Unix ls -l lines.

class UnixListLineTest : public ::testing::Test {};

TEST_F(UnixListLineTest, ColumnsAreFoundByTheDateNotCounted) {
  // No group column.
  Parsed parsed = Unix("-rw-r--r--   1 owner       4 Dec  8 17:56 nogroup.txt");
  ASSERT_TRUE(parsed.ok);
  EXPECT_EQ(parsed.entry.name, "nogroup.txt");
  EXPECT_EQ(parsed.entry.lastWriteTime, k2026Dec08At1756);
  // A device: "major, minor" instead of a size.
  parsed = Unix("crw-rw-rw-   1 root     root       1,   3 Dec  8 17:56 null");
  ASSERT_TRUE(parsed.ok);
  EXPECT_EQ(parsed.entry.name, "null");
  EXPECT_FALSE(parsed.entry.isDir);
  // An owner and a group named like months.
  parsed = Unix("-rw-r--r--   1 Jan      May        4 Dec 08 17:56 x");
  ASSERT_TRUE(parsed.ok);
  EXPECT_EQ(parsed.entry.name, "x");
  EXPECT_EQ(parsed.entry.lastWriteTime, k2026Dec08At1756);
  // No link count, an ACL mark after the mode.
  parsed = Unix("drwxr-xr-x+ ftp ftp 4096 Jan  2  2020 acl folder");
  ASSERT_TRUE(parsed.ok);
  EXPECT_EQ(parsed.entry.name, "acl folder");
  EXPECT_TRUE(parsed.entry.isDir);
  EXPECT_EQ(parsed.entry.lastWriteTime, k2020Jan02);
}

TEST_F(UnixListLineTest, NameKeepsItsSpacesAndOnlyLinksLoseTheirTarget) {
  EXPECT_EQ(Unix("-rw-r--r-- 1 u g 3 Dec 08 17:56  two  spaces ").entry.name, " two  spaces ");
  EXPECT_EQ(Unix("-rw-r--r-- 1 u g 3 Dec 08 17:56 a -> b").entry.name, "a -> b");
  const Parsed link = Unix("lrwxrwxrwx 1 u g 9 Dec 08 17:56 my link -> ../some folder");
  EXPECT_EQ(link.entry.name, "my link");
  EXPECT_FALSE(link.entry.isDir) << "a link to a folder must never be walked into";
}

TEST_F(UnixListLineTest, OnlyTheFolderKindIsAFolder) {
  EXPECT_TRUE(Unix("drwxr-xr-x 2 u g 4096 Dec 08 17:56 d").entry.isDir);
  for (const char* line :
       {"-rw-r--r-- 1 u g 1 Dec 08 17:56 f", "prw-r--r-- 1 u g 0 Dec 08 17:56 f",
        "srwxr-xr-x 1 u g 0 Dec 08 17:56 f", "brw-rw---- 1 u g 8, 0 Dec 08 17:56 f"}) {
    const Parsed parsed = Unix(line);
    ASSERT_TRUE(parsed.ok) << line;
    EXPECT_FALSE(parsed.entry.isDir) << line;
  }
}

TEST_F(UnixListLineTest, LinesWithoutAnEntryAreSkipped) {
  for (const char* line :
       {"total 12", "", "   ", "garbage line", "-rw-r--r-- 1 u g 3",
        "-rw-r--r-- 1 u g 3 Dec 08 17:56", "-rw-r--r-- 1 u g 3 Dec 08 17:56 ",
        "-rw-r--r-- 1 u g 3 Feb 30  2020 no-such-day", "-rw-r--r-- 1 u g 3 Dec 08 24:00 bad-hour",
        "-rw-r--r-- 1 u g 3 Dec 32 10:00 bad-day", "xrw-r--r-- 1 u g 3 Dec 08 17:56 f",
        "-rw-r--r-- 1 u g 3 Dec 08 17:5 short-minute"}) {
    EXPECT_FALSE(Unix(line).ok) << '"' << line << '"';
  }
}

TEST_F(UnixListLineTest, DateWithoutYearIsTheLatestNotAfterTomorrow) {
  constexpr int64_t k2026Dec31At2300 = 1798758000;
  constexpr int64_t k2027Jan01At0030 = 1798763400;
  constexpr int64_t k2026Jan02 = 1767312000;
  constexpr int64_t k2027Jan01At0100 = 1798765200;
  constexpr int64_t k2026Dec31At2359 = 1798761540;
  constexpr int64_t k2026Jan03 = 1767398400;
  constexpr int64_t k2027Mar01 = 1803859200;
  constexpr int64_t k2024Feb29At1200 = 1709208000;
  // Late on New Year's Eve, a server clock already in the new year.
  EXPECT_EQ(Unix("-rw-r--r-- 1 u g 1 Jan  1 00:30 f", k2026Dec31At2300).entry.lastWriteTime,
            k2027Jan01At0030);
  EXPECT_EQ(Unix("-rw-r--r-- 1 u g 1 Jan  2 00:00 f", k2026Dec31At2300).entry.lastWriteTime,
            k2026Jan02);
  // Early on New Year's Day, last year's December.
  EXPECT_EQ(Unix("-rw-r--r-- 1 u g 1 Dec 31 23:59 f", k2027Jan01At0100).entry.lastWriteTime,
            k2026Dec31At2359);
  EXPECT_EQ(Unix("-rw-r--r-- 1 u g 1 Jan  3 00:00 f", k2027Jan01At0100).entry.lastWriteTime,
            k2026Jan03);
  // 29 February exists only in leap years.
  EXPECT_EQ(Unix("-rw-r--r-- 1 u g 1 Feb 29 12:00 f", k2027Mar01).entry.lastWriteTime,
            k2024Feb29At1200);
}

// ---------------------------------------------------------------------------
// DOS/IIS lines.

class DosListLineTest : public ::testing::Test {};

TEST_F(DosListLineTest, FoldersAndFilesWithTwelveHourTimes) {
  constexpr int64_t k1997Dec31At2359 = 883612740;
  constexpr int64_t k1998Jan05At0903 = 883990980;
  Parsed parsed = Unix("12-31-97  11:59PM       <DIR>          Web Site");
  ASSERT_TRUE(parsed.ok);
  EXPECT_TRUE(parsed.entry.isDir);
  EXPECT_EQ(parsed.entry.name, "Web Site");
  EXPECT_EQ(parsed.entry.lastWriteTime, k1997Dec31At2359);
  parsed = Unix("01-05-98  09:03AM                 1234 index.html");
  ASSERT_TRUE(parsed.ok);
  EXPECT_FALSE(parsed.entry.isDir);
  EXPECT_EQ(parsed.entry.name, "index.html");
  EXPECT_EQ(parsed.entry.lastWriteTime, k1998Jan05At0903);
}

TEST_F(DosListLineTest, MidnightAndNoonAndCenturies) {
  constexpr int64_t k2000Jan01 = 946684800;
  constexpr int64_t k2000Jan01At1200 = 946728000;
  constexpr int64_t k2069Jun15 = 3138480000;
  constexpr int64_t k1970Jun15 = 14256000;
  EXPECT_EQ(Unix("01-01-00  12:00AM  <DIR>  a").entry.lastWriteTime, k2000Jan01);
  EXPECT_EQ(Unix("01-01-00  12:00PM  <DIR>  a").entry.lastWriteTime, k2000Jan01At1200);
  EXPECT_EQ(Unix("06-15-69  12:00AM  5  a").entry.lastWriteTime, k2069Jun15);
  EXPECT_EQ(Unix("06-15-70  12:00AM  5  a").entry.lastWriteTime, k1970Jun15);
}

TEST_F(DosListLineTest, FourDigitYearsTwentyFourHourTimesAndSeparateMeridiem) {
  constexpr int64_t k2021Dec31At2359 = 1640995140;
  Parsed parsed = Unix("12-31-2021  23:59       1,234,567 big file.bin");
  ASSERT_TRUE(parsed.ok);
  EXPECT_EQ(parsed.entry.name, "big file.bin");
  EXPECT_EQ(parsed.entry.lastWriteTime, k2021Dec31At2359);
  parsed = Unix("12-31-2021  11:59 PM  <DIR>  late");
  ASSERT_TRUE(parsed.ok);
  EXPECT_EQ(parsed.entry.name, "late");
  EXPECT_EQ(parsed.entry.lastWriteTime, k2021Dec31At2359);
}

TEST_F(DosListLineTest, MalformedLinesAreSkipped) {
  for (const char* line : {"13-01-97  11:59PM  <DIR>  bad-month", "02-30-97  11:59PM  1  bad-day",
                           "12-31-97  13:00PM  1  bad-hour", "12-31-97  00:30AM  1  zero-am",
                           "12-31-97  11:59PM  <DIR>", "12-31-97  11:59PM  <DIR>   ",
                           "12-31-97  11:59PM  12x  bad-size", "12/31/97  11:59PM  1  slashes",
                           "12-31-97  11:60PM  1  bad-minute", "12-31-97"}) {
    EXPECT_FALSE(Unix(line).ok) << line;
  }
}

}  // namespace
}  // namespace velmorix::ftp
