#include "settings/app_settings.h"

namespace velmorix {

void AppSettings::ResetSettings() {
  changeCount = 0;
  lastFtp = -1;
  currentProfile = -1;
  profileCount = 0;
  profiles.fill(FtpProfile{});
}

int AppSettings::FindProfile(std::string_view name) {
  for (int index = 0; index < profileCount; ++index) {
    if (profiles[index].name == name) {
      currentProfile = index;
      return index;
    }
  }
  return -1;
}

}  // namespace velmorix
