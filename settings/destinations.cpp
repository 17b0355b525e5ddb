#include "settings/destinations.h"

#include <algorithm>

#include "base/ascii_case.h"
#include "base/display_text.h"
#include "resources/string_table.h"
#include "settings/exclusion_patterns.h"

namespace velmorix {
namespace {

bool IsAsciiSpace(char c) {
  return c == ' ' || c == '\t' || c == '\n' || c == '\v' || c == '\f' || c == '\r';
}

bool IsInRange(int32_t value, int32_t lowest, int32_t highest) {
  return value >= lowest && value <= highest;
}

int HexDigitValue(char c) {
  if (c >= '0' && c <= '9')
    return c - '0';
  const char folded = FoldAsciiCase(c);
  if (folded >= 'a' && folded <= 'f')
    return folded - 'a' + 10;
  return -1;
}

constexpr std::string_view kFingerprintPrefix = "SHA256:";
constexpr size_t kFingerprintBytes = 32;  // a SHA-256 digest

DestinationError CheckServerData(const AppSettings& settings, const ServerData& data, int except) {
  if (data.name.empty())
    return DestinationError::kEmptyName;
  for (int index = 0; index < settings.profileCount; ++index) {
    if (index != except && settings.profiles[index].name == data.name)
      return DestinationError::kDuplicateName;
  }
  if (!IsInRange(data.dataMode, kDataModeAuto, kDataModeActive) ||
      !IsInRange(data.security, kSecurityNone, kSecurityTlsRequired) ||
      !IsInRange(data.nameEncoding, kNameEncodingAuto, kNameEncodingEucJp) ||
      !IsInRange(data.connections, kMinConnections, kMaxConnections) ||
      !IsInRange(data.temporaryUploads, 0, 1) ||
      !IsInRange(data.autoNameEncoding, kNameEncodingAuto, kNameEncodingEucJp) ||
      (data.autoDataMode != kDataModeAuto && data.autoDataMode != kDataModeActive) ||
      !IsInRange(data.clockMode, kClockModeTimeDifference, kClockModeAuto) ||
      (data.clockOffset != kClockOffsetNotLearned && !IsLearnedClockOffset(data.clockOffset)) ||
      !IsInRange(data.protocol, kProtocolFtp, kProtocolSftp)) {
    return DestinationError::kValueOutOfRange;
  }
  if (!data.trustedFingerprint.empty() &&
      NormalizeFingerprint(data.trustedFingerprint) != data.trustedFingerprint) {
    return DestinationError::kValueOutOfRange;
  }
  if (!data.trustedHostKey.empty() && !IsHostKeyFingerprint(data.trustedHostKey))
    return DestinationError::kValueOutOfRange;
  if (FindRefusedPattern(data.excludePatterns))
    return DestinationError::kInvalidPattern;
  return CheckPassword(data.password);
}

void StoreServerData(const ServerData& data, FtpProfile& profile) {
  profile.name = data.name;
  profile.url = data.url;
  profile.userId = data.userId;
  profile.password = data.password;
  profile.remoteDir = data.remoteDir;
  profile.port = data.port;
  profile.timeDifference = data.timeDifference;
  profile.dataMode = data.dataMode;
  profile.security = data.security;
  profile.nameEncoding = data.nameEncoding;
  profile.trustedFingerprint = data.trustedFingerprint;
  profile.connections = data.connections;
  profile.temporaryUploads = data.temporaryUploads;
  profile.autoNameEncoding = data.autoNameEncoding;
  profile.autoDataMode = data.autoDataMode;
  profile.excludePatterns = data.excludePatterns;
  profile.clockMode = data.clockMode;
  profile.clockOffset = data.clockOffset;
  profile.protocol = data.protocol;
  profile.keyFile = data.keyFile;
  profile.trustedHostKey = data.trustedHostKey;
}

}  // namespace

bool ListsBefore(std::string_view a, std::string_view b) {
  const size_t common = std::min(a.size(), b.size());
  for (size_t i = 0; i < common; ++i) {
    const auto foldedA = static_cast<unsigned char>(FoldAsciiCase(a[i]));
    const auto foldedB = static_cast<unsigned char>(FoldAsciiCase(b[i]));
    if (foldedA != foldedB)
      return foldedA < foldedB;
  }
  if (a.size() != b.size())
    return a.size() < b.size();
  return a < b;
}

std::vector<int> SortedProfiles(const AppSettings& settings) {
  std::vector<int> order;
  for (int index = 0; index < settings.profileCount; ++index)
    order.push_back(index);
  std::stable_sort(order.begin(), order.end(), [&settings](int a, int b) {
    return ListsBefore(settings.profiles[a].name, settings.profiles[b].name);
  });
  return order;
}

int ListPosition(const AppSettings& settings, int index) {
  const std::vector<int> order = SortedProfiles(settings);
  const auto found = std::find(order.begin(), order.end(), index);
  return found == order.end() ? -1 : static_cast<int>(found - order.begin());
}

int ProfileAtPosition(const AppSettings& settings, int position) {
  const std::vector<int> order = SortedProfiles(settings);
  if (position < 0 || position >= static_cast<int>(order.size()))
    return -1;
  return order[static_cast<size_t>(position)];
}

int FindDestination(const AppSettings& settings, std::string_view name) {
  for (int index = 0; index < settings.profileCount; ++index) {
    if (settings.profiles[index].name == name)
      return index;
  }
  return -1;
}

int ChosenDestination(const AppSettings& settings) {
  return ProfileAtPosition(settings, settings.lastFtp);
}

void ChooseDestination(AppSettings& settings, int index) {
  settings.lastFtp = ListPosition(settings, index);
  settings.currentProfile = settings.lastFtp < 0 ? -1 : index;
}

PortCheck ParsePort(std::string_view text, int32_t& port) {
  while (!text.empty() && IsAsciiSpace(text.front()))
    text.remove_prefix(1);
  while (!text.empty() && IsAsciiSpace(text.back()))
    text.remove_suffix(1);
  bool negative = false;
  if (!text.empty() && (text.front() == '+' || text.front() == '-')) {
    negative = text.front() == '-';
    text.remove_prefix(1);
  }
  if (text.empty() ||
      !std::all_of(text.begin(), text.end(), [](char c) { return c >= '0' && c <= '9'; })) {
    return PortCheck::kNotWholeNumber;
  }
  int64_t value = 0;
  for (const char digit : text) {
    if (value <= kHighestPort)
      value = value * 10 + (digit - '0');
  }
  if (negative)
    value = -value;
  if (value < kLowestPort || value > kHighestPort)
    return PortCheck::kOutOfRange;
  port = static_cast<int32_t>(value);
  return PortCheck::kValid;
}

int32_t DefaultPortOf(int32_t protocol) {
  return protocol == kProtocolSftp ? kDefaultSftpPort : kDefaultPort;
}

int32_t PortForProtocol(int32_t port, int32_t protocol) {
  const int32_t other = protocol == kProtocolSftp ? kProtocolFtp : kProtocolSftp;
  return port == DefaultPortOf(other) ? DefaultPortOf(protocol) : port;
}

bool IsHostKeyFingerprint(std::string_view text) {
  constexpr std::string_view kPrefix = "SHA256:";
  constexpr std::string_view kBase64 =
      "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/";
  constexpr size_t kDigits = 43;  // 256 bits in 6-bit digits, unpadded
  if (!text.starts_with(kPrefix) || text.size() != kPrefix.size() + kDigits)
    return false;
  text.remove_prefix(kPrefix.size());
  for (const char c : text) {
    if (kBase64.find(c) == std::string_view::npos)
      return false;
  }
  // The last digit holds the digest's last 4 bits; its low 2 bits are 0.
  return kBase64.find(text.back()) % 4 == 0;
}

bool IsLearnedClockOffset(int32_t minutes) {
  return IsInRange(minutes, -kMaxClockOffsetMinutes, kMaxClockOffsetMinutes);
}

DestinationError CheckPassword(std::string_view password) {
  if (password.size() > kMaxPasswordBytes)
    return DestinationError::kPasswordTooLong;
  if (password.find('\0') != std::string_view::npos)
    return DestinationError::kPasswordHasZeroByte;
  return DestinationError::kNone;
}

std::optional<std::string> NormalizeFingerprint(std::string_view text) {
  if (!EqualsIgnoringAsciiCase(text.substr(0, kFingerprintPrefix.size()), kFingerprintPrefix))
    return std::nullopt;
  text.remove_prefix(kFingerprintPrefix.size());
  // The pairs are either all joined by ":" or all run together.
  const size_t stride = text.size() == kFingerprintBytes * 3 - 1 ? 3 : 2;
  if (stride == 2 && text.size() != kFingerprintBytes * 2)
    return std::nullopt;
  std::string normal(kFingerprintPrefix);
  for (size_t pair = 0; pair < kFingerprintBytes; ++pair) {
    const size_t at = pair * stride;
    if (stride == 3 && pair > 0 && text[at - 1] != ':')
      return std::nullopt;
    const int high = HexDigitValue(text[at]);
    const int low = HexDigitValue(text[at + 1]);
    if (high < 0 || low < 0)
      return std::nullopt;
    if (pair > 0)
      normal.push_back(':');
    AppendHexByte(normal, static_cast<unsigned char>(high * 16 + low));
  }
  return normal;
}

ServerData ServerDataOf(const FtpProfile& profile) {
  return ServerData{.name = profile.name,
                    .url = profile.url,
                    .userId = profile.userId,
                    .password = profile.password,
                    .remoteDir = profile.remoteDir,
                    .port = profile.port,
                    .timeDifference = profile.timeDifference,
                    .dataMode = profile.dataMode,
                    .security = profile.security,
                    .nameEncoding = profile.nameEncoding,
                    .trustedFingerprint = profile.trustedFingerprint,
                    .connections = profile.connections,
                    .temporaryUploads = profile.temporaryUploads,
                    .autoNameEncoding = profile.autoNameEncoding,
                    .autoDataMode = profile.autoDataMode,
                    .excludePatterns = profile.excludePatterns,
                    .clockMode = profile.clockMode,
                    // A stored number out of range counts as nothing learned.
                    .clockOffset = IsLearnedClockOffset(profile.clockOffset)
                                       ? profile.clockOffset
                                       : kClockOffsetNotLearned,
                    .protocol = profile.protocol,
                    .keyFile = profile.keyFile,
                    .trustedHostKey = profile.trustedHostKey};
}

FtpProfile ProfileWith(const ServerData& data) {
  FtpProfile profile;
  StoreServerData(data, profile);
  return profile;
}

DestinationError AddDestination(AppSettings& settings, const ServerData& data, int* index) {
  if (settings.profileCount >= kMaxProfiles)
    return DestinationError::kListFull;
  if (const DestinationError error = CheckServerData(settings, data, -1);
      error != DestinationError::kNone) {
    return error;
  }
  const int chosen = ChosenDestination(settings);
  const int added = settings.profileCount;
  FtpProfile& slot = settings.profiles[added];
  slot = FtpProfile{};  // an empty local folder and all five options on
  StoreServerData(data, slot);
  ++settings.profileCount;
  ++settings.changeCount;
  settings.lastFtp = ListPosition(settings, chosen);
  if (index != nullptr)
    *index = added;
  return DestinationError::kNone;
}

DestinationError UpdateDestination(AppSettings& settings, int index, const ServerData& data) {
  if (index < 0 || index >= settings.profileCount)
    return DestinationError::kUnknownDestination;
  if (const DestinationError error = CheckServerData(settings, data, index);
      error != DestinationError::kNone) {
    return error;
  }
  const int chosen = ChosenDestination(settings);
  FtpProfile& profile = settings.profiles[index];
  const bool otherServer =
      data.url != profile.url || data.port != profile.port || data.protocol != profile.protocol;
  const bool keptFingerprint = data.trustedFingerprint == profile.trustedFingerprint;
  const bool keptHostKey = data.trustedHostKey == profile.trustedHostKey;
  const bool keptDataMode = data.autoDataMode == profile.autoDataMode;
  const bool stillAuto =
      profile.nameEncoding == kNameEncodingAuto && data.nameEncoding == kNameEncodingAuto;
  const bool clockStillAuto =
      profile.clockMode == kClockModeAuto && data.clockMode == kClockModeAuto;
  StoreServerData(data, profile);
  if (otherServer && keptFingerprint)
    profile.trustedFingerprint.clear();
  if (otherServer && keptHostKey)
    profile.trustedHostKey.clear();
  if (otherServer || !stillAuto)
    profile.autoNameEncoding = kNameEncodingAuto;
  if ((otherServer && keptDataMode) || data.dataMode != kDataModeAuto)
    profile.autoDataMode = kDataModeAuto;
  if (otherServer || !clockStillAuto)
    profile.clockOffset = kClockOffsetNotLearned;
  ++settings.changeCount;
  settings.lastFtp = ListPosition(settings, chosen);
  return DestinationError::kNone;
}

DestinationError RecordTlsConnection(AppSettings& settings, int index,
                                     std::string_view acceptedFingerprint) {
  if (index < 0 || index >= settings.profileCount)
    return DestinationError::kUnknownDestination;
  std::optional<std::string> fingerprint;
  if (!acceptedFingerprint.empty()) {
    fingerprint = NormalizeFingerprint(acceptedFingerprint);
    if (!fingerprint)
      return DestinationError::kValueOutOfRange;
  }
  FtpProfile& profile = settings.profiles[index];
  bool changed = false;
  if (profile.security != kSecurityTlsRequired) {
    profile.security = kSecurityTlsRequired;
    changed = true;
  }
  if (fingerprint && *fingerprint != profile.trustedFingerprint) {
    profile.trustedFingerprint = std::move(*fingerprint);
    changed = true;
  }
  if (changed)
    ++settings.changeCount;
  return DestinationError::kNone;
}

DestinationError RecordNameEncoding(AppSettings& settings, int index, int32_t decided) {
  if (index < 0 || index >= settings.profileCount)
    return DestinationError::kUnknownDestination;
  if (!IsInRange(decided, kNameEncodingAuto, kNameEncodingEucJp))
    return DestinationError::kValueOutOfRange;
  FtpProfile& profile = settings.profiles[index];
  if (decided == kNameEncodingAuto || profile.nameEncoding != kNameEncodingAuto ||
      profile.autoNameEncoding == decided) {
    return DestinationError::kNone;
  }
  profile.autoNameEncoding = decided;
  ++settings.changeCount;
  return DestinationError::kNone;
}

DestinationError RecordAutoDataMode(AppSettings& settings, int index, int32_t learned) {
  if (index < 0 || index >= settings.profileCount)
    return DestinationError::kUnknownDestination;
  if (learned != kDataModeAuto && learned != kDataModeActive)
    return DestinationError::kValueOutOfRange;
  FtpProfile& profile = settings.profiles[index];
  if (profile.dataMode != kDataModeAuto || profile.autoDataMode == learned)
    return DestinationError::kNone;
  profile.autoDataMode = learned;
  ++settings.changeCount;
  return DestinationError::kNone;
}

DestinationError RecordClockOffset(AppSettings& settings, int index, int32_t minutes) {
  if (index < 0 || index >= settings.profileCount)
    return DestinationError::kUnknownDestination;
  if (minutes == kClockOffsetNotLearned)
    return DestinationError::kNone;
  if (!IsLearnedClockOffset(minutes))
    return DestinationError::kValueOutOfRange;
  FtpProfile& profile = settings.profiles[index];
  if (profile.clockMode != kClockModeAuto || profile.clockOffset == minutes)
    return DestinationError::kNone;
  profile.clockOffset = minutes;
  ++settings.changeCount;
  return DestinationError::kNone;
}

DestinationError DeleteDestination(AppSettings& settings, int index) {
  if (index < 0 || index >= settings.profileCount)
    return DestinationError::kUnknownDestination;
  const int chosen = ChosenDestination(settings);
  const int chosenPosition = settings.lastFtp;
  for (int slot = index; slot + 1 < settings.profileCount; ++slot)
    settings.profiles[slot] = std::move(settings.profiles[slot + 1]);
  settings.profiles[--settings.profileCount] = FtpProfile{};
  ++settings.changeCount;

  if (chosen == index) {
    // The item above the deleted one, or none when it was the first.
    const int above = chosenPosition >= 1 ? ProfileAtPosition(settings, chosenPosition - 1) : -1;
    ChooseDestination(settings, above);
    return DestinationError::kNone;
  }
  const int moved = chosen > index ? chosen - 1 : chosen;
  settings.lastFtp = ListPosition(settings, moved);
  if (settings.currentProfile == index) {
    settings.currentProfile = -1;
  } else if (settings.currentProfile > index) {
    --settings.currentProfile;
  }
  return DestinationError::kNone;
}

// --- Stored values ------------------------------------------------------------------

std::string StoredProfileValue::NameFor(int n) const {
  std::string name(prefix);
  name += std::to_string(n);
  if (optionNumber > 0)
    name += std::to_string(optionNumber);
  return name;
}

bool StoredProfileValue::SameIn(const FtpProfile& a, const FtpProfile& b) const {
  auto& first = const_cast<FtpProfile&>(a);
  auto& second = const_cast<FtpProfile&>(b);
  return kind == Kind::kNumber ? number(first) == number(second) : text(first) == text(second);
}

void StoredProfileValue::Copy(const FtpProfile& from, FtpProfile& to) const {
  auto& source = const_cast<FtpProfile&>(from);
  if (kind == Kind::kNumber) {
    number(to) = number(source);
  } else {
    text(to) = text(source);
  }
}

const std::vector<StoredProfileValue>& StoredProfileValues() {
  using Kind = StoredProfileValue::Kind;
  static const std::vector<StoredProfileValue> values = {
      {.prefix = strings::kFtpName,
       .kind = Kind::kText,
       .text = [](FtpProfile& p) -> std::string& { return p.name; }},
      {.prefix = strings::kFtpUrl,
       .kind = Kind::kText,
       .text = [](FtpProfile& p) -> std::string& { return p.url; }},
      {.prefix = strings::kFtpUserId,
       .kind = Kind::kText,
       .text = [](FtpProfile& p) -> std::string& { return p.userId; }},
      {.prefix = strings::kFtpPassword,
       .kind = Kind::kPassword,
       .text = [](FtpProfile& p) -> std::string& { return p.password; }},
      {.prefix = strings::kFtpPort,
       .kind = Kind::kNumber,
       .number = [](FtpProfile& p) -> int32_t& { return p.port; },
       .defaultNumber = kDefaultPort},
      {.prefix = strings::kFtpDir,
       .kind = Kind::kText,
       .text = [](FtpProfile& p) -> std::string& { return p.remoteDir; }},
      {.prefix = strings::kLocalDir,
       .kind = Kind::kText,
       .text = [](FtpProfile& p) -> std::string& { return p.localDir; }},
      // The time difference shares its prefix with the global dot-file switch.
      {.prefix = strings::kLastDeleteDots,
       .kind = Kind::kNumber,
       .number = [](FtpProfile& p) -> int32_t& { return p.timeDifference; },
       .defaultNumber = 0},
      {.prefix = strings::kLastOption,
       .optionNumber = 1,
       .kind = Kind::kNumber,
       .number = [](FtpProfile& p) -> int32_t& { return p.options.onlyNewer; },
       .defaultNumber = 1},
      {.prefix = strings::kLastOption,
       .optionNumber = 2,
       .kind = Kind::kNumber,
       .number = [](FtpProfile& p) -> int32_t& { return p.options.skipFrontPageFolders; },
       .defaultNumber = 1},
      {.prefix = strings::kLastOption,
       .optionNumber = 3,
       .kind = Kind::kNumber,
       .number = [](FtpProfile& p) -> int32_t& { return p.options.skipImagesFolder; },
       .defaultNumber = 1},
      {.prefix = strings::kLastOption,
       .optionNumber = 4,
       .kind = Kind::kNumber,
       .number = [](FtpProfile& p) -> int32_t& { return p.options.ignoreExeFiles; },
       .defaultNumber = 1},
      {.prefix = strings::kLastOption,
       .optionNumber = 5,
       .kind = Kind::kNumber,
       .number = [](FtpProfile& p) -> int32_t& { return p.options.deleteOnServer; },
       .defaultNumber = 1},
      // Beyond the first thirteen: files written before they existed
      // load with the default.
      {.prefix = strings::kFtpDataMode,
       .kind = Kind::kNumber,
       .number = [](FtpProfile& p) -> int32_t& { return p.dataMode; },
       .defaultNumber = kDataModeAuto},
      // Plain FTP, as every destination was before TLS could be chosen.
      {.prefix = strings::kFtpSecurity,
       .kind = Kind::kNumber,
       .number = [](FtpProfile& p) -> int32_t& { return p.security; },
       .defaultNumber = kSecurityNone},
      {.prefix = strings::kFtpNameEncoding,
       .kind = Kind::kNumber,
       .number = [](FtpProfile& p) -> int32_t& { return p.nameEncoding; },
       .defaultNumber = kNameEncodingAuto},
      {.prefix = strings::kFtpTrustedCertificate,
       .kind = Kind::kText,
       .text = [](FtpProfile& p) -> std::string& { return p.trustedFingerprint; },
       .boundToServer = true},
      // One connection, as every run had before more could be chosen.
      {.prefix = strings::kFtpConnections,
       .kind = Kind::kNumber,
       .number = [](FtpProfile& p) -> int32_t& { return p.connections; },
       .defaultNumber = kMinConnections},
      // Under the real names, as every upload went before.
      {.prefix = strings::kFtpTemporaryUploads,
       .kind = Kind::kNumber,
       .number = [](FtpProfile& p) -> int32_t& { return p.temporaryUploads; },
       .defaultNumber = 0},
      // Nothing decided yet, as for every destination before 自動 kept
      // its decision.
      {.prefix = strings::kFtpAutoNameEncoding,
       .kind = Kind::kNumber,
       .number = [](FtpProfile& p) -> int32_t& { return p.autoNameEncoding; },
       .defaultNumber = kNameEncodingAuto,
       .boundToServer = true},
      // Nothing learned, as for every destination before 自動 kept what
      // it found about data connections.
      {.prefix = strings::kFtpAutoDataMode,
       .kind = Kind::kNumber,
       .number = [](FtpProfile& p) -> int32_t& { return p.autoDataMode; },
       .defaultNumber = kDataModeAuto,
       .boundToServer = true},
      // None, as for every destination before patterns could be given. One
      // pattern per line: the store keeps a text with line breaks whole.
      {.prefix = strings::kFtpExcludePatterns,
       .kind = Kind::kText,
       .text = [](FtpProfile& p) -> std::string& { return p.excludePatterns; }},
      // Times read as the time-difference flag says, as every run read
      // them before the server's clock could be learned.
      {.prefix = strings::kFtpClockMode,
       .kind = Kind::kNumber,
       .number = [](FtpProfile& p) -> int32_t& { return p.clockMode; },
       .defaultNumber = kClockModeTimeDifference},
      {.prefix = strings::kFtpClockOffset,
       .kind = Kind::kNumber,
       .number = [](FtpProfile& p) -> int32_t& { return p.clockOffset; },
       .defaultNumber = kClockOffsetNotLearned,
       .boundToServer = true},
      // FTP, the only protocol before SFTP could be chosen.
      {.prefix = strings::kFtpProtocol,
       .kind = Kind::kNumber,
       .number = [](FtpProfile& p) -> int32_t& { return p.protocol; },
       .defaultNumber = kProtocolFtp},
      {.prefix = strings::kFtpKeyFile,
       .kind = Kind::kText,
       .text = [](FtpProfile& p) -> std::string& { return p.keyFile; }},
      {.prefix = strings::kFtpHostKey,
       .kind = Kind::kText,
       .text = [](FtpProfile& p) -> std::string& { return p.trustedHostKey; },
       .boundToServer = true},
  };
  return values;
}

}  // namespace velmorix
