// velmorix-screenshots OUTPUT_FOLDER: opens the program's real windows on the
// stored settings (run it with the demo's scratch $XDG_CONFIG_HOME and demo
// server, as scripts/screenshots.sh does), walks through them as a user
// would and saves a PNG of each: the main window, its Settings and Tools
// menus, the profile editor, the dry run's console with its list of
// changes, the progress console with its bar part way through a run (fed
// with counts of its own, since a demo run is over too soon to catch),
// during a real run (while the run asks before deleting a page on the
// server) and after it, the question box, a run that fails (the box that
// says why, and the console after it), the question about a server
// certificate that could not be verified, and the about box. Nothing is
// saved to the settings.
#include <algorithm>
#include <cstdio>
#include <functional>

#include <QAction>
#include <QApplication>
#include <QComboBox>
#include <QDir>
#include <QElapsedTimer>
#include <QFile>
#include <QMenu>
#include <QMenuBar>
#include <QMessageBox>
#include <QPainter>
#include <QPixmap>
#include <QPushButton>
#include <QTimer>

#include "engine/cancel_event.h"
#include "engine/run_progress.h"
#include "resources/string_table.h"
#include "settings/settings_store.h"
#include "ui/about_box.h"
#include "ui/control_names.h"
#include "ui/main_window.h"
#include "ui/profile_editor.h"
#include "ui/program_icon.h"
#include "ui/progress_console.h"
#include "ui/window_program.h"

