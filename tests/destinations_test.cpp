// The rules of the stored destinations, without a window or a store: the
// list order, the port rule, the refusals, the shift of a deletion and which
// destination stays chosen.
#include "settings/destinations.h"

#include <functional>
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
                        .timeDifference = 1};
  int index = -1;
  ASSERT_EQ(AddDestination(settings, data, &index), DestinationError::kNone);
  EXPECT_EQ(index, 1);
  EXPECT_EQ(ServerDataOf(settings.profiles[1]), data);
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

TEST(StoredProfileValuesTest, NamesAreNumberedAsTheStoreKeepsThem) {
  std::vector<std::string> names;
  for (const StoredProfileValue& value : StoredProfileValues())
    names.push_back(value.NameFor(12));
  EXPECT_EQ(names, (std::vector<std::string>{"FTPNAME12", "FTPURL12", "FTPUID12", "FTPPASS12",
                                             "FTPPORT12", "FTPDIR12", "LOCALDIR12", "LASTDELDOTS12",
                                             "LASTOPT121", "LASTOPT122", "LASTOPT123", "LASTOPT124",
                                             "LASTOPT125", "FTPMODE12"}));
}

}  // namespace
}  // namespace velmorix
