// How a save keeps what another program saved meanwhile: a three-way merge
// of the settings as this program loaded them (the base), as it holds them
// now (ours) and as the store holds them now (theirs). Pure; any thread.
//
// Destinations are matched by name: a destination of ours by the name it
// was loaded with (FtpProfile::loadedName), one of theirs by its stored
// name. For each value, what we changed since the load wins; what we left
// alone takes theirs, so a value both changed ends as ours (the later save
// wins). A destination one side deleted stays deleted, even if the other
// side changed it. Destinations we added are appended after theirs; one we
// added or renamed onto a name theirs holds replaces that one. The result
// never holds more than kMaxProfiles destinations: additions that do not
// fit are left out and named in `dropped`.
#pragma once

#include <string>
#include <vector>

#include "settings/app_settings.h"

namespace velmorix {

AppSettings MergeSettings(const AppSettings& base, const AppSettings& ours,
                          const AppSettings& theirs, std::vector<std::string>* dropped = nullptr);

}  // namespace velmorix
