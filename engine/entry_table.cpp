#include "engine/entry_table.h"

namespace velmorix {
namespace {

char FoldAscii(char c) {
  return (c >= 'A' && c <= 'Z') ? static_cast<char>(c - 'A' + 'a') : c;
}

}  // namespace

bool NamesMatch(std::string_view a, std::string_view b) {
  if (a.size() != b.size())
    return false;
  for (size_t i = 0; i < a.size(); ++i) {
    if (FoldAscii(a[i]) != FoldAscii(b[i]))
      return false;
  }
  return true;
}

bool HasExeExtension(std::string_view name) {
  const size_t dot = name.rfind('.');
  return dot != std::string_view::npos && NamesMatch(name.substr(dot), ".exe");
}

bool IsImagesFolderName(std::string_view name) {
  return NamesMatch(name, "Images");
}

}  // namespace velmorix
