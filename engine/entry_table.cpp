#include "engine/entry_table.h"

#include "settings/ascii_case.h"

namespace velmorix {

bool NamesMatch(std::string_view a, std::string_view b) {
  return EqualsIgnoringAsciiCase(a, b);
}

bool HasExeExtension(std::string_view name) {
  const size_t dot = name.rfind('.');
  return dot != std::string_view::npos && NamesMatch(name.substr(dot), ".exe");
}

bool IsImagesFolderName(std::string_view name) {
  return NamesMatch(name, "Images");
}

}  // namespace velmorix
