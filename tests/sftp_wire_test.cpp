#include "sftp/sftp_wire.h"

#include <string>

#include <gtest/gtest.h>

namespace velmorix::sftp::wire {
namespace {

std::string Be32(uint32_t value) {
  return {static_cast<char>(value >> 24), static_cast<char>(value >> 16),
          static_cast<char>(value >> 8), static_cast<char>(value)};
}

std::string Text(const std::string& text) {
  return Be32(static_cast<uint32_t>(text.size())) + text;
}

// Attributes as OpenSSH lists them, and what the walk takes from them.
TEST(SftpWireTest, AttributesGiveKindSizeAndExactTime) {
  const std::string sizeOf5 = Be32(0) + Be32(5);
  const std::string times = Be32(1) + Be32(1'200'000'000);
  const struct {
    const char* name;
    std::string bytes;
    bool parsed;
    bool isDir;
    bool isLink;
    int64_t size;
    int64_t time;
  } cases[] = {
      {"file",
       Be32(kAttrSize | kAttrUidGid | kAttrPermissions | kAttrTimes) + sizeOf5 + Be32(1) + Be32(2) +
           Be32(0100644) + times,
       true, false, false, 5, 1'200'000'000},
      {"folder", Be32(kAttrSize | kAttrPermissions) + sizeOf5 + Be32(040755), true, true, false, -1,
       0},
      {"link", Be32(kAttrSize | kAttrPermissions) + sizeOf5 + Be32(0120777), true, false, true, -1,
       0},
      {"extended pairs skipped",
       Be32(kAttrPermissions | kAttrExtended) + Be32(0100600) + Be32(1) + Text("a@b") + Text("c"),
       true, false, false, -1, 0},
      {"kind unknown without permissions", Be32(kAttrSize) + sizeOf5, true, false, false, -1, 0},
      {"size cut short", Be32(kAttrSize) + Be32(0), false, false, false, -1, 0},
      {"extended pair cut short", Be32(kAttrExtended) + Be32(1) + Text("a@b"), false, false, false,
       -1, 0},
  };
  for (const auto& c : cases) {
    RemoteEntry entry;
    Reader reader(c.bytes);
    ASSERT_EQ(reader.Attributes(entry), c.parsed) << c.name;
    if (!c.parsed)
      continue;
    EXPECT_TRUE(reader.AtEnd()) << c.name;
    EXPECT_EQ(entry.isDir, c.isDir) << c.name;
    EXPECT_EQ(entry.isLink, c.isLink) << c.name;
    EXPECT_EQ(entry.size, c.size) << c.name;
    EXPECT_EQ(entry.lastWriteTime, c.time) << c.name;
    EXPECT_EQ(entry.timeKind, ListedTime::kUtc) << c.name;
  }
}

TEST(SftpWireTest, StatusTextsNameOperationPathAndCause) {
  const struct {
    uint32_t code;
    const char* message;
    const char* text;
  } cases[] = {
      {kPermissionDenied, "Permission denied", "mkdir www/a: SFTP status 3, permission denied"},
      {kFailure, "Directory not empty",
       "mkdir www/a: SFTP status 4, failure (Directory not empty)"},
      {kNoSuchFile, "", "mkdir www/a: SFTP status 2, no such file"},
      {42, "odd", "mkdir www/a: SFTP status 42, unknown status (odd)"},
  };
  for (const auto& c : cases) {
    uint32_t code = 0;
    std::string message;
    ASSERT_TRUE(ParseStatus(Be32(c.code) + Text(c.message) + Text("en"), code, message));
    EXPECT_EQ(StatusText("mkdir", "www/a", code, message), c.text);
  }
  uint32_t code = 0;
  std::string message;
  EXPECT_TRUE(ParseStatus(Be32(kEof), code, message)) << "a status of SFTP 2 ends after its code";
  EXPECT_FALSE(ParseStatus("\x01", code, message));
}

TEST(SftpWireTest, RequestsCarryTheirLengthTypeAndId) {
  EXPECT_EQ(Request(kOpendir, 7).String("www").Finish(), Be32(12) + "\x0b" + Be32(7) + Text("www"));
  EXPECT_EQ(Request::Init(3).Finish(), Be32(5) + "\x01" + Be32(3));
  EXPECT_EQ(Request(kFsetstat, 1).String("h").Times(5, 6).Finish(),
            Be32(22) + "\x0a" + Be32(1) + Text("h") + Be32(kAttrTimes) + Be32(5) + Be32(6));
}

}  // namespace
}  // namespace velmorix::sftp::wire
