#pragma once

#include <string>
#include <string_view>

// Where the programs write their log and find their help page: beside the
// program in a build tree or a portable copy, and in the user's state folder
// and the shared data folder once installed.
namespace velmorix {

// What decides where the log goes.
struct ProgramPlace {
  std::string folder;        // the running program's folder, "" when not known
  bool installed = false;    // its help page is the installed one, none beside it
  bool logWritable = false;  // the log can be made or rewritten in `folder`
};

// "VELMORIX.LOG" beside the program when that can be written and the program
// is no installed copy; else in "Quenzari" under the user's state folder
// ($XDG_STATE_HOME, or ~/.local/state).
std::string ChooseLogPath(const ProgramPlace& place, const std::string& stateFolder);

// The log path of this process. A state folder it picks is made when missing.
std::string LogPath();

// The kept history of the changes (run_history.h): "VELMORIX-history.log" in
// "Quenzari" under the user's state folder, for every copy, beside the log
// of an installed one; "" without a state folder. Made when missing, as
// LogPath's folder is.
std::string HistoryPath();

// The help page: `besideName` in the program's folder, else the installed
// page. When neither exists, the path beside the program, so that opening it
// fails as a missing page.
std::string HelpPagePath(std::string_view besideName);

}  // namespace velmorix
