// The profile editor, driven through its real controls: opening, Add, Update,
// Delete, OK and Cancel, the port rule and the password limit.
#include "ui/profile_editor.h"

#include <memory>
#include <string>

#include <QCheckBox>
#include <QComboBox>
#include <QLineEdit>
#include <QPushButton>
#include <QTest>

#include <gtest/gtest.h>

#include "resources/string_table.h"
#include "settings/app_settings.h"
#include "tests/ui/window_test_support.h"
#include "ui/control_names.h"
#include "ui/dialogs.h"

namespace velmorix {
namespace {

namespace ids = ui::profile_editor;
using testing::Control;
using testing::PickItem;

QString Text(std::string_view text) {
  return QString::fromUtf8(text.data(), static_cast<qsizetype>(text.size()));
}

const QString kDuplicate = Text(strings::kDuplicateName);
const QString kNotInteger = Text(strings::kEnterInteger);
const QString kOutOfRange = QStringLiteral("1 から 65535 までの整数を入力してください。");

class ProfileEditorTest : public ::testing::Test {
 protected:
  void SetUp() override { ui::Dialogs::Script(); }

  // A profile as the store would have loaded it, with a folder and options
  // that only the main window sets, so tests can see that they survive.
  FtpProfile& Stored(const std::string& name) {
    FtpProfile& profile = settings_.profiles[settings_.profileCount++];
    profile.name = name;
    profile.url = name + ".example.org";
    profile.userId = "user-" + name;
    profile.password = "pw-" + name;
    profile.remoteDir = "/www/" + name;
    profile.port = 2100 + settings_.profileCount;
    profile.timeDifference = 1;
    profile.localDir = "/home/site/" + name;
    profile.options = {0, 1, 0, 1, 0};
    return profile;
  }

  void Open() {
    editor_ = std::make_unique<ui::ProfileEditor>(settings_);
    editor_->show();
    list_ = Control<QComboBox>(editor_.get(), ids::kProfileList);
    name_ = Control<QLineEdit>(editor_.get(), ids::kName);
    url_ = Control<QLineEdit>(editor_.get(), ids::kUrl);
    remoteDir_ = Control<QLineEdit>(editor_.get(), ids::kRemoteDir);
    userId_ = Control<QLineEdit>(editor_.get(), ids::kUserId);
    password_ = Control<QLineEdit>(editor_.get(), ids::kPassword);
    port_ = Control<QLineEdit>(editor_.get(), ids::kPort);
    timeDifference_ = Control<QCheckBox>(editor_.get(), ids::kTimeDifference);
    add_ = Control<QPushButton>(editor_.get(), ids::kAddButton);
    update_ = Control<QPushButton>(editor_.get(), ids::kUpdateButton);
    delete_ = Control<QPushButton>(editor_.get(), ids::kDeleteButton);
    ok_ = Control<QPushButton>(editor_.get(), ids::kOkButton);
    cancel_ = Control<QPushButton>(editor_.get(), ids::kCancelButton);
    ASSERT_FALSE(::testing::Test::HasFailure());
  }

  static void Type(QLineEdit* field, const QString& text) {
    field->setFocus();
    field->selectAll();
    QTest::keyClick(field, Qt::Key_Delete);
    testing::TypeText(field, text);
  }

  static void Click(QPushButton* button) { QTest::mouseClick(button, Qt::LeftButton); }

  QStringList Items() const {
    QStringList items;
    for (int position = 0; position < list_->count(); ++position) {
      items.append(list_->itemText(position));
    }
    return items;
  }

  int IndexOf(const std::string& name) const {
    for (int index = 0; index < settings_.profileCount; ++index) {
      if (settings_.profiles[index].name == name) {
        return index;
      }
    }
    return -1;
  }

