// The settings store against real files in a temporary $XDG_CONFIG_HOME:
// value names, defaults, the end of the list, deleted positions, passwords
// and two copies of the program saving.
#include "settings/settings_store.h"

#include <cstdlib>
#include <filesystem>
#include <optional>
#include <string>

#include <gtest/gtest.h>

#include "settings/destinations.h"
#include "settings/registry/registry_file.h"
#include "tests/support/test_ftp_server.h"

namespace velmorix {
namespace {

namespace fs = std::filesystem;
using registry::ParseRegistryFile;
using registry::RegistryValue;
using testing::ReadFile;
using testing::TempDir;
using testing::WriteFile;

constexpr const char* kSettingsKey = "HKEY_CURRENT_USER\\SOFTWARE\\Quenzari\\velmorix\\SETTINGS";
constexpr const char* kFtpKey = "HKEY_CURRENT_USER\\SOFTWARE\\Quenzari\\velmorix\\FTPSETTINGS";

class SettingsStoreTest : public ::testing::Test {
 protected:
  void SetUp() override {
    if (const char* old = std::getenv("XDG_CONFIG_HOME"))
      saved_ = old;
    setenv("XDG_CONFIG_HOME", config_.str().c_str(), 1);
  }
  void TearDown() override {
    if (saved_) {
      setenv("XDG_CONFIG_HOME", saved_->c_str(), 1);
    } else {
      unsetenv("XDG_CONFIG_HOME");
    }
  }

  fs::path file() const { return config_.path() / "Quenzari" / "registry.reg"; }

  // Writes a store file whose FTPSETTINGS section holds `ftpLines`.
  void WriteStore(const std::string& ftpLines, const std::string& settingsLines = "") {
    WriteFile(file(), "REGEDIT4\n\n[" + std::string(kSettingsKey) + "]\n" + settingsLines + "\n[" +
                          std::string(kFtpKey) + "]\n" + ftpLines + "\n");
  }

  // Lines of `count` complete profiles from position `first` on.
  static std::string ProfileLines(int first, int count) {
    std::string lines;
    for (int n = first; n < first + count; ++n) {
      const std::string id = std::to_string(n);
      lines += "\"FTPNAME" + id + "\"=\"site" + id + "\"\n";
      lines += "\"FTPURL" + id + "\"=\"host" + id + "\"\n";
      lines += "\"FTPUID" + id + "\"=\"user" + id + "\"\n";
      lines += "\"FTPPASS" + id + "\"=hex:68,69\n";
      lines += "\"FTPPORT" + id + "\"=dword:00000015\n";
      lines += "\"FTPDIR" + id + "\"=\"/www" + id + "\"\n";
      lines += "\"LOCALDIR" + id + "\"=\"/srv" + id + "\"\n";
      lines += "\"LASTDELDOTS" + id + "\"=dword:00000001\n";
      for (int k = 1; k <= 5; ++k) {
        lines += "\"LASTOPT" + id + std::to_string(k) + "\"=dword:00000000\n";
      }
    }
    return lines;
  }

  AppSettings Load(SettingsStore& store) {
    AppSettings settings;
    store.LoadSettings(settings);
    return settings;
  }

  // The value as it stands in the file now.
  std::optional<RegistryValue> Stored(const char* key, const std::string& name) const {
    const auto parsed = ParseRegistryFile(ReadFile(file()));
    const RegistryValue* value = parsed.tree.FindValue(key, name);
    if (value == nullptr)
      return std::nullopt;
    return *value;
  }

