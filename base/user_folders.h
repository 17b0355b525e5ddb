#pragma once

#include <string>
#include <string_view>

namespace velmorix {

// The user's home folder: $HOME, else the password database's entry; ""
// when neither tells.
std::string HomeFolder();

// A base folder of the XDG rules: the variable's value when it is an
// absolute path, else `belowHome` in the home folder; "" without a home.
std::string XdgBaseFolder(const char* variable, std::string_view belowHome);

}  // namespace velmorix
