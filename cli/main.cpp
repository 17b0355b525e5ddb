// velmorix-cli: the command-line front end. It loads the settings as the
// window program does at start, runs one command, and saves the settings as
// the window program does at exit when the command changed them.
#include <signal.h>
#include <termios.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <iostream>
#include <optional>
#include <string>
#include <vector>

#include "base/process_guard.h"
#include "base/version.h"
#include "cli/command_line.h"
#include "cli/destinations.h"
#include "cli/json_report.h"
#include "cli/terminal_console.h"
#include "engine/cancel_event.h"
#include "engine/connection_check.h"
#include "engine/program_files.h"
#include "engine/run_history.h"
#include "engine/transfer_run.h"
#include "listing/remote_listing.h"
#include "resources/string_table.h"
#include "settings/app_settings.h"
#include "settings/settings_store.h"
#include "sftp/sftp_connector.h"

namespace velmorix::cli {
namespace {

void PrintError(const std::string& message) {
  std::fprintf(stderr, "velmorix-cli: %s\n", message.c_str());
}

int UsageError(const std::string& message) {
  PrintError(message);
  return kExitUsage;
}

// A refusal of the rules, or anything else that failed.
int Failure(const std::string& message) {
  PrintError(message);
  return kExitFailed;
}

double SecondsSince(std::chrono::steady_clock::time_point start) {
  return std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
}

void PrintLine(const std::string& line) {
  std::fwrite(line.data(), 1, line.size(), stdout);
  std::fputc('\n', stdout);
}

std::optional<int32_t> SwitchOption(const CommandLine& line, std::string_view option) {
  const std::optional<std::string> value = line.Value(option);
  return value ? ParseSwitch(*value) : std::nullopt;
}

// The connection settings and the exclusion patterns of add, update and
// set; the parser has checked their words, the fingerprint's form, the
// number of connections and the patterns.
ServerFields ReadConnectionFields(const CommandLine& line) {
  ServerFields fields;
  if (const std::optional<std::string> mode = line.Value("data-mode"))
    fields.dataMode = DataModeFromWord(*mode);
  if (const std::optional<std::string> security = line.Value("security"))
    fields.security = SecurityFromWord(*security);
  if (const std::optional<std::string> encoding = line.Value("encoding"))
    fields.nameEncoding = NameEncodingFromWord(*encoding);
  if (const std::optional<std::string> fingerprint = line.Value("trust-fingerprint")) {
    fields.trustedFingerprint =
        fingerprint->empty() ? std::string() : NormalizeFingerprint(*fingerprint).value_or("");
  }
  if (const std::optional<std::string> connections = line.Value("connections"))
    fields.connections = ParseConnections(*connections);
  fields.temporaryUploads = SwitchOption(line, "temp-upload");
  fields.clearExcludes = line.Has("no-exclude");
  fields.addedExcludes = line.Values("exclude");
  if (const std::optional<std::string> clock = line.Value("clock"))
    fields.clockMode = ClockModeFromWord(*clock);
  ReadProtocolFields(line, fields);
  return fields;
}

// Reads the fields of add and update; false after a usage error message.
// The terminal's settings while a password is typed without echo, for the
// handler that puts them back when Ctrl-C ends the program meanwhile.
termios typedPasswordTerminal;

void RestoreEchoAndEnd(int signal) {
  tcsetattr(STDIN_FILENO, TCSAFLUSH, &typedPasswordTerminal);
  ::signal(signal, SIG_DFL);
  raise(signal);
}

// The first line of standard input; on a terminal after a prompt, without
// echo. False when there is none.
bool ReadPasswordLine(std::string& password) {
  const bool typed = isatty(STDIN_FILENO) != 0;
  bool hidden = false;
  if (typed) {
    // Echo goes off before the prompt shows: turning it off flushes what
    // was typed, which must not be what someone typed after the prompt.
    if (tcgetattr(STDIN_FILENO, &typedPasswordTerminal) == 0) {
      termios quiet = typedPasswordTerminal;
      quiet.c_lflag &= ~static_cast<tcflag_t>(ECHO);
      signal(SIGINT, RestoreEchoAndEnd);
      signal(SIGTERM, RestoreEchoAndEnd);
      hidden = tcsetattr(STDIN_FILENO, TCSAFLUSH, &quiet) == 0;
    }
    std::fputs("パスワード: ", stderr);
    std::fflush(stderr);
  }
  const bool read = static_cast<bool>(std::getline(std::cin, password));
  if (hidden) {
    tcsetattr(STDIN_FILENO, TCSAFLUSH, &typedPasswordTerminal);
    signal(SIGINT, SIG_DFL);
    signal(SIGTERM, SIG_DFL);
  }
  if (typed)
    std::fputc('\n', stderr);
  return read;
}

bool ReadServerFields(const CommandLine& line, ServerFields& fields, int& status) {
  fields = ReadConnectionFields(line);
  fields.url = line.Value("url");
  fields.userId = line.Value("user");
  fields.remoteDir = line.Value("remote");
  fields.timeDifference = SwitchOption(line, "time-difference");
  // The flag counts only with --clock time-difference: giving it alone
  // asks for that.
  if (fields.timeDifference && !fields.clockMode)
    fields.clockMode = kClockModeTimeDifference;
  if (const std::optional<std::string> port = line.Value("port")) {
    std::string error;
    fields.port = ParsePort(*port, error);  // already checked by the parser
  }
  // ftp://user@host:port/folder fills the fields the options leave empty;
  // ftps:// asks for TLS.
  if (fields.url) {
    std::string error;
    if (const std::optional<UrlParts> url = ParseUrl(*fields.url, error)) {
      fields.url = url->host;
      if (!fields.userId)
        fields.userId = url->user;
      if (!fields.port)
        fields.port = url->port;
      if (!fields.remoteDir)
        fields.remoteDir = url->folder;
      if (url->tls && !fields.security)
        fields.security = kSecurityTlsRequired;
    }
  }
  if (line.command == "add") {
    fields.name = line.name;
  } else {
    fields.name = line.Value("name");
  }
  if (const std::optional<std::string> variable = line.Value("password-env")) {
    // For unattended runs: the password never shows in a command line.
    const char* value = std::getenv(variable->c_str());
    if (value == nullptr) {
      status = Failure("--password-env: the environment variable " + *variable + " is not set");
      return false;
    }
    fields.password = value;
  }
  if (line.Has("password-stdin")) {
    std::string password;
    if (!ReadPasswordLine(password)) {
      status = Failure("--password-stdin: standard input holds no line");
      return false;
    }
    // A line typed or written on another system may end in CR LF.
    if (!password.empty() && password.back() == '\r')
      password.pop_back();
    fields.password = std::move(password);
  }
  return true;
}

RunFields ReadRunFields(const CommandLine& line) {
  RunFields fields;
  if (std::optional<std::string> local = line.Value("local")) {
    // The run may start from any folder (cron starts in the home folder), so
    // a relative folder is fixed to the one it was given in.
    if (!local->empty() && local->front() != '/') {
      std::error_code error;
      const std::filesystem::path absolute = std::filesystem::absolute(*local, error);
      if (!error)
        *local = absolute.string();
    }
    fields.localDir = std::move(local);
  }
  fields.onlyNewer = SwitchOption(line, "only-newer");
  fields.skipFrontPageFolders = SwitchOption(line, "skip-underscore-folders");
  fields.skipImagesFolder = SwitchOption(line, "skip-images-folder");
  fields.ignoreExeFiles = SwitchOption(line, "ignore-exe");
  fields.deleteOnServer = SwitchOption(line, "delete-on-server");
  return fields;
}

// One meaning each, the same for transfer, list and test.
int ExitStatusFor(std::optional<CompletionCode> completion, const RunReport& report) {
  if (!completion)
    return kExitFailed;  // the run was refused before it started
  switch (*completion) {
    case CompletionCode::kCompleted:
      return kExitCompleted;
    case CompletionCode::kCanceled:
      return kExitCanceled;
    case CompletionCode::kStopped:
      return kExitStopped;
    default:
      break;
  }
  if (report.endedByAnswer)
    return kExitCanceled;
  const bool connection = std::any_of(report.failures.begin(), report.failures.end(),
                                      [](const RunFailure& each) { return each.connection; });
  return connection ? kExitNotConnected : kExitFailed;
}

// The connection test's: a failed step before the server was reached,
// logged in to and trusted is one of connecting.
int ExitStatusFor(const ConnectionTestReport& report) {
  if (report.completion != CompletionCode::kFailed)
    return ExitStatusFor(report.completion, {});
  const bool connection =
      std::any_of(report.steps.begin(), report.steps.end(), [](const TestStep& step) {
        return step.verdict == TestVerdict::kFailed && IsConnectingStep(step.name);
      });
  return connection ? kExitNotConnected : kExitFailed;
}

// What --json writes: the run's outcome for a script.
void PrintJson(const CommandLine& line, int status, const RunReport& report, double seconds,
               const std::string& logPath, const ConnectionTestReport* test) {
  JsonReport json{.command = line.command,
                  .destination = line.name,
                  .dryRun = line.Has("dry-run"),
                  .exitCode = status,
                  .report = report,
                  .elapsedSeconds = seconds,
                  .logPath = logPath,
                  .test = test};
  PrintLine(JsonReportText(json));
}

// Saves `settings`; kExitFailed after saying why when that failed.
int Save(SettingsStore& store, AppSettings& settings) {
  std::string error;
  if (!store.SaveSettings(settings, &error))
    return Failure("the settings were not saved: " + error);
  return kExitCompleted;
}

bool Edits(const CommandLine& line) {
  return line.command == "add" || line.command == "update" || line.command == "delete" ||
         line.command == "set" || (line.command == "switches" && !line.options.empty());
}

// The progress line of a transfer: redrawn on a terminal that can redraw
// in place (not TERM=dumb), and as plain lines elsewhere only when asked.
ProgressLine ProgressLineFor(const CommandLine& line) {
  if (line.command != "transfer" || line.Has("no-progress") || line.Has("quiet"))
    return ProgressLine::kNone;
  const char* term = std::getenv("TERM");
  if (::isatty(STDERR_FILENO) && !(term != nullptr && std::string_view(term) == "dumb"))
    return ProgressLine::kRedrawn;
  return line.Has("progress") ? ProgressLine::kPlain : ProgressLine::kNone;
}

// transfer and list.
int RunOnDestination(const CommandLine& line, AppSettings& settings, SettingsStore& store) {
  const int index = settings.FindProfile(line.name);
  if (index < 0)
    return Failure(RefusalText(DestinationError::kUnknownDestination, line.name));
  const bool transfer = line.command == "transfer";
  const bool dryRun = line.Has("dry-run");
  // A dry run changes nothing, the last chosen destination included.
  const bool choose = transfer && !dryRun;

  CancelEvent cancelEvent;
  std::optional<CompletionCode> completion;
  ConnectionLearned learned;
  RunReport report;
  const auto started = std::chrono::steady_clock::now();
  {
    const ProgressLine progress = ProgressLineFor(line);
    InterruptWatcher watcher(cancelEvent, progress);
    TerminalConsole console(
        {.questions = line.Has("yes") ? TerminalConsole::Questions::kAnswerYes
                                      : TerminalConsole::Questions::kAskTerminal,
         .progress = progress,
         .runLines =
             dryRun ? TerminalConsole::RunLines::kDropped : TerminalConsole::RunLines::kPrinted,
         .destination = line.name,
         .quiet = line.Has("quiet"),
         .linesToStandardError = line.Has("json")},
        watcher.interruptedFd());
    const RunRequest request{.settings = settings,
                             .profile = settings.profiles[index],
                             .console = console,
                             .cancelEvent = cancelEvent,
                             .logPath = LogPath(),
                             .learned = &learned,
                             .mode = dryRun ? RunMode::kDryRun : RunMode::kPublish,
                             .maxDelete = line.Value("max-delete")
                                              ? ParseCount(*line.Value("max-delete"))
                                              : std::nullopt,
                             .historyPath = HistoryPath(),
                             .report = &report,
                             .connector = sftp::ConnectorFor(settings.profiles[index])};
    if (transfer) {
      // As the window does when the destination is picked in its list.
      if (choose)
        settings.lastFtp = ListPosition(settings, index);
      completion = StartTransfer(request);
    } else {
      completion = StartListing(request);
    }
  }
  // A server that spoke TLS is held to it from now on, and what 自動
  // decided is kept, after a dry run too: that is about the server, not
  // about the publish.
  const int changesBefore = settings.changeCount;
  KeepLearned(settings, index, learned);
  // Only the choice and what the run learned changed; what others saved
  // during the run stays.
  if (choose || settings.changeCount != changesBefore) {
    if (const int saved = Save(store, settings); saved != kExitCompleted)
      return saved;
  }
  const int status = ExitStatusFor(completion, report);
  if (line.Has("json")) {
    // A dry run writes no log; neither does a run refused before it started.
    const bool logged = completion && !dryRun;
    PrintJson(line, status, report, SecondsSince(started), logged ? LogPath() : std::string(),
              nullptr);
  }
  return status;
}

// test: the connection test, which changes nothing but what it learned.
int TestDestination(const CommandLine& line, AppSettings& settings, SettingsStore& store) {
  const int index = settings.FindProfile(line.name);
  if (index < 0)
    return Failure(RefusalText(DestinationError::kUnknownDestination, line.name));
  CancelEvent cancelEvent;
  ConnectionLearned learned;
  ConnectionTestReport report;
  const auto started = std::chrono::steady_clock::now();
  {
    InterruptWatcher watcher(cancelEvent);
    TerminalConsole console({.destination = line.name,
                             .quiet = line.Has("quiet"),
                             .linesToStandardError = line.Has("json")},
                            watcher.interruptedFd());
    const RunRequest request{.settings = settings,
                             .profile = settings.profiles[index],
                             .console = console,
                             .cancelEvent = cancelEvent,
                             .logPath = {},
                             .learned = &learned,
                             .connector = sftp::ConnectorFor(settings.profiles[index])};
    report = StartConnectionTest(request);
  }
  const int changesBefore = settings.changeCount;
  KeepLearned(settings, index, learned);
  if (settings.changeCount != changesBefore) {
    if (const int saved = Save(store, settings); saved != kExitCompleted)
      return saved;
  }
  const int status = ExitStatusFor(report);
  if (line.Has("json"))
    PrintJson(line, status, {}, SecondsSince(started), {}, &report);
  return status;
}

int Run(const CommandLine& line) {
  ServerFields serverFields;
  if (line.command == "add" || line.command == "update") {
    int status = kExitFailed;
    if (!ReadServerFields(line, serverFields, status))
      return status;
  }

  if (line.command == "history") {
    const std::optional<std::string> name =
        line.name.empty() ? std::nullopt : std::optional<std::string>(line.name);
    const std::optional<std::string> since =
        line.Value("since") ? HistorySince(*line.Value("since")) : std::nullopt;
    for (const std::string& kept : ReadHistory(HistoryPath(), name, since))
      PrintLine(kept);
    return kExitCompleted;
  }
  AppSettings settings;
  SettingsStore store(std::string(strings::kCompanyKey), std::string(kWindowProgramKey));
  // A command that changes the settings holds the store's lock from its
  // load to its save, so that two of them never undo each other's work. A
  // run does not: it may take long, and it changes only the choice.
  if (std::string error; Edits(line) && !store.LockForEdit(&error))
    return Failure("the settings cannot be changed: " + error);
  store.LoadSettings(settings);
  if (!store.loadError().empty())
    return Failure("the settings cannot be read: " + store.loadError());

  if (line.command == "destinations") {
    for (int index : SortedProfiles(settings))
      PrintLine(DestinationLine(settings.profiles[index]));
    return kExitCompleted;
  }
  if (line.command == "switches") {
    if (line.options.empty()) {
      PrintLine(std::string("delete-message\t") + (settings.deleteMessage ? "on" : "off"));
      PrintLine(std::string("keep-dot-files\t") + (settings.deleteDots ? "on" : "off"));
      return kExitCompleted;
    }
    if (std::optional<int32_t> value = SwitchOption(line, "delete-message")) {
      settings.deleteMessage = *value;
    }
    if (std::optional<int32_t> value = SwitchOption(line, "keep-dot-files")) {
      settings.deleteDots = *value;
    }
    ++settings.changeCount;
    return Save(store, settings);
  }
  if (line.command == "transfer" || line.command == "list") {
    return RunOnDestination(line, settings, store);
  }
  if (line.command == "test") {
    return TestDestination(line, settings, store);
  }

  CommandError error;
  if (line.command == "add") {
    error = AddDestination(settings, serverFields);
  } else if (line.command == "update") {
    error = UpdateDestination(settings, line.name, serverFields);
  } else if (line.command == "delete") {
    error = DeleteDestination(settings, line.name);
  } else if (line.command == "set") {
    const RunFields runFields = ReadRunFields(line);
    error = SetRunFields(settings, line.name, runFields);
    // Kept as given (a disk may not be mounted yet), but said: a mistyped
    // folder is what empties a site.
    if (!error && runFields.localDir && !std::filesystem::is_directory(*runFields.localDir))
      PrintError("warning: the local folder " + *runFields.localDir + " does not exist");
    // The connection settings of set are the server data's.
    const ServerFields connection = ReadConnectionFields(line);
    const bool connectionGiven =
        connection.dataMode || connection.security || connection.nameEncoding ||
        connection.trustedFingerprint || connection.connections || connection.temporaryUploads ||
        connection.clearExcludes || !connection.addedExcludes.empty() || connection.clockMode ||
        connection.protocol || connection.keyFile || connection.trustedHostKey;
    if (connectionGiven && !error)
      error = UpdateDestination(settings, line.name, connection);
  }
  if (error)
    return Failure(*error);
  return Save(store, settings);
}

}  // namespace

int FinishOutput(int status) {
  // What could not be written to standard output (a full disk, a closed
  // pipe) is a failure of the command, not a success with less output.
  errno = 0;
  const bool flushed = std::fflush(stdout) == 0;
  const int error = errno;
  if (!flushed || std::ferror(stdout) != 0 || TerminalConsole::OutputFailed()) {
    PrintError(std::string("cannot write to standard output") +
               (error != 0 ? std::string(": ") + std::strerror(error) : std::string()));
    return status == kExitCompleted ? kExitFailed : status;
  }
  return status;
}

}  // namespace velmorix::cli

int main(int argc, char** argv) {
  using namespace velmorix::cli;
  // Before the settings, and with them the passwords, are loaded.
  velmorix::ForbidCoreDumps();
  // A closed standard output (a reader that went away) must not kill a run
  // in the middle of an upload.
  signal(SIGPIPE, SIG_IGN);
  const ParseResult parsed = ParseCommandLine(std::vector<std::string>(argv + 1, argv + argc));
  if (parsed.commandLine.help) {
    // The window program's page, beside this program or installed.
    const std::string helpPage = velmorix::HelpPagePath("velmorix.html");
    const bool found = access(helpPage.c_str(), R_OK) == 0;
    std::fputs(
        (UsageText() + ThisCopyText(velmorix::LogPath(), found ? helpPage : "(none)")).c_str(),
        stdout);
    return FinishOutput(kExitCompleted);
  }
  if (parsed.commandLine.version) {
    std::printf("velmorix-cli %s\n", velmorix::kVersion);
    return FinishOutput(kExitCompleted);
  }
  if (!parsed.error.empty())
    return UsageError(parsed.error);
  return FinishOutput(Run(parsed.commandLine));
}
