// The boxes and the folder picker as the windows show them, unscripted, with
// Qt's Japanese texts installed as the program installs them: their buttons'
// texts, their font and the picker's start folder.
#include "ui/dialogs.h"

#include <QAbstractButton>
#include <QDialog>
#include <QFileDialog>
#include <QFontInfo>
#include <QPushButton>

#include <gtest/gtest.h>

#include "tests/support/test_ftp_server.h"
#include "tests/ui/window_test_support.h"
#include "ui/dialog_metrics.h"
#include "ui/window_program.h"

namespace velmorix {
namespace {

using testing::WhenModal;
using ui::Dialogs;

const QString kWindowsFont = QStringLiteral("IPAPGothic");

class DialogsTest : public ::testing::Test {
 protected:
  static void SetUpTestSuite() { ASSERT_TRUE(ui::InstallQtJapaneseTexts()); }

  // A window in the windows' font, as every box's parent is.
  void SetUp() override { parent_.setFont(ui::DialogFont()); }

  QDialog parent_;
};

TEST_F(DialogsTest, QuestionButtonsAreJapaneseNotEnglish) {
  QStringList texts;
  WhenModal<QMessageBox>([&texts](QMessageBox& box) {
    for (const auto which : {QMessageBox::Yes, QMessageBox::No, QMessageBox::Cancel}) {
      texts.append(box.button(which) != nullptr ? box.button(which)->text() : QString());
    }
    box.button(QMessageBox::No)->click();
  });
  EXPECT_EQ(Dialogs::AskYesNoCancel(&parent_, QStringLiteral("削除しますか。")), QMessageBox::No);
  // The mnemonic stays Latin, as Qt's Japanese texts have it.
  EXPECT_EQ(texts, QStringList({"はい(&Y)", "いいえ(&N)", "キャンセル"}));
}

// A certificate to trust or a mass deletion: Enter answers いいえ.
TEST_F(DialogsTest, YesNoQuestionsDefaultToNo) {
  bool noIsDefault = false;
  WhenModal<QMessageBox>([&noIsDefault](QMessageBox& box) {
    noIsDefault = static_cast<QAbstractButton*>(box.defaultButton()) == box.button(QMessageBox::No);
    box.defaultButton()->click();
  });
  EXPECT_EQ(Dialogs::AskYesNo(&parent_, QStringLiteral("信頼しますか？")), QMessageBox::No);
  EXPECT_TRUE(noIsDefault);
}

TEST_F(DialogsTest, BoxesTakeTheWindowsFontNotTheFallback) {
  QString boxFont;
  QString buttonFont;
  QString okText;
  WhenModal<QMessageBox>([&](QMessageBox& box) {
    boxFont = QFontInfo(box.font()).family();
    QAbstractButton* ok = box.button(QMessageBox::Ok);
    buttonFont = QFontInfo(ok->font()).family();
    okText = ok->text();
    ok->click();
  });
  EXPECT_EQ(Dialogs::Warn(&parent_, QStringLiteral("警告")), QMessageBox::Ok);
  EXPECT_EQ(boxFont, kWindowsFont);
  EXPECT_EQ(buttonFont, kWindowsFont);
  EXPECT_EQ(okText, "OK");
}

TEST_F(DialogsTest, PickerIsJapaneseInTheWindowsFontAndOpensAtTheStartFolder) {
  testing::TempDir start;
  const QString startFolder = QString::fromStdString(start.str());
  QString shownFolder;
  QString font;
  QStringList buttons;
  WhenModal<QFileDialog>([&](QFileDialog& picker) {
    shownFolder = picker.directory().absolutePath();
    font = QFontInfo(picker.font()).family();
    buttons = {picker.labelText(QFileDialog::Accept), picker.labelText(QFileDialog::Reject)};
    static_cast<QDialog&>(picker).accept();  // QFileDialog hides it
  });
  EXPECT_EQ(Dialogs::PickFolder(&parent_, QStringLiteral("ｺﾋﾟｰするﾎﾙﾀﾞ"), startFolder),
            startFolder);
  EXPECT_EQ(shownFolder, startFolder);
  EXPECT_EQ(font, kWindowsFont);
  EXPECT_EQ(buttons, QStringList({"選択(&C)", "キャンセル"}));
}

}  // namespace
}  // namespace velmorix
