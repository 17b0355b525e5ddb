#include "ui/main_window.h"

#include <QAction>
#include <QCheckBox>
#include <QComboBox>
#include <QCoreApplication>
#include <QDesktopServices>
#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QLabel>
#include <QLineEdit>
#include <QMenu>
#include <QMenuBar>
#include <QPushButton>
#include <QShortcut>
#include <QUrl>
#include <QVBoxLayout>

#include "sftp/sftp_connector.h"
#include "engine/program_files.h"
#include "engine/run_history.h"
#include "engine/transfer_run.h"
#include "listing/remote_listing.h"
#include "settings/destinations.h"
#include "ui/about_box.h"
#include "ui/control_names.h"
#include "ui/destination_list.h"
#include "ui/dialog_metrics.h"
#include "ui/dialogs.h"
#include "ui/profile_editor.h"
#include "ui/program_icon.h"
#include "ui/progress_console.h"

namespace velmorix::ui {
namespace {

QCheckBox* AddCheckBox(QWidget* parent, const DialogUnits& units, const char* name,
                       const char* text, int x, int y, int width, int height) {
  auto* box = new QCheckBox(QString::fromUtf8(text), parent);
  box->setObjectName(name);
  Place(box, units, x, y, width, height);
  return box;
}

QAction* AddAction(QMenu* menu, const char* name, const char* text) {
  QAction* action = menu->addAction(QString::fromUtf8(text));
  action->setObjectName(name);
  return action;
}

}  // namespace

MainWindow::Paths MainWindow::ProgramPaths() {
  const QFileInfo program(QCoreApplication::applicationFilePath());
  const QString ownPage = program.completeBaseName() + QStringLiteral(".html");
  Paths paths;
  paths.logPath = QFile::decodeName(LogPath().c_str());
  paths.helpPath =
      QFile::decodeName(HelpPagePath(QFile::encodeName(ownPage).toStdString()).c_str());
  paths.historyPath = QFile::decodeName(HistoryPath().c_str());
  return paths;
}

MainWindow::MainWindow(Paths paths)
    : QDialog(nullptr, Qt::Window | Qt::WindowTitleHint | Qt::WindowSystemMenuHint |
                           Qt::WindowMinimizeButtonHint | Qt::WindowCloseButtonHint),
      paths_(std::move(paths)) {
  setWindowTitle(QStringLiteral("VELMORIX"));
  setWindowIcon(ProgramIcon());
  setFont(DialogFont());
  BuildControls();
  BuildMenu();
}

MainWindow::~MainWindow() = default;

void MainWindow::BuildControls() {
  namespace ids = main_window;
  const DialogUnits units(font());

  // The controls sit in a client area of the template's size below the menu
  // bar; the layout fixes the window's size around both.
  auto* client = new QWidget(this);
  client->setFixedSize(units.Size(167, 123));
  auto* layout = new QVBoxLayout(this);
  layout->setContentsMargins(0, 0, 0, 0);
  layout->setSpacing(0);
  layout->setSizeConstraint(QLayout::SetFixedSize);
  layout->addWidget(client);

  // Created in tab order; the labels take no focus.
  destinationList_ = new QComboBox(client);
  destinationList_->setObjectName(ids::kDestinationList);
  destinationList_->setGeometry(units.X(7), units.Y(36), units.X(115),
                                destinationList_->sizeHint().height());
  sourceFolder_ = new QLineEdit(client);
  sourceFolder_->setObjectName(ids::kSourceFolder);
  Place(sourceFolder_, units, 6, 11, 115, 12);
  auto* transfer = AddButton(client, units, ids::kTransferButton, "転  送", 125, 76, 35, 14);
  transfer->setDefault(true);
  auto* close = AddButton(client, units, ids::kCloseButton, "閉じる", 125, 102, 35, 14);
  auto* browse = AddButton(client, units, ids::kBrowseButton, "検索", 125, 11, 35, 14);
  auto* log = AddButton(client, units, ids::kLogButton, "LOG", 125, 55, 35, 14);
  // Where the log is, for an installed copy that keeps it in the state folder.
  log->setToolTip(
      QDir::toNativeSeparators(paths_.logPath) +
      (paths_.historyPath.isEmpty() ? QString() : QStringLiteral("\n右クリック: 転送履歴")));
  // A click opens the log of the last run; the button's menu also offers the
  // kept history of every publish.
  if (!paths_.historyPath.isEmpty()) {
    auto* openLog = new QAction(QStringLiteral("ログを開く (VELMORIX.LOG)"), log);
    openLog->setObjectName(ids::kOpenLogAction);
    connect(openLog, &QAction::triggered, this, &MainWindow::OpenLog);
    auto* openHistory = new QAction(QStringLiteral("転送履歴を開く"), log);
    openHistory->setObjectName(ids::kOpenHistoryAction);
    connect(openHistory, &QAction::triggered, this, &MainWindow::OpenHistory);
    log->addActions({openLog, openHistory});
    log->setContextMenuPolicy(Qt::ActionsContextMenu);
  }
  onlyNewer_ = AddCheckBox(client, units, ids::kOnlyNewer, "日付の新しいもののみ", 7, 53, 78, 11);
  skipFrontPageFolders_ = AddCheckBox(client, units, ids::kSkipFrontPageFolders,
                                      "Front Pageのﾌｫﾙﾀﾞをｺﾋﾟｰしない", 7, 66, 109, 10);
  skipImagesFolder_ = AddCheckBox(client, units, ids::kSkipImagesFolder,
                                  "Images ﾌｫﾙﾀﾞｰをｺﾋﾟｰしない", 7, 79, 93, 10);
  ignoreExeFiles_ =
      AddCheckBox(client, units, ids::kIgnoreExeFiles, "EXEファイルを無視", 7, 92, 96, 12);
  deleteOnServer_ =
      AddCheckBox(client, units, ids::kDeleteOnServer, "ＦＴＰ側を消去する", 7, 106, 104, 9);
  Place(new QLabel(QStringLiteral("ｺﾋﾟｰ元ﾌｫﾙﾀﾞ"), client), units, 7, 1, 54, 8);
  Place(new QLabel(QStringLiteral("ｺﾋﾟｰ先FTPｻｰﾊﾞｰ"), client), units, 7, 26, 69, 8);

  // A new window shows every option on.
  for (QCheckBox* box :
       {onlyNewer_, skipFrontPageFolders_, skipImagesFolder_, ignoreExeFiles_, deleteOnServer_}) {
    box->setChecked(true);
  }

  // activated, not currentIndexChanged: only the user's picks count as a
  // selection change; the window's own selections do their own loading.
  connect(destinationList_, &QComboBox::activated, this, &MainWindow::DestinationChanged);
  connect(transfer, &QPushButton::clicked, this, [this] { StartRun(RunKind::kTransfer); });
  connect(close, &QPushButton::clicked, this, &MainWindow::reject);
  connect(browse, &QPushButton::clicked, this, &MainWindow::Browse);
  connect(log, &QPushButton::clicked, this, &MainWindow::OpenLog);
}

void MainWindow::BuildMenu() {
  namespace ids = main_window;
  menuBar_ = new QMenuBar(this);
  layout()->setMenuBar(menuBar_);

  QMenu* file = menuBar_->addMenu(QStringLiteral("ﾌｧｲﾙ(&F)"));
  QAction* exit = AddAction(file, ids::kExitAction, "ﾌﾟﾛｸﾞﾗﾑの終了(&X)");
  // Exit takes the close box's path, and with it the store of the folder
  // and the options.
  connect(exit, &QAction::triggered, this, &QWidget::close);

  QMenu* setup = menuBar_->addMenu(QStringLiteral("設定(&S)"));
  QAction* ftpSettings = AddAction(setup, ids::kFtpSettingsAction, "FTP設定(&F)");
  connect(ftpSettings, &QAction::triggered, this, &MainWindow::OpenProfileEditor);
  setup->addSeparator();
  deleteMessageAction_ = AddAction(setup, ids::kDeleteMessageAction, "削除時ﾒｯｾｰｼﾞ(&M)");
  deleteMessageAction_->setCheckable(true);
  connect(deleteMessageAction_, &QAction::triggered, this, &MainWindow::FlipDeleteMessage);
  deleteDotsAction_ = AddAction(setup, ids::kDeleteDotsAction, ".ﾌｧｲﾙを削除する(&D)");
  deleteDotsAction_->setCheckable(true);
  // Its name says the opposite of what the tick does, as it always has.
  const QString dotsTip = QStringLiteral(
      "チェックすると、名前が「.」で始まるサーバー上のファイルを削除せずに残します。");
  deleteDotsAction_->setStatusTip(dotsTip);
  deleteDotsAction_->setToolTip(dotsTip);
  setup->setToolTipsVisible(true);
  connect(deleteDotsAction_, &QAction::triggered, this, &MainWindow::FlipDeleteDots);

  QMenu* tools = menuBar_->addMenu(QStringLiteral("ﾂｰﾙ(&T)"));
  QAction* directory = AddAction(tools, ids::kDirectoryAction, "ﾃﾞｨﾚｸﾄﾘ(&D)");
  connect(directory, &QAction::triggered, this, [this] { StartRun(RunKind::kListing); });
  QAction* dryRun = AddAction(tools, ids::kDryRunAction, "転送内容の確認(&C)");
  connect(dryRun, &QAction::triggered, this, [this] { StartRun(RunKind::kDryRun); });

  QMenu* help = menuBar_->addMenu(QStringLiteral("ﾍﾙﾌﾟ(&H)"));
  QAction* helpContents = AddAction(help, ids::kHelpAction, "ﾍﾙﾌﾟ(&H)");
  connect(helpContents, &QAction::triggered, this, &MainWindow::ShowHelp);
  help->addSeparator();
  QAction* about = AddAction(help, ids::kAboutAction, "ﾊﾞｰｼﾞｮﾝ情報(&A)");
  connect(about, &QAction::triggered, this, &MainWindow::ShowAbout);

  // F1 is the platform's help key; every help request shows the same page.
  auto* helpKey = new QShortcut(QKeySequence::HelpContents, this);
  connect(helpKey, &QShortcut::activated, this, &MainWindow::ShowHelp);
}

void MainWindow::showEvent(QShowEvent* event) {
  if (!initialised_) {
    initialised_ = true;
    Initialise();
  }
  QDialog::showEvent(event);
}

void MainWindow::Initialise() {
  LoadDestinationList();
  deleteMessageAction_->setChecked(settings_.deleteMessage != 0);
  deleteDotsAction_->setChecked(settings_.deleteDots != 0);
  destinationList_->setFocus();
}

bool MainWindow::HasCurrentProfile() const {
  return settings_.currentProfile >= 0 && settings_.currentProfile < settings_.profileCount;
}

void MainWindow::LoadDestinationList() {
  if (FillDestinationListAndSelect(destinationList_, settings_)) {
    ShowCurrentProfile();
  }
  // Without profiles the folder and the boxes keep what they show.
}

void MainWindow::ShowCurrentProfile() {
  if (!HasCurrentProfile()) {
    return;
  }
  const FtpProfile& profile = settings_.profiles[settings_.currentProfile];
  ShowFieldBytes(sourceFolder_, profile.localDir);
  // A long path is shown from its beginning.
  sourceFolder_->setCursorPosition(0);
  onlyNewer_->setChecked(profile.options.onlyNewer != 0);
  skipFrontPageFolders_->setChecked(profile.options.skipFrontPageFolders != 0);
  skipImagesFolder_->setChecked(profile.options.skipImagesFolder != 0);
  ignoreExeFiles_->setChecked(profile.options.ignoreExeFiles != 0);
  deleteOnServer_->setChecked(profile.options.deleteOnServer != 0);
}

void MainWindow::StoreIntoCurrentProfile() {
  if (!HasCurrentProfile()) {
    return;
  }
  FtpProfile& profile = settings_.profiles[settings_.currentProfile];
  profile.localDir = FieldBytes(sourceFolder_);
  profile.options.onlyNewer = onlyNewer_->isChecked() ? 1 : 0;
  profile.options.skipFrontPageFolders = skipFrontPageFolders_->isChecked() ? 1 : 0;
  profile.options.skipImagesFolder = skipImagesFolder_->isChecked() ? 1 : 0;
  profile.options.ignoreExeFiles = ignoreExeFiles_->isChecked() ? 1 : 0;
  profile.options.deleteOnServer = deleteOnServer_->isChecked() ? 1 : 0;
}

void MainWindow::DestinationChanged() {
  // What was typed for the profile shown until now stays with it.
  StoreIntoCurrentProfile();
  settings_.lastFtp = destinationList_->currentIndex();
  settings_.FindProfile(DestinationNameAt(destinationList_, settings_.lastFtp));
  ShowCurrentProfile();
}

void MainWindow::Browse() {
  // The picker opens at the folder in the field when there is one, else at
  // the home folder.
  const QString typed = sourceFolder_->text();
  const QString start = QFileInfo(typed).isDir() ? typed : QDir::homePath();
  const QString folder = Dialogs::PickFolder(this, QStringLiteral("ｺﾋﾟｰするﾎﾙﾀﾞ"), start);
  if (folder.isEmpty()) {
    return;
  }
  sourceFolder_->setText(QDir::toNativeSeparators(folder));
  sourceFolder_->setCursorPosition(0);
}

void MainWindow::OpenLog() {
  // Whatever the desktop associates with the file shows it; a log that does
  // not exist yet is no reason for a message.
  QDesktopServices::openUrl(QUrl::fromLocalFile(paths_.logPath));
}

void MainWindow::OpenHistory() {
  QDesktopServices::openUrl(QUrl::fromLocalFile(paths_.historyPath));
}

void MainWindow::StartRun(RunKind kind) {
  if (destinationList_->currentIndex() < 0) {
    return;
  }
  StoreIntoCurrentProfile();
  if (!HasCurrentProfile()) {
    return;
  }

  const ConsoleKind consoleKind = kind == RunKind::kListing  ? ConsoleKind::kListing
                                  : kind == RunKind::kDryRun ? ConsoleKind::kDryRun
                                                             : ConsoleKind::kTransfer;
  ProgressConsole console(cancelEvent_, consoleKind, this);
  ConnectionLearned learned;
  const int profile = settings_.currentProfile;
  const RunRequest request{
      .settings = settings_,
      .profile = settings_.profiles[profile],
      .console = console,
      .cancelEvent = cancelEvent_,
      .logPath = QFile::encodeName(paths_.logPath).toStdString(),
      .learned = &learned,
      .mode = kind == RunKind::kDryRun ? RunMode::kDryRun : RunMode::kPublish,
      .historyPath = QFile::encodeName(paths_.historyPath).toStdString(),
      .connector = sftp::ConnectorFor(settings_.profiles[profile]),
  };
  runInProgress_ = true;
  if (kind == RunKind::kListing) {
    StartListing(request);
  } else {
    // A dry run is refused for the same source folder as a transfer.
    StartTransfer(request);
  }
  runInProgress_ = false;
  // Kept with the destination and saved at exit with everything else; a dry
  // run has logged in as a transfer would, and learned the same.
  KeepLearned(settings_, profile, learned);
}

void MainWindow::reject() {
  if (runInProgress_) {
    return;
  }
  StoreIntoCurrentProfile();
  QDialog::reject();
}

void MainWindow::OpenProfileEditor() {
  const int changesBefore = settings_.changeCount;
  const int lastFtpBefore = settings_.lastFtp;
  const int currentProfileBefore = settings_.currentProfile;

  ProfileEditor editor(settings_, this);
  const int result = editor.exec();

  // Add, Update and Delete take effect at once, so after any of them the list
  // is rebuilt, whichever way the editor closed; after OK it is rebuilt also
  // when only the menu switches counted as changes.
  const bool editorChanged = settings_.changeCount != changesBefore;
  if (editorChanged || (result == QDialog::Accepted && settings_.changeCount > 0)) {
    LoadDestinationList();
    return;
  }
  // The list stays as it is, so the selection does too: a destination the
  // user merely looked at in the editor must not become the one that the
  // next transfer uses while the list shows another.
  settings_.lastFtp = lastFtpBefore;
  settings_.currentProfile = currentProfileBefore;
}

void MainWindow::FlipDeleteMessage() {
  settings_.deleteMessage = settings_.deleteMessage != 0 ? 0 : 1;
  deleteMessageAction_->setChecked(settings_.deleteMessage != 0);
  ++settings_.changeCount;
}

void MainWindow::FlipDeleteDots() {
  settings_.deleteDots = settings_.deleteDots != 0 ? 0 : 1;
  deleteDotsAction_->setChecked(settings_.deleteDots != 0);
  ++settings_.changeCount;
}

void MainWindow::ShowHelp() {
  // A missing page, a missing launcher and a desktop without a viewer for
  // the page all end in the same box.
  Dialogs::OpenInViewer(this, paths_.helpPath, QStringLiteral("ﾍﾙﾌﾟの起動に失敗しました。"));
}

void MainWindow::ShowAbout() {
  AboutBox about(this);
  about.exec();
}

}  // namespace velmorix::ui
