// The merge of a save with what another program saved since the load: every
// case starts from the same loaded settings, changes ours and theirs, and
// checks what the store ends up with.
#include "settings/settings_merge.h"

#include <functional>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "settings/destinations.h"

namespace velmorix {
namespace {

// As loaded: "a" (url ha), "b" (url hb), "c" (url hc); "b" chosen.
AppSettings Loaded() {
  AppSettings settings;
  for (const char* name : {"a", "b", "c"}) {
    FtpProfile& profile = settings.profiles[settings.profileCount++];
    profile.name = profile.loadedName = name;
    profile.url = std::string("h") + name;
  }
  settings.lastFtp = 1;
  return settings;
}

// "name=url" per destination in array order, then the chosen name.
std::string Summary(const AppSettings& settings) {
  std::string summary;
  for (int i = 0; i < settings.profileCount; ++i)
    summary += settings.profiles[i].name + "=" + settings.profiles[i].url + " ";
  const int chosen = ChosenDestination(settings);
  return summary + "chosen:" + (chosen < 0 ? "-" : settings.profiles[chosen].name);
}

int Index(const AppSettings& settings, const char* name) {
  return FindDestination(settings, name);
}

TEST(MergeSettingsTest, EachSideKeepsWhatTheOtherDidNotTouch) {
  using Change = std::function<void(AppSettings&)>;
  struct Case {
    const char* what;
    Change ours;
    Change theirs;
    std::string expected;
  };
  const Change nothing = [](AppSettings&) {};
  const Case cases[] = {
      {"nothing changed", nothing, nothing, "a=ha b=hb c=hc chosen:b"},
      {"they added, we changed a value", [](AppSettings& s) { s.profiles[0].url = "new"; },
       [](AppSettings& s) { AddDestination(s, {.name = "x", .url = "hx"}); },
       "a=new b=hb c=hc x=hx chosen:b"},
      {"they deleted, we did not touch it", nothing,
       [](AppSettings& s) { DeleteDestination(s, Index(s, "a")); }, "b=hb c=hc chosen:b"},
      {"we deleted, they added", [](AppSettings& s) { DeleteDestination(s, Index(s, "c")); },
       [](AppSettings& s) { AddDestination(s, {.name = "x", .url = "hx"}); },
       "a=ha b=hb x=hx chosen:b"},
      {"both changed one value: ours wins, theirs stays elsewhere",
       [](AppSettings& s) { s.profiles[0].url = "ours"; },
       [](AppSettings& s) {
         s.profiles[0].url = "theirs";
         s.profiles[1].url = "theirs too";
       },
       "a=ours b=theirs too c=hc chosen:b"},
      {"they deleted what we changed: it stays deleted",
       [](AppSettings& s) { s.profiles[0].url = "ours"; },
       [](AppSettings& s) { DeleteDestination(s, Index(s, "a")); }, "b=hb c=hc chosen:b"},
      {"we renamed, they changed another value of it",
       [](AppSettings& s) { UpdateDestination(s, Index(s, "a"), {.name = "z", .url = "ha"}); },
       [](AppSettings& s) { s.profiles[0].userId = "theirs"; }, "z=ha b=hb c=hc chosen:b"},
      {"both added one name: ours wins",
       [](AppSettings& s) { AddDestination(s, {.name = "x", .url = "ours"}); },
       [](AppSettings& s) { AddDestination(s, {.name = "x", .url = "theirs"}); },
       "a=ha b=hb c=hc x=ours chosen:b"},
      {"we renamed onto a name they added: ours takes its place",
       [](AppSettings& s) { UpdateDestination(s, Index(s, "a"), {.name = "x", .url = "ha"}); },
       [](AppSettings& s) { AddDestination(s, {.name = "x", .url = "hx"}); },
       "x=ha b=hb c=hc chosen:b"},
      {"we chose another, they added before it",
       [](AppSettings& s) { ChooseDestination(s, Index(s, "c")); },
       [](AppSettings& s) { AddDestination(s, {.name = "0", .url = "h0"}); },
       "a=ha b=hb c=hc 0=h0 chosen:c"},
      {"they chose, we did not", nothing,
       [](AppSettings& s) { ChooseDestination(s, Index(s, "a")); }, "a=ha b=hb c=hc chosen:a"},
      {"they deleted the one we chose: the choice goes",
       [](AppSettings& s) { ChooseDestination(s, Index(s, "c")); },
       [](AppSettings& s) { DeleteDestination(s, Index(s, "c")); }, "a=ha b=hb chosen:-"},
  };
  for (const Case& c : cases) {
    AppSettings ours = Loaded();
    AppSettings theirs = Loaded();
    c.ours(ours);
    c.theirs(theirs);
    EXPECT_EQ(Summary(MergeSettings(Loaded(), ours, theirs)), c.expected) << c.what;
  }
}

// A certificate accepted in a run belongs to the server the run reached:
// whichever side changed the address, the pin never lands on another one.
TEST(MergeSettingsTest, PinStaysWithTheServerItWasAcceptedFor) {
  using Change = std::function<void(FtpProfile&)>;
  const std::string pin = "SHA256:" + std::string(95, 'A');
  const Change learned = [&pin](FtpProfile& p) { p.trustedFingerprint = pin; };
  const Change nothing = [](FtpProfile&) {};
  const struct {
    const char* what;
    Change ours;
    Change theirs;
    const char* url;
    int32_t port;
    std::string fingerprint;
  } cases[] = {
      {"we learned it, they changed the URL", learned, [](FtpProfile& p) { p.url = "other"; },
       "other", kDefaultPort, ""},
      {"we learned it, they changed the port", learned, [](FtpProfile& p) { p.port = 2121; }, "ha",
       2121, ""},
      {"we learned it, they changed the protocol", learned,
       [](FtpProfile& p) { p.protocol = kProtocolSftp; }, "ha", kDefaultPort, ""},
      {"we learned it, they changed the user", learned, [](FtpProfile& p) { p.userId = "u"; }, "ha",
       kDefaultPort, pin},
      {"they learned it, we changed the URL", [](FtpProfile& p) { p.url = "other"; }, learned,
       "other", kDefaultPort, ""},
      {"they learned it, we changed nothing of it", nothing, learned, "ha", kDefaultPort, pin},
      {"we changed the URL, they the port", [](FtpProfile& p) { p.url = "other"; },
       [&pin](FtpProfile& p) {
         p.port = 2121;
         p.trustedFingerprint = pin;
       },
       "other", 2121, ""},
  };
  for (const auto& c : cases) {
    AppSettings ours = Loaded();
    AppSettings theirs = Loaded();
    c.ours(ours.profiles[0]);
    c.theirs(theirs.profiles[0]);
    const AppSettings result = MergeSettings(Loaded(), ours, theirs);
    const FtpProfile& merged = result.profiles[0];
    EXPECT_EQ(merged.url, c.url) << c.what;
    EXPECT_EQ(merged.port, c.port) << c.what;
    EXPECT_EQ(merged.trustedFingerprint, c.fingerprint) << c.what;
  }
}

// What 自動 decided is the server's too, and each side keeps what it
// learned of the same server.
TEST(MergeSettingsTest, DecidedEncodingStaysWithItsServerBesideThePin) {
  using Change = std::function<void(FtpProfile&)>;
  const std::string pin = "SHA256:" + std::string(95, 'A');
  const Change decided = [](FtpProfile& p) { p.autoNameEncoding = kNameEncodingShiftJis; };
  const Change pinned = [&pin](FtpProfile& p) { p.trustedFingerprint = pin; };
  const Change nothing = [](FtpProfile&) {};
  const struct {
    const char* what;
    Change ours;
    Change theirs;
    int32_t encoding;
    std::string fingerprint;
  } cases[] = {
      {"we decided, they changed nothing", decided, nothing, kNameEncodingShiftJis, ""},
      {"they decided, we changed the user", [](FtpProfile& p) { p.userId = "u"; }, decided,
       kNameEncodingShiftJis, ""},
      {"we decided, they changed the URL", decided, [](FtpProfile& p) { p.url = "other"; },
       kNameEncodingAuto, ""},
      {"we decided, they changed the port", decided, [](FtpProfile& p) { p.port = 2121; },
       kNameEncodingAuto, ""},
      {"they decided, we changed the URL", [](FtpProfile& p) { p.url = "other"; }, decided,
       kNameEncodingAuto, ""},
      {"we decided, they accepted a certificate", decided, pinned, kNameEncodingShiftJis, pin},
      {"we accepted a certificate, they decided", pinned, decided, kNameEncodingShiftJis, pin},
  };
  for (const auto& c : cases) {
    AppSettings ours = Loaded();
    AppSettings theirs = Loaded();
    c.ours(ours.profiles[0]);
    c.theirs(theirs.profiles[0]);
    const AppSettings result = MergeSettings(Loaded(), ours, theirs);
    const FtpProfile& merged = result.profiles[0];
    EXPECT_EQ(merged.autoNameEncoding, c.encoding) << c.what;
    EXPECT_EQ(merged.trustedFingerprint, c.fingerprint) << c.what;
  }
  // What 自動 learned about data connections goes the same way.
  for (const bool theyMoved : {false, true}) {
    AppSettings ours = Loaded();
    AppSettings theirs = Loaded();
    ours.profiles[0].autoDataMode = kDataModeActive;
    if (theyMoved)
      theirs.profiles[0].url = "other";
    const AppSettings result = MergeSettings(Loaded(), ours, theirs);
    EXPECT_EQ(result.profiles[0].autoDataMode, theyMoved ? kDataModeAuto : kDataModeActive)
        << (theyMoved ? "they changed the URL" : "they changed nothing");
  }
}

TEST(MergeSettingsTest, SwitchesTakeTheSideThatChangedThem) {
  AppSettings ours = Loaded();
  AppSettings theirs = Loaded();
  ours.deleteMessage = 0;
  theirs.deleteDots = 0;
  const AppSettings merged = MergeSettings(Loaded(), ours, theirs);
  EXPECT_EQ(merged.deleteMessage, 0);
  EXPECT_EQ(merged.deleteDots, 0);
}

TEST(MergeSettingsTest, AdditionsBeyondTwentyAreLeftOutAndNamed) {
  AppSettings ours = Loaded();
  AppSettings theirs = Loaded();
  AddDestination(ours, {.name = "mine"});
  for (int i = 3; i < kMaxProfiles; ++i)
    AddDestination(theirs, {.name = "t" + std::to_string(i)});
  std::vector<std::string> dropped;
  const AppSettings merged = MergeSettings(Loaded(), ours, theirs, &dropped);
  EXPECT_EQ(merged.profileCount, kMaxProfiles);
  EXPECT_EQ(FindDestination(merged, "mine"), -1);
  EXPECT_EQ(dropped, std::vector<std::string>{"mine"});
}

}  // namespace
}  // namespace velmorix