  TempDir config_;
  std::optional<std::string> saved_;
  SettingsStore store_{"Quenzari", std::string(kWindowProgramKey)};
};

// ---------------------------------------------------------------------------

using FirstRunTest = SettingsStoreTest;

TEST_F(FirstRunTest, NoStoreGivesDefaultsAndSaveCreatesBothKeysWithoutProfiles) {
  AppSettings settings = Load(store_);
  EXPECT_EQ(settings.profileCount, 0);
  EXPECT_EQ(settings.lastFtp, -1);
  EXPECT_EQ(settings.deleteMessage, 1);
  EXPECT_EQ(settings.deleteDots, 1);
  EXPECT_EQ(store_.loadedProfileCount(), 0);
  EXPECT_FALSE(fs::exists(file()));  // loading writes nothing

  store_.SaveSettings(settings);
  EXPECT_EQ(Stored(kSettingsKey, "LASTFTP"), RegistryValue::Number(0xFFFFFFFF));
  EXPECT_EQ(Stored(kSettingsKey, "LASTDELMES"), RegistryValue::Number(1));
  EXPECT_EQ(Stored(kSettingsKey, "LASTDELDOTS"), RegistryValue::Number(1));
  const auto parsed = ParseRegistryFile(ReadFile(file()));
  ASSERT_NE(parsed.tree.FindKey(kFtpKey), nullptr);
  EXPECT_TRUE(parsed.tree.FindKey(kFtpKey)->values.empty());
}

// ---------------------------------------------------------------------------

using ProfileListTest = SettingsStoreTest;

TEST_F(ProfileListTest, EveryFieldRoundTripsThroughTheFile) {
  AppSettings settings = Load(store_);
  settings.lastFtp = 19;
  settings.deleteMessage = 0;
  settings.deleteDots = 0;
  for (int i = 0; i < kMaxProfiles; ++i) {
    FtpProfile& profile = settings.profiles[i];
    profile.name = "サイト " + std::to_string(i) + " \"quoted\" \\ end";
    profile.url = "ftp" + std::to_string(i) + ".example.jp";
    profile.userId = i % 2 ? "" : "user" + std::to_string(i);
    profile.password = i % 3 ? "p\xff" + std::to_string(i) : "";
    profile.remoteDir = "/public_html/" + std::to_string(i);
    profile.port = 21 + i * 1000;
    profile.timeDifference = i % 2;
    profile.localDir = i == 4 ? "" : "/home/me/site" + std::to_string(i);
    profile.options = {i % 2, (i / 2) % 2, (i / 4) % 2, (i / 8) % 2, (i / 16) % 2};
    profile.dataMode = i % 3;
    profile.security = (i + 1) % 3;
    profile.nameEncoding = i % 4;
    profile.trustedFingerprint = i % 2 ? "" : "SHA256:" + std::to_string(i) + ":AB:CD";
    profile.connections = kMinConnections + i % kMaxConnections;
    profile.autoNameEncoding = i % 4;
    // Several lines, a quote, backslashes and a CR must come back whole.
    profile.excludePatterns = i % 2 ? "" : ".git/\n\"x\".psd\n\\#a\\\\\r\n*~\n";
    profile.clockMode = i % 2;
    profile.clockOffset = i % 3 ? (i - 10) * 45 : kClockOffsetNotLearned;
    profile.protocol = i % 2;
    profile.keyFile = i % 3 ? "" : "/home/me/.ssh/key " + std::to_string(i);
    profile.trustedHostKey = i % 2 ? "SHA256:" + std::string(42, 'a' + i) + "A" : "";
  }
  settings.profileCount = kMaxProfiles;
  store_.SaveSettings(settings);

  SettingsStore again("Quenzari", std::string(kWindowProgramKey));
  const AppSettings loaded = Load(again);
  EXPECT_EQ(loaded.lastFtp, 19);
  EXPECT_EQ(loaded.deleteMessage, 0);
  EXPECT_EQ(loaded.deleteDots, 0);
  ASSERT_EQ(loaded.profileCount, kMaxProfiles);
  EXPECT_EQ(again.loadedProfileCount(), kMaxProfiles);
  for (int i = 0; i < kMaxProfiles; ++i)
    EXPECT_EQ(loaded.profiles[i], settings.profiles[i]) << i;

  // The numbered names are built as "%s%d" and "%s%d%d".
  EXPECT_EQ(Stored(kFtpKey, "LASTOPT15"), RegistryValue::Number(0));   // profile 1, option 5
  EXPECT_EQ(Stored(kFtpKey, "LASTOPT151"), RegistryValue::Number(0));  // profile 15, option 1
  EXPECT_EQ(Stored(kFtpKey, "LASTOPT125"), RegistryValue::Number(0));  // profile 12, option 5
  EXPECT_EQ(Stored(kFtpKey, "FTPPORT20"), RegistryValue::Number(21 + 19000));
  EXPECT_EQ(Stored(kFtpKey, "LASTDELDOTS2"), RegistryValue::Number(1));  // time difference
  EXPECT_EQ(Stored(kFtpKey, "LOCALDIR5"), RegistryValue::Text(""));      // empty, not deleted
}

TEST_F(ProfileListTest, ListEndsAtTheFirstMissingNameAndLaterPositionsAreLeftAlone) {
  WriteStore(ProfileLines(1, 3) + ProfileLines(5, 1));
  AppSettings settings = Load(store_);
  ASSERT_EQ(settings.profileCount, 3);
  EXPECT_EQ(settings.profiles[2].name, "site3");
  EXPECT_TRUE(settings.profiles[3].name.empty());

  settings.profiles[settings.profileCount++].name = "fourth";
  store_.SaveSettings(settings);
  EXPECT_EQ(Stored(kFtpKey, "FTPNAME4"), RegistryValue::Text("fourth"));
  EXPECT_EQ(Stored(kFtpKey, "FTPNAME5"), RegistryValue::Text("site5"));
  EXPECT_EQ(Stored(kFtpKey, "LASTOPT53"), RegistryValue::Number(0));
  EXPECT_EQ(Stored(kFtpKey, "FTPPASS5"), RegistryValue::Bytes("hi"));
}

TEST_F(ProfileListTest, EmptyNameEndsTheListLikeAMissingOne) {
  WriteStore(ProfileLines(1, 1) + "\"FTPNAME2\"=\"\"\n" + ProfileLines(3, 1));
  EXPECT_EQ(Load(store_).profileCount, 1);
}

TEST_F(ProfileListTest, OnlyTwentyOfTwentyFiveAreLoadedAndTheRestAreNeverTouched) {
  WriteStore(ProfileLines(1, 25));
  AppSettings settings = Load(store_);
  ASSERT_EQ(settings.profileCount, kMaxProfiles);
  EXPECT_EQ(settings.profiles[19].name, "site20");

  // Drop two profiles: positions 19 and 20 are deleted, 21 to 25 stay.
  settings.profileCount = 18;
  store_.SaveSettings(settings);
  EXPECT_FALSE(Stored(kFtpKey, "FTPNAME19"));
  EXPECT_FALSE(Stored(kFtpKey, "FTPNAME20"));
  for (int n = 21; n <= 25; ++n) {
    EXPECT_EQ(Stored(kFtpKey, "FTPNAME" + std::to_string(n)),
              RegistryValue::Text("site" + std::to_string(n)));
    EXPECT_EQ(Stored(kFtpKey, "LASTOPT" + std::to_string(n) + "5"), RegistryValue::Number(0));
  }
}

TEST_F(ProfileListTest, DeletedProfilesLoseAllThirteenValuesAndTheRestAreRenumbered) {
  WriteStore(ProfileLines(1, 5));
  AppSettings settings = Load(store_);
  ASSERT_EQ(settings.profileCount, 5);
  // The profile editor removes profiles 2 and 4 by moving the later ones up.
  settings.profiles[1] = settings.profiles[2];
  settings.profiles[2] = settings.profiles[4];
  settings.profileCount = 3;
  store_.SaveSettings(settings);

  EXPECT_EQ(Stored(kFtpKey, "FTPNAME2"), RegistryValue::Text("site3"));
  EXPECT_EQ(Stored(kFtpKey, "FTPNAME3"), RegistryValue::Text("site5"));
  EXPECT_EQ(Stored(kFtpKey, "FTPDIR3"), RegistryValue::Text("/www5"));
  const auto parsed = ParseRegistryFile(ReadFile(file()));
  for (const auto& value : parsed.tree.FindKey(kFtpKey)->values) {
    EXPECT_FALSE(value.name.ends_with('4') && !value.name.starts_with("LASTOPT")) << value.name;
    EXPECT_FALSE(value.name.ends_with('5') && !value.name.starts_with("LASTOPT")) << value.name;
  }
  for (int k = 1; k <= 5; ++k) {
    EXPECT_FALSE(Stored(kFtpKey, "LASTOPT4" + std::to_string(k)));
    EXPECT_FALSE(Stored(kFtpKey, "LASTOPT5" + std::to_string(k)));
  }
  // The first thirteen values and those added since, for each of three.
  EXPECT_EQ(parsed.tree.FindKey(kFtpKey)->values.size(), 3u * StoredProfileValues().size());
}

TEST_F(ProfileListTest, MissingNumbersTakeTheirDefaults) {
  WriteStore("\"FTPNAME1\"=\"bare\"\n");
  const AppSettings settings = Load(store_);
  ASSERT_EQ(settings.profileCount, 1);
  const FtpProfile& profile = settings.profiles[0];
  EXPECT_EQ(profile.port, 21);
  EXPECT_EQ(profile.timeDifference, 0);
  EXPECT_EQ(profile.options, (TransferOptions{1, 1, 1, 1, 1}));
  EXPECT_TRUE(profile.url.empty() && profile.password.empty() && profile.localDir.empty());
  // Written before these existed: plain FTP, names found automatically
  // with nothing decided yet, no accepted certificate, one connection.
  EXPECT_EQ(profile.dataMode, kDataModeAuto);
  EXPECT_EQ(profile.security, kSecurityNone);
  EXPECT_EQ(profile.nameEncoding, kNameEncodingAuto);
  EXPECT_EQ(profile.trustedFingerprint, "");
  EXPECT_EQ(profile.connections, 1);
  EXPECT_EQ(profile.autoNameEncoding, kNameEncodingAuto);
  EXPECT_EQ(profile.excludePatterns, "");  // no patterns
  // Times read as the time-difference flag says, with no clock learned.
  EXPECT_EQ(profile.clockMode, kClockModeTimeDifference);
  EXPECT_EQ(profile.clockOffset, kClockOffsetNotLearned);
  // FTP, with neither a key file nor a trusted host key.
  EXPECT_EQ(profile.protocol, kProtocolFtp);
  EXPECT_EQ(profile.keyFile, "");
  EXPECT_EQ(profile.trustedHostKey, "");
}

TEST_F(ProfileListTest, ValuesOfUnexpectedTypeAreTakenAsMissing) {
  WriteStore(
      "\"FTPNAME1\"=\"one\"\n"
      "\"FTPPORT1\"=\"2121\"\n"          // a number stored as text
      "\"FTPURL1\"=dword:00000001\n"     // a text stored as a number
      "\"LASTOPT13\"=hex:00,00,00,00\n"  // bytes, not a number
      "\"LASTDELDOTS1\"=hex(b):01,00,00,00,00,00,00,00\n"
      "\"FTPPASS1\"=\"plain\"\n"        // a text password is not a stored form
      "\"FTPNAME2\"=dword:00000002\n",  // a name that is not a text ends the list
      "\"LASTFTP\"=hex:01\n"
      "\"LASTDELMES\"=\"0\"\n");
  const AppSettings settings = Load(store_);
  EXPECT_EQ(settings.lastFtp, -1);
  EXPECT_EQ(settings.deleteMessage, 1);
  ASSERT_EQ(settings.profileCount, 1);
  EXPECT_EQ(settings.profiles[0].port, 21);
  EXPECT_EQ(settings.profiles[0].url, "");
  EXPECT_EQ(settings.profiles[0].options.skipImagesFolder, 1);
  EXPECT_EQ(settings.profiles[0].timeDifference, 0);
  EXPECT_EQ(settings.profiles[0].password, "");
}

// The rules and a run judge the numbers; the store keeps what it found.
TEST_F(ProfileListTest, NumbersAreLoadedAndSavedWithoutARangeCheck) {
  WriteStore(ProfileLines(1, 3) + "\"FTPCONNECTIONS2\"=dword:0000000c\n",
             "\"LASTFTP\"=dword:00000007\n");
  AppSettings settings = Load(store_);
  EXPECT_EQ(settings.lastFtp, 7);
  EXPECT_EQ(settings.profiles[1].connections, 12);
  settings.profiles[0].url = "changed";
  ASSERT_TRUE(store_.SaveSettings(settings));
  EXPECT_EQ(Stored(kFtpKey, "FTPCONNECTIONS2"), RegistryValue::Number(12));
  EXPECT_EQ(Stored(kSettingsKey, "LASTFTP"), RegistryValue::Number(7));
}

// ---------------------------------------------------------------------------

using PasswordTest = SettingsStoreTest;

TEST_F(PasswordTest, PasswordIsStoredShiftedByTheDigitWithoutTerminator) {
  AppSettings settings = Load(store_);
  settings.profiles[0].name = "a";
  settings.profiles[0].password = "abc";
  settings.profiles[1].name = "b";
  settings.profiles[2].name = "c";
  settings.profiles[2].password = "\xf9\xfa\xff\x01";
  settings.profileCount = 3;
  store_.SaveSettings(settings);

  EXPECT_EQ(Stored(kFtpKey, "FTPPASS1"), RegistryValue::Bytes("hij"));  // each byte + 7
  EXPECT_EQ(Stored(kFtpKey, "FTPPASS2"), RegistryValue::Text(""));
  EXPECT_EQ(Stored(kFtpKey, "FTPPASS3"), RegistryValue::Bytes(std::string("\x00\x01\x06\x08", 4)));
  EXPECT_NE(ReadFile(file()).find("\"FTPPASS1\"=hex:68,69,6a\n"), std::string::npos);

  const AppSettings loaded = Load(store_);
  EXPECT_EQ(loaded.profiles[0].password, "abc");
  EXPECT_EQ(loaded.profiles[1].password, "");
  EXPECT_EQ(loaded.profiles[2].password, "\xf9\xfa\xff\x01");
}

TEST_F(PasswordTest, StoredPasswordOver256BytesReadsAsEmptyAnd256StillReads) {
  auto hexOf = [](size_t length) {
    std::string list;
    for (size_t i = 0; i < length; ++i)
      list += i ? ",68" : "68";
    return list;
  };
  WriteStore("\"FTPNAME1\"=\"long\"\n\"FTPPASS1\"=hex:" + hexOf(257) +
             "\n\"FTPNAME2\"=\"limit\"\n\"FTPPASS2\"=hex:" + hexOf(256) + "\n");
  const AppSettings settings = Load(store_);
  EXPECT_EQ(settings.profiles[0].password, "");
  EXPECT_EQ(settings.profiles[1].password, std::string(256, 'a'));
  EXPECT_EQ(store_.ReadPassword("FTPSETTINGS", "FTPPASS1"), "");
}

TEST_F(PasswordTest, SinglePasswordCallsTouchOnlyTheirValue) {
  WriteStore(ProfileLines(1, 2));
  store_.WritePassword("FTPSETTINGS", "FTPPASS2", "new secret");
  EXPECT_EQ(store_.ReadPassword("FTPSETTINGS", "FTPPASS2"), "new secret");
  EXPECT_EQ(store_.ReadPassword("ftpsettings", "ftppass1"), "ab");
  EXPECT_EQ(store_.ReadPassword("FTPSETTINGS", "FTPPASS9"), "");
  EXPECT_EQ(store_.ReadPassword("NOSUCHSECTION", "FTPPASS1"), "");
  EXPECT_EQ(Stored(kFtpKey, "FTPNAME2"), RegistryValue::Text("site2"));
  EXPECT_EQ(Load(store_).profiles[1].password, "new secret");
}

// ---------------------------------------------------------------------------

// Two copies of the program that both loaded `count` stored profiles.
class TwoCopiesTest : public SettingsStoreTest {
 protected:
  void LoadBoth(int count) {
    WriteStore(ProfileLines(1, count));
    mine_ = Load(first_);
    theirs_ = Load(second_);
  }

