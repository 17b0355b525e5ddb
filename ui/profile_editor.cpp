#include "ui/profile_editor.h"

#include <optional>

#include <QCheckBox>
#include <QComboBox>
#include <QDir>
#include <QFileInfo>
#include <QLabel>
#include <QLineEdit>
#include <QPlainTextEdit>
#include <QPushButton>
#include <QSpinBox>
#include <QValidator>

#include "engine/cancel_event.h"
#include "engine/connection_check.h"
#include "engine/server_clock.h"
#include "resources/string_table.h"
#include "settings/destinations.h"
#include "settings/exclusion_patterns.h"
#include "sftp/sftp_connector.h"
#include "ui/control_names.h"
#include "ui/destination_list.h"
#include "ui/dialog_metrics.h"
#include "ui/dialogs.h"
#include "ui/progress_console.h"

namespace velmorix::ui {
namespace {

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

QLabel* AddLabel(QWidget* parent, const DialogUnits& units, const char* text, int x, int y,
                 int width, int height) {
  auto* label = new QLabel(QString::fromUtf8(text), parent);
  Place(label, units, x, y, width, height);
  return label;
}

// The rows of connection settings below the template's controls: the
// protocol and the key file, the FTP-only rows, and a last one for the note
// that SFTP needs no clock correction.
constexpr int kConnectionRows = 9;
constexpr int kConnectionRowHeight = 16;

// The exclusion patterns below the connection rows: a label, then a field
// of several lines across the editor.
constexpr int kExclusionTop = 151 + kConnectionRows * kConnectionRowHeight;
constexpr int kExclusionHeight = 60;

// Why a pattern cannot be read, in the editor's words.
QString PatternProblemWords(PatternProblem problem) {
  switch (problem) {
    case PatternProblem::kNone:
      break;
    case PatternProblem::kNegation:
      return QStringLiteral(
          "「!」で始まるパターン (除外の取り消し) "
          "は使えません。「!」で始まる名前は「\\!」と書いてください。");
    case PatternProblem::kUnclosedSet:
      return QStringLiteral("「[」に対応する「]」が同じ名前の中にありません。");
    case PatternProblem::kReversedRange:
      return QStringLiteral("[ ] の中の範囲が逆順です。");
    case PatternProblem::kTrailingEscape:
      return QStringLiteral("末尾の「\\」の後に文字がありません。");
    case PatternProblem::kDoubleStarInName:
      return QStringLiteral(
          "「**」はフォルダー名全体としてだけ使えます "
          "(a/**/b、**/b、a/**)。名前の中では「*」を使ってください。");
    case PatternProblem::kEmptyFolderName:
      return QStringLiteral("「//」でフォルダー名が空になっています。");
    case PatternProblem::kDotFolderName:
      return QStringLiteral("「.」と「..」はフォルダー名として使えません。");
    case PatternProblem::kNoName:
      return QStringLiteral("パターンが何も指していません。");
    case PatternProblem::kNotUtf8:
      return QStringLiteral("UTF-8 でない文字が含まれています。");
    case PatternProblem::kLineBreak:
      return QStringLiteral("パターンに改行は含められません。");
  }
  return {};
}

// The top of connection row `row`, with its label at the left.
int AddConnectionRow(QWidget* parent, const DialogUnits& units, const char* label, int row) {
  const int y = 151 + row * kConnectionRowHeight;
  AddLabel(parent, units, label, 7, y + 2, 50, 8);
  return y;
}

// A labelled drop-down list in connection row `row`, its items in the order
// of the setting's values.
QComboBox* AddChoice(QWidget* parent, const DialogUnits& units, const char* name, const char* label,
                     int row, std::initializer_list<const char*> items) {
  const int y = AddConnectionRow(parent, units, label, row);
  auto* list = new QComboBox(parent);
  list->setObjectName(name);
  for (const char* item : items)
    list->addItem(QString::fromUtf8(item));
  list->setGeometry(units.X(60), units.Y(y), units.X(62), list->sizeHint().height());
  return list;
}

// A labelled box for a whole number from `lowest` to `highest` in
// connection row `row`.
QSpinBox* AddNumber(QWidget* parent, const DialogUnits& units, const char* name, const char* label,
                    int row, int lowest, int highest) {
  const int y = AddConnectionRow(parent, units, label, row);
  auto* box = new QSpinBox(parent);
  box->setObjectName(name);
  box->setRange(lowest, highest);
  box->setGeometry(units.X(60), units.Y(y), units.X(30), box->sizeHint().height());
  return box;
}

// The text of the encoding list's 自動: with what it decided for the
// server, when it has, as "自動 (Shift_JIS)".
QString AutoEncodingItem(int32_t decided) {
  switch (decided) {
    case kNameEncodingUtf8:
      return QStringLiteral("自動 (UTF-8)");
    case kNameEncodingShiftJis:
      return QStringLiteral("自動 (Shift_JIS)");
    case kNameEncodingEucJp:
      return QStringLiteral("自動 (EUC-JP)");
    default:
      return QStringLiteral("自動");
  }
}

// The text of the data connection list's 自動: with what it learned, as
// "自動 (アクティブ)".
QString AutoDataModeItem(int32_t learned) {
  return learned == kDataModeActive ? QStringLiteral("自動 (アクティブ)") : QStringLiteral("自動");
}

// The text of the clock list's 自動: with the offset it learned for the
// server, when it has, as "自動 (UTC+09:00)".
QString AutoClockItem(int32_t offset) {
  if (!IsLearnedClockOffset(offset))
    return QStringLiteral("自動");
  return QStringLiteral("自動 (%1)").arg(QString::fromStdString(ClockOffsetText(offset)));
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
  // The connection settings sit in rows below the template's controls,
  // which keep their places.
  setFixedSize(units.Size(175, kExclusionTop + 12 + kExclusionHeight + 6));

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
  passwordField_->setValidator(
      new Utf8LengthValidator(static_cast<int>(kMaxPasswordBytes), passwordField_));
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
  protocolList_ = AddChoice(this, units, ids::kProtocol, "プロトコル", 0, {"FTP", "SFTP"});
  AddConnectionRow(this, units, "鍵ファイル", 1);
  keyFileField_ = AddEdit(this, units, ids::kKeyFile, 60, 151 + kConnectionRowHeight, 70, 12);
  keyFileField_->setToolTip(
      QStringLiteral("空欄なら ~/.ssh の id_ed25519、id_ecdsa、id_rsa を使います。"));
  keyFileButton_ = AddButton(this, units, ids::kKeyFileBrowseButton, "参照...", 133,
                             151 + kConnectionRowHeight, 35, 12);
  dataModeList_ =
      AddChoice(this, units, ids::kDataMode, "データ接続", 2, {"自動", "パッシブ", "アクティブ"});
  // Wide enough for "自動 (アクティブ)".
  dataModeList_->resize(units.X(80), dataModeList_->height());
  securityList_ = AddChoice(this, units, ids::kSecurity, "セキュリティ", 3,
                            {"なし", "TLS (可能なら)", "TLS 必須"});
  nameEncodingList_ = AddChoice(this, units, ids::kNameEncoding, "文字コード", 4,
                                {"自動", "UTF-8", "Shift_JIS", "EUC-JP"});
  // Wide enough for "自動 (Shift_JIS)".
  nameEncodingList_->resize(units.X(80), nameEncodingList_->height());
  connectionsSpin_ =
      AddNumber(this, units, ids::kConnections, "同時接続数", 5, kMinConnections, kMaxConnections);
  // Beside 同時接続数, which it tells how many the server allows.
  auto* test = AddButton(this, units, ids::kConnectionTestButton, "接続テスト", 116,
                         151 + 5 * kConnectionRowHeight, 52, 14);
  temporaryUploadsBox_ = new QCheckBox(QStringLiteral("一時ファイル名で転送"), this);
  temporaryUploadsBox_->setObjectName(ids::kTemporaryUploads);
  Place(temporaryUploadsBox_, units, 7, 151 + 6 * kConnectionRowHeight + 2, 115, 10);
  clockModeList_ = AddChoice(this, units, ids::kClockMode, "時刻の補正", 7, {"時差補正", "自動"});
  // Wide enough for "自動 (UTC+09:00)".
  clockModeList_->resize(units.X(80), clockModeList_->height());
  // Under the clock row, across the editor: wider than the list above it.
  clockNote_ = AddLabel(this, units, "SFTP では時刻は正確です (補正なし)", 7,
                        151 + 8 * kConnectionRowHeight + 2, 161, 8);
  clockNote_->setObjectName(ids::kClockNote);
  AddLabel(this, units, "除外するファイル", 7, kExclusionTop + 2, 115, 8);
  excludePatternsField_ = new QPlainTextEdit(this);
  excludePatternsField_->setObjectName(ids::kExcludePatterns);
  excludePatternsField_->setTabChangesFocus(true);
  excludePatternsField_->setLineWrapMode(QPlainTextEdit::NoWrap);
  excludePatternsField_->setToolTip(
      QStringLiteral("1 行に 1 つのパターン。例: *.psd (どの階層でも)、drafts/ (フォルダーだけ)、"
                     "/private/ (先頭のフォルダーだけ)、docs/*.pdf、logs/**"));
  Place(excludePatternsField_, units, 7, kExclusionTop + 12, 161, kExclusionHeight);

  // activated, not currentIndexChanged: only the user's picks load the
  // fields; the editor's own selections do that themselves.
  connect(list_, &QComboBox::activated, this, &ProfileEditor::SelectionChanged);
  connect(clockModeList_, &QComboBox::currentIndexChanged, this,
          [this](int mode) { timeDifferenceBox_->setEnabled(mode == kClockModeTimeDifference); });
  connect(protocolList_, &QComboBox::currentIndexChanged, this, &ProfileEditor::ProtocolChanged);
  connect(keyFileButton_, &QPushButton::clicked, this, &ProfileEditor::BrowseKeyFile);
  connect(add, &QPushButton::clicked, this, &ProfileEditor::AddProfile);
  connect(update, &QPushButton::clicked, this, &ProfileEditor::UpdateProfile);
  connect(remove, &QPushButton::clicked, this, &ProfileEditor::DeleteProfile);
  connect(test, &QPushButton::clicked, this, &ProfileEditor::TestConnection);
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
  // Before the port: the protocol's change moves the port shown, which the
  // profile's own port then replaces.
  protocolList_->setCurrentIndex(fields_.protocol);
  ShowFieldBytes(keyFileField_, fields_.keyFile);
  ShowFieldBytes(nameField_, fields_.name);
  ShowFieldBytes(urlField_, fields_.url);
  ShowFieldBytes(remoteDirField_, fields_.remoteDir);
  ShowFieldBytes(userIdField_, fields_.userId);
  ShowFieldBytes(passwordField_, fields_.password);
  portField_->setText(QString::number(fields_.port));
  timeDifferenceBox_->setChecked(fields_.timeDifference != 0);
  dataModeList_->setCurrentIndex(fields_.dataMode);
  securityList_->setCurrentIndex(fields_.security);
  nameEncodingList_->setCurrentIndex(fields_.nameEncoding);
  ShowAutoItems();
  // A stored number out of range shows as the nearest one a run would use.
  connectionsSpin_->setValue(fields_.connections);
  temporaryUploadsBox_->setChecked(fields_.temporaryUploads != 0);
  excludePatternsField_->setPlainText(QString::fromStdString(fields_.excludePatterns));
  ShowClock();
  ShowProtocol();
}

void ProfileEditor::ProtocolChanged(int protocol) {
  int32_t port = 0;
  if (protocol >= 0 && ParsePort(portField_->text().toStdString(), port) == PortCheck::kValid)
    portField_->setText(QString::number(PortForProtocol(port, protocol)));
  ShowProtocol();
}

void ProfileEditor::ShowProtocol() {
  const bool sftp = protocolList_->currentIndex() == kProtocolSftp;
  for (QWidget* ftpOnly :
       {static_cast<QWidget*>(dataModeList_), static_cast<QWidget*>(securityList_),
        static_cast<QWidget*>(nameEncodingList_)}) {
    ftpOnly->setEnabled(!sftp);
  }
  keyFileField_->setEnabled(sftp);
  keyFileButton_->setEnabled(sftp);
  clockNote_->setVisible(sftp);
}

void ProfileEditor::BrowseKeyFile() {
  const QString given = keyFileField_->text();
  const QString start =
      given.isEmpty() ? QDir::home().filePath(QStringLiteral(".ssh")) : QFileInfo(given).path();
  const QString picked = Dialogs::PickFile(this, QStringLiteral("鍵ファイル"), start);
  if (!picked.isEmpty())
    keyFileField_->setText(picked);
}

void ProfileEditor::ShowClock() {
  clockModeList_->setItemText(kClockModeAuto, AutoClockItem(fields_.clockOffset));
  clockModeList_->setCurrentIndex(fields_.clockMode);
  timeDifferenceBox_->setEnabled(fields_.clockMode == kClockModeTimeDifference);
}

bool ProfileEditor::ReadFields() {
  fields_.name = FieldBytes(nameField_);
  fields_.url = FieldBytes(urlField_);
  fields_.remoteDir = FieldBytes(remoteDirField_);
  fields_.userId = FieldBytes(userIdField_);
  fields_.password = FieldBytes(passwordField_);
  fields_.timeDifference = timeDifferenceBox_->isChecked() ? 1 : 0;
  fields_.dataMode = dataModeList_->currentIndex();
  fields_.security = securityList_->currentIndex();
  fields_.nameEncoding = nameEncodingList_->currentIndex();
  fields_.connections = connectionsSpin_->value();
  fields_.temporaryUploads = temporaryUploadsBox_->isChecked() ? 1 : 0;
  fields_.excludePatterns = excludePatternsField_->toPlainText().toStdString();
  fields_.clockMode = clockModeList_->currentIndex();
  fields_.protocol = protocolList_->currentIndex();
  fields_.keyFile = FieldBytes(keyFileField_);

  int32_t port = 0;
  const PortCheck check = ParsePort(portField_->text().toStdString(), port);
  if (check == PortCheck::kValid) {
    fields_.port = port;
    if (const std::optional<RefusedPattern> refused = FindRefusedPattern(fields_.excludePatterns)) {
      Dialogs::Warn(this, QStringLiteral("除外するファイルのパターン「%1」は使えません。\n%2")
                              .arg(QString::fromStdString(refused->pattern),
                                   PatternProblemWords(refused->problem)));
      excludePatternsField_->setFocus();
      return false;
    }
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

void ProfileEditor::LoadFieldsFromCurrentProfile() {
  const int current = settings_.currentProfile;
  fields_ = current < 0 || current >= settings_.profileCount
                ? ServerData{}
                : ServerDataOf(settings_.profiles[current]);
  ShowFields();
}

void ProfileEditor::ShowList() {
  FillDestinationList(list_, settings_);
  list_->setCurrentIndex(settings_.lastFtp);
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
  // A full list takes nothing, not even a look at the fields.
  if (settings_.profileCount >= kMaxProfiles || !ReadFields()) {
    return;
  }
  // A certificate accepted for the shown destination is not the new one's
  // to trust, nor what 自動 decided for it; the shown one keeps them when
  // the addition is refused.
  ServerData data = fields_;
  data.trustedFingerprint.clear();
  data.trustedHostKey.clear();
  data.autoNameEncoding = kNameEncodingAuto;
  data.autoDataMode = kDataModeAuto;
  data.clockOffset = kClockOffsetNotLearned;
  int added = -1;
  const DestinationError error = AddDestination(settings_, data, &added);
  if (error == DestinationError::kDuplicateName) {
    Dialogs::Warn(this, FromTable(strings::kDuplicateName));
  }
  if (error != DestinationError::kNone) {
    return;
  }
  // The fields already show the new profile, but for what 自動 decided,
  // unless a test of its server decided it.
  fields_ = std::move(data);
  KeepTested(added);
  ChooseDestination(settings_, added);
  ShowList();
}

void ProfileEditor::UpdateProfile() {
  const int current = settings_.currentProfile;
  if (settings_.lastFtp < 0 || current < 0 || current >= settings_.profileCount) {
    return;
  }
  if (!ReadFields()) {
    return;
  }
  const DestinationError error = UpdateDestination(settings_, current, fields_);
  if (error == DestinationError::kDuplicateName) {
    Dialogs::Warn(this, FromTable(strings::kDuplicateName));
    // The name field goes back to the profile's own name; the other fields
    // keep what was typed.
    fields_.name = settings_.profiles[current].name;
    ShowFields();
  }
  if (error != DestinationError::kNone) {
    return;
  }
  // The update may have forgotten the certificate and what 自動 decided
  // (another server, another encoding); a second Update must not bring
  // them back. A test of the new server may have learned them anew.
  KeepTested(current);
  ChooseDestination(settings_, current);
  ShowList();
}

void ProfileEditor::DeleteProfile() {
  const int current = settings_.currentProfile;
  if (settings_.lastFtp < 0 || current < 0 || current >= settings_.profileCount) {
    return;
  }
  // The item above the deleted one becomes the chosen one, or none when it
  // was the first.
  DeleteDestination(settings_, current);
  ShowList();
  if (settings_.lastFtp >= 0) {
    LoadFieldsFromCurrentProfile();
    return;
  }
  // Nothing is selected: the fields show the values of a new profile rather
  // than those of a profile no longer shown.
  fields_ = ServerData{};
  ShowFields();
}

void ProfileEditor::ShowAutoItems() {
  nameEncodingList_->setItemText(kNameEncodingAuto, AutoEncodingItem(fields_.autoNameEncoding));
  dataModeList_->setItemText(kDataModeAuto, AutoDataModeItem(fields_.autoDataMode));
}

void ProfileEditor::TestConnection() {
  if (!ReadFields()) {
    return;
  }
  const FtpProfile profile = ProfileWith(fields_);
  CancelEvent cancelEvent;
  ProgressConsole console(cancelEvent, ConsoleKind::kConnectionTest, this);
  ConnectionLearned learned;
  const RunRequest request{.settings = settings_,
                           .profile = profile,
                           .console = console,
                           .cancelEvent = cancelEvent,
                           .logPath = {},
                           .learned = &learned,
                           .connector = sftp::ConnectorFor(profile)};
  const ConnectionTestReport report = StartConnectionTest(request);

  // What a run would keep, the test keeps: in the fields, for Add and
  // Update, and in the shown destination when it is that server.
  tested_ = TestedServer{profile.url, profile.port, profile.protocol, learned};
  AppSettings tested;
  tested.profiles[0] = profile;
  tested.profileCount = 1;
  KeepLearned(tested, 0, learned);
  ShowKept(tested.profiles[0]);
  const int current = settings_.currentProfile;
  if (settings_.lastFtp >= 0 && current >= 0 && current < settings_.profileCount &&
      settings_.profiles[current].url == profile.url &&
      settings_.profiles[current].port == profile.port &&
      settings_.profiles[current].protocol == profile.protocol) {
    KeepLearned(settings_, current, learned);
  }

  QStringList lines;
  for (const TestStep& step : report.steps) {
    lines.append(QString::fromStdString(TestStepLine(step)));
  }
  if (report.completion == CompletionCode::kCanceled) {
    lines.append(QStringLiteral("中止しました"));
  }
  Dialogs::ShowText(this, lines.join(QLatin1Char('\n')),
                    report.completion != CompletionCode::kCompleted);
}

void ProfileEditor::KeepTested(int index) {
  const FtpProfile& profile = settings_.profiles[index];
  if (tested_ && tested_->url == profile.url && tested_->port == profile.port &&
      tested_->protocol == profile.protocol) {
    KeepLearned(settings_, index, tested_->learned);
  }
  ShowKept(profile);
}

void ProfileEditor::ShowKept(const FtpProfile& profile) {
  fields_.security = profile.security;
  fields_.trustedFingerprint = profile.trustedFingerprint;
  fields_.trustedHostKey = profile.trustedHostKey;
  fields_.autoNameEncoding = profile.autoNameEncoding;
  fields_.autoDataMode = profile.autoDataMode;
  fields_.clockOffset = profile.clockOffset;
  securityList_->setCurrentIndex(fields_.security);
  ShowAutoItems();
  ShowClock();
}

}  // namespace velmorix::ui
