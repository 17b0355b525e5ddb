// The listing parser on its own: the real lines that pyftpdlib, proftpd and
// vsftpd sent (tests/data/*.txt), and the forms other servers use.
#include "ftp/ftp_listing_parser.h"

#include <fstream>
#include <map>
#include <string>

#include <gtest/gtest.h>

namespace velmorix::ftp {
namespace {

// Epoch seconds written out by hand (date -u -d ... +%s), so that the
// parser's own arithmetic does not check itself.
constexpr int64_t kCaptureTime = 1796753400;  // 2026-12-08 18:10, when the captures were taken
constexpr int64_t k2026Dec08At0102 = 1796691720;
constexpr int64_t k2026Dec08At1756 = 1796752560;
constexpr int64_t k2020Jan02 = 1577923200;
constexpr int64_t k2020Jan02At030405 = 1577934245;

constexpr int64_t kSizeNotChecked = -2;

// One line and what it must give; `ok` false: the line is skipped.
struct Case {
  const char* line;
  bool ok;
  const char* name = "";
  bool isDir = false;
  int64_t time = 0;
  int64_t now = kCaptureTime;
  bool isLink = false;
  int64_t size = kSizeNotChecked;
};

void ExpectParsed(ListingFormat format, const Case& c) {
  RemoteEntry entry;
  entry.name = "left over";
  entry.isLink = !c.isLink;
  entry.lastWriteTime = -1;
  ASSERT_EQ(ParseListingLine(c.line, format, c.now, entry), c.ok) << '"' << c.line << '"';
  if (!c.ok)
    return;
  EXPECT_EQ(entry.name, c.name) << c.line;
  EXPECT_EQ(entry.isDir, c.isDir) << c.line;
  EXPECT_EQ(entry.isLink, c.isLink) << c.line;
  EXPECT_EQ(entry.lastWriteTime, c.time) << c.line;
  if (c.size != kSizeNotChecked) {
    EXPECT_EQ(entry.size, c.size) << c.line;
  }
}

// Parses the data lines of `command` ("LIST -a via PORT") in a capture file.
std::map<std::string, RemoteEntry> ParseCapture(const std::string& file, const std::string& command,
                                                ListingFormat format) {
  std::ifstream in(std::string(VELMORIX_TEST_DATA_DIR) + "/" + file);
  std::map<std::string, RemoteEntry> entries;
  std::string line;
  bool inside = false;
  while (std::getline(in, line)) {
    if (line.starts_with(">> "))
      inside = line == ">> " + command;
    if (!inside || !line.ends_with("<CRLF>"))
      continue;
    RemoteEntry entry;
    EXPECT_TRUE(ParseListingLine(line.substr(0, line.size() - 6), format, kCaptureTime, entry))
        << line;
    EXPECT_EQ(entries.count(entry.name), 0u) << "twice: " << entry.name;
    entries[entry.name] = entry;
  }
  EXPECT_FALSE(entries.empty()) << command << " in " << file;
  return entries;
}

class CapturedListingTest : public ::testing::Test {};

TEST_F(CapturedListingTest, UnixListingsOfAllThreeServersGiveTheSameEntries) {
  for (const auto& [file, command] : {std::pair{"pyftpdlib-port.txt", "LIST -a via PORT"},
                                      std::pair{"proftpd-eprt.txt", "LIST -a via EPRT"},
                                      std::pair{"vsftpd-port.txt", "LIST -a via PORT"}}) {
    SCOPED_TRACE(file);
    auto entries = ParseCapture(file, command, ListingFormat::kList);
    EXPECT_TRUE(entries["link"].isLink && !entries["link"].isDir);
    EXPECT_TRUE(entries["subdir"].isDir && !entries["subdir"].isLink);
    EXPECT_EQ(entries.count(".hidden") + entries.count("file with spaces.txt") +
                  entries.count("日本語ファイル.txt"),
              3u);
    EXPECT_EQ(entries["today.txt"].lastWriteTime, k2026Dec08At0102);
    EXPECT_EQ(entries["subdir"].lastWriteTime, k2026Dec08At1756);
    EXPECT_EQ(entries["old.txt"].lastWriteTime, k2020Jan02);
    // Dot entries are reported where the server lists them.
    EXPECT_EQ(entries.count(".") == 1, std::string(file) != "pyftpdlib-port.txt");
  }
}

TEST_F(CapturedListingTest, MlsdListingsGiveExactTimesAndTheDotEntries) {
  auto pyftpdlib = ParseCapture("pyftpdlib-port.txt", "MLSD via PORT", ListingFormat::kMlsd);
  EXPECT_EQ(pyftpdlib.size(), 10u);
  EXPECT_EQ(pyftpdlib["old.txt"].lastWriteTime, k2020Jan02At030405);
  EXPECT_TRUE(pyftpdlib["newdir"].isDir);
  auto proftpd = ParseCapture("proftpd-port.txt", "MLSD via PORT", ListingFormat::kMlsd);
  EXPECT_EQ(proftpd.size(), 9u);
  EXPECT_TRUE(proftpd["."].isDir && proftpd[".."].isDir);
  EXPECT_TRUE(proftpd["link"].isLink && !proftpd["link"].isDir)
      << "type=OS.unix=symlink is a link, not a folder";
}

class MlsdLineTest : public ::testing::Test {};

TEST_F(MlsdLineTest, FactsNamesTypesAndTimes) {
  constexpr int64_t t = k2020Jan02At030405;
  for (const Case& c : std::initializer_list<Case>{
           {"type=file;size=3;modify=20200102030405; a; b  c.txt ", true, "a; b  c.txt ", false, t,
            kCaptureTime, false, 3},
           {"Type=DIR;MODIFY=20200102030405.123; Folder", true, "Folder", true, t},
           {"type=cdir;modify=20200102030405; /home/ftpt/pub", true, ".", true, t},
           {"type=pdir; /home/ftpt", true, "..", true},
           {"type=OS.unix=chr-1/3; null", true, "null"},
           {"size=1; no-type", true, "no-type", false, 0, kCaptureTime, false, 1},
           {"type=dir;size=4096; folders-have-none", true, "folders-have-none", true, 0,
            kCaptureTime, false, -1},
           {"type=file;size=12a; bad-size", true, "bad-size", false, 0, kCaptureTime, false, -1},
           // Malformed times are 0, the entry stays.
           {"type=file;modify=2020010203040; f", true, "f"},
           {"type=file;modify=202001020304056; f", true, "f"},
           {"type=file;modify=20201302030405; f", true, "f"},
           {"type=file;modify=20200230030405; f", true, "f"},
           {"type=file;modify=20200102250405; f", true, "f"},
           {"type=file;modify=20200102030405.; f", true, "f"},
           {"type=file;modify=2020010203040x; f", true, "f"},
           {"type=file;modify=20200102030405;", false},
           {"type=file; ", false},
           {"", false},
       }) {
    ExpectParsed(ListingFormat::kMlsd, c);
  }
}

class UnixListLineTest : public ::testing::Test {};

TEST_F(UnixListLineTest, ColumnsAreFoundByTheDateNotCounted) {
  constexpr int64_t t = k2026Dec08At1756;
  for (const Case& c : std::initializer_list<Case>{
           {"-rw-r--r--   1 owner       4 Dec  8 17:56 nogroup.txt", true, "nogroup.txt", false, t,
            kCaptureTime, false, 4},
           {"crw-rw-rw-   1 root     root       1,   3 Dec  8 17:56 null", true, "null", false, t,
            kCaptureTime, false, -1},
           {"-rw-r--r--   1 Jan      May        4 Dec 08 17:56 x", true, "x", false, t},
           {"drwxr-xr-x+ ftp ftp 4096 Jan  2  2020 acl folder", true, "acl folder", true,
            k2020Jan02},
           {"-rw-r--r-- 1 u g 3 Dec 08 17:56  two  spaces ", true, " two  spaces ", false, t},
           {"-rw-r--r-- 1 u g 3 Dec 08 17:56 a -> b", true, "a -> b", false, t},
           {"prw-r--r-- 1 u g 0 Dec 08 17:56 pipe", true, "pipe", false, t},
           {"total 12", false},
           {"garbage line", false},
           {"-rw-r--r-- 1 u g 3 Dec 08 17:56", false},
           {"-rw-r--r-- 1 u g 3 Dec 08 17:56 ", false},
           {"-rw-r--r-- 1 u g 3 Dec 08 17:5 short-minute", false},
           {"xrw-r--r-- 1 u g 3 Dec 08 17:56 bad-kind", false},
       }) {
    ExpectParsed(ListingFormat::kList, c);
  }
}

TEST_F(UnixListLineTest, DateWithoutYearIsTheLatestNotAfterTomorrow) {
  constexpr int64_t k2026Dec31At2300 = 1798758000;
  constexpr int64_t k2027Jan01At0100 = 1798765200;
  for (const Case& c : std::initializer_list<Case>{
           // Late on New Year's Eve, a server clock already in the new year.
           {"-rw-r--r-- 1 u g 1 Jan  1 00:30 f", true, "f", false, 1798763400, k2026Dec31At2300},
           {"-rw-r--r-- 1 u g 1 Jan  2 00:00 f", true, "f", false, 1767312000, k2026Dec31At2300},
           // Early on New Year's Day, last year's December.
           {"-rw-r--r-- 1 u g 1 Dec 31 23:59 f", true, "f", false, 1798761540, k2027Jan01At0100},
           {"-rw-r--r-- 1 u g 1 Jan  3 00:00 f", true, "f", false, 1767398400, k2027Jan01At0100},
           // 29 February of the latest leap year (2024), seen from March 2027.
           {"-rw-r--r-- 1 u g 1 Feb 29 12:00 f", true, "f", false, 1709208000, 1803859200},
       }) {
    ExpectParsed(ListingFormat::kList, c);
  }
}

class DosListLineTest : public ::testing::Test {};

TEST_F(DosListLineTest, FoldersFilesAndTheirClocks) {
  for (const Case& c : std::initializer_list<Case>{
           {"12-31-97  11:59PM       <DIR>          Web Site", true, "Web Site", true, 883612740},
           {"01-05-98  09:03AM                 1234 index.html", true, "index.html", false,
            883990980, kCaptureTime, false, 1234},
           {"01-01-00  12:00AM  <DIR>  midnight", true, "midnight", true, 946684800},
           {"01-01-00  12:00PM  <DIR>  noon", true, "noon", true, 946728000},
           {"06-15-69  12:00AM  5  y2069", true, "y2069", false, 3138480000},
           {"06-15-70  12:00AM  5  y1970", true, "y1970", false, 14256000},
           {"12-31-2021  23:59       1,234,567 big file.bin", true, "big file.bin", false,
            1640995140, kCaptureTime, false, 1234567},
           {"12-31-2021  11:59 PM  <DIR>  late", true, "late", true, 1640995140},
           {"12-31-97  11:59PM  <DIR>   ", false},
           {"12-31-97  11:59PM  12x  bad-size", false},
           {"12/31/97  11:59PM  1  slashes", false},
       }) {
    ExpectParsed(ListingFormat::kList, c);
  }
}

class ListedLinkTest : public ::testing::Test {};

TEST_F(ListedLinkTest, LinksAreMarkedAndNeverFolders) {
  constexpr int64_t t = k2026Dec08At1756;
  for (const Case& c : std::initializer_list<Case>{
           {.line = "type=OS.unix=slink:/srv/www; www", .ok = true, .name = "www", .isLink = true},
           {.line = "type=OS.unix=slink; www", .ok = true, .name = "www", .isLink = true},
           {.line = "Type=os.UNIX=SymLink; www", .ok = true, .name = "www", .isLink = true},
           {.line = "type=OS.unix=SLINK:../a;b; c", .ok = true, .name = "c", .isLink = true},
           // Not links: another type that merely starts alike, and a folder.
           {.line = "type=OS.unix=slinky; s", .ok = true, .name = "s"},
           {.line = "type=dir; d", .ok = true, .name = "d", .isDir = true},
       }) {
    ExpectParsed(ListingFormat::kMlsd, c);
  }
  for (const Case& c : std::initializer_list<Case>{
           // A link, even to a folder, is no folder: nothing is walked through it.
           {"lrwxrwxrwx 1 u g 9 Dec 08 17:56 my link -> ../some dir", true, "my link", false, t,
            kCaptureTime, true},
           {"lrwxrwxrwx 1 u g 9 Dec 08 17:56 bare", true, "bare", false, t, kCaptureTime, true},
           {"drwxr-xr-x 1 u g 9 Dec 08 17:56 a -> b", true, "a -> b", true, t},
       }) {
    ExpectParsed(ListingFormat::kList, c);
  }
}

// Broken clocks and file systems produce dates that cannot be; the entry is
// real, so it stays, with the time 0. A line without the shape of a date is
// still no entry.
class ImpossibleListDateTest : public ::testing::Test {};

TEST_F(ImpossibleListDateTest, EntryStaysWithTimeZero) {
  for (const Case& c : std::initializer_list<Case>{
           {"-rw-r--r-- 1 u g 3 Feb 30  2020 feb30", true, "feb30"},
           {"-rw-r--r-- 1 u g 3 Feb 30 12:00 feb30 this year", true, "feb30 this year"},
           {"-rw-r--r-- 1 u g 3 Jan 32 12:00 jan32", true, "jan32"},
           {"drwxr-xr-x 2 u g 4096 Jan  0  2020 day0", true, "day0", true},
           {"-rw-r--r-- 1 u g 3 Dec 08 25:61 clock", true, "clock"},
           {"-rw-r--r-- 1 u g 3 Dec 08 24:00 midnight", true, "midnight"},
           {"lrwxrwxrwx 1 u g 3 Feb 30  2020 l -> t", true, "l", false, 0, kCaptureTime, true},
           {"02-30-21  10:00AM  12  feb30", true, "feb30"},
           {"13-01-21  10:00AM  <DIR>  month13", true, "month13", true},
           {"00-00-2021  10:00  12  zeros", true, "zeros"},
           {"01-01-21  25:61  12  clock", true, "clock"},
           {"12-31-97  13:00PM  1  pm13", true, "pm13"},
           {"12-31-97  00:30AM  1  am0", true, "am0"},
           // No date shape: skipped as before.
           {"-rw-r--r-- 1 u g 3 Jan 123 2020 three-digit-day", false},
           {"-rw-r--r-- 1 u g 3 Dec 08 202 three-digit-year", false},
           {"-rw-r--r-- 1 u g 3 Dec 08 1:2 one-digit-minute", false},
           {"-rw-r--r-- 1 u g 3 Dex 08 17:56 no-month", false},
           {"1-31-97  10:00AM  1  short-date", false},
           {"12-31-97  1000  1  no-colon", false},
           {"12-31-97  10:00XM  1  no-meridiem", false},
       }) {
    ExpectParsed(ListingFormat::kList, c);
  }
}

}  // namespace
}  // namespace velmorix::ftp
