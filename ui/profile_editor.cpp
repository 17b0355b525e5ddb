#include "ui/profile_editor.h"

#include <optional>

#include <QCheckBox>
#include <QComboBox>
#include <QLabel>
#include <QLineEdit>
#include <QPushButton>
#include <QValidator>

#include "resources/string_table.h"
#include "ui/control_names.h"
#include "ui/destination_list.h"
#include "ui/dialog_metrics.h"
#include "ui/dialogs.h"

namespace velmorix::ui {
namespace {

constexpr int kLowestPort = 1;
constexpr int kHighestPort = 65535;
// The store reads a password back only up to this many bytes, so the field
// takes no more.
constexpr int kMaxPasswordBytes = 256;

QString FromTable(std::string_view text) {
  return QString::fromUtf8(text.data(), static_cast<qsizetype>(text.size()));
}

// Refuses any edit that would make the text longer than a number of UTF-8 bytes.
class Utf8LengthValidator : public QValidator {
 public:
  Utf8LengthValidator(int maxBytes, QObject* parent) : QValidator(parent), maxBytes_(maxBytes) {}

  State validate(QString& input, int& /*position*/) const override {
    return input.toUtf8().size() <= maxBytes_ ? Acceptable : Invalid;
  }

 private:
  int maxBytes_;
};

enum class PortCheck { kValid, kNotWholeNumber, kOutOfRange };

// A whole number with blanks around it; an optional sign, then digits. An
// empty field is not a number. Numbers too long for any integer type are
// still whole numbers, only out of range.
PortCheck CheckPort(const QString& text, int32_t& port) {
  const QString trimmed = text.trimmed();
  qsizetype at = 0;
  bool negative = false;
  if (at < trimmed.size() && (trimmed[at] == u'+' || trimmed[at] == u'-')) {
    negative = trimmed[at] == u'-';
    ++at;
  }
  if (at == trimmed.size()) {
    return PortCheck::kNotWholeNumber;
  }
  int64_t value = 0;
  for (; at < trimmed.size(); ++at) {
    const char16_t digit = trimmed[at].unicode();
    if (digit < u'0' || digit > u'9') {
      return PortCheck::kNotWholeNumber;
    }
    if (value <= kHighestPort) {
      value = value * 10 + (digit - u'0');
    }
  }
  if (negative) {
    value = -value;
  }
  if (value < kLowestPort || value > kHighestPort) {
    return PortCheck::kOutOfRange;
  }
  port = static_cast<int32_t>(value);
  return PortCheck::kValid;
}

QLabel* AddLabel(QWidget* parent, const DialogUnits& units, const char* text, int x, int y,
                 int width, int height) {
  auto* label = new QLabel(QString::fromUtf8(text), parent);
  Place(label, units, x, y, width, height);
  return label;
}

QLineEdit* AddEdit(QWidget* parent, const DialogUnits& units, const char* name, int x, int y,
                   int width, int height) {
  auto* edit = new QLineEdit(parent);
  edit->setObjectName(name);
  Place(edit, units, x, y, width, height);
  return edit;
}

}  // namespace

ProfileEditor::ProfileEditor(AppSettings& settings, QWidget* parent)
    : QDialog(parent, Qt::Dialog | Qt::WindowTitleHint | Qt::WindowSystemMenuHint |
                          Qt::WindowCloseButtonHint),
      settings_(settings) {
  namespace ids = profile_editor;
  setWindowTitle(QStringLiteral("VELMORIX"));
  setFont(DialogFont());
  const DialogUnits units(font());
  setFixedSize(units.Size(175, 151));

  // The controls are created in tab order; the labels take no focus.
  list_ = new QComboBox(this);
  list_->setObjectName(ids::kProfileList);
  list_->setGeometry(units.X(6), units.Y(11), units.X(115), list_->sizeHint().height());
  nameField_ = AddEdit(this, units, ids::kName, 7, 37, 115, 12);
  urlField_ = AddEdit(this, units, ids::kUrl, 7, 62, 115, 12);
  remoteDirField_ = AddEdit(this, units, ids::kRemoteDir, 7, 86, 115, 12);
  userIdField_ = AddEdit(this, units, ids::kUserId, 7, 113, 55, 12);
  passwordField_ = AddEdit(this, units, ids::kPassword, 67, 113, 55, 12);
  passwordField_->setEchoMode(QLineEdit::Password);
  passwordField_->setValidator(new Utf8LengthValidator(kMaxPasswordBytes, passwordField_));
  // Wider than the 17 units that three digits needed: ports go up to 65535.
  portField_ = AddEdit(this, units, ids::kPort, 124, 62, 28, 12);
  auto* add = AddButton(this, units, ids::kAddButton, "追加", 7, 132, 35, 12);
  auto* update = AddButton(this, units, ids::kUpdateButton, "更新", 46, 132, 35, 12);
  auto* remove = AddButton(this, units, ids::kDeleteButton, "削除", 86, 132, 35, 12);
  auto* ok = AddButton(this, units, ids::kOkButton, "OK", 133, 9, 35, 14);
  ok->setDefault(true);
  auto* cancel = AddButton(this, units, ids::kCancelButton, "ｷｬﾝｾﾙ", 133, 27, 35, 14);
  AddLabel(this, units, "ＦＴＰサーバー名", 7, 1, 53, 8);
  AddLabel(this, units, "サーバーパス", 7, 76, 56, 8);
  AddLabel(this, units, "ログインＩＤ", 7, 103, 48, 8);
  AddLabel(this, units, "パスワード", 69, 103, 32, 8);
  AddLabel(this, units, "ポート", 124, 51, 19, 8);
  AddLabel(this, units, "ＵＲＬ", 7, 51, 17, 8);
  AddLabel(this, units, "サーバー名", 7, 28, 36, 8);
  timeDifferenceBox_ = new QCheckBox(QStringLiteral("時差補正"), this);
  timeDifferenceBox_->setObjectName(ids::kTimeDifference);
  Place(timeDifferenceBox_, units, 125, 88, 39, 10);

  // activated, not currentIndexChanged: only the user's picks load the
  // fields; the editor's own selections do that themselves.
  connect(list_, &QComboBox::activated, this, &ProfileEditor::SelectionChanged);
  connect(add, &QPushButton::clicked, this, &ProfileEditor::AddProfile);
  connect(update, &QPushButton::clicked, this, &ProfileEditor::UpdateProfile);
  connect(remove, &QPushButton::clicked, this, &ProfileEditor::DeleteProfile);
  connect(ok, &QPushButton::clicked, this, &ProfileEditor::accept);
  connect(cancel, &QPushButton::clicked, this, &ProfileEditor::reject);

  // Open: the fields start with the values of a new profile, then show the
  // stored selection (the first item when none usable was stored).
  ShowFields();
  if (FillDestinationListAndSelect(list_, settings_)) {
    LoadFieldsFromCurrentProfile();
  }
  list_->setFocus();
}

void ProfileEditor::accept() {
  if (!ReadFields()) {
    return;
  }
  QDialog::accept();
}

void ProfileEditor::ShowFields() {
  nameField_->setText(QString::fromStdString(name_));
  urlField_->setText(QString::fromStdString(url_));
  remoteDirField_->setText(QString::fromStdString(remoteDir_));
  userIdField_->setText(QString::fromStdString(userId_));
  passwordField_->setText(QString::fromStdString(password_));
  portField_->setText(QString::number(port_));
  timeDifferenceBox_->setChecked(timeDifference_ != 0);
}

bool ProfileEditor::ReadFields() {
  name_ = nameField_->text().toStdString();
  url_ = urlField_->text().toStdString();
  remoteDir_ = remoteDirField_->text().toStdString();
  userId_ = userIdField_->text().toStdString();
  password_ = passwordField_->text().toStdString();
  timeDifference_ = timeDifferenceBox_->isChecked() ? 1 : 0;

  int32_t port = 0;
  const PortCheck check = CheckPort(portField_->text(), port);
  if (check == PortCheck::kValid) {
    port_ = port;
    return true;
  }
  if (check == PortCheck::kNotWholeNumber) {
    Dialogs::Warn(this, FromTable(strings::kEnterInteger));
  } else {
    Dialogs::Warn(this,
                  FromTable(strings::kEnterIntegerInRange).arg(kLowestPort).arg(kHighestPort));
  }
  portField_->setFocus();
  portField_->selectAll();
  return false;
}

ProfileEditor::FieldsCheck ProfileEditor::ReadProfileFields(int except) {
  if (!ReadFields()) {
    return FieldsCheck::kRefused;
  }
  if (name_.empty()) {
    return FieldsCheck::kRefused;
  }
  for (int index = 0; index < settings_.profileCount; ++index) {
    if (index != except && settings_.profiles[index].name == name_) {
      Dialogs::Warn(this, FromTable(strings::kDuplicateName));
      return FieldsCheck::kDuplicateName;
    }
  }
  return FieldsCheck::kAccepted;
}

void ProfileEditor::StoreServerData(FtpProfile& profile) const {
  profile.name = name_;
  profile.url = url_;
  profile.userId = userId_;
  profile.password = password_;
  profile.remoteDir = remoteDir_;
  profile.port = port_;
  profile.timeDifference = timeDifference_;
}

void ProfileEditor::ClearMembers() {
  userId_.clear();
  password_.clear();
  remoteDir_.clear();
  port_ = kDefaultPort;
  url_.clear();
  name_.clear();
  timeDifference_ = 0;
}

void ProfileEditor::LoadFieldsFromCurrentProfile() {
  const int current = settings_.currentProfile;
  if (current < 0 || current >= settings_.profileCount) {
    ClearMembers();
  } else {
    const FtpProfile& profile = settings_.profiles[current];
    name_ = profile.name;
    url_ = profile.url;
    userId_ = profile.userId;
    password_ = profile.password;
    remoteDir_ = profile.remoteDir;
    port_ = profile.port;
    timeDifference_ = profile.timeDifference;
  }
  ShowFields();
}

// A pick in the list loads the picked profile. What was typed for the
// previous one and not applied with Update is dropped, as the user expects
// from a list of stored entries.
void ProfileEditor::SelectionChanged() {
  settings_.lastFtp = list_->currentIndex();
  settings_.FindProfile(DestinationNameAt(list_, settings_.lastFtp));
  LoadFieldsFromCurrentProfile();
}

void ProfileEditor::AddProfile() {
  if (settings_.profileCount >= kMaxProfiles) {
    return;
  }
  if (ReadProfileFields(-1) != FieldsCheck::kAccepted) {
    return;
  }

  const int position = InsertDestinationName(list_, name_);
  // A fresh slot: the new profile takes the fields' server data, an empty
  // local folder and all five options on.
  FtpProfile& slot = settings_.profiles[settings_.profileCount];
  slot = FtpProfile{};
  StoreServerData(slot);
  ++settings_.changeCount;
  ++settings_.profileCount;
  settings_.currentProfile = settings_.profileCount - 1;

  list_->setCurrentIndex(position);
  settings_.lastFtp = position;
}

void ProfileEditor::UpdateProfile() {
  const int current = settings_.currentProfile;
  if (settings_.lastFtp < 0 || current < 0 || current >= settings_.profileCount) {
    return;
  }
  const FieldsCheck check = ReadProfileFields(current);
  if (check == FieldsCheck::kDuplicateName) {
    // The name field goes back to the profile's own name; the other fields
    // keep what was typed.
    name_ = settings_.profiles[current].name;
    ShowFields();
  }
  if (check != FieldsCheck::kAccepted) {
    return;
  }

  list_->removeItem(settings_.lastFtp);
  const int position = InsertDestinationName(list_, name_);
  // Only the server data changes; the profile keeps its local folder and options.
  StoreServerData(settings_.profiles[current]);
  ++settings_.changeCount;

  list_->setCurrentIndex(position);
  settings_.lastFtp = position;
}

void ProfileEditor::DeleteProfile() {
  const int current = settings_.currentProfile;
  if (settings_.lastFtp < 0 || current < 0 || current >= settings_.profileCount) {
    return;
  }
  // The profiles after it move one slot forward, keeping their order; the
  // slot that falls free is cleared.
  for (int index = current; index + 1 < settings_.profileCount; ++index) {
    settings_.profiles[index] = std::move(settings_.profiles[index + 1]);
  }
  settings_.profiles[settings_.profileCount - 1] = FtpProfile{};
  list_->removeItem(settings_.lastFtp);
  --settings_.profileCount;
  ++settings_.changeCount;

  if (settings_.lastFtp >= 1) {
    list_->setCurrentIndex(settings_.lastFtp - 1);
    SelectionChanged();
    return;
  }
  // The first item is gone and nothing is selected: the fields show the
  // values of a new profile rather than those of a profile no longer shown.
  list_->setCurrentIndex(-1);
  settings_.lastFtp = -1;
  settings_.currentProfile = -1;
  ClearMembers();
  ShowFields();
}

}  // namespace velmorix::ui
