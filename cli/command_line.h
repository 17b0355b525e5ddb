// The command line of velmorix-cli: which command, which destination, which
// options. Parsing only checks the form of the arguments (known command and
// options, values present, ports and on/off switches well formed); what the
// command then does with the settings is destinations.h's and main.cpp's.
#pragma once

#include <cstdint>
#include <map>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "settings/exclusion_patterns.h"

namespace velmorix::cli {

// Exit statuses.
inline constexpr int kExitCompleted = 0;
inline constexpr int kExitFailed = 1;
inline constexpr int kExitCanceled = 2;
inline constexpr int kExitNotConnected = 3;   // could not connect, log in or trust the server
inline constexpr int kExitStopped = 4;        // stopped before any change by the deletion guard
inline constexpr int kExitUsage = 64;         // a malformed command line only
inline constexpr int kExitInterrupted = 130;  // a second Ctrl-C

struct CommandLine {
  bool help = false;     // --help or -h anywhere: print the usage and stop
  bool version = false;  // --version anywhere: print the version and stop
  std::string command;   // "destinations", "add", ...
  std::string name;      // the destination, for the commands that take one
  // The options given, without their leading "--": a value for the options
  // that take one, "" for the plain flags (--yes, --password-stdin). Only a
  // repeatable option (--exclude) is here more than once, in the order given.
  std::multimap<std::string, std::string, std::less<>> options;

  bool Has(std::string_view option) const { return options.find(option) != options.end(); }
  // The first value given.
  std::optional<std::string> Value(std::string_view option) const;
  // Every value given, in order.
  std::vector<std::string> Values(std::string_view option) const;
};

struct ParseResult {
  CommandLine commandLine;
  std::string error;  // not empty: a usage error, one line without the program's name
};

ParseResult ParseCommandLine(const std::vector<std::string>& arguments);

// A port as the profile editor accepts it (settings/destinations.h). On a
// refusal `error` says why.
std::optional<int32_t> ParsePort(std::string_view text, std::string& error);
// A whole number from 0, in decimal digits only.
std::optional<int64_t> ParseCount(std::string_view text);

// "on" -> 1, "off" -> 0; nothing for anything else.
std::optional<int32_t> ParseSwitch(std::string_view text);

// A number of connections (--connections): decimal digits making a whole
// number from kMinConnections to kMaxConnections (settings/destinations.h);
// nothing for anything else.
std::optional<int32_t> ParseConnections(std::string_view text);

// What --url gives beyond a bare host name: ftp://[user@]host[:port][/folder],
// ftps://... (TLS required) or sftp://... (SFTP, port 22 unless given), the
// scheme in any letter case, an IPv6 address in brackets.
struct UrlParts {
  std::string host;
  std::optional<std::string> user{};
  std::optional<int32_t> port{};
  std::optional<std::string> folder{};  // "/public_html"; nothing for none or "/"
  bool tls = false;                     // ftps://
  // kProtocolFtp for ftp:// and ftps://, kProtocolSftp for sftp://;
  // nothing for a bare host name.
  std::optional<int32_t> protocol{};
};
// A text without "://" is a host name, kept as it is typed. On a refusal
// (another scheme, no host, a password, a bad port) `error` says why.
std::optional<UrlParts> ParseUrl(std::string_view text, std::string& error);

// The words of a refused exclusion pattern's reason.
std::string PatternProblemText(PatternProblem problem);

// The --help text.
std::string UsageText();

// The end of the usage text: the log and the help page this copy of the
// program uses.
std::string ThisCopyText(const std::string& logPath, const std::string& helpPage);

}  // namespace velmorix::cli
