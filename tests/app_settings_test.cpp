#include "settings/app_settings.h"

#include <gtest/gtest.h>

namespace velmorix {
namespace {

AppSettings WithProfiles(std::initializer_list<const char*> names) {
  AppSettings settings;
  for (const char* name : names) {
    settings.profiles[settings.profileCount++].name = name;
  }
  return settings;
}

TEST(ResetSettingsTest, FreshRecordHasNoSelectionAndDefaultSlots) {
  AppSettings settings;
  settings.changeCount = 5;
  settings.lastFtp = 3;
  settings.currentProfile = 2;
  settings.profileCount = 4;
  settings.profiles[19].port = 2121;
  settings.profiles[0].options.deleteOnServer = 0;
  settings.profiles[7].timeDifference = 1;
  settings.profiles[7].localDir = "/srv/site";

  settings.ResetSettings();

  EXPECT_EQ(settings.changeCount, 0);
  EXPECT_EQ(settings.lastFtp, -1);
  EXPECT_EQ(settings.currentProfile, -1);
  EXPECT_EQ(settings.profileCount, 0);
  for (const FtpProfile& profile : settings.profiles) {
    EXPECT_EQ(profile, FtpProfile{});
    EXPECT_EQ(profile.port, 21);
    EXPECT_EQ(profile.timeDifference, 0);
    EXPECT_EQ(profile.options, (TransferOptions{1, 1, 1, 1, 1}));
    EXPECT_TRUE(profile.name.empty() && profile.localDir.empty());
  }
}

TEST(FindProfileTest, NameDifferingOnlyInCaseIsNotFoundAndKeepsCurrent) {
  AppSettings settings = WithProfiles({"abc", "server"});
  settings.currentProfile = 1;
  EXPECT_EQ(settings.FindProfile("ABC"), -1);
  EXPECT_EQ(settings.FindProfile("Server"), -1);
  EXPECT_EQ(settings.currentProfile, 1);
}

TEST(FindProfileTest, PicksExactSpellingWhateverTheOrder) {
  AppSettings first = WithProfiles({"abc", "ABC"});
  EXPECT_EQ(first.FindProfile("ABC"), 1);
  EXPECT_EQ(first.currentProfile, 1);
  AppSettings second = WithProfiles({"ABC", "abc"});
  EXPECT_EQ(second.FindProfile("ABC"), 0);
  EXPECT_EQ(second.currentProfile, 0);
}

TEST(FindProfileTest, FirstMatchInArrayOrderWins) {
  // The editor keeps names unique, but a hand-edited store may not.
  AppSettings settings = WithProfiles({"a", "dup", "dup"});
  EXPECT_EQ(settings.FindProfile("dup"), 1);
}

TEST(FindProfileTest, LooksOnlyAtValidProfiles) {
  AppSettings settings = WithProfiles({"live"});
  settings.profiles[1].name = "stale";  // a free slot that still holds a name
  EXPECT_EQ(settings.FindProfile("stale"), -1);
  EXPECT_EQ(settings.currentProfile, -1);
}

TEST(FindProfileTest, ComparesMultibyteNamesByteForByte) {
  AppSettings settings = WithProfiles({"本番サーバー", "本番サーバ"});
  EXPECT_EQ(settings.FindProfile("本番サーバ"), 1);
  EXPECT_EQ(settings.FindProfile("本番"), -1);
}

}  // namespace
}  // namespace velmorix
