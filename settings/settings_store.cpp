#include "settings/settings_store.h"

#include <algorithm>
#include <cstdlib>
#include <optional>
#include <utility>
#include <vector>

#include "resources/string_table.h"
#include "settings/destinations.h"
#include "settings/registry/key_store.h"
#include "settings/settings_merge.h"

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

// The stored form of a password: an empty text for the empty password,
// else its bytes raised by the shift.
RegistryValue PasswordValue(std::string_view password) {
  if (password.empty())
    return RegistryValue::Text("");
  const int shift = PasswordShift();
  std::string scrambled;
  scrambled.reserve(password.size());
  for (char byte : password) {
    scrambled.push_back(static_cast<char>((static_cast<unsigned char>(byte) + shift) % 256));
  }
  return RegistryValue::Bytes(scrambled);
}

// Writes `value` unless the store holds exactly it already: a save changes
// no more of the file than it must.
void SetIfChanged(RegistryKey& key, std::string_view name, RegistryValue value) {
  const std::optional<RegistryValue> stored = key.QueryValue(name);
  if (!stored || !(*stored == value))
    key.SetValue(name, std::move(value));
}

}  // namespace

SettingsStore::SettingsStore(std::string companyKey, std::string programKey)
    : companyKey_(std::move(companyKey)), programKey_(std::move(programKey)) {}

SettingsStore::~SettingsStore() = default;

std::string SettingsStore::SectionPath(std::string_view section) const {
  return "SOFTWARE\\" + companyKey_ + "\\" + programKey_ + "\\" + std::string(section);
}

std::filesystem::path SettingsStore::StorePath() const {
  return registry::UserKeyStorePath(companyKey_);
}

bool SettingsStore::LockForEdit(std::string* error) {
  if (locked_)
    return true;
  auto keys = std::make_unique<KeyStore>(StorePath());
  if (!keys->Lock(error))
    return false;
  locked_ = std::move(keys);
  return true;
}

void SettingsStore::Read(KeyStore& keys, AppSettings& settings) const {
  const std::optional<RegistryKey> general = keys.OpenKey(SectionPath(strings::kSettingsSection));
  settings.lastFtp = ReadNumber(general, strings::kLastFtp, -1);
  settings.deleteMessage = ReadNumber(general, strings::kLastDeleteMessage, 1);
  settings.deleteDots = ReadNumber(general, strings::kLastDeleteDots, 1);

  const std::optional<RegistryKey> ftp = keys.OpenKey(SectionPath(strings::kFtpSettingsSection));
  const std::vector<StoredProfileValue>& values = StoredProfileValues();
  for (int n = 1; n <= kMaxProfiles; ++n) {
    // The list ends at the first missing or empty name.
    if (ReadText(ftp, values.front().NameFor(n)).empty())
      break;
    FtpProfile& profile = settings.profiles[n - 1];
    for (const StoredProfileValue& value : values) {
      const std::string name = value.NameFor(n);
      switch (value.kind) {
        case StoredProfileValue::Kind::kText:
          value.text(profile) = ReadText(ftp, name);
          break;
        case StoredProfileValue::Kind::kPassword:
          value.text(profile) = ReadPasswordValue(ftp, name);
          break;
        case StoredProfileValue::Kind::kNumber:
          value.number(profile) = ReadNumber(ftp, name, value.defaultNumber);
          break;
      }
    }
    profile.loadedName = profile.name;
    ++settings.profileCount;
  }
}

void SettingsStore::LoadSettings(AppSettings& settings) {
  std::unique_ptr<KeyStore> fresh;
  if (!locked_)
    fresh = std::make_unique<KeyStore>(StorePath());
  KeyStore& keys = locked_ ? *locked_ : *fresh;
  loadError_ = keys.loadError();
  Read(keys, settings);
  base_ = settings;
}

bool SettingsStore::SaveSettings(AppSettings& settings, std::string* error) {
  const auto fail = [error](std::string reason) {
    if (error != nullptr)
      *error = std::move(reason);
    return false;
  };
  // The read of what others saved and the write of the result are one step
  // under the lock.
  std::unique_ptr<KeyStore> fresh;
  if (!locked_) {
    fresh = std::make_unique<KeyStore>(StorePath());
    std::string reason;
    if (!fresh->Lock(&reason))
      return fail(std::move(reason));
  }
  KeyStore& keys = locked_ ? *locked_ : *fresh;
  if (!keys.loadError().empty())
    return fail(keys.loadError());

  AppSettings theirs;
  Read(keys, theirs);
  std::vector<std::string> dropped;
  const AppSettings merged = MergeSettings(base_, settings, theirs, &dropped);

  std::optional<RegistryKey> general = keys.CreateKey(SectionPath(strings::kSettingsSection));
  std::optional<RegistryKey> ftp = keys.CreateKey(SectionPath(strings::kFtpSettingsSection));
  if (!general || !ftp)
    return fail("the settings' keys cannot be made");
  SetIfChanged(*general, strings::kLastFtp, RegistryValue::Number(merged.lastFtp));
  SetIfChanged(*general, strings::kLastDeleteMessage, RegistryValue::Number(merged.deleteMessage));
  SetIfChanged(*general, strings::kLastDeleteDots, RegistryValue::Number(merged.deleteDots));

  const std::vector<StoredProfileValue>& values = StoredProfileValues();
  const int last = std::max(merged.profileCount, theirs.profileCount);
  for (int n = 1; n <= last; ++n) {
    if (n > merged.profileCount) {
      // A position that held a destination and no longer does.
      for (const StoredProfileValue& value : values)
        ftp->DeleteValue(value.NameFor(n));
      continue;
    }
    FtpProfile profile = merged.profiles[n - 1];
    for (const StoredProfileValue& value : values) {
      const std::string name = value.NameFor(n);
      switch (value.kind) {
        case StoredProfileValue::Kind::kText:
          SetIfChanged(*ftp, name, RegistryValue::Text(value.text(profile)));
          break;
        case StoredProfileValue::Kind::kPassword:
          SetIfChanged(*ftp, name, PasswordValue(value.text(profile)));
          break;
        case StoredProfileValue::Kind::kNumber:
          SetIfChanged(*ftp, name, RegistryValue::Number(value.number(profile)));
          break;
      }
    }
  }
  std::string reason;
  if (!keys.Commit(&reason))
    return fail(std::move(reason));

  for (int index = 0; index < settings.profileCount; ++index)
    settings.profiles[index].loadedName = settings.profiles[index].name;
  base_ = settings;
  if (!dropped.empty()) {
    std::string names;
    for (const std::string& name : dropped)
      names += (names.empty() ? "'" : ", '") + name + "'";
    return fail("no room for " + names + ": " + std::to_string(kMaxProfiles) +
                " destinations were saved meanwhile by another program");
  }
  if (error != nullptr)
    error->clear();
  return true;
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
  key->SetValue(valueName, PasswordValue(password));
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