  SettingsStore first_{"Quenzari", std::string(kWindowProgramKey)};
  SettingsStore second_{"Quenzari", std::string(kWindowProgramKey)};
  AppSettings mine_;
  AppSettings theirs_;
};

TEST_F(TwoCopiesTest, ProfileAddedByTheOtherCopySurvivesASaveThatDoesNotReachIt) {
  LoadBoth(2);
  theirs_.profiles[theirs_.profileCount].name = "added by the other copy";
  theirs_.profiles[theirs_.profileCount++].port = 2121;
  second_.SaveSettings(theirs_);
  mine_.deleteMessage = 0;
  mine_.profiles[0].localDir = "/home/me/new";
  first_.SaveSettings(mine_);

  const AppSettings after = Load(store_);
  ASSERT_EQ(after.profileCount, 3);
  EXPECT_EQ(after.profiles[2].name, "added by the other copy");
  EXPECT_EQ(after.profiles[2].port, 2121);
  EXPECT_EQ(after.profiles[0].localDir, "/home/me/new");
  EXPECT_EQ(after.deleteMessage, 0);
}

TEST_F(TwoCopiesTest, EachCopyKeepsWhatTheOtherChangedRenamedOrDeleted) {
  LoadBoth(3);
  ASSERT_EQ(DeleteDestination(theirs_, 0), DestinationError::kNone);  // site1
  ServerData renamed = ServerDataOf(theirs_.profiles[0]);             // site2
  renamed.name = "renamed";
  ASSERT_EQ(UpdateDestination(theirs_, 0, renamed), DestinationError::kNone);
  ASSERT_TRUE(second_.SaveSettings(theirs_));
  mine_.profiles[2].localDir = "/home/me/site3";
  ASSERT_EQ(AddDestination(mine_, {.name = "mine"}), DestinationError::kNone);
  std::string error = "left over";
  ASSERT_TRUE(first_.SaveSettings(mine_, &error));
  EXPECT_EQ(error, "");

  const AppSettings after = Load(store_);
  ASSERT_EQ(after.profileCount, 3);
  EXPECT_EQ(after.profiles[0].name, "renamed");
  EXPECT_EQ(after.profiles[0].url, "host2");
  EXPECT_EQ(after.profiles[1].name, "site3");
  EXPECT_EQ(after.profiles[1].localDir, "/home/me/site3");
  EXPECT_EQ(after.profiles[2].name, "mine");
  EXPECT_FALSE(Stored(kFtpKey, "FTPNAME4"));
  EXPECT_FALSE(Stored(kFtpKey, "LASTOPT45"));
}

TEST_F(TwoCopiesTest, SaveOverAFileThatCannotBeReadFailsAndLeavesIt) {
  fs::create_directories(file());  // a folder where the file belongs
  AppSettings settings = Load(store_);
  EXPECT_NE(store_.loadError(), "");
  std::string error;
  EXPECT_FALSE(store_.SaveSettings(settings, &error));
  EXPECT_EQ(error, file().string() + ": is a folder, not a file");
  EXPECT_TRUE(fs::is_directory(file()));
}

TEST_F(TwoCopiesTest, KeysOfOtherProgramsAndUnknownValuesAreKept) {
  WriteFile(file(),
            "REGEDIT4\n\n"
            "[HKEY_CURRENT_USER\\SOFTWARE\\Quenzari\\other\\SETTINGS]\n"
            "\"LASTFTP\"=dword:00000004\n\n"
            "[" +
                std::string(kSettingsKey) +
                "]\n"
                "\"WINDOWPOS\"=hex:01,02\n\n");
  AppSettings settings = Load(store_);
  store_.SaveSettings(settings);
  const auto parsed = ParseRegistryFile(ReadFile(file()));
  EXPECT_FALSE(parsed.damaged);
  const RegistryValue* other =
      parsed.tree.FindValue("HKEY_CURRENT_USER\\SOFTWARE\\Quenzari\\other\\SETTINGS", "LASTFTP");
  ASSERT_NE(other, nullptr);
  EXPECT_EQ(*other, RegistryValue::Number(4));
  EXPECT_EQ(Stored(kSettingsKey, "WINDOWPOS"), RegistryValue::Bytes("\x01\x02"));
}

// ---------------------------------------------------------------------------

TEST(ProgramKeyFromPathTest, FolderAndExtensionAreStrippedButHiddenNamesKept) {
  EXPECT_EQ(ProgramKeyFromPath("/usr/bin/velmorix"), "velmorix");
  EXPECT_EQ(ProgramKeyFromPath("/opt/app.d/velmorix.bin"), "velmorix");
  EXPECT_EQ(ProgramKeyFromPath("VELMORIX.EXE"), "VELMORIX");
  EXPECT_EQ(ProgramKeyFromPath("./build/bin/velmorix"), "velmorix");
  EXPECT_EQ(ProgramKeyFromPath("/home/me/.velmorix"), ".velmorix");
}

}  // namespace
}  // namespace velmorix
