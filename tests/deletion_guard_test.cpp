// The rule that stops a publish before a mass deletion.
#include "engine/deletion_guard.h"

#include <gtest/gtest.h>

namespace velmorix {
namespace {

TEST(DeletionGuardTest, StopsEverythingEmptyingAndMostHalfEmptying) {
  const struct {
    DeletionPlan plan;
    bool stops;
  } cases[] = {
      {{0, 0, true}, false},       // nothing to delete, even from an empty folder
      {{0, 50, true}, false},      // an empty local folder over a site, deletion off
      {{1, 1, false}, true},       // every entry
      {{12, 12, false}, true},     // every entry
      {{3, 5, false}, false},      // most, but only a few
      {{11, 20, false}, true},     // more than half and more than 10
      {{10, 19, false}, false},    // more than half, but 10
      {{11, 22, false}, false},    // half exactly
      {{30, 1000, false}, false},  // a tidy-up
      {{1, 1000, true}, true},     // anything while the local folder is empty
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(std::to_string(c.plan.deletions) + " of " + std::to_string(c.plan.remoteEntries));
    EXPECT_EQ(IsMassDeletion(c.plan), c.stops);
  }
}

TEST(DeletionGuardTest, QuestionGivesCountsFoldersAndTheFirstPaths) {
  std::vector<std::string> changes = {"Copy file to FTP : /site/a.html  (new)"};
  for (int i = 0; i < 7; ++i)
    changes.push_back("Delete file on FTP : /site/f" + std::to_string(i) + "  (not on Local HDD)");
  const std::string question =
      MassDeletionQuestion({7, 7, true}, "/home/me/empty", "/site", changes);
  EXPECT_EQ(question,
            "ローカルのフォルダーに転送するものがありません。\n"
            "FTP の 7 件のうち 7 件を削除しようとしています。\n"
            "ローカル: /home/me/empty\n"
            "FTP: /site\n"
            "Delete file on FTP : /site/f0  (not on Local HDD)\n"
            "Delete file on FTP : /site/f1  (not on Local HDD)\n"
            "Delete file on FTP : /site/f2  (not on Local HDD)\n"
            "Delete file on FTP : /site/f3  (not on Local HDD)\n"
            "Delete file on FTP : /site/f4  (not on Local HDD)\n"
            "...\n"
            "\n削除してもよろしいですか。");
}

}  // namespace
}  // namespace velmorix
