// The profile editor, driven through its real controls: opening, Add,
// Update, Delete, OK, the port rule and the password limit.
#include "ui/profile_editor.h"

#include <memory>
#include <string>
#include <vector>

#include <QCheckBox>
#include <QComboBox>
#include <QLabel>
#include <QLineEdit>
#include <QPlainTextEdit>
#include <QPushButton>
#include <QSpinBox>

#include <gtest/gtest.h>

#include "resources/string_table.h"
#include "settings/destinations.h"
#include "tests/support/test_ftp_server.h"
#include "tests/ui/window_test_support.h"
#include "ui/control_names.h"
#include "ui/dialogs.h"

namespace velmorix {
namespace {

namespace ids = ui::profile_editor;
using testing::Control;
using testing::Retype;

const QString kDuplicate = QString::fromUtf8(strings::kDuplicateName.data());
const QString kNotInteger = QString::fromUtf8(strings::kEnterInteger.data());
const QString kOutOfRange = QStringLiteral("1 から 65535 までの整数を入力してください。");

// A certificate the user accepted for a destination.
std::string AcceptedFingerprint() {
  std::string text = "SHA256:5E";
  for (int i = 1; i < 32; ++i)
    text += ":5E";
  return text;
}

class ProfileEditorTest : public ::testing::Test {
 protected:
  void SetUp() override { ui::Dialogs::Script(); }

  // A profile as the store loads it, with a folder and options that only the
  // main window sets, so that tests see them survive.
  FtpProfile& Stored(const std::string& name) {
    FtpProfile& profile = settings_.profiles[settings_.profileCount++];
    profile = {.name = name,
               .url = name + ".example.org",
               .userId = "user-" + name,
               .password = "pw-" + name,
               .remoteDir = "/www/" + name,
               .port = 2100 + settings_.profileCount,
               .timeDifference = 1,
               .localDir = "/home/site/" + name,
               .options = {0, 1, 0, 1, 0}};
    return profile;
  }

  void Open() {
    editor_ = std::make_unique<ui::ProfileEditor>(settings_);
    editor_->show();
    list_ = Control<QComboBox>(editor_.get(), ids::kProfileList);
    name_ = Control<QLineEdit>(editor_.get(), ids::kName);
    url_ = Control<QLineEdit>(editor_.get(), ids::kUrl);
    port_ = Control<QLineEdit>(editor_.get(), ids::kPort);
    password_ = Control<QLineEdit>(editor_.get(), ids::kPassword);
    ASSERT_FALSE(HasFailure());
  }

  void Press(const char* button) {
    QTest::mouseClick(Control<QPushButton>(editor_.get(), button), Qt::LeftButton);
  }

  QStringList Items() const {
    QStringList items;
    for (int position = 0; position < list_->count(); ++position) {
      items.append(list_->itemText(position));
    }
    return items;
  }