  AppSettings settings_;
  std::unique_ptr<ui::ProfileEditor> editor_;
  QComboBox* list_ = nullptr;
  QLineEdit* name_ = nullptr;
  QLineEdit* url_ = nullptr;
  QLineEdit* remoteDir_ = nullptr;
  QLineEdit* userId_ = nullptr;
  QLineEdit* password_ = nullptr;
  QLineEdit* port_ = nullptr;
  QCheckBox* timeDifference_ = nullptr;
  QPushButton* add_ = nullptr;
  QPushButton* update_ = nullptr;
  QPushButton* delete_ = nullptr;
  QPushButton* ok_ = nullptr;
  QPushButton* cancel_ = nullptr;
};

// ---------------------------------------------------------------------------
// Opening

using ProfileEditorOpenTest = ProfileEditorTest;

TEST_F(ProfileEditorOpenTest, WithoutProfilesShowsEmptyFieldsPort21AndNoSelection) {
  Open();
  EXPECT_EQ(list_->count(), 0);
  EXPECT_EQ(list_->currentIndex(), -1);
  for (QLineEdit* field : {name_, url_, remoteDir_, userId_, password_}) {
    EXPECT_TRUE(field->text().isEmpty()) << field->objectName().toStdString();
  }
  EXPECT_EQ(port_->text(), "21");
  EXPECT_FALSE(timeDifference_->isChecked());
  EXPECT_EQ(settings_.lastFtp, -1);
}

TEST_F(ProfileEditorOpenTest, WithoutStoredSelectionShowsFirstSortedItem) {
  Stored("zeta");
  Stored("alpha");
  Open();
  EXPECT_EQ(list_->currentIndex(), 0);
  EXPECT_EQ(list_->currentText(), "alpha");
  EXPECT_EQ(settings_.lastFtp, 0);
  EXPECT_EQ(settings_.currentProfile, 1);
  EXPECT_EQ(name_->text(), "alpha");
  EXPECT_EQ(url_->text(), "alpha.example.org");
  EXPECT_EQ(remoteDir_->text(), "/www/alpha");
  EXPECT_EQ(userId_->text(), "user-alpha");
  EXPECT_EQ(password_->text(), "pw-alpha");
  EXPECT_EQ(port_->text(), "2102");
  EXPECT_TRUE(timeDifference_->isChecked());
}

TEST_F(ProfileEditorOpenTest, StoredPositionBeyondTheListShowsFirstItem) {
  Stored("b");
  Stored("a");
  settings_.lastFtp = 7;
  Open();
  EXPECT_EQ(settings_.lastFtp, 0);
  EXPECT_EQ(list_->currentText(), "a");
  EXPECT_EQ(name_->text(), "a");
}

TEST_F(ProfileEditorOpenTest, ListIsInUtf8ByteOrderNotLocaleOrder) {
  // Byte order puts upper case before "_" before lower case, and Japanese
  // after ASCII; a locale-aware sort would interleave the cases.
  for (const char* name : {"b", "日本", "a", "_x", "B"}) {
    Stored(name);
  }
  Open();
  EXPECT_EQ(Items(), QStringList({"B", "_x", "a", "b", "日本"}));
}

TEST_F(ProfileEditorOpenTest, FocusStartsInListAndTabOrderFollowsTemplate) {
  Open();
  EXPECT_EQ(editor_->focusWidget(), list_);
  const QList<QWidget*> expected = {list_,           name_, url_,    remoteDir_, userId_, password_,
                                    port_,           add_,  update_, delete_,    ok_,     cancel_,
                                    timeDifference_, list_};
  QWidget* widget = list_;
  for (qsizetype step = 1; step < expected.size(); ++step) {
    do {
      widget = widget->nextInFocusChain();
    } while (!(widget->focusPolicy() & Qt::TabFocus));
    EXPECT_EQ(widget, expected[step]) << "step " << step;
  }
  EXPECT_TRUE(ok_->isDefault());
  EXPECT_EQ(password_->echoMode(), QLineEdit::Password);
}

TEST_F(ProfileEditorOpenTest, PickingAnItemLoadsItAndDropsUnappliedEdits) {
  Stored("one");
  Stored("two");
  Open();
  Type(url_, "typed.example.org");
  PickItem(list_, 1);
  EXPECT_EQ(settings_.lastFtp, 1);
  EXPECT_EQ(settings_.currentProfile, 1);
  EXPECT_EQ(url_->text(), "two.example.org");
  PickItem(list_, 0);
  EXPECT_EQ(url_->text(), "one.example.org");
  EXPECT_EQ(settings_.profiles[0].url, "one.example.org");
  EXPECT_EQ(settings_.changeCount, 0);
}

// ---------------------------------------------------------------------------
// Add

using ProfileEditorAddTest = ProfileEditorTest;

TEST_F(ProfileEditorAddTest, CopyOfLoadedProfileGetsEmptyFolderAndAllOptionsOn) {
  Stored("source");
  Open();
  Type(name_, "copy");
  Click(add_);
  ASSERT_EQ(settings_.profileCount, 2);
  const FtpProfile& copy = settings_.profiles[1];
  EXPECT_EQ(copy.name, "copy");
  EXPECT_EQ(copy.url, "source.example.org");
  EXPECT_EQ(copy.userId, "user-source");
  EXPECT_EQ(copy.password, "pw-source");
  EXPECT_EQ(copy.remoteDir, "/www/source");
  EXPECT_EQ(copy.port, 2101);
  EXPECT_EQ(copy.timeDifference, 1);
  EXPECT_EQ(copy.localDir, "");
  EXPECT_EQ(copy.options, TransferOptions{});
  EXPECT_EQ(settings_.changeCount, 1);
  EXPECT_EQ(settings_.currentProfile, 1);
  EXPECT_EQ(settings_.lastFtp, 0);  // "copy" sorts before "source"
  EXPECT_EQ(list_->currentText(), "copy");
  EXPECT_EQ(Items(), QStringList({"copy", "source"}));
  EXPECT_TRUE(ui::Dialogs::Shown().isEmpty());
}

TEST_F(ProfileEditorAddTest, FieldsTypedIntoAnEmptyEditorBecomeTheProfile) {
  Open();
  Type(name_, "新しいサイト");
  Type(url_, "ftp.example.jp");
  Type(remoteDir_, "public_html");
  Type(userId_, "taro");
  Type(password_, "ひみつ pass");
  Type(port_, "2121");
  timeDifference_->click();
  Click(add_);
  ASSERT_EQ(settings_.profileCount, 1);
  const FtpProfile& added = settings_.profiles[0];
  EXPECT_EQ(added.name, "新しいサイト");
  EXPECT_EQ(added.url, "ftp.example.jp");
  EXPECT_EQ(added.remoteDir, "public_html");
  EXPECT_EQ(added.userId, "taro");
  EXPECT_EQ(added.password, "ひみつ pass");
  EXPECT_EQ(added.port, 2121);
  EXPECT_EQ(added.timeDifference, 1);
  EXPECT_EQ(settings_.lastFtp, 0);
  EXPECT_EQ(list_->currentIndex(), 0);
}

TEST_F(ProfileEditorAddTest, DuplicateNameIsRefusedAndTypedFieldsStay) {
  Stored("site");
  Open();
  Type(url_, "other.example.org");
  Click(add_);
  EXPECT_EQ(ui::Dialogs::Shown(), QStringList({kDuplicate}));
  EXPECT_EQ(settings_.profileCount, 1);
  EXPECT_EQ(settings_.changeCount, 0);
  EXPECT_EQ(name_->text(), "site");
  EXPECT_EQ(url_->text(), "other.example.org");
  EXPECT_EQ(list_->count(), 1);
}

TEST_F(ProfileEditorAddTest, NamesDifferingOnlyInCaseAreBothKept) {
  Stored("abc");
  Open();
  Type(name_, "ABC");
  Click(add_);
  EXPECT_EQ(settings_.profileCount, 2);
  EXPECT_EQ(Items(), QStringList({"ABC", "abc"}));
  EXPECT_EQ(list_->currentText(), "ABC");
  EXPECT_EQ(settings_.currentProfile, 1);
  EXPECT_TRUE(ui::Dialogs::Shown().isEmpty());
}

TEST_F(ProfileEditorAddTest, PrefixOfExistingNameSelectsTheNewItem) {
  Stored("server2");
  Open();
  Type(name_, "server");
  Click(add_);
  EXPECT_EQ(list_->currentText(), "server");
  EXPECT_EQ(settings_.lastFtp, 0);
  EXPECT_EQ(settings_.profiles[settings_.currentProfile].name, "server");
}

TEST_F(ProfileEditorAddTest, TwentyProfilesRefuseANewOneSilently) {
  for (int number = 0; number < kMaxProfiles; ++number) {
    Stored("site" + std::to_string(number));
  }
  Open();
  Type(name_, "one too many");
  Type(port_, "not a number");  // not even read: the full list stops Add first
  Click(add_);
  EXPECT_EQ(settings_.profileCount, kMaxProfiles);
  EXPECT_EQ(settings_.changeCount, 0);
  EXPECT_EQ(list_->count(), kMaxProfiles);
  EXPECT_TRUE(ui::Dialogs::Shown().isEmpty());
}

TEST_F(ProfileEditorAddTest, EmptyNameAddsNothingButBlanksAreAName) {
  Open();
  Click(add_);
  EXPECT_EQ(settings_.profileCount, 0);
  Type(name_, "  ");
  Click(add_);
  ASSERT_EQ(settings_.profileCount, 1);
  EXPECT_EQ(settings_.profiles[0].name, "  ");
  EXPECT_TRUE(ui::Dialogs::Shown().isEmpty());
}

// ---------------------------------------------------------------------------
// Update

using ProfileEditorUpdateTest = ProfileEditorTest;

TEST_F(ProfileEditorUpdateTest, RenameMovesItemToSortedPlaceAndKeepsFolderAndOptions) {
  Stored("alpha");
  Stored("beta");
  Stored("gamma");
  Open();  // shows alpha, array slot 0
  Type(name_, "zulu");
  Type(remoteDir_, "/htdocs");
  Click(update_);
  EXPECT_EQ(Items(), QStringList({"beta", "gamma", "zulu"}));
  EXPECT_EQ(list_->currentText(), "zulu");
  EXPECT_EQ(settings_.lastFtp, 2);
  EXPECT_EQ(settings_.currentProfile, 0);
  const FtpProfile& updated = settings_.profiles[0];
  EXPECT_EQ(updated.name, "zulu");
  EXPECT_EQ(updated.remoteDir, "/htdocs");
  EXPECT_EQ(updated.localDir, "/home/site/alpha");
  EXPECT_EQ(updated.options, (TransferOptions{0, 1, 0, 1, 0}));
  EXPECT_EQ(settings_.changeCount, 1);
}

TEST_F(ProfileEditorUpdateTest, KeepingItsOwnNameIsAccepted) {
  Stored("site");
  Open();
  Type(port_, "990");
  Click(update_);
  EXPECT_TRUE(ui::Dialogs::Shown().isEmpty());
  EXPECT_EQ(settings_.profiles[0].port, 990);
  EXPECT_EQ(settings_.changeCount, 1);
  EXPECT_EQ(Items(), QStringList({"site"}));
}

TEST_F(ProfileEditorUpdateTest, NameOfAnotherProfileIsRefusedAndNameFieldRestored) {
  Stored("first");
  Stored("second");
  Open();  // shows "first"
  Type(name_, "second");
  Type(url_, "typed.example.org");
  Click(update_);
  EXPECT_EQ(ui::Dialogs::Shown(), QStringList({kDuplicate}));
  EXPECT_EQ(name_->text(), "first");
  EXPECT_EQ(url_->text(), "typed.example.org");
  EXPECT_EQ(settings_.profiles[0].name, "first");
  EXPECT_EQ(settings_.profiles[0].url, "first.example.org");
  EXPECT_EQ(settings_.changeCount, 0);
}

TEST_F(ProfileEditorUpdateTest, ClearedNameChangesNothing) {
  Stored("site");
  Open();
  Type(name_, "");
  Type(url_, "typed.example.org");
  Click(update_);
  EXPECT_EQ(settings_.profiles[0].name, "site");
  EXPECT_EQ(settings_.profiles[0].url, "site.example.org");
  EXPECT_EQ(settings_.changeCount, 0);
  EXPECT_TRUE(ui::Dialogs::Shown().isEmpty());
}

// ---------------------------------------------------------------------------
// Delete

using ProfileEditorDeleteTest = ProfileEditorTest;

TEST_F(ProfileEditorDeleteTest, DeletingFirstItemLeavesNoSelectionAndDisablesUpdateAndDelete) {
  Stored("b");
  Stored("a");
  Stored("c");
  Open();  // shows "a", array slot 1
  Click(delete_);
  EXPECT_EQ(settings_.profileCount, 2);
  EXPECT_EQ(settings_.profiles[0].name, "b");
  EXPECT_EQ(settings_.profiles[1].name, "c");
  EXPECT_EQ(settings_.lastFtp, -1);
  EXPECT_EQ(list_->currentIndex(), -1);
  EXPECT_EQ(Items(), QStringList({"b", "c"}));
  EXPECT_TRUE(name_->text().isEmpty());
  EXPECT_EQ(port_->text(), "21");

  Type(name_, "renamed");
  Click(update_);
  Click(delete_);
  EXPECT_EQ(settings_.profileCount, 2);
  EXPECT_EQ(settings_.profiles[0].name, "b");
  EXPECT_EQ(settings_.profiles[1].name, "c");
  EXPECT_EQ(settings_.changeCount, 1);
}

TEST_F(ProfileEditorDeleteTest, DeletingThirdItemSelectsSecondAndShowsIt) {
  Stored("c");
  Stored("a");
  Stored("b");
  Stored("d");
  settings_.lastFtp = 2;  // "c", array slot 0
  Open();
  ASSERT_EQ(name_->text(), "c");
  Click(delete_);
  EXPECT_EQ(Items(), QStringList({"a", "b", "d"}));
  EXPECT_EQ(settings_.lastFtp, 1);
  EXPECT_EQ(list_->currentText(), "b");
  EXPECT_EQ(name_->text(), "b");
  EXPECT_EQ(url_->text(), "b.example.org");
  // The others moved forward in their order, each with all of its data.
  ASSERT_EQ(settings_.profileCount, 3);
  EXPECT_EQ(settings_.profiles[0].name, "a");
  EXPECT_EQ(settings_.profiles[1].name, "b");
  EXPECT_EQ(settings_.profiles[2].name, "d");
  EXPECT_EQ(settings_.profiles[2].localDir, "/home/site/d");
  EXPECT_EQ(settings_.profiles[2].port, 2104);
  EXPECT_EQ(settings_.currentProfile, 1);
  EXPECT_EQ(settings_.changeCount, 1);
}

TEST_F(ProfileEditorDeleteTest, DeletingOnlyProfileLeavesEmptyList) {
  Stored("only");
  Open();
  Click(delete_);
  EXPECT_EQ(settings_.profileCount, 0);
  EXPECT_EQ(list_->count(), 0);
  EXPECT_EQ(settings_.lastFtp, -1);
  EXPECT_EQ(settings_.currentProfile, -1);
  EXPECT_EQ(settings_.profiles[0], FtpProfile{});
}

// ---------------------------------------------------------------------------
// OK and Cancel

using ProfileEditorCloseTest = ProfileEditorTest;

TEST_F(ProfileEditorCloseTest, OkWithoutAddOrUpdateChangesNoProfile) {
  Stored("site");
  const FtpProfile before = settings_.profiles[0];
  Open();
  Type(name_, "changed");
  Type(url_, "changed.example.org");
  Type(port_, "2121");
  Click(ok_);
  EXPECT_EQ(editor_->result(), QDialog::Accepted);
  EXPECT_FALSE(editor_->isVisible());
  EXPECT_EQ(settings_.profiles[0], before);
  EXPECT_EQ(settings_.changeCount, 0);
}

TEST_F(ProfileEditorCloseTest, EnterInAFieldIsOk) {
  Open();
  QTest::keyClick(url_, Qt::Key_Return);
  EXPECT_EQ(editor_->result(), QDialog::Accepted);
  EXPECT_FALSE(editor_->isVisible());
}

TEST_F(ProfileEditorCloseTest, OkWithInvalidPortStaysOpen) {
  Open();
  Type(port_, "x");
  Click(ok_);
  EXPECT_EQ(ui::Dialogs::Shown(), QStringList({kNotInteger}));
  EXPECT_TRUE(editor_->isVisible());
}

TEST_F(ProfileEditorCloseTest, CancelAndEscapeCloseWithoutReadingFields) {
  Stored("site");
  Open();
  Type(port_, "not a port");
  Click(cancel_);
  EXPECT_EQ(editor_->result(), QDialog::Rejected);
  EXPECT_FALSE(editor_->isVisible());

  Open();
  Type(port_, "not a port");
  QTest::keyClick(port_, Qt::Key_Escape);
  EXPECT_EQ(editor_->result(), QDialog::Rejected);
  EXPECT_FALSE(editor_->isVisible());
  EXPECT_TRUE(ui::Dialogs::Shown().isEmpty());
}

TEST_F(ProfileEditorCloseTest, CancelKeepsAddUpdateAndDeleteAlreadyMade) {
  Stored("a");
  Stored("b");
  Open();
  Type(name_, "c");
  Click(add_);
  Click(cancel_);
  EXPECT_EQ(settings_.profileCount, 3);
  EXPECT_EQ(settings_.changeCount, 1);
  EXPECT_EQ(settings_.profiles[2].name, "c");
}

// ---------------------------------------------------------------------------
// The port rule: whole numbers from 1 to 65535, blanks around allowed.

struct PortCase {
  const char* typed;
  int stored;  // 0: refused
  bool notInteger;
};

class ProfileEditorPortTest : public ProfileEditorTest,
                              public ::testing::WithParamInterface<PortCase> {};

TEST_P(ProfileEditorPortTest, AddAcceptsOnlyWholeNumbersFrom1To65535) {
  const PortCase& port = GetParam();
  Open();
  Type(name_, "site");
  Type(port_, QString::fromUtf8(port.typed));
  Click(add_);
  if (port.stored != 0) {
    ASSERT_EQ(settings_.profileCount, 1);
    EXPECT_EQ(settings_.profiles[0].port, port.stored);
    EXPECT_TRUE(ui::Dialogs::Shown().isEmpty());
    return;
  }
  EXPECT_EQ(settings_.profileCount, 0);
  EXPECT_EQ(settings_.changeCount, 0);
  EXPECT_EQ(ui::Dialogs::Shown(), QStringList({port.notInteger ? kNotInteger : kOutOfRange}));
  // The user is taken back to the port to correct it.
  EXPECT_EQ(editor_->focusWidget(), port_);
  EXPECT_EQ(port_->selectedText(), port_->text());
}

INSTANTIATE_TEST_SUITE_P(
    Ports, ProfileEditorPortTest,
    ::testing::Values(PortCase{"21", 21, false}, PortCase{"1", 1, false},
                      PortCase{"65535", 65535, false}, PortCase{" 2121 ", 2121, false},
                      PortCase{"256", 256, false}, PortCase{"+990", 990, false},
                      PortCase{"0", 0, false}, PortCase{"65536", 0, false},
                      PortCase{"-21", 0, false}, PortCase{"99999999999999999999999", 0, false},
                      PortCase{"", 0, true}, PortCase{"  ", 0, true}, PortCase{"21a", 0, true},
                      PortCase{"2 1", 0, true}, PortCase{"+", 0, true}, PortCase{"２１", 0, true},
                      PortCase{"21.0", 0, true}));

TEST_F(ProfileEditorUpdateTest, RefusedPortChangesNothing) {
  Stored("site");
  Open();
  Type(url_, "typed.example.org");
  Type(port_, "70000");
  Click(update_);
  EXPECT_EQ(ui::Dialogs::Shown(), QStringList({kOutOfRange}));
  EXPECT_EQ(settings_.profiles[0].url, "site.example.org");
  EXPECT_EQ(settings_.profiles[0].port, 2101);
  EXPECT_EQ(settings_.changeCount, 0);
}

// ---------------------------------------------------------------------------
// The password field

using ProfileEditorPasswordTest = ProfileEditorTest;

TEST_F(ProfileEditorPasswordTest, TakesAtMost256Utf8BytesSoEveryStoredPasswordReadsBack) {
  Open();
  Type(password_, QString(300, u'p'));
  EXPECT_EQ(password_->text().toUtf8().size(), 256);
  // Three bytes each: 85 fit (255 bytes), the 86th would not.
  Type(password_, QString(100, u'あ'));
  EXPECT_EQ(password_->text().size(), 85);
  Type(name_, "site");
  Click(add_);
  ASSERT_EQ(settings_.profileCount, 1);
  EXPECT_EQ(settings_.profiles[0].password.size(), 255u);
}

}  // namespace
}  // namespace velmorix
