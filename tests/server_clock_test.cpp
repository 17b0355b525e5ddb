// The server's clock: how listed times are read before they are compared,
// what a listed upload tells of a server's clock, and, end to end, that an
// edit made a minute after a publish goes out, and an unchanged file does
// not, on a server that lists in Japan time and on one that lists in UTC.
#include "engine/server_clock.h"

#include <ctime>
#include <filesystem>
#include <optional>
#include <ostream>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "ftp/ftp_listing_parser.h"
#include "settings/destinations.h"
#include "tests/support/engine_fixture.h"

namespace velmorix::testing {
namespace {

// Epoch seconds written out by hand (date -u -d ... +%s), so that the
// parser's own arithmetic does not check itself.
constexpr int64_t k2026Dec10At143223 = 1796913143;
constexpr int64_t k2026Dec31At200010 = 1798747210;
constexpr int64_t k2027Jan01At030010 = 1798772410;

TEST(ServerClockTest, ListedUploadTellsTheOffsetToTheQuarterHour) {
  struct Case {
    const char* why;
    const char* line;  // as the server listed the file just uploaded
    int64_t uploadedAt;
    std::optional<int32_t> expected;  // minutes ahead of UTC
  };
  const Case cases[] = {
      {"Japan time", "-rw-r--r-- 1 0 0 5 Dec 10 23:32 a.txt", k2026Dec10At143223, 540},
      {"UTC, the listed minute cut short", "-rw-r--r-- 1 0 0 5 Dec 10 14:32 a.txt",
       k2026Dec10At143223 + 36, 0},
      {"New York", "-rw-r--r-- 1 0 0 5 Dec 10 09:32 a.txt", k2026Dec10At143223, -300},
      {"India", "-rw-r--r-- 1 0 0 5 Dec 10 20:02 a.txt", k2026Dec10At143223, 330},
      {"Nepal", "-rw-r--r-- 1 0 0 5 Dec 10 20:17 a.txt", k2026Dec10At143223, 345},
      {"Newfoundland", "-rw-r--r-- 1 0 0 5 Dec 10 11:02 a.txt", k2026Dec10At143223, -210},
      {"a clock five minutes fast", "-rw-r--r-- 1 0 0 5 Dec 10 23:37 a.txt", k2026Dec10At143223,
       540},
      {"a clock seven minutes slow", "-rw-r--r-- 1 0 0 5 Dec 10 23:25 a.txt", k2026Dec10At143223,
       540},
      {"ahead into the new year", "-rw-r--r-- 1 0 0 5 Jan  1 05:00 a.txt", k2026Dec31At200010, 540},
      {"behind, still in the old year", "-rw-r--r-- 1 0 0 5 Dec 31 22:00 a.txt", k2027Jan01At030010,
       -300},
      {"DOS lines are the server's clock too", "12-10-26  11:32PM  5 a.txt", k2026Dec10At143223,
       540},
      {"a year instead of a time of day", "-rw-r--r-- 1 0 0 5 Dec 10  2026 a.txt",
       k2026Dec10At143223, std::nullopt},
      {"an impossible date", "-rw-r--r-- 1 0 0 5 Feb 30 23:32 a.txt", k2026Dec10At143223,
       std::nullopt},
      {"more than a day off", "-rw-r--r-- 1 0 0 5 Dec 12 15:32 a.txt", k2026Dec10At143223,
       std::nullopt},
  };
  for (const Case& c : cases) {
    RemoteEntry entry;
    // Placed in a year as a listing read right after the upload places it.
    ASSERT_TRUE(ftp::ParseListingLine(c.line, ftp::ListingFormat::kList, c.uploadedAt, entry))
        << c.why;
    EXPECT_EQ(LearnClockOffset(entry, c.uploadedAt), c.expected) << c.why;
  }
  RemoteEntry mlsd;
  ASSERT_TRUE(ftp::ParseMlsdLine("modify=20261210233223;type=file; a.txt", mlsd));
  EXPECT_EQ(LearnClockOffset(mlsd, k2026Dec10At143223), std::nullopt) << "MLSD is UTC already";
}

TEST(ServerClockTest, ListedTimesAsCompared) {
  constexpr int64_t kListed = 1'000'000'000;
  struct Case {
    const char* why;
    int32_t clockMode;
    int32_t timeDifference;
    int32_t clockOffset;
    ListedTime kind;
    int64_t expected;
  };
  const Case cases[] = {
      {"the flag off", kClockModeTimeDifference, 0, 540, ListedTime::kServerClock, kListed},
      {"the flag on, whatever the listing", kClockModeTimeDifference, 1, kClockOffsetNotLearned,
       ListedTime::kUtc, kListed - 32400},
      {"auto takes MLSD as UTC", kClockModeAuto, 1, 540, ListedTime::kUtc, kListed},
      {"auto, learned ahead", kClockModeAuto, 0, 540, ListedTime::kServerClock, kListed - 32400},
      {"auto, learned behind", kClockModeAuto, 0, -300, ListedTime::kServerDay, kListed + 18000},
      {"auto, not learned: as far ahead as a zone goes", kClockModeAuto, 0, kClockOffsetNotLearned,
       ListedTime::kServerClock, kListed - 14 * 3600},
      {"auto, a stored offset out of range is none", kClockModeAuto, 0, 5000,
       ListedTime::kServerClock, kListed - 14 * 3600},
  };
  for (const Case& c : cases) {
    FtpProfile profile;
    profile.clockMode = c.clockMode;
    profile.timeDifference = c.timeDifference;
    profile.clockOffset = c.clockOffset;
    EXPECT_EQ(ComparableServerTime(ServerClock::Of(profile), kListed, c.kind), c.expected) << c.why;
  }
  EXPECT_EQ(ClockOffsetText(540), "UTC+09:00");
  EXPECT_EQ(ClockOffsetText(-210), "UTC-03:30");
  EXPECT_EQ(ClockOffsetText(0), "UTC+00:00");
}

// --- End to end -----------------------------------------------------------

enum class Server { kVsftpdJapanTime, kPyftpdlibMlsd, kPyftpdlibListInUtc };

struct EndToEndCase {
  const char* name;
  Server server;
  int32_t learned;  // what the first publish learns
};

void PrintTo(const EndToEndCase& c, std::ostream* out) {
  *out << c.name;
}

class ServerClockRunTest : public EngineRunTest,
                           public ::testing::WithParamInterface<EndToEndCase> {
 protected:
  void SetUp() override {
    EngineRunTest::SetUp();
    if (GetParam().server == Server::kVsftpdJapanTime) {
      if (!VsftpdServer::Available())
        GTEST_SKIP() << "vsftpd is not installed (scripts/install-deps.sh installs it)";
      // Japan time, as Asia/Tokyo, without needing the zone files.
      vsftpd_.emplace("JST-9", true);
      vsftpd_->Start();
      UseServer(vsftpd_->host(), vsftpd_->port());
      profile.userId = VsftpdServer::kUser;
      profile.password = VsftpdServer::kPassword;
      remoteRoot_ = vsftpd_->root() / "site";
      profile.remoteDir = remoteRoot_.string();
    } else {
      pyftpdlib_.emplace(TestFtpServerOptions{.mlsd = GetParam().server == Server::kPyftpdlibMlsd});
      pyftpdlib_->Start();
      UseServer(pyftpdlib_->host(), pyftpdlib_->port());
      remoteRoot_ = pyftpdlib_->root() / "site";
    }
    std::filesystem::create_directories(remoteRoot_);
    // A new destination's settings.
    profile.clockMode = kClockModeAuto;
    profile.options.onlyNewer = 1;
    profile.connections = 2;
    profile.temporaryUploads = 1;
  }

  std::optional<VsftpdServer> vsftpd_;
  std::optional<TestFtpServer> pyftpdlib_;
  std::filesystem::path remoteRoot_;
};

INSTANTIATE_TEST_SUITE_P(
    Servers, ServerClockRunTest,
    ::testing::Values(EndToEndCase{"VsftpdInJapanTime", Server::kVsftpdJapanTime, 540},
                      EndToEndCase{"PyftpdlibWithMlsd", Server::kPyftpdlibMlsd,
                                   kClockOffsetNotLearned},
                      EndToEndCase{"PyftpdlibWithListInUtc", Server::kPyftpdlibListInUtc, 0}),
    [](const auto& info) { return std::string(info.param.name); });

TEST_P(ServerClockRunTest, EditAMinuteAfterAPublishGoesOutAndAnUnchangedFileStays) {
  const int64_t now = static_cast<int64_t>(std::time(nullptr));
  WriteFile(Local("page.html"), "page v1");
  WriteFile(Local("kept.html"), "kept");
  // Edited ten minutes before the publish: newer than the server's copy
  // would be if the server's clock were taken as far ahead as a zone goes.
  SetFileTime(Local("page.html"), now - 600);
  SetFileTime(Local("kept.html"), now - 600);
  ASSERT_EQ(Publish(), CompletionCode::kCompleted) << Transcript();
  ASSERT_EQ(learned.clockOffset, GetParam().learned) << Transcript();
  profile.clockOffset = learned.clockOffset;

  // Of the same size: only its time tells that it changed.
  WriteFile(Local("page.html"), "page v2");
  SetFileTime(Local("page.html"), now + 60);
  ResetConsole();
  ASSERT_EQ(Publish(), CompletionCode::kCompleted) << Transcript();

  EXPECT_EQ(ReadFile(remoteRoot_ / "page.html"), "page v2");
  EXPECT_EQ(LogLines(),
            std::vector<std::string>{"Copy file to FTP : " + profile.remoteDir + "/page.html"})
      << Transcript();
}

}  // namespace
}  // namespace velmorix::testing
