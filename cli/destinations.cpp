#include "cli/destinations.h"

#include <algorithm>
#include <cstddef>
#include <filesystem>

#include "engine/server_clock.h"
#include "settings/exclusion_patterns.h"

namespace velmorix::cli {
namespace {

// Keeps every destination on one line and every field between two tabs.
std::string Escape(std::string_view text) {
  std::string escaped;
  for (char c : text) {
    switch (c) {
      case '\\':
        escaped += "\\\\";
        break;
      case '\t':
        escaped += "\\t";
        break;
      case '\n':
        escaped += "\\n";
        break;
      case '\r':
        escaped += "\\r";
        break;
      default:
        escaped.push_back(c);
    }
  }
  return escaped;
}

constexpr std::string_view kDataModeWords[] = {"auto", "passive", "active"};
constexpr std::string_view kSecurityWords[] = {"none", "tls-if-available", "tls"};
constexpr std::string_view kNameEncodingWords[] = {"auto", "utf-8", "shift_jis", "euc-jp"};
constexpr std::string_view kClockModeWords[] = {"time-difference", "auto"};
constexpr std::string_view kProtocolWords[] = {"ftp", "sftp"};

// The value whose word is `word`: its position among `words`.
template <size_t N>
std::optional<int32_t> ValueOfWord(const std::string_view (&words)[N], std::string_view word) {
  for (size_t value = 0; value < N; ++value) {
    if (words[value] == word)
      return static_cast<int32_t>(value);
  }
  return std::nullopt;
}

// The word of `value`; the first word (the setting's default when loaded)
// for a value out of range.
template <size_t N>
std::string_view WordOfValue(const std::string_view (&words)[N], int32_t value) {
  return value >= 0 && static_cast<size_t>(value) < N ? words[value] : words[0];
}

const char* OnOff(int32_t flag) {
  return flag != 0 ? "on" : "off";
}

// `patterns` as the command line's --no-exclude and --exclude change them.
std::string ChangedPatterns(std::string patterns, const ServerFields& fields) {
  if (fields.clearExcludes)
    patterns.clear();
  for (const std::string& pattern : fields.addedExcludes)
    patterns = AppendPattern(patterns, pattern);
  return patterns;
}

// The settings of the one protocol given for a destination that will use
// the other: said, naming the first option that is.
CommandError ProtocolMismatch(const ServerFields& fields, int32_t protocol, std::string_view name) {
  std::vector<std::pair<bool, std::string_view>> given;
  if (protocol == kProtocolSftp) {
    given = {{fields.dataMode.has_value(), "--data-mode"},
             {fields.security.has_value(), "--security"},
             {fields.nameEncoding.has_value(), "--encoding"},
             {fields.trustedFingerprint.value_or("") != "", "--trust-fingerprint"}};
  } else {
    given = {{fields.keyFile.value_or("") != "", "--key-file"},
             {fields.trustedHostKey.value_or("") != "", "--trust-host-key"}};
  }
  for (const auto& [isGiven, option] : given) {
    if (isGiven) {
      const bool ftpOnly = protocol == kProtocolSftp;
      return std::string(option) + " applies to " + (ftpOnly ? "FTP" : "SFTP") +
             " destinations only; " + std::string(name) + " uses " + (ftpOnly ? "SFTP" : "FTP");
    }
  }
  return std::nullopt;
}

CommandError Refused(DestinationError error, std::string_view name) {
  if (error == DestinationError::kNone)
    return std::nullopt;
  return RefusalText(error, name);
}

}  // namespace

std::string RefusalText(DestinationError error, std::string_view name) {
  switch (error) {
    case DestinationError::kNone:
      break;
    case DestinationError::kEmptyName:
      return "the name of a destination must not be empty";
    case DestinationError::kDuplicateName:
      return "a destination named '" + std::string(name) + "' exists already";
    case DestinationError::kListFull:
      return std::to_string(kMaxProfiles) +
             " destinations exist already; delete one before adding another";
    case DestinationError::kUnknownDestination:
      return "no destination is named '" + std::string(name) +
             "' (velmorix-cli destinations lists them)";
    case DestinationError::kPasswordTooLong:
      return "the password is longer than " + std::to_string(kMaxPasswordBytes) +
             " bytes; the settings cannot keep it";
    case DestinationError::kPasswordHasZeroByte:
      return "the password holds a zero byte; the settings cannot keep it";
    case DestinationError::kValueOutOfRange:
      return "a setting of the destination is none of its choices";
    case DestinationError::kInvalidPattern:
      return "an exclusion pattern of '" + std::string(name) +
             "' cannot be read; --no-exclude clears them";
  }
  return {};
}

std::optional<int32_t> DataModeFromWord(std::string_view word) {
  return ValueOfWord(kDataModeWords, word);
}

std::string_view DataModeWord(int32_t dataMode) {
  return WordOfValue(kDataModeWords, dataMode);
}

std::optional<int32_t> SecurityFromWord(std::string_view word) {
  return ValueOfWord(kSecurityWords, word);
}

std::string_view SecurityWord(int32_t security) {
  return WordOfValue(kSecurityWords, security);
}

std::optional<int32_t> NameEncodingFromWord(std::string_view word) {
  return ValueOfWord(kNameEncodingWords, word);
}

std::string_view NameEncodingWord(int32_t nameEncoding) {
  return WordOfValue(kNameEncodingWords, nameEncoding);
}

std::optional<int32_t> ClockModeFromWord(std::string_view word) {
  return ValueOfWord(kClockModeWords, word);
}

std::string_view ClockModeWord(int32_t clockMode) {
  return WordOfValue(kClockModeWords, clockMode);
}

std::optional<int32_t> ProtocolFromWord(std::string_view word) {
  return ValueOfWord(kProtocolWords, word);
}

std::string_view ProtocolWord(int32_t protocol) {
  return WordOfValue(kProtocolWords, protocol);
}

void ReadProtocolFields(const CommandLine& line, ServerFields& fields) {
  if (const std::optional<std::string> protocol = line.Value("protocol")) {
    fields.protocol = ProtocolFromWord(*protocol);
  } else if (const std::optional<std::string> url = line.Value("url")) {
    std::string error;
    if (const std::optional<UrlParts> parts = ParseUrl(*url, error))
      fields.protocol = parts->protocol;
  }
  if (std::optional<std::string> keyFile = line.Value("key-file")) {
    if (!keyFile->empty() && keyFile->front() != '/') {
      std::error_code error;
      const std::filesystem::path absolute = std::filesystem::absolute(*keyFile, error);
      if (!error)
        *keyFile = absolute.string();
    }
    fields.keyFile = std::move(keyFile);
  }
  fields.trustedHostKey = line.Value("trust-host-key");
}

std::string DestinationLine(const FtpProfile& profile) {
  std::string line;
  for (const std::string* text : {&profile.name, &profile.url})
    line += Escape(*text) + "\t";
  line += std::to_string(profile.port) + "\t";
  for (const std::string* text : {&profile.userId, &profile.remoteDir, &profile.localDir}) {
    line += Escape(*text) + "\t";
  }
  const TransferOptions& options = profile.options;
  for (int32_t flag : {options.onlyNewer, options.skipFrontPageFolders, options.skipImagesFolder,
                       options.ignoreExeFiles, options.deleteOnServer}) {
    line += std::string(OnOff(flag)) + "\t";
  }
  line += OnOff(profile.timeDifference);
  line += "\t";
  line += DataModeWord(profile.dataMode);
  line += "\t";
  line += SecurityWord(profile.security);
  line += "\t";
  line += NameEncodingWord(profile.nameEncoding);
  line += "\t";
  line += profile.trustedFingerprint.empty() ? "-" : Escape(profile.trustedFingerprint);
  line += "\t";
  // A stored number out of range as a run takes it.
  line += std::to_string(std::clamp(profile.connections, kMinConnections, kMaxConnections));
  line += "\t";
  line += OnOff(profile.temporaryUploads);
  line += "\t";
  // What auto decided: only auto takes it.
  const bool decided = profile.nameEncoding == kNameEncodingAuto &&
                       profile.autoNameEncoding >= kNameEncodingUtf8 &&
                       profile.autoNameEncoding <= kNameEncodingEucJp;
  line += decided ? NameEncodingWord(profile.autoNameEncoding) : "-";
  line += "\t";
  // What auto learned about data connections: only auto takes it.
  const bool learnedMode =
      profile.dataMode == kDataModeAuto && profile.autoDataMode == kDataModeActive;
  line += learnedMode ? DataModeWord(kDataModeActive) : "-";
  line += "\t";
  line += ClockModeWord(profile.clockMode);
  line += "\t";
  // What auto learned of the server's clock: only auto takes it.
  const bool learnedClock =
      profile.clockMode == kClockModeAuto && IsLearnedClockOffset(profile.clockOffset);
  line += learnedClock ? ClockOffsetText(profile.clockOffset) : "-";
  line += "\t";
  std::string patterns;
  for (const std::string& pattern : PatternLines(profile.excludePatterns))
    patterns += (patterns.empty() ? "" : "\n") + pattern;
  line += patterns.empty() ? "-" : Escape(patterns);
  line += "\t";
  line += ProtocolWord(profile.protocol);
  line += "\t";
  line += profile.keyFile.empty() ? "-" : Escape(profile.keyFile);
  line += "\t";
  line += profile.trustedHostKey.empty() ? "-" : Escape(profile.trustedHostKey);
  return line;
}

CommandError AddDestination(AppSettings& settings, const ServerFields& fields) {
  const int32_t protocol = fields.protocol.value_or(kProtocolFtp);
  if (CommandError mismatch = ProtocolMismatch(fields, protocol, fields.name.value_or("")))
    return mismatch;
  ServerData data{.name = fields.name.value_or(""),
                  .url = fields.url.value_or(""),
                  .userId = fields.userId.value_or(""),
                  .password = fields.password.value_or(""),
                  .remoteDir = fields.remoteDir.value_or(""),
                  .port = fields.port.value_or(DefaultPortOf(protocol)),
                  .timeDifference = fields.timeDifference.value_or(0),
                  .dataMode = fields.dataMode.value_or(kDataModeAuto),
                  .security = fields.security.value_or(kSecurityTlsIfAvailable),
                  .nameEncoding = fields.nameEncoding.value_or(kNameEncodingAuto),
                  .trustedFingerprint = fields.trustedFingerprint.value_or(""),
                  .connections = fields.connections.value_or(kNewDestinationConnections),
                  .temporaryUploads = fields.temporaryUploads.value_or(1),
                  .clockMode = fields.clockMode.value_or(kClockModeAuto),
                  .protocol = protocol,
                  .keyFile = fields.keyFile.value_or(""),
                  .trustedHostKey = fields.trustedHostKey.value_or("")};
  data.excludePatterns = ChangedPatterns(std::move(data.excludePatterns), fields);
  return Refused(velmorix::AddDestination(settings, data), data.name);
}

CommandError UpdateDestination(AppSettings& settings, std::string_view name,
                               const ServerFields& fields) {
  const int index = FindDestination(settings, name);
  if (index < 0)
    return RefusalText(DestinationError::kUnknownDestination, name);
  ServerData data = ServerDataOf(settings.profiles[index]);
  const int32_t protocol = fields.protocol.value_or(data.protocol);
  if (CommandError mismatch = ProtocolMismatch(fields, protocol, name))
    return mismatch;
  if (protocol != data.protocol && !fields.port)
    data.port = PortForProtocol(data.port, protocol);
  data.protocol = protocol;
  data.keyFile = fields.keyFile.value_or(data.keyFile);
  data.trustedHostKey = fields.trustedHostKey.value_or(data.trustedHostKey);
  data.name = fields.name.value_or(data.name);
  data.url = fields.url.value_or(data.url);
  data.userId = fields.userId.value_or(data.userId);
  data.password = fields.password.value_or(data.password);
  data.remoteDir = fields.remoteDir.value_or(data.remoteDir);
  data.port = fields.port.value_or(data.port);
  data.timeDifference = fields.timeDifference.value_or(data.timeDifference);
  data.dataMode = fields.dataMode.value_or(data.dataMode);
  data.security = fields.security.value_or(data.security);
  data.nameEncoding = fields.nameEncoding.value_or(data.nameEncoding);
  data.trustedFingerprint = fields.trustedFingerprint.value_or(data.trustedFingerprint);
  data.connections = fields.connections.value_or(data.connections);
  data.temporaryUploads = fields.temporaryUploads.value_or(data.temporaryUploads);
  data.excludePatterns = ChangedPatterns(std::move(data.excludePatterns), fields);
  data.clockMode = fields.clockMode.value_or(data.clockMode);
  return Refused(velmorix::UpdateDestination(settings, index, data), data.name);
}

CommandError DeleteDestination(AppSettings& settings, std::string_view name) {
  return Refused(velmorix::DeleteDestination(settings, FindDestination(settings, name)), name);
}

CommandError SetRunFields(AppSettings& settings, std::string_view name, const RunFields& fields) {
  const int index = FindDestination(settings, name);
  if (index < 0)
    return RefusalText(DestinationError::kUnknownDestination, name);
  FtpProfile& profile = settings.profiles[index];
  if (fields.localDir)
    profile.localDir = *fields.localDir;
  TransferOptions& options = profile.options;
  for (auto [field, flag] : {std::pair{&fields.onlyNewer, &options.onlyNewer},
                             {&fields.skipFrontPageFolders, &options.skipFrontPageFolders},
                             {&fields.skipImagesFolder, &options.skipImagesFolder},
                             {&fields.ignoreExeFiles, &options.ignoreExeFiles},
                             {&fields.deleteOnServer, &options.deleteOnServer}}) {
    if (*field)
      *flag = **field;
  }
  return std::nullopt;
}

}  // namespace velmorix::cli
