// The destination lists of the main window and the profile editor, and the
// text fields that show stored texts.
//
// Both windows list the profile names in the order of settings/destinations.h
// (letter case ignored first, then bytes), the same order velmorix-cli uses,
// because "lastFtp" is stored as a position in that order. Each item keeps
// its name's exact bytes, so FindProfile compares bytes, never a converted
// text.
//
// Window thread only.
#pragma once

#include <string>

class QComboBox;
class QLineEdit;

namespace velmorix {
struct AppSettings;
}

namespace velmorix::ui {

// Empties `list` and adds the names of the first profileCount profiles in
// list order. Leaves the list without a selection.
void FillDestinationList(QComboBox* list, const AppSettings& settings);

// Fills `list` as above, then selects the stored selection. A lastFtp that is
// no position of the list (the stored settings were changed from outside)
// counts as none, and with none the first item is taken when there is one;
// lastFtp is set to the position selected. The selected name's profile
// becomes the current one (FindProfile). Returns false, selecting nothing and
// leaving currentProfile alone, when the list is empty.
bool FillDestinationListAndSelect(QComboBox* list, AppSettings& settings);

// The exact bytes of the name at `position`; empty for a position outside the list.
std::string DestinationNameAt(const QComboBox* list, int position);

// Shows the stored text `bytes` in `field` and remembers them: as long as
// the user leaves the text as shown, FieldBytes gives these very bytes back,
// also when they are no valid UTF-8 (a Shift_JIS folder name written by an
// older tool), which the field itself could only show with replacement
// characters.
void ShowFieldBytes(QLineEdit* field, const std::string& bytes);
// The field's text: the bytes ShowFieldBytes gave it while unchanged, else
// the text typed, in UTF-8.
std::string FieldBytes(const QLineEdit* field);

}  // namespace velmorix::ui
