// The boxes and the folder picker as the windows show them, unscripted, with
// Qt's Japanese texts installed as the program installs them: their buttons'
// texts, their font and the picker's start folder.
#include "ui/dialogs.h"

#include <QAbstractButton>
#include <QDialog>
#include <QFileDialog>
#include <QFontInfo>
#include <QLabel>
#include <QPushButton>
#include <QTextBlock>
#include <QTextDocument>
#include <QTextLayout>

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

// The lines in which a shown box has laid out its text.
QStringList LaidOutLines(QMessageBox& box) {
  QStringList lines;
  auto* label = box.findChild<QLabel*>(QStringLiteral("qt_msgbox_label"));
  auto* document = label != nullptr ? label->findChild<QTextDocument*>() : nullptr;
  if (document == nullptr) {
    ADD_FAILURE() << "the box's text is not laid out in a document";
    return lines;
  }
  // Painting lays the text out at the label's width; measuring the box may
  // have left it laid out at another.
  label->grab();
  for (QTextBlock block = document->begin(); block.isValid(); block = block.next()) {
    const QTextLayout* layout = block.layout();
    for (int i = 0; i < layout->lineCount(); ++i) {
      const QTextLine line = layout->lineAt(i);
      lines.append(block.text().mid(line.textStart(), line.textLength()).trimmed());
    }
  }
  return lines;
}

// The places where `lines` break `text` with neither a space nor a line
// break of its own there, as the two characters around the break; fails
// when the lines are not the text.
QStringList BreaksWithoutSpace(const QString& text, const QStringList& lines) {
  QStringList breaks;
  qsizetype at = 0;
  for (const QString& line : lines) {
    const qsizetype lineStart = at;
    while (at < text.size() && text[at].isSpace())
      ++at;
    if (!text.mid(at).startsWith(line)) {
      ADD_FAILURE() << "the lines lost or changed the text at \"" << line.toStdString() << '"';
      return breaks;
    }
    if (at == lineStart && at > 0 && !line.isEmpty())
      breaks.append(text.mid(at - 1, 2));
    at += line.size();
  }
  EXPECT_EQ(text.mid(at).trimmed(), QString()) << "the lines end before the text";
  return breaks;
}

bool IsLatin(QChar character) {
  return character.unicode() > 0x20 && character.unicode() < 0x7F;
}

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

// A question's host names, issuers and paths are read whole: Qt breaks them
// after a hyphen, a slash or a colon before a digit. Only a fingerprint too
// long for a line is broken, after a colon.
TEST_F(DialogsTest, QuestionsBreakNoLatinWordInside) {
  QString fingerprint = QStringLiteral("SHA256:");
  for (int pair = 0; pair < 32; ++pair)
    fingerprint += QStringLiteral("%1%2")
                       .arg(pair == 0 ? "" : ":")
                       .arg(pair * 37 % 256, 2, 16, QLatin1Char('0'));
  const QString cases[] = {
      QStringLiteral("サーバーの証明書を確認できませんでした。\n"
                     "理由: 自己署名の証明書です (信頼された認証局の署名がありません)\n"
                     "発行先: CN = ftp-01.sample-shop.web-hosting.example.co.jp, O = "
                     "Sample-Shop Web-Hosting-Services, OU = "
                     "Customer-Support/Server-Operations-Department/Tokyo-Data-Center\n"
                     "SHA-256 フィンガープリント: ") +
          fingerprint.toUpper() + QStringLiteral("\n\nこの証明書を信頼して接続しますか？"),
      // Japanese next to Latin words with no space between them.
      QStringLiteral("発行者: O = 株式会社サンプル商店web-hosting-partners事業部・"
                     "東京本社ftp-gateway-01.example.co.jpサービス"),
      QStringLiteral("FTP の 40 件のうち 40 件を削除しようとしています。\n"
                     "Delete file on FTP : /public_html/news/2024/spring-campaign-special-offer."
                     "html\nRemove directory on FTP : /public_html/images-2024/summer-sale\n\n"
                     "削除してもよろしいですか。"),
  };
  for (const QString& text : cases) {
    QStringList lines;
    WhenModal<QMessageBox>([&lines](QMessageBox& box) {
      lines = LaidOutLines(box);
      box.button(QMessageBox::No)->click();
    });
    EXPECT_EQ(Dialogs::AskYesNo(&parent_, text), QMessageBox::No);
    // The text was long enough to be wrapped at all.
    EXPECT_GT(lines.size(), text.count(QLatin1Char('\n')) + 1) << text.toStdString();
    for (const QString& pair : BreaksWithoutSpace(text, lines)) {
      EXPECT_FALSE(IsLatin(pair[0]) && IsLatin(pair[1]) && pair[0] != QLatin1Char(':'))
          << "broken inside a word at \"" << pair.toStdString() << "\" of " << text.toStdString();
    }
  }
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
