// Loads the settings from the per-user key store at start-up and saves them
// back at exit. Window thread (or the command line's main thread) only.
//
// Keys: SOFTWARE\<company>\<program>\SETTINGS and ...\FTPSETTINGS. A save
// keeps what other programs saved since the load: it writes only what this
// program changed, merged value by value and by destination name with the
// store as it is at the moment of the save (settings/settings_merge.h), and
// only the values that then differ from the file.
#pragma once

#include <cstdint>
#include <filesystem>
#include <memory>
#include <string>
#include <string_view>

#include "settings/app_settings.h"

namespace velmorix {

namespace registry {
class KeyStore;
}

// The program key that both front ends use: the window program's file name.
inline constexpr std::string_view kWindowProgramKey = "velmorix";

class SettingsStore {
 public:
  SettingsStore(std::string companyKey, std::string programKey);
  ~SettingsStore();
  SettingsStore(const SettingsStore&) = delete;
  SettingsStore& operator=(const SettingsStore&) = delete;

  // Takes the store's lock until this object is destroyed, so that the next
  // load and save are one step that no other program's save can come
  // between (a command that loads, changes and saves at once). False, with
  // `error` naming the file and the reason, when the lock cannot be taken.
  bool LockForEdit(std::string* error = nullptr);

  // Fills `settings` (which must be in its reset state); every profile's
  // loadedName is its name. What was loaded is the base of the next save.
  // A file that exists but cannot be read loads as empty; loadError() says
  // why (and a save then fails rather than replace it).
  void LoadSettings(AppSettings& settings);
  // Writes what `settings` changed since the load (or the last save),
  // merged with what other programs saved meanwhile. False, with `error`
  // saying why, when the file could not be read or written, or when
  // destinations added here did not fit beside those saved meanwhile (the
  // rest is saved then). After a save the loaded names of `settings` are
  // its names and it is the base of the next one.
  bool SaveSettings(AppSettings& settings, std::string* error = nullptr);

  std::string ReadPassword(std::string_view section, std::string_view valueName) const;
  void WritePassword(std::string_view section, std::string_view valueName,
                     std::string_view password);

  int32_t loadedProfileCount() const { return base_.profileCount; }
  const std::string& loadError() const { return loadError_; }

 private:
  // "SOFTWARE\<company>\<program>\<section>", below HKEY_CURRENT_USER.
  std::string SectionPath(std::string_view section) const;
  // The per-user key store file (settings/registry/key_store.h says where).
  std::filesystem::path StorePath() const;
  // Reads everything the store holds for this program from `keys`.
  void Read(registry::KeyStore& keys, AppSettings& settings) const;

  std::string companyKey_;
  std::string programKey_;
  std::unique_ptr<registry::KeyStore> locked_;  // while LockForEdit holds the lock
  AppSettings base_;                            // as loaded or last saved
  std::string loadError_;
};

// The program key for an executable path: its file name without folder and
// extension ("/usr/bin/velmorix" gives "velmorix").
std::string ProgramKeyFromPath(std::string_view executablePath);

}  // namespace velmorix
