// Loads the settings from the per-user key store at start-up and saves them
// back at exit. Window thread (or the command line's main thread) only.
//
// Keys: SOFTWARE\<company>\<program>\SETTINGS and ...\FTPSETTINGS. The store
// never reports a failure: what cannot be read takes its default, what cannot
// be written is skipped.
#pragma once

#include <cstdint>
#include <filesystem>
#include <string>
#include <string_view>

#include "settings/app_settings.h"

namespace velmorix {

// The program key that both front ends use: the window program's file name.
inline constexpr std::string_view kWindowProgramKey = "velmorix";

class SettingsStore {
 public:
  SettingsStore(std::string companyKey, std::string programKey);

  // Fills `settings` (which must be in its reset state) and remembers how
  // many profiles it found.
  void LoadSettings(AppSettings& settings);
  // Writes `settings` back, deleting the values of profiles that were loaded
  // but no longer exist.
  void SaveSettings(const AppSettings& settings);

  std::string ReadPassword(std::string_view section, std::string_view valueName) const;
  void WritePassword(std::string_view section, std::string_view valueName,
                     std::string_view password);

  int32_t loadedProfileCount() const { return loadedProfileCount_; }

 private:
  // "SOFTWARE\<company>\<program>\<section>", below HKEY_CURRENT_USER.
  std::string SectionPath(std::string_view section) const;
  // The per-user key store file (settings/registry/key_store.h says where).
  std::filesystem::path StorePath() const;

  std::string companyKey_;
  std::string programKey_;
  int32_t loadedProfileCount_ = 0;
};

// The program key for an executable path: its file name without folder and
// extension ("/usr/bin/velmorix" gives "velmorix").
std::string ProgramKeyFromPath(std::string_view executablePath);

}  // namespace velmorix