  AppSettings settings_;
  std::unique_ptr<ui::ProfileEditor> editor_;
  QComboBox* list_ = nullptr;
  QLineEdit* name_ = nullptr;
  QLineEdit* url_ = nullptr;
  QLineEdit* port_ = nullptr;
  QLineEdit* password_ = nullptr;
};

using ProfileEditorOpenTest = ProfileEditorTest;

TEST_F(ProfileEditorOpenTest, WithoutProfilesShowsNewProfileValues) {
  Open();
  EXPECT_EQ(list_->count(), 0);
  EXPECT_EQ(list_->currentIndex(), -1);
  EXPECT_TRUE(name_->text().isEmpty());
  EXPECT_EQ(port_->text(), "21");
  EXPECT_FALSE(Control<QCheckBox>(editor_.get(), ids::kTimeDifference)->isChecked());
}

TEST_F(ProfileEditorOpenTest, NoOrInvalidStoredSelectionShowsFirstSortedItem) {
  for (const int lastFtp : {-1, 7}) {
    settings_ = {};
    Stored("zeta");
    Stored("alpha");
    settings_.lastFtp = lastFtp;
    Open();
    EXPECT_EQ(list_->currentText(), "alpha");
    EXPECT_EQ(settings_.lastFtp, 0);
    EXPECT_EQ(settings_.currentProfile, 1);
    EXPECT_EQ(url_->text(), "alpha.example.org");
    EXPECT_EQ(password_->text(), "pw-alpha");
    EXPECT_EQ(port_->text(), "2102");
  }
}

TEST_F(ProfileEditorOpenTest, ListIsInNameOrderWithLetterCaseIgnoredFirst) {
  for (const char* name : {"b", "日本", "Zeta", "a", "_x", "B"}) {
    Stored(name);
  }
  Open();
  EXPECT_EQ(Items(), QStringList({"_x", "a", "B", "b", "Zeta", "日本"}));
}

using ProfileEditorAddTest = ProfileEditorTest;

TEST_F(ProfileEditorAddTest, CopyOfShownProfileGetsEmptyFolderAndAllOptionsOn) {
  Stored("source");
  Open();
  Retype(name_, "copy");
  Press(ids::kAddButton);
  ASSERT_EQ(settings_.profileCount, 2);
  FtpProfile expected = settings_.profiles[0];
  expected.name = "copy";
  expected.localDir = "";
  expected.options = {};
  EXPECT_EQ(settings_.profiles[1], expected);
  EXPECT_EQ(settings_.changeCount, 1);
  EXPECT_EQ(settings_.currentProfile, 1);
  EXPECT_EQ(settings_.lastFtp, 0);
  EXPECT_EQ(Items(), QStringList({"copy", "source"}));
  EXPECT_EQ(list_->currentText(), "copy");
}

TEST_F(ProfileEditorAddTest, DuplicateIsRefusedButOtherCaseAndBlanksAreNames) {
  Stored("abc");
  Open();
  Retype(url_, "typed.example.org");
  Press(ids::kAddButton);
  EXPECT_EQ(ui::Dialogs::Shown(), QStringList({kDuplicate}));
  EXPECT_EQ(url_->text(), "typed.example.org");
  EXPECT_EQ(settings_.profileCount, 1);

  Retype(name_, "");
  Press(ids::kAddButton);
  EXPECT_EQ(settings_.profileCount, 1);
  for (const char* name : {"ABC", " "}) {
    Retype(name_, name);
    Press(ids::kAddButton);
  }
  EXPECT_EQ(Items(), QStringList({" ", "ABC", "abc"}));
  EXPECT_EQ(settings_.changeCount, 2);
  EXPECT_EQ(ui::Dialogs::Shown().size(), 1);
}

TEST_F(ProfileEditorAddTest, PrefixOfAnExistingNameSelectsTheNewItem) {
  Stored("server2");
  Open();
  Retype(name_, "server");
  Press(ids::kAddButton);
  EXPECT_EQ(list_->currentText(), "server");
  EXPECT_EQ(settings_.lastFtp, 0);
  EXPECT_EQ(settings_.profiles[settings_.currentProfile].name, "server");
}

TEST_F(ProfileEditorAddTest, TwentyProfilesRefuseANewOneSilently) {
  for (int number = 0; number < kMaxProfiles; ++number) {
    Stored("site" + std::to_string(number));
  }
  Open();
  Retype(name_, "one too many");
  Press(ids::kAddButton);
  EXPECT_EQ(settings_.profileCount, kMaxProfiles);
  EXPECT_EQ(list_->count(), kMaxProfiles);
  EXPECT_EQ(settings_.changeCount, 0);
  EXPECT_TRUE(ui::Dialogs::Shown().isEmpty());
}

TEST_F(ProfileEditorAddTest, NewDestinationTriesTlsWithFourConnectionsAndACopyTrustsNoCertificate) {
  Open();  // no profiles: the values of a new one
  EXPECT_EQ(Control<QComboBox>(editor_.get(), ids::kSecurity)->currentText(), "TLS (可能なら)");
  EXPECT_EQ(Control<QComboBox>(editor_.get(), ids::kNameEncoding)->currentText(), "自動");
  EXPECT_EQ(Control<QSpinBox>(editor_.get(), ids::kConnections)->value(), 4);
  Retype(name_, "new");
  Press(ids::kAddButton);
  ASSERT_EQ(settings_.profileCount, 1);
  EXPECT_EQ(settings_.profiles[0].security, kSecurityTlsIfAvailable);
  EXPECT_EQ(settings_.profiles[0].connections, 4);

  settings_.profiles[0].trustedFingerprint = AcceptedFingerprint();
  Open();
  Retype(name_, "copy");
  Press(ids::kAddButton);
  ASSERT_EQ(settings_.profileCount, 2);
  EXPECT_EQ(settings_.profiles[1].security, kSecurityTlsIfAvailable);
  EXPECT_EQ(settings_.profiles[1].trustedFingerprint, "");
  EXPECT_EQ(settings_.profiles[0].trustedFingerprint, AcceptedFingerprint());
}

// 除外するファイル: a new destination's patterns are shown to be changed,
// one stored without them shows none, and a pattern that cannot be read is
// refused with its reason by Add, Update and OK alike.
TEST_F(ProfileEditorAddTest, ExclusionPatternsAreShownAndAnUnreadableOneIsRefused) {
  Open();
  auto* patterns = Control<QPlainTextEdit>(editor_.get(), ids::kExcludePatterns);
  ASSERT_NE(patterns, nullptr);
  EXPECT_EQ(patterns->toPlainText().toStdString(), kNewDestinationExcludePatterns);
  Retype(name_, "site");
  patterns->setPlainText(QStringLiteral("*.psd\n[abc"));
  Press(ids::kAddButton);
  EXPECT_EQ(settings_.profileCount, 0);
  EXPECT_EQ(ui::Dialogs::Shown(),
            QStringList({QStringLiteral("除外するファイルのパターン「[abc」は使えません。\n"
                                        "「[」に対応する「]」が同じ名前の中にありません。")}));
  EXPECT_EQ(editor_->focusWidget(), patterns);
  Press(ids::kOkButton);
  EXPECT_TRUE(editor_->isVisible());

  patterns->setPlainText(QStringLiteral("*.psd\ndrafts/"));
  Press(ids::kAddButton);
  ASSERT_EQ(settings_.profileCount, 1);
  EXPECT_EQ(settings_.profiles[0].excludePatterns, "*.psd\ndrafts/");

  Stored("old");  // stored before patterns existed
  Open();
  const int old = list_->findText("old");
  list_->setCurrentIndex(old);
  emit list_->activated(old);
  patterns = Control<QPlainTextEdit>(editor_.get(), ids::kExcludePatterns);
  EXPECT_EQ(patterns->toPlainText(), QString());
  patterns->setPlainText(QStringLiteral("!keep"));
  Press(ids::kUpdateButton);
  EXPECT_EQ(settings_.profiles[1].excludePatterns, "");
  // Add, OK and Update each said why.
  EXPECT_EQ(ui::Dialogs::Shown().size(), 3);
}

using ProfileEditorUpdateTest = ProfileEditorTest;

TEST_F(ProfileEditorUpdateTest, RenameResortsAndKeepsFolderAndOptions) {
  Stored("alpha");
  Stored("beta");
  Open();  // alpha, slot 0
  Retype(name_, "zulu");
  Retype(port_, "990");
  Press(ids::kUpdateButton);
  EXPECT_EQ(Items(), QStringList({"beta", "zulu"}));
  EXPECT_EQ(list_->currentText(), "zulu");
  EXPECT_EQ(settings_.lastFtp, 1);
  const FtpProfile& updated = settings_.profiles[0];
  EXPECT_EQ(updated.name, "zulu");
  EXPECT_EQ(updated.port, 990);
  EXPECT_EQ(updated.localDir, "/home/site/alpha");
  EXPECT_EQ(updated.options, (TransferOptions{0, 1, 0, 1, 0}));
  EXPECT_EQ(settings_.changeCount, 1);
}

TEST_F(ProfileEditorUpdateTest, DataConnectionIsShownAndUpdatedWithTheServerData) {
  Stored("alpha").dataMode = kDataModeActive;
  Stored("beta");
  Open();
  auto* dataMode = Control<QComboBox>(editor_.get(), ids::kDataMode);
  EXPECT_EQ(dataMode->currentText(), "アクティブ");
  EXPECT_EQ(dataMode->count(), 3);
  dataMode->setCurrentIndex(1);  // パッシブ
  Press(ids::kUpdateButton);
  EXPECT_EQ(settings_.profiles[0].dataMode, kDataModePassive);

  settings_.lastFtp = 1;  // beta, stored without a mode
  Open();
  EXPECT_EQ(Control<QComboBox>(editor_.get(), ids::kDataMode)->currentText(), "自動");
}

TEST_F(ProfileEditorUpdateTest,
       SecurityNamesAndConnectionsAreUpdatedAndTheCertificateStaysWithItsServer) {
  FtpProfile& alpha = Stored("alpha");
  alpha.security = kSecurityTlsRequired;
  alpha.nameEncoding = kNameEncodingShiftJis;
  alpha.trustedFingerprint = AcceptedFingerprint();
  alpha.connections = 2;
  Stored("beta");
  Open();
  auto* security = Control<QComboBox>(editor_.get(), ids::kSecurity);
  auto* encoding = Control<QComboBox>(editor_.get(), ids::kNameEncoding);
  auto* connections = Control<QSpinBox>(editor_.get(), ids::kConnections);
  EXPECT_EQ(security->currentText(), "TLS 必須");
  EXPECT_EQ(encoding->currentText(), "Shift_JIS");
  EXPECT_EQ(connections->value(), 2);
  EXPECT_EQ(security->count(), 3);
  EXPECT_EQ(encoding->count(), 4);
  EXPECT_EQ(connections->minimum(), 1);
  EXPECT_EQ(connections->maximum(), 8);
  security->setCurrentIndex(1);  // TLS (可能なら)
  encoding->setCurrentIndex(3);  // EUC-JP
  connections->setValue(8);
  Press(ids::kUpdateButton);
  EXPECT_EQ(settings_.profiles[0].security, kSecurityTlsIfAvailable);
  EXPECT_EQ(settings_.profiles[0].nameEncoding, kNameEncodingEucJp);
  EXPECT_EQ(settings_.profiles[0].connections, 8);
  EXPECT_EQ(settings_.profiles[0].trustedFingerprint, AcceptedFingerprint());

  // Another server: its certificate is forgotten, and a second Update does
  // not bring it back.
  Retype(url_, "moved.example.org");
  Press(ids::kUpdateButton);
  Press(ids::kUpdateButton);
  EXPECT_EQ(settings_.profiles[0].url, "moved.example.org");
  EXPECT_EQ(settings_.profiles[0].trustedFingerprint, "");

  settings_.lastFtp = 1;  // beta, stored before these settings existed
  Open();
  EXPECT_EQ(Control<QComboBox>(editor_.get(), ids::kSecurity)->currentText(), "なし");
  EXPECT_EQ(Control<QComboBox>(editor_.get(), ids::kNameEncoding)->currentText(), "自動");
  EXPECT_EQ(Control<QSpinBox>(editor_.get(), ids::kConnections)->value(), 1);
}

TEST_F(ProfileEditorUpdateTest, WhatAutoDecidedIsShownBesideItAndGoesWithTheServer) {
  FtpProfile& alpha = Stored("alpha");
  alpha.url = "ftp.example.jp";
  alpha.autoNameEncoding = kNameEncodingShiftJis;
  Stored("beta");
  Open();
  auto* encoding = Control<QComboBox>(editor_.get(), ids::kNameEncoding);
  EXPECT_EQ(encoding->currentText(), "自動 (Shift_JIS)");
  Retype(name_, "renamed");
  Press(ids::kUpdateButton);
  EXPECT_EQ(settings_.profiles[0].autoNameEncoding, kNameEncodingShiftJis);
  EXPECT_EQ(encoding->currentText(), "自動 (Shift_JIS)");

  Retype(url_, "moved.example.org");
  Press(ids::kUpdateButton);
  EXPECT_EQ(settings_.profiles[0].autoNameEncoding, kNameEncodingAuto);
  EXPECT_EQ(encoding->currentText(), "自動");

  settings_.profiles[0].autoNameEncoding = kNameEncodingUtf8;
  settings_.lastFtp = 0;  // beta
  Open();
  EXPECT_EQ(Control<QComboBox>(editor_.get(), ids::kNameEncoding)->currentText(), "自動");
}

// 時刻の補正: a stored destination keeps the flag, which alone makes the
// check box count; 自動 shows what it learned, which goes with the server.
TEST_F(ProfileEditorUpdateTest, ClockChoiceShowsWhatAutoLearnedAndGoesWithTheServer) {
  FtpProfile& alpha = Stored("alpha");
  alpha.clockMode = kClockModeAuto;
  alpha.clockOffset = 540;
  Stored("beta");
  Open();
  auto* clock = Control<QComboBox>(editor_.get(), ids::kClockMode);
  auto* timeDifference = Control<QCheckBox>(editor_.get(), ids::kTimeDifference);
  EXPECT_EQ(clock->currentText(), "自動 (UTC+09:00)");
  EXPECT_FALSE(timeDifference->isEnabled());

  Retype(url_, "moved.example.org");
  Press(ids::kUpdateButton);
  EXPECT_EQ(settings_.profiles[0].clockOffset, kClockOffsetNotLearned);
  EXPECT_EQ(clock->currentText(), "自動");

  settings_.lastFtp = 1;  // beta, stored before the choice existed
  Open();
  clock = Control<QComboBox>(editor_.get(), ids::kClockMode);
  EXPECT_EQ(clock->currentText(), "時差補正");
  EXPECT_TRUE(Control<QCheckBox>(editor_.get(), ids::kTimeDifference)->isEnabled());
  clock->setCurrentIndex(kClockModeAuto);
  EXPECT_FALSE(Control<QCheckBox>(editor_.get(), ids::kTimeDifference)->isEnabled());
  Press(ids::kUpdateButton);
  EXPECT_EQ(settings_.profiles[1].clockMode, kClockModeAuto);

  // A new destination starts at 自動.
  settings_ = {};
  Open();
  EXPECT_EQ(Control<QComboBox>(editor_.get(), ids::kClockMode)->currentIndex(), kClockModeAuto);
}

// SFTP: the port moves between 21 and 22 only, the FTP-only choices and
// the key file take turns, and the clock note shows with SFTP.
TEST_F(ProfileEditorUpdateTest, ProtocolMovesTheDefaultPortAndEnablesItsOwnControls) {
  Stored("alpha");
  Open();
  auto* protocol = Control<QComboBox>(editor_.get(), ids::kProtocol);
  auto* keyFile = Control<QLineEdit>(editor_.get(), ids::kKeyFile);
  auto* browse = Control<QPushButton>(editor_.get(), ids::kKeyFileBrowseButton);
  auto* note = Control<QLabel>(editor_.get(), ids::kClockNote);
  std::vector<QWidget*> ftpOnly;
  for (const char* id : {ids::kDataMode, ids::kSecurity, ids::kNameEncoding})
    ftpOnly.push_back(Control<QComboBox>(editor_.get(), id));
  ASSERT_FALSE(HasFailure());
  const struct {
    const char* typedPort;
    int protocolPicked;
    const char* shownPort;
  } steps[] = {
      {"21", kProtocolSftp, "22"},    {"22", kProtocolFtp, "21"}, {"2222", kProtocolSftp, "2222"},
      {"2222", kProtocolFtp, "2222"}, {"x", kProtocolSftp, "x"},
  };
  for (const auto& step : steps) {
    Retype(port_, step.typedPort);
    protocol->setCurrentIndex(step.protocolPicked);
    const bool sftp = step.protocolPicked == kProtocolSftp;
    EXPECT_EQ(port_->text(), step.shownPort) << step.typedPort;
    for (QWidget* control : ftpOnly)
      EXPECT_EQ(control->isEnabled(), !sftp) << control->objectName().toStdString();
    EXPECT_EQ(keyFile->isEnabled(), sftp);
    EXPECT_EQ(browse->isEnabled(), sftp);
    EXPECT_EQ(note->isVisible(), sftp);
  }

  // Saved with Update, and shown again when the editor opens.
  protocol->setCurrentIndex(kProtocolFtp);
  Retype(port_, "21");
  protocol->setCurrentIndex(kProtocolSftp);
  ui::Dialogs::QueueFolder(QStringLiteral("/home/me/.ssh/site_key"));
  QTest::mouseClick(browse, Qt::LeftButton);
  EXPECT_EQ(ui::Dialogs::Shown(), QStringList({QStringLiteral("鍵ファイル")}));
  Press(ids::kUpdateButton);
  EXPECT_EQ(settings_.profiles[0].protocol, kProtocolSftp);
  EXPECT_EQ(settings_.profiles[0].port, 22);
  EXPECT_EQ(settings_.profiles[0].keyFile, "/home/me/.ssh/site_key");
  Open();
  EXPECT_EQ(Control<QComboBox>(editor_.get(), ids::kProtocol)->currentText(), "SFTP");
  EXPECT_EQ(port_->text(), "22");
  EXPECT_EQ(Control<QLineEdit>(editor_.get(), ids::kKeyFile)->text(), "/home/me/.ssh/site_key");
  EXPECT_FALSE(Control<QComboBox>(editor_.get(), ids::kSecurity)->isEnabled());
}

TEST_F(ProfileEditorUpdateTest, OtherProfilesNameOrEmptyNameChangesNothing) {
  Stored("first");
  Stored("second");
  Open();  // first
  Retype(name_, "second");
  Retype(url_, "typed.example.org");
  Press(ids::kUpdateButton);
  EXPECT_EQ(ui::Dialogs::Shown(), QStringList({kDuplicate}));
  EXPECT_EQ(name_->text(), "first");
  EXPECT_EQ(url_->text(), "typed.example.org");

  Retype(name_, "");
  Press(ids::kUpdateButton);
  EXPECT_EQ(settings_.profiles[0].name, "first");
  EXPECT_EQ(settings_.profiles[0].url, "first.example.org");
  EXPECT_EQ(settings_.changeCount, 0);
}

using ProfileEditorDeleteTest = ProfileEditorTest;

TEST_F(ProfileEditorDeleteTest, FirstItemLeavesNoSelectionSoUpdateAndDeleteDoNothing) {
  Stored("b");
  Stored("a");
  Stored("c");
  Open();  // a, slot 1
  Press(ids::kDeleteButton);
  EXPECT_EQ(Items(), QStringList({"b", "c"}));
  EXPECT_EQ(list_->currentIndex(), -1);
  EXPECT_EQ(settings_.lastFtp, -1);
  EXPECT_TRUE(name_->text().isEmpty());

  Retype(name_, "renamed");
  Press(ids::kUpdateButton);
  Press(ids::kDeleteButton);
  ASSERT_EQ(settings_.profileCount, 2);
  EXPECT_EQ(settings_.profiles[0].name, "b");
  EXPECT_EQ(settings_.profiles[1].name, "c");
  EXPECT_EQ(settings_.changeCount, 1);
}

TEST_F(ProfileEditorDeleteTest, ThirdItemSelectsSecondAndOthersKeepTheirOrder) {
  Stored("c");
  Stored("a");
  Stored("b");
  Stored("d");
  settings_.lastFtp = 2;  // c, slot 0
  Open();
  Press(ids::kDeleteButton);
  EXPECT_EQ(list_->currentText(), "b");
  EXPECT_EQ(url_->text(), "b.example.org");
  EXPECT_EQ(settings_.lastFtp, 1);
  ASSERT_EQ(settings_.profileCount, 3);
  EXPECT_EQ(settings_.profiles[0].name, "a");
  EXPECT_EQ(settings_.profiles[1].name, "b");
  EXPECT_EQ(settings_.profiles[2].localDir, "/home/site/d");
  EXPECT_EQ(settings_.currentProfile, 1);
}

TEST_F(ProfileEditorDeleteTest, OnlyItemLeavesEmptyList) {
  Stored("only");
  Open();
  Press(ids::kDeleteButton);
  EXPECT_EQ(settings_.profileCount, 0);
  EXPECT_EQ(list_->count(), 0);
  EXPECT_EQ(settings_.lastFtp, -1);
  EXPECT_EQ(settings_.profiles[0], FtpProfile{});
}

TEST_F(ProfileEditorTest, OkWithoutAddOrUpdateChangesNoProfile) {
  Stored("site");
  const FtpProfile before = settings_.profiles[0];
  Open();
  Retype(name_, "changed");
  Retype(url_, "changed.example.org");
  Press(ids::kOkButton);
  EXPECT_EQ(editor_->result(), QDialog::Accepted);
  EXPECT_FALSE(editor_->isVisible());
  EXPECT_EQ(settings_.profiles[0], before);
}

// The port: a whole number from 1 to 65535, blanks around it allowed.
struct PortCase {
  const char* typed;
  int stored;  // 0: refused
  bool notInteger;
};

void PrintTo(const PortCase& port, std::ostream* out) {
  *out << '"' << port.typed << '"';
}

class ProfileEditorPortTest : public ProfileEditorTest,
                              public ::testing::WithParamInterface<PortCase> {};

TEST_P(ProfileEditorPortTest, AddAndOkCheckThePort) {
  const PortCase& port = GetParam();
  Open();
  Retype(name_, "site");
  Retype(port_, port.typed);
  Press(ids::kAddButton);
  if (port.stored != 0) {
    ASSERT_EQ(settings_.profileCount, 1);
    EXPECT_EQ(settings_.profiles[0].port, port.stored);
    EXPECT_TRUE(ui::Dialogs::Shown().isEmpty());
    return;
  }
  EXPECT_EQ(settings_.profileCount, 0);
  EXPECT_EQ(ui::Dialogs::Shown(), QStringList({port.notInteger ? kNotInteger : kOutOfRange}));
  EXPECT_EQ(editor_->focusWidget(), port_);
  EXPECT_EQ(port_->selectedText(), port_->text());
  Press(ids::kOkButton);
  EXPECT_TRUE(editor_->isVisible());
}

INSTANTIATE_TEST_SUITE_P(Ports, ProfileEditorPortTest,
                         ::testing::Values(PortCase{"1", 1, false}, PortCase{"65535", 65535, false},
                                           PortCase{" 2121 ", 2121, false},
                                           PortCase{"+990", 990, false}, PortCase{"0", 0, false},
                                           PortCase{"65536", 0, false}, PortCase{"-21", 0, false},
                                           PortCase{"99999999999999999999", 0, false},
                                           PortCase{"", 0, true}, PortCase{"21a", 0, true},
                                           PortCase{"2 1", 0, true}, PortCase{"２１", 0, true}));

// 接続テスト tests what the fields hold, stored or not, and shows every
// step's line in one box; it changes no destination by itself.
TEST_F(ProfileEditorTest, ConnectionTestShowsTheStepsOfTheTypedValuesInABox) {
  const QString port = QString::number(testing::ClosedPort());
  Stored("site");
  const AppSettings before = settings_;
  Open();
  Retype(url_, "127.0.0.1");
  Retype(port_, port);

  Press(ids::kConnectionTestButton);

  const QStringList shown = ui::Dialogs::Shown();
  ASSERT_EQ(shown.size(), 1);
  const QStringList lines = shown[0].split(QLatin1Char('\n'));
  ASSERT_EQ(lines.size(), 2) << shown[0].toStdString();
  EXPECT_EQ(lines[0], "resolve: ok");
  EXPECT_TRUE(lines[1].startsWith("connect: ")) << lines[1].toStdString();
  EXPECT_TRUE(lines[1].contains(port));
  EXPECT_TRUE(lines[1].endsWith(": check ＵＲＬ and ポート")) << lines[1].toStdString();
  EXPECT_EQ(settings_.profiles[0], before.profiles[0]);
  EXPECT_EQ(settings_.changeCount, 0);
  EXPECT_EQ(url_->text(), "127.0.0.1");
}

TEST_F(ProfileEditorTest, PasswordTakesAtMost256Utf8BytesSoItReadsBack) {
  Open();
  Retype(password_, QString(300, u'p'));
  EXPECT_EQ(password_->text().size(), 256);
  Retype(password_, QString(100, u'あ'));  // three bytes each
  EXPECT_EQ(password_->text().size(), 85);
  EXPECT_EQ(password_->echoMode(), QLineEdit::Password);
}

}  // namespace
}  // namespace velmorix
