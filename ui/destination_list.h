// The sorted destination lists of the main window and the profile editor.
//
// Both windows keep the profile names in a QComboBox sorted by the byte order
// of the UTF-8 names (std::string comparison), the same order velmorix-cli
// uses, because "lastFtp" is stored as a position in that order. Each item
// keeps its name's exact bytes, so FindProfile compares bytes, never a
// converted text.
//
// Window thread only.
#pragma once

#include <string>

class QComboBox;

namespace velmorix {
struct AppSettings;
}

namespace velmorix::ui {

// Empties `list` and adds the names of the first profileCount profiles.
// Leaves the list without a selection.
void FillDestinationList(QComboBox* list, const AppSettings& settings);

// Fills `list` as above, then selects the stored selection. A lastFtp that is
// no position of the list (the stored settings were changed from outside)
// counts as none, and with none the first item is taken when there is one;
// lastFtp is set to the position selected. The selected name's profile
// becomes the current one (FindProfile). Returns false, selecting nothing and
// leaving currentProfile alone, when the list is empty.
bool FillDestinationListAndSelect(QComboBox* list, AppSettings& settings);

// Inserts `name` at its sorted place and returns its position. The selection
// is whatever the list made of it; callers select explicitly afterwards.
int InsertDestinationName(QComboBox* list, const std::string& name);

// The exact bytes of the name at `position`; empty for a position outside the list.
std::string DestinationNameAt(const QComboBox* list, int position);

}  // namespace velmorix::ui
