#include "cli/command_line.h"

#include <algorithm>

#include "resources/string_table.h"

namespace velmorix::cli {
namespace {

enum class OptionKind { kFlag, kText, kPort, kSwitch };

struct OptionSpec {
  std::string_view name;
  OptionKind kind;
};

struct CommandSpec {
  std::string_view name;
  bool takesName;
  std::vector<OptionSpec> options;
};

const std::vector<OptionSpec>& ServerOptions() {
  static const std::vector<OptionSpec> options = {
      {"url", OptionKind::kText},    {"port", OptionKind::kPort},
      {"user", OptionKind::kText},   {"password-stdin", OptionKind::kFlag},
      {"remote", OptionKind::kText}, {"time-difference", OptionKind::kSwitch},
  };
  return options;
}

const std::vector<CommandSpec>& Commands() {
  static const std::vector<CommandSpec> commands = [] {
    std::vector<OptionSpec> updateOptions = ServerOptions();
    updateOptions.push_back({"name", OptionKind::kText});
    return std::vector<CommandSpec>{
        {"destinations", false, {}},
        {"add", true, ServerOptions()},
        {"update", true, updateOptions},
        {"delete", true, {}},
        {"set",
         true,
         {{"local", OptionKind::kText},
          {"only-newer", OptionKind::kSwitch},
          {"skip-underscore-folders", OptionKind::kSwitch},
          {"skip-images-folder", OptionKind::kSwitch},
          {"ignore-exe", OptionKind::kSwitch},
          {"delete-on-server", OptionKind::kSwitch}}},
        {"switches",
         false,
         {{"delete-message", OptionKind::kSwitch}, {"delete-dots", OptionKind::kSwitch}}},
        {"transfer", true, {{"yes", OptionKind::kFlag}}},
        {"list", true, {}},
    };
  }();
  return commands;
}

bool IsBlank(char c) {
  return c == ' ' || c == '\t';
}

std::string ReplaceAll(std::string text, std::string_view from, std::string_view to) {
  for (size_t at = text.find(from); at != std::string::npos; at = text.find(from, at + to.size())) {
    text.replace(at, from.size(), to);
  }
  return text;
}

}  // namespace

std::optional<std::string> CommandLine::Value(std::string_view option) const {
  const auto found = options.find(option);
  if (found == options.end())
    return std::nullopt;
  return found->second;
}

std::optional<int32_t> ParsePort(std::string_view text, std::string& error) {
  while (!text.empty() && IsBlank(text.front()))
    text.remove_prefix(1);
  while (!text.empty() && IsBlank(text.back()))
    text.remove_suffix(1);
  bool negative = false;
  if (!text.empty() && (text.front() == '+' || text.front() == '-')) {
    negative = text.front() == '-';
    text.remove_prefix(1);
  }
  const bool whole = !text.empty() && std::all_of(text.begin(), text.end(),
                                                  [](char c) { return c >= '0' && c <= '9'; });
  if (!whole) {
    error = strings::kEnterInteger;
    return std::nullopt;
  }
  // Leading zeros and very long numbers: only the value counts.
  while (text.size() > 1 && text.front() == '0')
    text.remove_prefix(1);
  int64_t value = 0;
  if (text.size() <= 6) {
    for (char c : text)
      value = value * 10 + (c - '0');
  } else {
    value = 1000000;  // beyond any port
  }
  if (negative)
    value = -value;
  if (value < 1 || value > 65535) {
    std::string message(strings::kEnterIntegerInRange);
    message = ReplaceAll(message, "%1", "1");
    error = ReplaceAll(message, "%2", "65535");
    return std::nullopt;
  }
  return static_cast<int32_t>(value);
}

std::optional<int32_t> ParseSwitch(std::string_view text) {
  if (text == "on")
    return 1;
  if (text == "off")
    return 0;
  return std::nullopt;
}

ParseResult ParseCommandLine(const std::vector<std::string>& arguments) {
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
    const std::string& argument = arguments[i];
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
    if (option == grammar->options.end()) {
      result.error = "unknown option '--" + name + "' for " + line.command;
      return result;
    }
    if (line.Has(name)) {
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
  if (!positional.empty()) {
    result.error = "unexpected argument '" + positional[0] + "'";
    return result;
  }
  if (line.command == "add" && !line.Has("url")) {
    result.error = "add needs --url HOST";
    return result;
  }
  return result;
}

std::string UsageText() {
  return R"(Usage: velmorix-cli COMMAND [NAME] [OPTIONS]

Publishes a local folder tree to an FTP server and keeps the destinations,
sharing the window program's settings, log and transfer engine.

Destinations:
  destinations
      One line per destination, sorted by name (byte order), fields separated
      by tabs: name, server, port, login, remote folder, local folder,
      only-newer, skip-underscore-folders, skip-images-folder, ignore-exe,
      delete-on-server, time-difference. Tabs, line breaks and backslashes
      inside a field are shown as \t, \n, \r and \\. Passwords are never shown.
  add NAME --url HOST [--port N] [--user ID] [--password-stdin]
      [--remote DIR] [--time-difference on|off]
      Adds a destination with an empty local folder and all five options on.
  update NAME [--name NEW] [--url HOST] [--port N] [--user ID]
      [--password-stdin] [--remote DIR] [--time-difference on|off]
      Changes the server data of a destination; its local folder and options
      stay.
  delete NAME
  set NAME [--local DIR] [--only-newer on|off] [--skip-underscore-folders on|off]
      [--skip-images-folder on|off] [--ignore-exe on|off] [--delete-on-server on|off]
      Sets the local folder (a relative one is made absolute) and the options.
  switches [--delete-message on|off] [--delete-dots on|off]
      Without options, prints the two switches. delete-message asks before
      each deletion on the server; delete-dots on keeps server files whose
      names begin with ".".

Runs:
  transfer NAME [--yes]
      Publishes the destination's local folder to its remote folder and makes
      it the last chosen destination. Questions before deletions are asked on
      the terminal (y/n/c); --yes answers Yes to all; with no terminal and no
      --yes they are answered Cancel, so nothing is deleted unasked.
  list NAME
      Lists the destination's remote folder.
  Progress lines go to standard output, message boxes to standard error
  ("VELMORIX: ..."); the log VELMORIX.LOG is written beside this program.
  Ctrl-C cancels at the next step; a second Ctrl-C ends the program at once.

Options:
  --password-stdin  read the password as one line from standard input
  --port N          a whole number from 1 to 65535 (default 21)
  -h, --help        this text

Names are compared exactly (abc and ABC are two destinations); at most 20
destinations exist. The settings live in $XDG_CONFIG_HOME/Quenzari/registry.reg
(~/.config when XDG_CONFIG_HOME is unset).

Exit status: 0 completed, 1 failed, 2 canceled, 64 usage error,
130 ended by a second Ctrl-C.
)";
}

}  // namespace velmorix::cli