namespace {

using velmorix::ui::AboutBox;
using velmorix::ui::ConsoleKind;
using velmorix::ui::MainWindow;
using velmorix::ui::ProfileEditor;
using velmorix::ui::ProgressConsole;
namespace ids = velmorix::ui::main_window;

// The destinations scripts/screenshots.sh stores besides "demo": the demo
// server with a password it no longer takes, and a demo server that speaks
// TLS with a certificate signed by itself.
const QString kOldPasswordDestination = QStringLiteral("demo (古いパスワード)");
const QString kSelfSignedDestination = QStringLiteral("demo (FTPS)");

QString outputFolder;
int failures = 0;

void Save(QWidget* widget, const char* name) {
  const QString path = outputFolder + QLatin1Char('/') + QLatin1String(name) + ".png";
  if (widget == nullptr || !widget->grab().save(path)) {
    std::fprintf(stderr, "could not save %s\n", qPrintable(path));
    ++failures;
    return;
  }
  std::printf("%s\n", qPrintable(path));
}

// Saves `window` with `box` below it in one picture. The box opens over
// the window and would hide it, so each is taken by itself and the two are
// put together, the box a little to the right, framed.
void SaveWithBox(QWidget* window, QWidget* box, const char* name) {
  if (window == nullptr || box == nullptr) {
    std::fprintf(stderr, "could not save %s: a window is missing\n", name);
    ++failures;
    return;
  }
  constexpr int kGap = 8;
  const QPixmap windowPicture = window->grab();
  const QPixmap boxPicture = box->grab();
  QPixmap picture(std::max(windowPicture.width(), kGap * 2 + boxPicture.width() + 1),
                  windowPicture.height() + kGap + boxPicture.height() + 1);
  picture.fill(window->palette().color(QPalette::Window).darker(115));
  QPainter painter(&picture);
  painter.drawPixmap(0, 0, windowPicture);
  const QPoint boxCorner(kGap * 2, windowPicture.height() + kGap);
  painter.drawPixmap(boxCorner, boxPicture);
  painter.setPen(window->palette().color(QPalette::Dark));
  painter.drawRect(QRect(boxCorner - QPoint(1, 1), boxPicture.size() + QSize(1, 1)));
  painter.end();
  const QString path = outputFolder + QLatin1Char('/') + QLatin1String(name) + ".png";
  if (!picture.save(path)) {
    std::fprintf(stderr, "could not save %s\n", qPrintable(path));
    ++failures;
    return;
  }
  std::printf("%s\n", qPrintable(path));
}

// Calls `step` every 20 ms until it returns true; gives up after 20 seconds.
void WaitFor(std::function<bool()> step) {
  auto* timer = new QTimer(qApp);
  QElapsedTimer clock;
  clock.start();
  QObject::connect(timer, &QTimer::timeout, timer, [timer, clock, step = std::move(step)] {
    if (step()) {
      timer->deleteLater();
      timer->stop();
      return;
    }
    if (clock.elapsed() > 20000) {
      std::fprintf(stderr, "a window did not appear in time\n");
      ++failures;
      timer->stop();
      QApplication::exit(1);
    }
  });
  timer->start(20);
}

template <typename Dialog>
Dialog* ActiveModal() {
  return qobject_cast<Dialog*>(QApplication::activeModalWidget());
}

// Saves `Dialog` once it is the active modal window and has painted, then
// lets `finish` close it. Schedule it before opening the window.
template <typename Dialog>
void WhenShown(const char* name, std::function<void(Dialog&)> finish) {
  WaitFor([name, finish = std::move(finish)] {
    Dialog* dialog = ActiveModal<Dialog>();
    if (dialog == nullptr) {
      return false;
    }
    QTimer::singleShot(300, dialog, [name, dialog, finish] {
      Save(dialog, name);
      finish(*dialog);
    });
    return true;
  });
}

// Answers a box that reports something (its OK button, or Escape).
void CloseBox(QMessageBox& box) {
  if (QAbstractButton* ok = box.button(QMessageBox::Ok)) {
    ok->click();
  } else {
    box.reject();
  }
}

// What WhenRunEnds does with a message box that comes before the end.
enum class BoxesOnTheWay { kWait, kClose };

// Saves the active console once its run has ended, then closes it.
void WhenRunEnds(const char* name, BoxesOnTheWay boxes = BoxesOnTheWay::kWait) {
  WaitFor([name, boxes] {
    if (auto* box = ActiveModal<QMessageBox>(); box != nullptr && boxes == BoxesOnTheWay::kClose) {
      CloseBox(*box);
      return false;
    }
    ProgressConsole* console = ActiveModal<ProgressConsole>();
    if (console == nullptr || console->runState() == 1) {
      return false;
    }
    QTimer::singleShot(300, console, [name, console] {
      Save(console, name);
      console->findChild<QPushButton*>(QStringLiteral("cancelButton"))->click();
    });
    return true;
  });
}

// A console part way through a run of 120 files: 48 of them done, and a
// second gone by, so that the rate and the time left are shown too.
void ShowCountsPartWay(MainWindow& window) {
  constexpr int64_t kFileSize = 400 * 1024;
  velmorix::CancelEvent cancelEvent;
  velmorix::RunProgress progress;
  progress.Start();
  progress.SetTotals(120, 120 * kFileSize);
  for (int file = 0; file < 48; ++file) {
    progress.FileDone(kFileSize, true);
  }
  ProgressConsole console(cancelEvent, ConsoleKind::kTransfer, &window);
  console.WatchProgress(progress);
  console.ShowLine("Copy file to FTP : /public_html/news/2024/spring.html");
  WaitFor([&console] {
    if (ActiveModal<ProgressConsole>() != &console) {
      return false;
    }
    QTimer::singleShot(1300, &console, [&console] {
      Save(&console, "progress-console-counts");
      console.done(QDialog::Rejected);
    });
    return true;
  });
  console.RunModal();
}

// Picks the destination `name` in the main window's list, as the user does.
void SelectDestination(MainWindow& window, const QString& name) {
  auto* list = window.findChild<QComboBox*>(ids::kDestinationList);
  const int index = list->findText(name);
  if (index < 0) {
    std::fprintf(stderr, "no destination %s\n", qPrintable(name));
    ++failures;
    return;
  }
  list->setCurrentIndex(index);
  emit list->activated(index);
}

void Tour(MainWindow& window) {
  // Each step opens a modal window and returns when the step before has
  // closed it, so the steps simply follow each other.
  WhenShown<ProfileEditor>("profile-editor", [](ProfileEditor& editor) { editor.reject(); });
  window.findChild<QAction*>(ids::kFtpSettingsAction)->trigger();

  // The dry run comes first, while the server still lacks the site.
  WhenRunEnds("dry-run-console");
  window.findChild<QAction*>(ids::kDryRunAction)->trigger();

  ShowCountsPartWay(window);

  // A transfer: the run asks before deleting the stale page on the server,
  // which holds it in the middle of the run.
  WhenShown<QMessageBox>("delete-question", [&window](QMessageBox& question) {
    Save(window.findChild<ProgressConsole*>(), "progress-console-running");
    WhenRunEnds("progress-console-done");
    question.button(QMessageBox::Yes)->click();
  });
  window.findChild<QPushButton*>(ids::kTransferButton)->click();

  // A run that fails: the server turns the login away. The box says why
  // while the console waits behind it; the console is taken once the run
  // has ended.
  SelectDestination(window, kOldPasswordDestination);
  WhenShown<QMessageBox>("failed-run-box", [&window](QMessageBox& box) {
    SaveWithBox(window.findChild<ProgressConsole*>(), &box, "failed-run");
    WhenRunEnds("progress-console-failed", BoxesOnTheWay::kClose);
    CloseBox(box);
  });
  window.findChild<QPushButton*>(ids::kTransferButton)->click();

  // The server's certificate is signed by itself: the run asks whether to
  // trust it, and is told no, the default answer.
  SelectDestination(window, kSelfSignedDestination);
  WhenShown<QMessageBox>("certificate-question", [](QMessageBox& question) {
    WhenRunEnds("progress-console-untrusted", BoxesOnTheWay::kClose);
    question.button(QMessageBox::No)->click();
  });
  window.findChild<QPushButton*>(ids::kTransferButton)->click();

  WhenShown<AboutBox>("about-box", [](AboutBox& about) { about.accept(); });
  window.findChild<QAction*>(ids::kAboutAction)->trigger();

  // Last, the Settings menu with its two switches, then the Tools menu.
  QMenu* settingsMenu = window.findChild<QMenuBar*>()->actions().value(1)->menu();
  settingsMenu->popup(window.mapToGlobal(QPoint(window.width() / 4, 0)));
  QTimer::singleShot(300, settingsMenu, [&window, settingsMenu] {
    Save(settingsMenu, "settings-menu");
    settingsMenu->close();
    QMenu* toolsMenu = window.findChild<QMenuBar*>()->actions().value(2)->menu();
    toolsMenu->popup(window.mapToGlobal(QPoint(window.width() / 2, 0)));
    QTimer::singleShot(300, toolsMenu, [&window, toolsMenu] {
      Save(toolsMenu, "tools-menu");
      toolsMenu->close();
      window.done(QDialog::Rejected);
    });
  });
}

}  // namespace

int main(int argc, char** argv) {
  QApplication application(argc, argv);
  if (argc != 2) {
    std::fprintf(stderr, "usage: velmorix-screenshots OUTPUT_FOLDER\n");
    return 64;
  }
  outputFolder = QFile::decodeName(argv[1]);
  QDir().mkpath(outputFolder);
  application.setWindowIcon(velmorix::ui::ProgramIcon());
  // The boxes' buttons as the window program shows them.
  velmorix::ui::InstallQtJapaneseTexts();

  // The window program's settings, read as it reads them; never written.
  velmorix::SettingsStore store(std::string(velmorix::strings::kCompanyKey),
                                std::string(velmorix::kWindowProgramKey));
  MainWindow window;
  store.LoadSettings(window.settings());
  velmorix::ui::ProgramIconPixmap(128).save(outputFolder + QStringLiteral("/program-icon.png"));
  // Let the window settle and paint before the first picture.
  QTimer::singleShot(500, &window, [&window] {
    Save(&window, "main-window");
    Tour(window);
  });
  window.exec();
  return failures == 0 ? 0 : 1;
}
