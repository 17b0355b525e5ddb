#include "cli/command_line.h"

#include <algorithm>
#include <cctype>
#include <charconv>

#include "engine/run_history.h"
#include "settings/destinations.h"

namespace velmorix::cli {
namespace {

enum class OptionKind {
  kFlag,
  kText,
  kPort,
  kSwitch,
  kChoice,
  kFingerprint,
  kHostKey,  // an SSH host key fingerprint (IsHostKeyFingerprint), or ''
  kConnections,
  kCount,    // a whole number from 0
  kDate,     // a day, or a day and a time (HistorySince)
  kPattern,  // an exclusion pattern, which may be given more than once
  kUrl,      // a host name, or ftp://..., ftps://... or sftp://... (ParseUrl)
};

struct OptionSpec {
  std::string_view name;
  OptionKind kind;
  std::vector<std::string_view> choices = {};  // kChoice: the words it takes
};

// The exclusion patterns, which add, update and set take.
const std::vector<OptionSpec>& ExclusionOptions() {
  static const std::vector<OptionSpec> options = {
      {"exclude", OptionKind::kPattern},
      {"no-exclude", OptionKind::kFlag},
  };
  return options;
}

struct CommandSpec {
  std::string_view name;
  bool takesName;
  std::vector<OptionSpec> options;
};

// The connection settings, which set takes too.
const std::vector<OptionSpec>& ConnectionOptions() {
  static const std::vector<OptionSpec> options = {
      {"protocol", OptionKind::kChoice, {"ftp", "sftp"}},
      {"key-file", OptionKind::kText},
      {"trust-host-key", OptionKind::kHostKey},
      {"data-mode", OptionKind::kChoice, {"auto", "passive", "active"}},
      {"security", OptionKind::kChoice, {"none", "tls-if-available", "tls"}},
      {"encoding", OptionKind::kChoice, {"auto", "utf-8", "shift_jis", "euc-jp"}},
      {"trust-fingerprint", OptionKind::kFingerprint},
      {"connections", OptionKind::kConnections},
      {"temp-upload", OptionKind::kSwitch},
      {"clock", OptionKind::kChoice, {"auto", "time-difference"}},
  };
  return options;
}

const std::vector<OptionSpec>& ServerOptions() {
  static const std::vector<OptionSpec> options = [] {
    std::vector<OptionSpec> all = {
        {"url", OptionKind::kUrl},
        {"port", OptionKind::kPort},
        {"user", OptionKind::kText},
        {"password-stdin", OptionKind::kFlag},
        {"password-env", OptionKind::kText},
        {"remote", OptionKind::kText},
        {"time-difference", OptionKind::kSwitch},
    };
    all.insert(all.end(), ConnectionOptions().begin(), ConnectionOptions().end());
    all.insert(all.end(), ExclusionOptions().begin(), ExclusionOptions().end());
    return all;
  }();
  return options;
}

const std::vector<CommandSpec>& Commands() {
  static const std::vector<CommandSpec> commands = [] {
    std::vector<OptionSpec> updateOptions = ServerOptions();
    updateOptions.push_back({"name", OptionKind::kText});
    std::vector<OptionSpec> setOptions = {{"local", OptionKind::kText},
                                          {"only-newer", OptionKind::kSwitch},
                                          {"skip-underscore-folders", OptionKind::kSwitch},
                                          {"skip-images-folder", OptionKind::kSwitch},
                                          {"ignore-exe", OptionKind::kSwitch},
                                          {"delete-on-server", OptionKind::kSwitch}};
    setOptions.insert(setOptions.end(), ConnectionOptions().begin(), ConnectionOptions().end());
    setOptions.insert(setOptions.end(), ExclusionOptions().begin(), ExclusionOptions().end());
    return std::vector<CommandSpec>{
        {"destinations", false, {}},
        {"add", true, ServerOptions()},
        {"update", true, updateOptions},
        {"delete", true, {}},
        {"set", true, setOptions},
        {"switches",
         false,
         {{"delete-message", OptionKind::kSwitch}, {"keep-dot-files", OptionKind::kSwitch}}},
        {"transfer",
         true,
         {{"yes", OptionKind::kFlag},
          {"dry-run", OptionKind::kFlag},
          {"progress", OptionKind::kFlag},
          {"no-progress", OptionKind::kFlag},
          {"max-delete", OptionKind::kCount},
          {"quiet", OptionKind::kFlag},
          {"json", OptionKind::kFlag}}},
        {"list", true, {{"quiet", OptionKind::kFlag}, {"json", OptionKind::kFlag}}},
        // The name is optional: without it, every destination's lines.
        {"history", false, {{"since", OptionKind::kDate}}},
        {"test", true, {{"quiet", OptionKind::kFlag}, {"json", OptionKind::kFlag}}},
    };
  }();
  return commands;
}

// " (update and set take it)" for an option other commands take; "" when
// none does.
std::string TakenBy(std::string_view option) {
  std::vector<std::string_view> takers;
  for (const CommandSpec& command : Commands()) {
    if (std::any_of(command.options.begin(), command.options.end(),
                    [&](const OptionSpec& o) { return o.name == option; })) {
      takers.push_back(command.name);
    }
  }
  if (takers.empty())
    return {};
  std::string text = " (";
  for (size_t i = 0; i < takers.size(); ++i) {
    if (i > 0)
      text += i + 1 == takers.size() ? " and " : ", ";
    text += takers[i];
  }
  return text + (takers.size() == 1 ? " takes it)" : " take it)");
}

}  // namespace

std::optional<UrlParts> ParseUrl(std::string_view text, std::string& error) {
  const size_t schemeEnd = text.find("://");
  if (schemeEnd == std::string_view::npos)
    return UrlParts{.host = std::string(text)};
  const std::string refusal =
      "option '--url' takes a host name or ftp://[user@]host[:port][/folder] "
      "(ftps:// for TLS, sftp:// for SFTP), not '" +
      std::string(text) + "'";
  std::string scheme(text.substr(0, schemeEnd));
  std::transform(scheme.begin(), scheme.end(), scheme.begin(),
                 [](unsigned char c) { return static_cast<char>(std::tolower(c)); });
  if (scheme != "ftp" && scheme != "ftps" && scheme != "sftp") {
    error = refusal;
    return std::nullopt;
  }
  UrlParts parts;
  parts.tls = scheme == "ftps";
  parts.protocol = scheme == "sftp" ? kProtocolSftp : kProtocolFtp;
  std::string_view rest = text.substr(schemeEnd + 3);
  const size_t slash = rest.find('/');
  std::string_view authority = rest.substr(0, slash);
  if (slash != std::string_view::npos && rest.size() > slash + 1)
    parts.folder = std::string(rest.substr(slash));
  if (const size_t at = authority.rfind('@'); at != std::string_view::npos) {
    const std::string_view user = authority.substr(0, at);
    if (user.find(':') != std::string_view::npos) {
      error = "option '--url' must not hold the password: give it with --password-stdin";
      return std::nullopt;
    }
    if (!user.empty())
      parts.user = std::string(user);
    authority.remove_prefix(at + 1);
  }
  std::string_view port;
  if (authority.starts_with('[')) {
    const size_t close = authority.find(']');
    if (close == std::string_view::npos) {
      error = refusal;
      return std::nullopt;
    }
    parts.host = std::string(authority.substr(1, close - 1));
    const std::string_view after = authority.substr(close + 1);
    if (!after.empty() && !after.starts_with(':')) {
      error = refusal;
      return std::nullopt;
    }
    port = after.empty() ? after : after.substr(1);
    if (after == ":") {
      error = refusal;
      return std::nullopt;
    }
  } else if (const size_t colon = authority.find(':'); colon != std::string_view::npos) {
    parts.host = std::string(authority.substr(0, colon));
    port = authority.substr(colon + 1);
    if (port.empty()) {
      error = refusal;
      return std::nullopt;
    }
  } else {
    parts.host = std::string(authority);
  }
  if (parts.host.empty()) {
    error = refusal;
    return std::nullopt;
  }
  if (!port.empty()) {
    parts.port = ParsePort(port, error);
    if (!parts.port)
      return std::nullopt;
  } else if (parts.protocol == kProtocolSftp) {
    parts.port = kDefaultSftpPort;
  }
  return parts;
}

std::optional<std::string> CommandLine::Value(std::string_view option) const {
  const auto found = options.find(option);
  if (found == options.end())
    return std::nullopt;
  return found->second;
}

std::vector<std::string> CommandLine::Values(std::string_view option) const {
  std::vector<std::string> values;
  const auto [first, last] = options.equal_range(option);
  for (auto it = first; it != last; ++it)
    values.push_back(it->second);
  return values;
}

std::string PatternProblemText(PatternProblem problem) {
  switch (problem) {
    case PatternProblem::kNone:
      break;
    case PatternProblem::kNegation:
      return "a pattern beginning with ! (taking an exclusion back) is not supported; write \\! "
             "for a name that begins with !";
    case PatternProblem::kUnclosedSet:
      return "a [ has no ] after it in the same name";
    case PatternProblem::kReversedRange:
      return "a range in [ ] runs backwards";
    case PatternProblem::kTrailingEscape:
      return "a \\ at the end escapes nothing";
    case PatternProblem::kDoubleStarInName:
      return "** must be a whole folder name (a/**/b, **/b, a/**); * stays within a name";
    case PatternProblem::kEmptyFolderName:
      return "// leaves a folder name empty";
    case PatternProblem::kDotFolderName:
      return ". and .. are no folder names in a pattern";
    case PatternProblem::kNoName:
      return "the pattern names nothing (it is empty, a comment, or only /)";
    case PatternProblem::kNotUtf8:
      return "the pattern is not UTF-8";
    case PatternProblem::kLineBreak:
      return "a pattern holds no line break; give --exclude once for each";
  }
  return {};
}

std::optional<int64_t> ParseCount(std::string_view text) {
  // Digits only: no sign, no spaces; more than a site could hold is refused.
  if (text.empty() || text.size() > 12 ||
      text.find_first_not_of("0123456789") != std::string_view::npos) {
    return std::nullopt;
  }
  return std::stoll(std::string(text));
}

std::optional<int32_t> ParsePort(std::string_view text, std::string& error) {
  int32_t port = 0;
  switch (velmorix::ParsePort(text, port)) {
    case PortCheck::kValid:
      return port;
    case PortCheck::kNotWholeNumber:
      error = "the port must be a whole number";
      break;
    case PortCheck::kOutOfRange:
      error = "the port must be a whole number from " + std::to_string(kLowestPort) + " to " +
              std::to_string(kHighestPort);
      break;
  }
  return std::nullopt;
}

std::optional<int32_t> ParseSwitch(std::string_view text) {
  if (text == "on")
    return 1;
  if (text == "off")
    return 0;
  return std::nullopt;
}

std::optional<int32_t> ParseConnections(std::string_view text) {
  // from_chars alone would take a sign.
  if (text.empty() || text.front() < '0' || text.front() > '9')
    return std::nullopt;
  int32_t connections = 0;
  const auto [end, error] = std::from_chars(text.data(), text.data() + text.size(), connections);
  if (error != std::errc() || end != text.data() + text.size() || connections < kMinConnections ||
      connections > kMaxConnections) {
    return std::nullopt;
  }
  return connections;
}

ParseResult ParseCommandLine(const std::vector<std::string>& arguments) {
  static const std::string kQuiet = "--quiet";
  ParseResult result;
  CommandLine& line = result.commandLine;

  // --help wins wherever it stands before a "--".
  for (const std::string& argument : arguments) {
    if (argument == "--")
      break;
    if (argument == "--help" || argument == "-h") {
      line.help = true;
      return result;
    }
    if (argument == "--version") {
      line.version = true;
      return result;
    }
  }
  if (arguments.empty()) {
    result.error = "no command given (see velmorix-cli --help)";
    return result;
  }

  line.command = arguments[0];
  const auto& commands = Commands();
  const auto grammar = std::find_if(commands.begin(), commands.end(),
                                    [&](const CommandSpec& c) { return c.name == line.command; });
  if (grammar == commands.end()) {
    result.error = "unknown command '" + line.command + "' (see velmorix-cli --help)";
    return result;
  }

  std::vector<std::string> positional;
  bool optionsEnded = false;
  for (size_t i = 1; i < arguments.size(); ++i) {
    // -q is the one short option besides -h.
    const std::string& argument = !optionsEnded && arguments[i] == "-q" ? kQuiet : arguments[i];
    if (optionsEnded || argument.size() < 2 || argument[0] != '-') {
      positional.push_back(argument);
      continue;
    }
    if (argument == "--") {
      optionsEnded = true;
      continue;
    }
    if (!argument.starts_with("--")) {
      result.error = "unknown option '" + argument + "' for " + line.command;
      return result;
    }
    const size_t equals = argument.find('=');
    const std::string name = argument.substr(2, equals == std::string::npos ? equals : equals - 2);
    const auto option = std::find_if(grammar->options.begin(), grammar->options.end(),
                                     [&](const OptionSpec& o) { return o.name == name; });
    if (option == grammar->options.end() && name == "delete-dots") {
      // Its "on" kept the dot files, the opposite of its name.
      result.error =
          "option '--delete-dots' is now '--keep-dot-files' (on keeps server files whose "
          "names begin with \".\")";
      return result;
    }
    if (option == grammar->options.end()) {
      result.error = "unknown option '--" + name + "' for " + line.command + TakenBy(name);
      return result;
    }
    if (line.Has(name) && option->kind != OptionKind::kPattern) {
      result.error = "option '--" + name + "' given twice";
      return result;
    }
    std::string value;
    if (option->kind == OptionKind::kFlag) {
      if (equals != std::string::npos) {
        result.error = "option '--" + name + "' takes no value";
        return result;
      }
    } else if (equals != std::string::npos) {
      value = argument.substr(equals + 1);
    } else if (i + 1 < arguments.size()) {
      value = arguments[++i];
    } else {
      result.error = "option '--" + name + "' needs a value";
      return result;
    }
    if (option->kind == OptionKind::kSwitch && !ParseSwitch(value)) {
      result.error = "option '--" + name + "' takes on or off, not '" + value + "'";
      return result;
    }
    if (option->kind == OptionKind::kChoice &&
        std::find(option->choices.begin(), option->choices.end(), value) == option->choices.end()) {
      std::string words;
      for (std::string_view choice : option->choices)
        words += std::string(words.empty() ? "" : ", ") + std::string(choice);
      result.error = "option '--" + name + "' takes " + words + ", not '" + value + "'";
      return result;
    }
    if (option->kind == OptionKind::kFingerprint && !value.empty() &&
        !NormalizeFingerprint(value)) {
      result.error = "option '--" + name +
                     "' takes SHA256: followed by 64 hex digits (in pairs, which may be "
                     "joined by ':'), or '' to forget the accepted certificate, not '" +
                     value + "'";
      return result;
    }
    if (option->kind == OptionKind::kHostKey && !value.empty() && !IsHostKeyFingerprint(value)) {
      result.error = "option '--" + name +
                     "' takes SHA256: followed by 43 base64 characters as ssh prints them, "
                     "or '' to forget the trusted host key, not '" +
                     value + "'";
      return result;
    }
    if (option->kind == OptionKind::kConnections && !ParseConnections(value)) {
      result.error = "option '--" + name + "' takes a whole number from " +
                     std::to_string(kMinConnections) + " to " + std::to_string(kMaxConnections) +
                     ", not '" + value + "'";
      return result;
    }
    if (option->kind == OptionKind::kCount && !ParseCount(value)) {
      result.error = "option '--" + name + "' takes a whole number from 0, not '" + value + "'";
      return result;
    }
    if (option->kind == OptionKind::kUrl) {
      if (std::string error; !ParseUrl(value, error)) {
        result.error = error;
        return result;
      }
    }
    if (option->kind == OptionKind::kDate && !HistorySince(value)) {
      result.error = "option '--" + name +
                     "' takes a date YYYY-MM-DD or 'YYYY-MM-DD HH:MM', not '" + value + "'";
      return result;
    }
    if (option->kind == OptionKind::kPattern) {
      if (const PatternProblem problem = CheckPattern(value); problem != PatternProblem::kNone) {
        result.error =
            "option '--" + name + "' cannot take '" + value + "': " + PatternProblemText(problem);
        return result;
      }
    }
    if (option->kind == OptionKind::kPort) {
      std::string error;
      if (!ParsePort(value, error)) {
        result.error = error;
        return result;
      }
    }
    line.options.emplace(name, std::move(value));
  }

  if (grammar->takesName) {
    if (positional.empty()) {
      result.error = line.command + " needs the name of a destination";
      return result;
    }
    line.name = positional[0];
    positional.erase(positional.begin());
  }
  if (line.command == "history" && !positional.empty()) {
    line.name = positional[0];
    positional.erase(positional.begin());
  }
  if (!positional.empty()) {
    result.error = "unexpected argument '" + positional[0] + "'";
    return result;
  }
  if (line.Has("password-stdin") && line.Has("password-env")) {
    result.error = "options '--password-stdin' and '--password-env' exclude each other";
    return result;
  }
  if (line.Has("progress") && line.Has("no-progress")) {
    result.error = "options '--progress' and '--no-progress' exclude each other";
    return result;
  }
  // A URL's scheme names the protocol; --protocol must not name the other.
  if (const std::optional<std::string> url = line.Value("url"), protocol = line.Value("protocol");
      url && protocol) {
    std::string error;
    const std::optional<UrlParts> parts = ParseUrl(*url, error);
    const int32_t named = *protocol == "sftp" ? kProtocolSftp : kProtocolFtp;
    if (parts && parts->protocol && *parts->protocol != named) {
      result.error = "options '--protocol " + *protocol + "' and '--url " + *url +
                     "' name different protocols";
      return result;
    }
  }
  if (line.command == "add" && !line.Has("url")) {
    result.error = "add needs --url HOST";
    return result;
  }
  return result;
}

std::string UsageText() {
  return R"(Usage: velmorix-cli COMMAND [NAME] [OPTIONS]

Publishes a local folder tree to an FTP or SFTP server and keeps the
destinations, sharing the window program's settings, log and transfer engine.

Destinations:
  destinations
      One line per destination, sorted by name (letter case ignored, then
      byte order, as the windows sort them), fields separated
      by tabs: name, server, port, login, remote folder, local folder,
      only-newer, skip-underscore-folders, skip-images-folder, ignore-exe,
      delete-on-server, time-difference, data-mode, security, encoding, the
      accepted certificate's fingerprint (- for none), connections,
      temp-upload, the encoding auto has found the server's names in
      (- while it has found none, or for another encoding), the data
      connections auto has learned to start with (active once passive ones
      failed and active ones worked; - otherwise), clock and the offset of
      the server's clock auto has learned (UTC+09:00; - while it has learned
      none, or for time-difference), the exclusion patterns, one field
      separated by \n (- for none), protocol (ftp or sftp), the key file
      and the trusted host key (- for none). Tabs,
      line breaks and backslashes inside a field are shown as \t, \n, \r
      and \\. Passwords are never shown.
  add NAME --url HOST [--port N] [--user ID]
      [--password-stdin | --password-env VAR]
      [--protocol ftp|sftp] [--key-file PATH] [--trust-host-key SHA256:...]
      [--remote DIR] [--time-difference on|off] [--data-mode auto|passive|active]
      [--security none|tls-if-available|tls]
      [--encoding auto|utf-8|shift_jis|euc-jp] [--trust-fingerprint SHA256:...]
      [--connections N] [--temp-upload on|off] [--clock auto|time-difference]
      [--exclude PATTERN]... [--no-exclude]
      Adds a destination with an empty local folder and all five options on.
      --url takes a host name, or ftp://[user@]host[:port][/folder], which
      fills the login, port and remote folder that no option gives
      (ftps://... also sets --security tls; sftp://[user@]host[:port][/folder]
      sets --protocol sftp and port 22 unless given); a password there is
      refused.
      Data connections: auto (the default) opens them passively and turns to
      active mode when the server cannot; passive and active use only that
      mode.
  update NAME [--name NEW] [--url HOST] [--port N] [--user ID]
      [--protocol ftp|sftp] [--key-file PATH] [--trust-host-key SHA256:...]
      [--password-stdin | --password-env VAR] [--remote DIR]
      [--time-difference on|off] [--data-mode auto|passive|active]
      [--security none|tls-if-available|tls]
      [--encoding auto|utf-8|shift_jis|euc-jp] [--trust-fingerprint SHA256:...]
      [--connections N] [--temp-upload on|off] [--clock auto|time-difference]
      [--exclude PATTERN]... [--no-exclude]
      Changes the server data of a destination; its local folder and options
      stay.
  delete NAME
      Deletes the destination.
  set NAME [--local DIR] [--only-newer on|off] [--skip-underscore-folders on|off]
      [--skip-images-folder on|off] [--ignore-exe on|off] [--delete-on-server on|off]
      [--protocol ftp|sftp] [--key-file PATH] [--trust-host-key SHA256:...]
      [--data-mode auto|passive|active] [--security none|tls-if-available|tls]
      [--encoding auto|utf-8|shift_jis|euc-jp] [--trust-fingerprint SHA256:...]
      [--connections N] [--temp-upload on|off] [--clock auto|time-difference]
      [--exclude PATTERN]... [--no-exclude]
      Sets the local folder (a relative one is made absolute) and the options.
  switches [--delete-message on|off] [--keep-dot-files on|off]
      Without options, prints the two switches. delete-message asks before
      each deletion on the server; keep-dot-files on keeps server files whose
      names begin with "." when the pruning deletes what is gone locally.

Runs:
  transfer NAME [--yes] [--dry-run] [--progress | --no-progress] [--max-delete N]
      [-q | --quiet] [--json]
      Publishes the destination's local folder to its remote folder and makes
      it the last chosen destination. Questions before deletions are asked on
      the terminal (y/n/c); --yes answers Yes to all; with no terminal and no
      --yes they are answered Cancel, so nothing is deleted unasked. Ends with
      a line "Summary : ..." of the files uploaded, folders created, entries
      deleted and the time it took.
      Before changing anything, a run that would delete every entry it read
      on the server, or more than half of them and more than 10, or
      anything while the local folder holds nothing to publish, stops and
      asks on the terminal (y/n) whatever --yes says; with no terminal it
      stops, changing nothing, with exit status 4. --max-delete N allows at
      most N deletions without asking (0: none; a run that would delete
      more stops before its first change, also with status 4).
      --dry-run changes nothing: it reads the server and prints, instead of
      the progress lines, each change a transfer would make with its reason,
        Copy file to FTP : /site/a.html  (new)
      and then a line "Dry run : ..." of their counts. It asks nothing,
      writes no log and keeps the last chosen destination.
      On a terminal, standard error shows one line of the files and megabytes
      done, the rate and the time left, redrawn in place and cleared at the
      end. --progress shows it also when standard error is no terminal, as a
      plain line once a second at most; --no-progress never shows it.
  list NAME [-q | --quiet] [--json]
      Lists the destination's remote folder.
  test NAME [-q | --quiet] [--json]
      Tests the connection a transfer would make, writing no log and
      nothing to the server (but, with clock auto on a server that lists
      with LIST, one small file that tells its clock and is deleted
      again), and prints one line per step: resolve,
      connect, TLS, login, folder, the listing of the remote folder in the
      data connection mode runs use and then in the other, the features the
      server offers (UTF8, MLSD, SIZE, MFMT; rename is not tried), how names
      are written, and how many connections the server allows. Each says ok,
      or what failed with the server's reply and what to change:
        login: 530 Login incorrect: check the login name and password
        list (passive): passive data port unreachable within 10 s: データ接続 アクティブ works
        connections: the server allows 2 connections: 同時接続数 2
      A certificate that fails the check is asked about as a transfer asks.
      What a transfer would learn is kept: an accepted certificate, TLS,
      the names' encoding, and with data mode auto that passive data
      connections fail and active ones work, so that transfers start in
      active mode without waiting for passive mode first (forgotten when
      the server or port changes, or when active mode fails later), and
      the server's clock. Its exit status is a transfer's: 0 when a
      transfer would work, 3 when it could not connect, log in or trust
      the server, 1 when a later step failed.
  Progress lines go to standard output, message boxes to standard error
  ("VELMORIX: ..."). Each transfer and list rewrites the log VELMORIX.LOG
  with the changes made on the server and the entries listed: beside this
  program, or, for an installed copy or one whose folder cannot be written,
  in $XDG_STATE_HOME/Quenzari (~/.local/state when that is unset or not
  an absolute path).
  The end of --help names the log and the help page this copy uses.
  Every publish also appends its change lines to the history
  $XDG_STATE_HOME/Quenzari/VELMORIX-history.log, one line each: date and
  time, destination and the log's line, separated by tabs; once the file
  reaches 2 MB it becomes VELMORIX-history.log.1 (replacing the one before).
  history [NAME] [--since YYYY-MM-DD|'YYYY-MM-DD HH:MM']
      Prints the kept history, oldest first: of NAME only when given, from
      the date (local time) when given.
  Ctrl-C cancels at the next step; a second Ctrl-C ends the program at once.
  A failure prints its message box, then a line naming its cause (the
  server's reply, the local path and the system's reason, or the host and
  what failed) and for the common cases a hint.

Options:
  -q, --quiet       transfer, list and test print only failures and the
                    summary line
  --json            transfer, list and test write to standard output one
                    JSON object at the end and nothing else (their lines go
                    to standard error): "command", "destination",
                    "dry_run", "result" (completed, failed, canceled,
                    not_connected or stopped), "exit_code",
                    "files_uploaded", "bytes_uploaded", "folders_created",
                    "entries_deleted", "elapsed_seconds", "failures" (each
                    with "message", "path", "reply" and "cause"), "log" (the
                    log's path, or null when none was written); test adds
                    "steps" (each with "name", "verdict" and "text")
  --password-env VAR
                    take the password from the environment variable VAR
                    (for unattended runs: it never shows in a command line)
  --password-stdin  read the password as the first line of standard input
                    (its line end, LF or CR LF, is not part of it)
  --port N          a whole number from 1 to 65535 (default 21, 22 for SFTP)
  --protocol ftp|sftp
                    ftp (the default, and that of destinations stored before
                    the setting) or sftp, over SSH. Changing it without
                    --port moves a port of 21 to 22 and back and keeps any
                    other. --data-mode, --security, --encoding and
                    --trust-fingerprint apply to FTP destinations only and
                    are refused for SFTP ones; --key-file and
                    --trust-host-key to SFTP ones only. SFTP destinations
                    log in with the SSH agent ($SSH_AUTH_SOCK), then the key
                    file, then the stored password; their server times are
                    exact, so --clock and --time-difference have no effect.
  --key-file PATH   SFTP: the private key to log in with (a relative path is
                    made absolute; '' for the usual ones, ~/.ssh/id_ed25519,
                    id_ecdsa and id_rsa); a passphrase is asked for on the
                    terminal, like a password, and never kept
  --trust-host-key SHA256:...
                    SFTP: a server host key to trust, its fingerprint as ssh
                    prints it; '' forgets it, as does a new --url, --port or
                    --protocol given without it. Host keys are checked
                    against ~/.ssh/known_hosts and the program's own
                    known_hosts file in $XDG_CONFIG_HOME/Quenzari; a key
                    found in neither is asked about on a terminal (and kept
                    in the program's file when accepted) and refused without
                    one, with the command that trusts it; a key that differs
                    from the known one is refused outright
  --security none|tls-if-available|tls
                    tls-if-available (the default of add) encrypts with TLS
                    when the server offers it and goes on in plain FTP when
                    not; tls logs in only over TLS; none never uses TLS. A
                    destination that has connected with TLS is kept at tls.
  --encoding auto|utf-8|shift_jis|euc-jp
                    how the server writes names (shift_jis is code page
                    932); auto (the default) takes UTF-8 unless the server's
                    names show Shift_JIS, and keeps what it found for the
                    server: a later listing with a name in the other
                    encoding stops the run, changing nothing. Another
                    encoding, or another --url or --port, forgets it. A
                    local name the server's encoding cannot write is passed
                    over with a line.
  --trust-fingerprint SHA256:AB:CD:...
                    a server certificate to accept although it fails the
                    check; '' forgets the accepted one, as does a new --url
                    or --port given without it
  --temp-upload on|off
                    on (the default of add): each file is uploaded under a
                    hidden temporary name and renamed to its own once it has
                    arrived whole, so that visitors never get half of it;
                    off (destinations stored before the setting): under its
                    own name. Either way the server's size of each file is
                    checked against what was sent.
  --clock auto|time-difference
                    how the server's file times are read before only-newer
                    compares them. auto (the default of add): MLSD times
                    as UTC; LIST times by the server's clock as learned
                    from the listed time of a file the transfer has just
                    uploaded, to the quarter hour, and kept for the server
                    (another --url or --port forgets it); until it is
                    learned, a LIST time counts as up to 14 hours ahead, so
                    no edit is missed. time-difference (destinations stored
                    before the setting): as listed, nine hours less with
                    --time-difference on; --time-difference given without
                    --clock chooses time-difference
  --connections N   how many connections a transfer may open to the server,
                    a whole number from 1 to 8: 4 for a new destination, 1
                    (one connection) for one stored before the setting
                    existed. Uploads are spread over them; a server that
                    refuses some is no error, the run goes on with the rest
  --exclude PATTERN adds an exclusion pattern (see below); may be given more
                    than once. add starts from the patterns of a new
                    destination: .git/ .svn/ .hg/ .DS_Store Thumbs.db
                    desktop.ini *~ *.swp
  --no-exclude      clears the patterns first (add: starts with none);
                    destinations stored before patterns existed have none
  -h, --help        this text
  --version         the program's version

Exclusion patterns: what a transfer leaves alone on both sides. An entry a
pattern matches is neither uploaded nor created, and the server's entry of
that name is neither deleted nor asked about, whatever the deletion
settings; a dry run, the progress totals and the deletion guard count
alike. The familiar subset of ignore files, no regular expressions:
  *         any run of characters within one name
  ?         any one character within one name
  [abc]     one of them; [a-z] a range; [!abc] or [^abc] none of them
  **        a whole folder name: any number of folders (a/**/b, **/b);
            a/** is everything inside a
  name/     a trailing / matches folders only
  a/b       a / anywhere else (a/b, /a) anchors the pattern at the top of
            the local folder; without one it matches a name at any depth
  \x        the character x itself (\*, \[, \!, \#)
ASCII letters match in either case, as names are matched. Blanks at either
end, empty lines and lines beginning with # are no patterns; a line
beginning with ! is refused, as is any pattern that cannot be read.
Examples:
  --exclude '*.psd'         design sources, in every folder
  --exclude 'drafts/'       every folder named drafts, at any depth
  --exclude '/private/'     only the folder private at the top
  --exclude 'docs/*.pdf'    the PDF files of the top folder docs, not below it
  --exclude 'logs/**'       everything inside the top folder logs, kept itself
  --exclude '**/cache/'     every folder named cache (as cache/ does)

Names are compared exactly (abc and ABC are two destinations); at most 20
destinations exist. The settings live in $XDG_CONFIG_HOME/Quenzari/registry.reg
(~/.config when XDG_CONFIG_HOME is unset).

Exit status, one meaning each, the same for transfer, list and test: 0
completed; 1 failed (the server refused a command, a local error; for the
other commands a refused change, or settings or output that could not be
written); 2 canceled (Ctrl-C, c answered to a question, or a question with
no terminal to answer it); 3 could not connect, log in or trust the
server; 4 stopped before any change by a safety guard (the deletion guard,
--max-delete); 64 malformed command line; 130 ended by a second Ctrl-C.
)";
}

std::string ThisCopyText(const std::string& logPath, const std::string& helpPage) {
  return "\nThis copy:\n  log        " + logPath + "\n  help page  " + helpPage + "\n";
}

}  // namespace velmorix::cli
