#include "settings/settings_store.h"

#include <cstdlib>
#include <optional>
#include <utility>

#include "resources/string_table.h"
#include "settings/registry/key_store.h"

namespace velmorix {
namespace {

using registry::KeyStore;
using registry::RegistryKey;
using registry::RegistryValue;

// A stored password longer than this cannot be read back.
constexpr size_t kPasswordBufferSize = 256;

int PasswordShift() {
  return static_cast<int>(std::strtol(std::string(strings::kPasswordShift).c_str(), nullptr, 10));
}

std::string NumberedName(std::string_view prefix, int n) {
  return std::string(prefix) + std::to_string(n);
}

std::string OptionName(int n, int k) {
  return std::string(strings::kLastOption) + std::to_string(n) + std::to_string(k);
}

// The generic reads. A value of another type than expected counts as missing.
std::string ReadText(const std::optional<RegistryKey>& key, std::string_view name) {
  if (!key)
    return {};
  const std::optional<RegistryValue> value = key->QueryValue(name);
  if (!value || value->type != registry::kTypeText)
    return {};
  // Readers of a text see it up to its first zero byte, as a C string.
  return value->data.substr(0, value->data.find('\0'));
}

int32_t ReadNumber(const std::optional<RegistryKey>& key, std::string_view name,
                   int32_t defaultValue) {
  if (!key)
    return defaultValue;
  const std::optional<RegistryValue> value = key->QueryValue(name);
  if (!value || value->type != registry::kTypeNumber || value->data.size() != 4) {
    return defaultValue;
  }
  uint32_t number = 0;
  for (int i = 3; i >= 0; --i)
    number = number * 256 + static_cast<unsigned char>(value->data[i]);
  return static_cast<int32_t>(number);
}

std::string ReadPasswordValue(const std::optional<RegistryKey>& key, std::string_view name) {
  if (!key)
    return {};
  const std::optional<RegistryValue> value = key->QueryValue(name);
  // An empty password is stored as an empty text. A text that is not empty
  // is not a form the store writes, so it is taken as missing like any other
  // value of an unexpected type.
  if (!value || value->type != registry::kTypeBytes)
    return {};
  if (value->data.size() > kPasswordBufferSize)
    return {};
  const int shift = PasswordShift();
  std::string password;
  for (char byte : value->data) {
    const auto plain = static_cast<char>((static_cast<unsigned char>(byte) - shift + 256) % 256);
    if (plain == '\0')
      break;
    password.push_back(plain);
  }
  return password;
}

void WritePasswordValue(RegistryKey& key, std::string_view name, std::string_view password) {
  if (password.empty()) {
    key.SetValue(name, RegistryValue::Text(""));
    return;
  }
  const int shift = PasswordShift();
  std::string scrambled;
  scrambled.reserve(password.size());
  for (char byte : password) {
    scrambled.push_back(static_cast<char>((static_cast<unsigned char>(byte) + shift) % 256));
  }
  key.SetValue(name, RegistryValue::Bytes(scrambled));
}

}  // namespace

SettingsStore::SettingsStore(std::string companyKey, std::string programKey)
    : companyKey_(std::move(companyKey)), programKey_(std::move(programKey)) {}

std::string SettingsStore::SectionPath(std::string_view section) const {
  return "SOFTWARE\\" + companyKey_ + "\\" + programKey_ + "\\" + std::string(section);
}

std::filesystem::path SettingsStore::StorePath() const {
  return registry::UserKeyStorePath(companyKey_);
}

void SettingsStore::LoadSettings(AppSettings& settings) {
  KeyStore store(StorePath());

  const std::optional<RegistryKey> general = store.OpenKey(SectionPath(strings::kSettingsSection));
  settings.lastFtp = ReadNumber(general, strings::kLastFtp, -1);
  settings.deleteMessage = ReadNumber(general, strings::kLastDeleteMessage, 1);
  settings.deleteDots = ReadNumber(general, strings::kLastDeleteDots, 1);

  const std::optional<RegistryKey> ftp = store.OpenKey(SectionPath(strings::kFtpSettingsSection));
  for (int n = 1; n <= kMaxProfiles; ++n) {
    std::string name = ReadText(ftp, NumberedName(strings::kFtpName, n));
    if (name.empty())
      break;
    FtpProfile& profile = settings.profiles[n - 1];
    profile.name = std::move(name);
    profile.url = ReadText(ftp, NumberedName(strings::kFtpUrl, n));
    profile.userId = ReadText(ftp, NumberedName(strings::kFtpUserId, n));
    profile.password = ReadPasswordValue(ftp, NumberedName(strings::kFtpPassword, n));
    profile.port = ReadNumber(ftp, NumberedName(strings::kFtpPort, n), kDefaultPort);
    profile.remoteDir = ReadText(ftp, NumberedName(strings::kFtpDir, n));
    profile.localDir = ReadText(ftp, NumberedName(strings::kLocalDir, n));
    profile.timeDifference = ReadNumber(ftp, NumberedName(strings::kLastDeleteDots, n), 0);
    int32_t* flags[] = {&profile.options.onlyNewer, &profile.options.skipFrontPageFolders,
                        &profile.options.skipImagesFolder, &profile.options.ignoreExeFiles,
                        &profile.options.deleteOnServer};
    for (int k = 1; k <= 5; ++k)
      *flags[k - 1] = ReadNumber(ftp, OptionName(n, k), 1);
    ++settings.profileCount;
  }
  loadedProfileCount_ = settings.profileCount;
}

void SettingsStore::SaveSettings(const AppSettings& settings) {
  KeyStore store(StorePath());

  std::optional<RegistryKey> general = store.CreateKey(SectionPath(strings::kSettingsSection));
  std::optional<RegistryKey> ftp = store.CreateKey(SectionPath(strings::kFtpSettingsSection));
  if (!general || !ftp)
    return;

  general->SetValue(strings::kLastFtp, RegistryValue::Number(settings.lastFtp));
  general->SetValue(strings::kLastDeleteMessage, RegistryValue::Number(settings.deleteMessage));
  general->SetValue(strings::kLastDeleteDots, RegistryValue::Number(settings.deleteDots));

  const int last = std::max(settings.profileCount, loadedProfileCount_);
  for (int n = 1; n <= last && n <= kMaxProfiles; ++n) {
    if (n <= settings.profileCount) {
      const FtpProfile& profile = settings.profiles[n - 1];
      ftp->SetValue(NumberedName(strings::kFtpName, n), RegistryValue::Text(profile.name));
      ftp->SetValue(NumberedName(strings::kFtpUrl, n), RegistryValue::Text(profile.url));
      ftp->SetValue(NumberedName(strings::kFtpUserId, n), RegistryValue::Text(profile.userId));
      WritePasswordValue(*ftp, NumberedName(strings::kFtpPassword, n), profile.password);
      ftp->SetValue(NumberedName(strings::kFtpPort, n), RegistryValue::Number(profile.port));
      ftp->SetValue(NumberedName(strings::kFtpDir, n), RegistryValue::Text(profile.remoteDir));
      ftp->SetValue(NumberedName(strings::kLocalDir, n), RegistryValue::Text(profile.localDir));
      ftp->SetValue(NumberedName(strings::kLastDeleteDots, n),
                    RegistryValue::Number(profile.timeDifference));
      const int32_t flags[] = {profile.options.onlyNewer, profile.options.skipFrontPageFolders,
                               profile.options.skipImagesFolder, profile.options.ignoreExeFiles,
                               profile.options.deleteOnServer};
      for (int k = 1; k <= 5; ++k)
        ftp->SetValue(OptionName(n, k), RegistryValue::Number(flags[k - 1]));
    } else {
      for (std::string_view prefix :
           {strings::kFtpName, strings::kFtpUrl, strings::kFtpUserId, strings::kFtpPassword,
            strings::kFtpPort, strings::kFtpDir, strings::kLocalDir, strings::kLastDeleteDots}) {
        ftp->DeleteValue(NumberedName(prefix, n));
      }
      for (int k = 1; k <= 5; ++k)
        ftp->DeleteValue(OptionName(n, k));
    }
  }
  // One locked read-modify-write for the whole save; a failure is silent.
  store.Commit();
}

std::string SettingsStore::ReadPassword(std::string_view section,
                                        std::string_view valueName) const {
  KeyStore store(StorePath());
  return ReadPasswordValue(store.OpenKey(SectionPath(section)), valueName);
}

void SettingsStore::WritePassword(std::string_view section, std::string_view valueName,
                                  std::string_view password) {
  KeyStore store(StorePath());
  std::optional<RegistryKey> key = store.CreateKey(SectionPath(section));
  if (!key)
    return;
  WritePasswordValue(*key, valueName, password);
  store.Commit();
}

std::string ProgramKeyFromPath(std::string_view executablePath) {
  const size_t slash = executablePath.find_last_of('/');
  std::string_view name =
      slash == std::string_view::npos ? executablePath : executablePath.substr(slash + 1);
  // A leading dot names a hidden file, not an extension.
  const size_t dot = name.find_last_of('.');
  if (dot != std::string_view::npos && dot > 0)
    name = name.substr(0, dot);
  return std::string(name);
}

}  // namespace velmorix
