// The rules of the stored destinations, without a window or a store: the
// list order, the port rule, the refusals, the shift of a deletion and which
// destination stays chosen.
#include "settings/destinations.h"
#include "settings/exclusion_patterns.h"

#include <functional>
#include <optional>
#include <string>
#include <vector>

#include <gtest/gtest.h>

namespace velmorix {
namespace {

AppSettings WithProfiles(std::initializer_list<const char*> names) {
  AppSettings settings;
  for (const char* name : names)
    settings.profiles[settings.profileCount++].name = name;
  return settings;
}

std::vector<std::string> ListedNames(const AppSettings& settings) {
  std::vector<std::string> names;
  for (int index : SortedProfiles(settings))
    names.push_back(settings.profiles[index].name);
  return names;
}

TEST(DestinationListTest, NamesSortIgnoringLetterCaseThenByBytes) {
  const AppSettings settings =
      WithProfiles({"Zeta", "abc", "ABC", "abd", "ab", "日本", "_x", "Abc2", "a b"});
  EXPECT_EQ(ListedNames(settings), (std::vector<std::string>{"_x", "a b", "ab", "ABC", "abc",
                                                             "Abc2", "abd", "Zeta", "日本"}));
  EXPECT_EQ(ListPosition(settings, 0), 7);  // Zeta
  EXPECT_EQ(ProfileAtPosition(settings, 7), 0);
  EXPECT_EQ(ProfileAtPosition(settings, 9), -1);
  EXPECT_EQ(ProfileAtPosition(settings, -1), -1);
}

TEST(DestinationListTest, PortsAreWholeNumbersFromOneTo65535) {
  struct Case {
    const char* text;
    PortCheck check;
    int32_t port = 0;
  };
  const Case cases[] = {
      {"21", PortCheck::kValid, 21},       {" 2121\t", PortCheck::kValid, 2121},
      {"+80", PortCheck::kValid, 80},      {"0065535", PortCheck::kValid, 65535},
      {"1", PortCheck::kValid, 1},         {"", PortCheck::kNotWholeNumber},
      {" ", PortCheck::kNotWholeNumber},   {"21.5", PortCheck::kNotWholeNumber},
      {"2 1", PortCheck::kNotWholeNumber}, {"-", PortCheck::kNotWholeNumber},
      {"0", PortCheck::kOutOfRange},       {"65536", PortCheck::kOutOfRange},
      {"-21", PortCheck::kOutOfRange},     {"99999999999999999999", PortCheck::kOutOfRange},
  };
  for (const Case& c : cases) {
    int32_t port = -7;
    EXPECT_EQ(ParsePort(c.text, port), c.check) << '"' << c.text << '"';
    if (c.check == PortCheck::kValid) {
      EXPECT_EQ(port, c.port) << c.text;
    }
  }
}

TEST(DestinationChangeTest, RefusalsLeaveTheRecordAsItWas) {
  AppSettings settings = WithProfiles({"site", "Site2"});
  settings.lastFtp = 1;
  struct Case {
    const char* what;
    ServerData data;
    int updateIndex;  // -1: add
    DestinationError error;
  };
  const Case cases[] = {
      {"empty name", {.name = ""}, -1, DestinationError::kEmptyName},
      {"taken name", {.name = "site"}, -1, DestinationError::kDuplicateName},
      {"rename onto another", {.name = "site"}, 1, DestinationError::kDuplicateName},
      {"long password",
       {.name = "new", .password = std::string(kMaxPasswordBytes + 1, 'p')},
       -1,
       DestinationError::kPasswordTooLong},
      {"zero byte",
       {.name = "new", .password = std::string("a\0b", 3)},
       1,
       DestinationError::kPasswordHasZeroByte},
      {"no such profile", {.name = "new"}, 5, DestinationError::kUnknownDestination},
      {"data mode", {.name = "new", .dataMode = 3}, -1, DestinationError::kValueOutOfRange},
      {"security", {.name = "new", .security = 3}, 1, DestinationError::kValueOutOfRange},
      {"negative security",
       {.name = "new", .security = -1},
       -1,
       DestinationError::kValueOutOfRange},
      {"name encoding", {.name = "new", .nameEncoding = 4}, 1, DestinationError::kValueOutOfRange},
      {"no connection", {.name = "new", .connections = 0}, -1, DestinationError::kValueOutOfRange},
      {"nine connections",
       {.name = "new", .connections = 9},
       1,
       DestinationError::kValueOutOfRange},
      {"short fingerprint",
       {.name = "new", .trustedFingerprint = "SHA256:AB"},
       -1,
       DestinationError::kValueOutOfRange},
      // Only the normal form is kept; the front ends normalise what is typed.
      {"fingerprint in lower case",
       {.name = "new", .trustedFingerprint = "sha256:" + std::string(64, 'a')},
       1,
       DestinationError::kValueOutOfRange},
      {"protocol", {.name = "new", .protocol = 2}, -1, DestinationError::kValueOutOfRange},
      {"short host key",
       {.name = "new", .trustedHostKey = "SHA256:abc"},
       1,
       DestinationError::kValueOutOfRange},
      {"unreadable exclusion pattern",
       {.name = "new", .excludePatterns = "*.psd\n[abc"},
       1,
       DestinationError::kInvalidPattern},
  };
  const AppSettings before = settings;
  for (const Case& c : cases) {
    const DestinationError error = c.updateIndex < 0
                                       ? AddDestination(settings, c.data)
                                       : UpdateDestination(settings, c.updateIndex, c.data);
    EXPECT_EQ(error, c.error) << c.what;
    EXPECT_EQ(settings.profileCount, before.profileCount) << c.what;
    EXPECT_EQ(settings.profiles, before.profiles) << c.what;
    EXPECT_EQ(settings.changeCount, 0) << c.what;
  }
  // Names differing only in letter case are two names; a profile keeps its own.
  EXPECT_EQ(AddDestination(settings, {.name = "SITE"}), DestinationError::kNone);
  EXPECT_EQ(UpdateDestination(settings, 0, {.name = "site", .port = 2121}),
            DestinationError::kNone);
  EXPECT_EQ(DeleteDestination(settings, 7), DestinationError::kUnknownDestination);
}

TEST(DestinationChangeTest, TwentyFirstDestinationIsRefused) {
  AppSettings settings;
  for (int i = 0; i < kMaxProfiles; ++i)
    ASSERT_EQ(AddDestination(settings, {.name = "d" + std::to_string(i)}), DestinationError::kNone);
  EXPECT_EQ(AddDestination(settings, {.name = "one more"}), DestinationError::kListFull);
  EXPECT_EQ(settings.profileCount, kMaxProfiles);
}

TEST(DestinationChangeTest, AnAddedDestinationHasTheServerDataAndTheDefaultsOfTheRest) {
  AppSettings settings = WithProfiles({"m"});
  settings.profiles[0].localDir = "/srv/m";
  settings.profiles[0].options.onlyNewer = 0;
  const ServerData data{.name = "a",
                        .url = "h",
                        .userId = "u",
                        .password = "p",
                        .remoteDir = "/www",
                        .port = 2121,
                        .timeDifference = 1,
                        .connections = kMaxConnections};
  int index = -1;
  ASSERT_EQ(AddDestination(settings, data, &index), DestinationError::kNone);
  EXPECT_EQ(index, 1);
  EXPECT_EQ(ServerDataOf(settings.profiles[1]), data);
  EXPECT_EQ(PatternLines(settings.profiles[1].excludePatterns),
            (std::vector<std::string>{".git/", ".svn/", ".hg/", ".DS_Store", "Thumbs.db",
                                      "desktop.ini", "*~", "*.swp"}));
  EXPECT_FALSE(FindRefusedPattern(kNewDestinationExcludePatterns));
  EXPECT_EQ(settings.profiles[1].localDir, "");
  EXPECT_EQ(settings.profiles[1].options, (TransferOptions{1, 1, 1, 1, 1}));
  EXPECT_EQ(settings.changeCount, 1);

  // An update changes the server data only.
  ASSERT_EQ(UpdateDestination(settings, 0, {.name = "z"}), DestinationError::kNone);
  EXPECT_EQ(settings.profiles[0].localDir, "/srv/m");
  EXPECT_EQ(settings.profiles[0].options.onlyNewer, 0);
  EXPECT_EQ(settings.changeCount, 2);
}

// Each step changes the list; the chosen destination is followed by name.
TEST(DestinationChangeTest, TheChosenDestinationStaysChosenWhileTheListChanges) {
  AppSettings settings = WithProfiles({"m"});
  ChooseDestination(settings, 0);
  struct Step {
    const char* what;
    std::function<void(AppSettings&)> change;
    std::vector<std::string> listed;
    int lastFtp;
  };
  const Step steps[] = {
      {"add a before it", [](AppSettings& s) { AddDestination(s, {.name = "a"}); }, {"a", "m"}, 1},
      {"rename it to z",
       [](AppSettings& s) { UpdateDestination(s, FindDestination(s, "m"), {.name = "z"}); },
       {"a", "z"},
       1},
      {"add B", [](AppSettings& s) { AddDestination(s, {.name = "B"}); }, {"a", "B", "z"}, 2},
      {"delete a, above it",
       [](AppSettings& s) { DeleteDestination(s, FindDestination(s, "a")); },
       {"B", "z"},
       1},
      {"delete it: the one above is chosen",
       [](AppSettings& s) { DeleteDestination(s, FindDestination(s, "z")); },
       {"B"},
       0},
      {"delete the first: none is chosen",
       [](AppSettings& s) { DeleteDestination(s, FindDestination(s, "B")); },
       {},
       -1},
  };
  for (const Step& step : steps) {
    step.change(settings);
    EXPECT_EQ(ListedNames(settings), step.listed) << step.what;
    EXPECT_EQ(settings.lastFtp, step.lastFtp) << step.what;
  }
  EXPECT_EQ(settings.currentProfile, -1);
}

TEST(DestinationChangeTest, DeletionMovesTheLaterProfilesUpAndClearsTheFreedSlot) {
  AppSettings settings = WithProfiles({"a", "b", "c"});
  settings.profiles[2].localDir = "/srv/c";
  ASSERT_EQ(DeleteDestination(settings, 1), DestinationError::kNone);
  EXPECT_EQ(settings.profileCount, 2);
  EXPECT_EQ(settings.profiles[1].name, "c");
  EXPECT_EQ(settings.profiles[1].localDir, "/srv/c");
  EXPECT_EQ(settings.profiles[2], FtpProfile{});
}

// --- Certificates and TLS ---------------------------------------------------

// "SHA256:" and 32 pairs of `pair`, joined by ":".
std::string Fingerprint(const std::string& pair) {
  std::string text = "SHA256:" + pair;
  for (int i = 1; i < 32; ++i)
    text += ":" + pair;
  return text;
}

TEST(FingerprintTest, CopiedFormsNormaliseAndEverythingElseIsRefused) {
  const std::string normal = Fingerprint("AB");
  std::string digits;
  for (int i = 0; i < 32; ++i)
    digits += "ab";
  std::string dashed = normal;
  dashed[9] = '-';
  struct Case {
    std::string text;
    std::optional<std::string> normal;
  };
  const Case cases[] = {
      {normal, normal},
      {Fingerprint("ab"), normal},
      {"sha256:" + digits, normal},
      {"Sha256:" + digits, normal},
      {Fingerprint("0F"), Fingerprint("0F")},
      {"", std::nullopt},
      {"SHA256:", std::nullopt},
      {digits, std::nullopt},                        // no prefix
      {"SHA1:" + digits, std::nullopt},              // another digest
      {"SHA256:" + digits.substr(2), std::nullopt},  // 31 bytes
      {"SHA256:" + digits + "ab", std::nullopt},     // 33 bytes
      {normal + ":", std::nullopt},                  // a trailing separator
      {" " + normal, std::nullopt},                  // blanks are no part of it
      {dashed, std::nullopt},                        // another separator once
      {Fingerprint("GH"), std::nullopt},             // no hex digits
      {"SHA256:" + digits.substr(0, 63) + "-", std::nullopt},
  };
  for (const Case& c : cases)
    EXPECT_EQ(NormalizeFingerprint(c.text), c.normal) << '"' << c.text << '"';
}

TEST(FingerprintTest, AnAcceptedCertificateIsForgottenWhenTheServerChanges) {
  const std::string accepted = Fingerprint("11");
  const std::string other = Fingerprint("22");
  struct Case {
    const char* what;
    std::function<void(ServerData&)> change;
    std::string kept;
  };
  const Case cases[] = {
      {"rename", [](ServerData& d) { d.name = "renamed"; }, accepted},
      {"new login", [](ServerData& d) { d.userId = "other"; }, accepted},
      {"new TLS setting", [](ServerData& d) { d.security = kSecurityNone; }, accepted},
      {"other URL", [](ServerData& d) { d.url = "other.example.jp"; }, ""},
      {"other port", [](ServerData& d) { d.port = 990; }, ""},
      {"other URL and its certificate",
       [&other](ServerData& d) {
         d.url = "other.example.jp";
         d.trustedFingerprint = other;
       },
       other},
      {"forgotten", [](ServerData& d) { d.trustedFingerprint.clear(); }, ""},
  };
  for (const Case& c : cases) {
    AppSettings settings = WithProfiles({"site"});
    settings.profiles[0].url = "ftp.example.jp";
    settings.profiles[0].trustedFingerprint = accepted;
    ServerData data = ServerDataOf(settings.profiles[0]);
    c.change(data);
    ASSERT_EQ(UpdateDestination(settings, 0, data), DestinationError::kNone) << c.what;
    EXPECT_EQ(settings.profiles[0].trustedFingerprint, c.kept) << c.what;
  }
}

TEST(HostKeyTest, OnlyTheFormSshPrintsIsAFingerprint) {
  const std::string digits(42, 'x');
  const struct {
    std::string text;
    bool valid;
  } cases[] = {
      {"SHA256:" + digits + "A", true},
      {"SHA256:+/09AZaz" + std::string(34, 'Q') + "w", true},
      {"SHA256:" + digits + "B", false},             // the last digit carries 4 bits only
      {"SHA256:" + digits, false},                   // 42 digits
      {"SHA256:" + digits + "AA", false},            // 44 digits
      {"SHA256:" + digits + "A=", false},            // padding
      {"sha256:" + digits + "A", false},             // ssh writes the prefix upper case
      {"SHA256:" + digits.substr(1) + "-A", false},  // base64url is not ssh's
      {"MD5:" + digits + "A", false},
      {"", false},
  };
  for (const auto& c : cases)
    EXPECT_EQ(IsHostKeyFingerprint(c.text), c.valid) << c.text;
}

TEST(HostKeyTest, ProtocolsSwapOnlyTheirDefaultPorts) {
  const struct {
    int32_t port;
    int32_t protocol;
    int32_t moved;
  } cases[] = {
      {21, kProtocolSftp, 22}, {22, kProtocolFtp, 21},  {2222, kProtocolSftp, 2222},
      {21, kProtocolFtp, 21},  {22, kProtocolSftp, 22}, {990, kProtocolFtp, 990},
  };
  for (const auto& c : cases)
    EXPECT_EQ(PortForProtocol(c.port, c.protocol), c.moved) << c.port << " " << c.protocol;
}

TEST(HostKeyTest, ATrustedHostKeyAndACertificateGoWithAnotherServerOrProtocol) {
  const std::string trusted = "SHA256:" + std::string(42, 'k') + "A";
  const std::string other = "SHA256:" + std::string(42, 'm') + "A";
  struct Case {
    const char* what;
    std::function<void(ServerData&)> change;
    std::string keptHostKey;
    bool keptFingerprint;
  };
  const Case cases[] = {
      {"new key file", [](ServerData& d) { d.keyFile = "/k"; }, trusted, true},
      {"other URL", [](ServerData& d) { d.url = "other.example.jp"; }, "", false},
      {"other port", [](ServerData& d) { d.port = 2222; }, "", false},
      {"other protocol", [](ServerData& d) { d.protocol = kProtocolFtp; }, "", false},
      {"other URL and its key",
       [&other](ServerData& d) {
         d.url = "other.example.jp";
         d.trustedHostKey = other;
       },
       other, false},
      {"forgotten", [](ServerData& d) { d.trustedHostKey.clear(); }, "", true},
  };
  for (const Case& c : cases) {
    AppSettings settings = WithProfiles({"site"});
    FtpProfile& profile = settings.profiles[0];
    profile.url = "ssh.example.jp";
    profile.port = 22;
    profile.protocol = kProtocolSftp;
    profile.trustedHostKey = trusted;
    profile.trustedFingerprint = Fingerprint("11");
    ServerData data = ServerDataOf(profile);
    c.change(data);
    ASSERT_EQ(UpdateDestination(settings, 0, data), DestinationError::kNone) << c.what;
    EXPECT_EQ(profile.trustedHostKey, c.keptHostKey) << c.what;
    EXPECT_EQ(profile.trustedFingerprint.empty(), !c.keptFingerprint) << c.what;
  }
}

TEST(FingerprintTest, ATlsConnectionIsRecordedAsTlsRequiredWithItsCertificate) {
  AppSettings settings = WithProfiles({"a", "b"});
  settings.profiles[1].security = kSecurityTlsIfAvailable;
  struct Step {
    const char* what;
    int index;
    std::string accepted;
    DestinationError error;
    int32_t security;
    std::string trusted;
    int32_t changeCount;
  };
  const Step steps[] = {
      {"verified certificate", 1, "", DestinationError::kNone, kSecurityTlsRequired, "", 1},
      {"the same again: no change", 1, "", DestinationError::kNone, kSecurityTlsRequired, "", 1},
      {"accepted certificate, as copied", 1, Fingerprint("cd"), DestinationError::kNone,
       kSecurityTlsRequired, Fingerprint("CD"), 2},
      {"the same certificate again", 1, Fingerprint("CD"), DestinationError::kNone,
       kSecurityTlsRequired, Fingerprint("CD"), 2},
      {"a changed certificate accepted", 1, Fingerprint("EF"), DestinationError::kNone,
       kSecurityTlsRequired, Fingerprint("EF"), 3},
      {"a verified one keeps the accepted", 1, "", DestinationError::kNone, kSecurityTlsRequired,
       Fingerprint("EF"), 3},
      {"malformed", 1, "SHA256:12", DestinationError::kValueOutOfRange, kSecurityTlsRequired,
       Fingerprint("EF"), 3},
      {"no such profile", 2, "", DestinationError::kUnknownDestination, kSecurityTlsRequired,
       Fingerprint("EF"), 3},
  };
  for (const Step& step : steps) {
    EXPECT_EQ(RecordTlsConnection(settings, step.index, step.accepted), step.error) << step.what;
    EXPECT_EQ(settings.profiles[1].security, step.security) << step.what;
    EXPECT_EQ(settings.profiles[1].trustedFingerprint, step.trusted) << step.what;
    EXPECT_EQ(settings.changeCount, step.changeCount) << step.what;
  }
  EXPECT_EQ(settings.profiles[0].security, kSecurityNone);  // the other destination
}

TEST(StoredProfileValuesTest, NamesAreNumberedAsTheStoreKeepsThem) {
  std::vector<std::string> names;
  for (const StoredProfileValue& value : StoredProfileValues())
    names.push_back(value.NameFor(12));
  EXPECT_EQ(names, (std::vector<std::string>{
                       "FTPNAME12",     "FTPURL12",         "FTPUID12",        "FTPPASS12",
                       "FTPPORT12",     "FTPDIR12",         "LOCALDIR12",      "LASTDELDOTS12",
                       "LASTOPT121",    "LASTOPT122",       "LASTOPT123",      "LASTOPT124",
                       "LASTOPT125",    "FTPMODE12",        "FTPSECURITY12",   "FTPENCODING12",
                       "FTPCERT12",     "FTPCONNECTIONS12", "FTPTEMPUPLOAD12", "FTPAUTOENCODING12",
                       "FTPAUTOMODE12", "FTPEXCLUDE12",     "FTPCLOCK12",      "FTPCLOCKOFFSET12",
                       "FTPPROTOCOL12", "FTPKEYFILE12",     "FTPHOSTKEY12"}));
}

// What 自動 decided is the server's, and only 自動's: it goes with another
// URL or port, and with any pick of the encoding but 自動 kept.
TEST(AutoNameEncodingTest, KeptOnlyForTheSameServerWhileTheEncodingStaysAuto) {
  struct Case {
    const char* what;
    int32_t encodingBefore;
    std::function<void(ServerData&)> change;
    int32_t kept;
  };
  const Case cases[] = {
      {"rename", kNameEncodingAuto, [](ServerData& d) { d.name = "renamed"; },
       kNameEncodingShiftJis},
      {"new login and folder", kNameEncodingAuto,
       [](ServerData& d) {
         d.userId = "other";
         d.remoteDir = "/www";
       },
       kNameEncodingShiftJis},
      {"auto given again", kNameEncodingAuto,
       [](ServerData& d) { d.nameEncoding = kNameEncodingAuto; }, kNameEncodingShiftJis},
      {"other URL", kNameEncodingAuto, [](ServerData& d) { d.url = "other.example.jp"; },
       kNameEncodingAuto},
      {"other port", kNameEncodingAuto, [](ServerData& d) { d.port = 2121; }, kNameEncodingAuto},
      {"another encoding picked", kNameEncodingAuto,
       [](ServerData& d) { d.nameEncoding = kNameEncodingUtf8; }, kNameEncodingAuto},
      {"auto picked again after another", kNameEncodingShiftJis,
       [](ServerData& d) { d.nameEncoding = kNameEncodingAuto; }, kNameEncodingAuto},
  };
  for (const Case& c : cases) {
    AppSettings settings = WithProfiles({"site"});
    settings.profiles[0].url = "ftp.example.jp";
    settings.profiles[0].nameEncoding = c.encodingBefore;
    settings.profiles[0].autoNameEncoding = kNameEncodingShiftJis;
    ServerData data = ServerDataOf(settings.profiles[0]);
    c.change(data);
    ASSERT_EQ(UpdateDestination(settings, 0, data), DestinationError::kNone) << c.what;
    EXPECT_EQ(settings.profiles[0].autoNameEncoding, c.kept) << c.what;
  }
  // A new destination has decided nothing, whatever the data brings.
  AppSettings settings;
  int added = -1;
  ASSERT_EQ(AddDestination(settings, {.name = "new", .url = "h"}, &added), DestinationError::kNone);
  EXPECT_EQ(settings.profiles[added].autoNameEncoding, kNameEncodingAuto);
  EXPECT_EQ(AddDestination(settings, {.name = "bad", .url = "h", .autoNameEncoding = 4}),
            DestinationError::kValueOutOfRange);
}

TEST(AutoNameEncodingTest, WhatARunDecidedIsRecordedOnlyForAuto) {
  AppSettings settings = WithProfiles({"auto", "fixed"});
  settings.profiles[1].nameEncoding = kNameEncodingUtf8;
  struct Step {
    const char* what;
    int index;
    int32_t decided;
    DestinationError error;
    int32_t kept;  // profile 0's
    int32_t changeCount;
  };
  const Step steps[] = {
      {"nothing decided", 0, kNameEncodingAuto, DestinationError::kNone, kNameEncodingAuto, 0},
      {"Shift_JIS decided", 0, kNameEncodingShiftJis, DestinationError::kNone,
       kNameEncodingShiftJis, 1},
      {"the same again: no change", 0, kNameEncodingShiftJis, DestinationError::kNone,
       kNameEncodingShiftJis, 1},
      {"a later run decided nothing: kept", 0, kNameEncodingAuto, DestinationError::kNone,
       kNameEncodingShiftJis, 1},
      {"a destination at UTF-8 keeps nothing", 1, kNameEncodingShiftJis, DestinationError::kNone,
       kNameEncodingShiftJis, 1},
      {"out of range", 0, 4, DestinationError::kValueOutOfRange, kNameEncodingShiftJis, 1},
      {"no such profile", 2, kNameEncodingUtf8, DestinationError::kUnknownDestination,
       kNameEncodingShiftJis, 1},
  };
  for (const Step& step : steps) {
    EXPECT_EQ(RecordNameEncoding(settings, step.index, step.decided), step.error) << step.what;
    EXPECT_EQ(settings.profiles[0].autoNameEncoding, step.kept) << step.what;
    EXPECT_EQ(settings.changeCount, step.changeCount) << step.what;
  }
  EXPECT_EQ(settings.profiles[1].autoNameEncoding, kNameEncodingAuto);
}

// What 自動 learned about data connections belongs to the server, and to
// 自動: an update keeps it only on the same URL and port at 自動, unless
// the data brings what a test of the new server learned.
TEST(AutoDataModeTest, KeptOnlyForTheSameServerAtAuto) {
  struct Case {
    const char* what;
    std::function<void(ServerData&)> change;
    int32_t kept;
  };
  const Case cases[] = {
      {"rename and new login", [](ServerData& d) { d.name = "renamed", d.userId = "other"; },
       kDataModeActive},
      {"other URL", [](ServerData& d) { d.url = "other.example.jp"; }, kDataModeAuto},
      {"other port", [](ServerData& d) { d.port = 2121; }, kDataModeAuto},
      {"other port, learned there",
       [](ServerData& d) {
         d.port = 2121;
         d.autoDataMode = kDataModeAuto;
       },
       kDataModeAuto},
      {"passive picked", [](ServerData& d) { d.dataMode = kDataModePassive; }, kDataModeAuto},
      {"active picked", [](ServerData& d) { d.dataMode = kDataModeActive; }, kDataModeAuto},
  };
  for (const Case& c : cases) {
    AppSettings settings = WithProfiles({"site"});
    settings.profiles[0].url = "ftp.example.jp";
    settings.profiles[0].autoDataMode = kDataModeActive;
    ServerData data = ServerDataOf(settings.profiles[0]);
    c.change(data);
    ASSERT_EQ(UpdateDestination(settings, 0, data), DestinationError::kNone) << c.what;
    EXPECT_EQ(settings.profiles[0].autoDataMode, c.kept) << c.what;
  }
  // A test of the new server that learned active mode is taken along.
  AppSettings settings = WithProfiles({"site"});
  ServerData data = ServerDataOf(settings.profiles[0]);
  data.url = "new.example.jp";
  data.autoDataMode = kDataModeActive;
  ASSERT_EQ(UpdateDestination(settings, 0, data), DestinationError::kNone);
  EXPECT_EQ(settings.profiles[0].autoDataMode, kDataModeActive);
  EXPECT_EQ(AddDestination(settings, {.name = "bad", .url = "h", .autoDataMode = kDataModePassive}),
            DestinationError::kValueOutOfRange);
}

// What 自動 learned of a server's clock is that server's, and only 自動's.
TEST(ClockOffsetTest, KeptForTheSameServerWhileAutoAndRecordedOnlyForAuto) {
  struct Case {
    const char* what;
    int32_t modeBefore;
    std::function<void(ServerData&)> change;
    int32_t kept;
  };
  const Case cases[] = {
      {"rename", kClockModeAuto, [](ServerData& d) { d.name = "renamed"; }, 540},
      {"other URL", kClockModeAuto, [](ServerData& d) { d.url = "other.example.jp"; },
       kClockOffsetNotLearned},
      {"other port", kClockModeAuto, [](ServerData& d) { d.port = 2121; }, kClockOffsetNotLearned},
      {"the flag picked", kClockModeAuto,
       [](ServerData& d) { d.clockMode = kClockModeTimeDifference; }, kClockOffsetNotLearned},
      {"auto picked again after the flag", kClockModeTimeDifference,
       [](ServerData& d) { d.clockMode = kClockModeAuto; }, kClockOffsetNotLearned},
  };
  for (const Case& c : cases) {
    AppSettings settings = WithProfiles({"site"});
    settings.profiles[0].url = "ftp.example.jp";
    settings.profiles[0].clockMode = c.modeBefore;
    settings.profiles[0].clockOffset = 540;
    ServerData data = ServerDataOf(settings.profiles[0]);
    c.change(data);
    ASSERT_EQ(UpdateDestination(settings, 0, data), DestinationError::kNone) << c.what;
    EXPECT_EQ(settings.profiles[0].clockOffset, c.kept) << c.what;
  }

  AppSettings settings = WithProfiles({"auto", "flag"});
  settings.profiles[0].clockMode = kClockModeAuto;
  struct Step {
    const char* what;
    int index;
    int32_t learned;
    DestinationError error;
    int32_t kept;  // profile 0's
    int32_t changeCount;
  };
  const Step steps[] = {
      {"nothing learned", 0, kClockOffsetNotLearned, DestinationError::kNone,
       kClockOffsetNotLearned, 0},
      {"learned behind UTC", 0, -300, DestinationError::kNone, -300, 1},
      {"the same again: no change", 0, -300, DestinationError::kNone, -300, 1},
      {"the flag's destination keeps nothing", 1, 540, DestinationError::kNone, -300, 1},
      {"beyond a day", 0, 24 * 60 + 15, DestinationError::kValueOutOfRange, -300, 1},
  };
  for (const Step& step : steps) {
    EXPECT_EQ(RecordClockOffset(settings, step.index, step.learned), step.error) << step.what;
    EXPECT_EQ(settings.profiles[0].clockOffset, step.kept) << step.what;
    EXPECT_EQ(settings.changeCount, step.changeCount) << step.what;
  }
  EXPECT_EQ(settings.profiles[1].clockOffset, kClockOffsetNotLearned);
  // A new destination starts at 自動; one stored before keeps the flag.
  EXPECT_EQ(ServerData{}.clockMode, kClockModeAuto);
  EXPECT_EQ(FtpProfile{}.clockMode, kClockModeTimeDifference);
}

TEST(AutoDataModeTest, WhatARunLearnedIsRecordedOnlyForAuto) {
  AppSettings settings = WithProfiles({"auto", "passive"});
  settings.profiles[1].dataMode = kDataModePassive;
  struct Step {
    const char* what;
    int index;
    int32_t learned;
    DestinationError error;
    int32_t kept;  // profile 0's
    int32_t changeCount;
  };
  const Step steps[] = {
      {"passive failed, active worked", 0, kDataModeActive, DestinationError::kNone,
       kDataModeActive, 1},
      {"the same again: no change", 0, kDataModeActive, DestinationError::kNone, kDataModeActive,
       1},
      {"active failed later: forgotten", 0, kDataModeAuto, DestinationError::kNone, kDataModeAuto,
       2},
      {"a destination at passive keeps nothing", 1, kDataModeActive, DestinationError::kNone,
       kDataModeAuto, 2},
      {"passive is no learned mode", 0, kDataModePassive, DestinationError::kValueOutOfRange,
       kDataModeAuto, 2},
      {"no such profile", 2, kDataModeActive, DestinationError::kUnknownDestination, kDataModeAuto,
       2},
  };
  for (const Step& step : steps) {
    EXPECT_EQ(RecordAutoDataMode(settings, step.index, step.learned), step.error) << step.what;
    EXPECT_EQ(settings.profiles[0].autoDataMode, step.kept) << step.what;
    EXPECT_EQ(settings.changeCount, step.changeCount) << step.what;
  }
  EXPECT_EQ(settings.profiles[1].autoDataMode, kDataModeAuto);
}

}  // namespace
}  // namespace velmorix
