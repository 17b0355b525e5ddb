#include "ui/about_box.h"

#include <QLabel>
#include <QPushButton>

#include "base/version.h"
#include "ui/control_names.h"
#include "ui/dialog_metrics.h"
#include "ui/program_icon.h"

namespace velmorix::ui {

AboutBox::AboutBox(QWidget* parent)
    : QDialog(parent, Qt::Dialog | Qt::WindowTitleHint | Qt::WindowSystemMenuHint |
                          Qt::WindowCloseButtonHint) {
  setWindowTitle(QStringLiteral("VELMORIX"));
  setFont(DialogFont());
  const DialogUnits units(font());
  setFixedSize(units.Size(217, 55));

  // An icon control takes the icon's own size, 32 × 32 pixels.
  auto* icon = new QLabel(this);
  icon->setObjectName(about_box::kIcon);
  icon->setPixmap(ProgramIconPixmap(32));
  icon->setGeometry(units.X(11), units.Y(17), 32, 32);

  // Plain text: an "&" in the line would be shown as it is.
  auto* version =
      new QLabel(QStringLiteral("VELMORIX Version ") + QString::fromLatin1(kVersion), this);
  version->setObjectName(about_box::kVersionLine);
  version->setTextFormat(Qt::PlainText);
  Place(version, units, 40, 10, 119, 8);

  // Below the version line, in the room the box already had.
  auto* connection = new QLabel(
      QStringLiteral(
          "データ接続・セキュリティ・文字コード・\n同時接続数は、FTP設定で転送先ごとに選べます。"),
      this);
  connection->setObjectName(about_box::kConnectionLine);
  connection->setTextFormat(Qt::PlainText);
  Place(connection, units, 40, 24, 170, 18);

  auto* licence = new QLabel(QStringLiteral("Copyright © 2026 Quenzari  MIT License"), this);
  licence->setObjectName(about_box::kLicenceLine);
  licence->setTextFormat(Qt::PlainText);
  Place(licence, units, 40, 44, 170, 8);

  auto* ok = new QPushButton(QStringLiteral("OK"), this);
  ok->setObjectName(about_box::kOkButton);
  ok->setDefault(true);
  Place(ok, units, 178, 7, 32, 14);
  connect(ok, &QPushButton::clicked, this, &QDialog::accept);
  ok->setFocus();
}

}  // namespace velmorix::ui
