// ASCII case folding for the names that compare without regard to case:
// remote file names, registry key paths and value names, and the keywords of
// server listings.
//
// Only the letters A-Z and a-z fold; every other byte must be equal, so the
// bytes of a multi-byte UTF-8 character never fold and names that differ
// beyond ASCII stay apart. Independent of the locale. Any thread.
#pragma once

#include <cstddef>
#include <string_view>

namespace velmorix {

// The lower-case letter for A-Z; any other byte unchanged.
constexpr char FoldAsciiCase(char c) {
  return (c >= 'A' && c <= 'Z') ? static_cast<char>(c - 'A' + 'a') : c;
}

// True when `a` and `b` have the same length and their bytes are equal
// after FoldAsciiCase.
constexpr bool EqualsIgnoringAsciiCase(std::string_view a, std::string_view b) {
  if (a.size() != b.size())
    return false;
  for (size_t i = 0; i < a.size(); ++i) {
    if (FoldAsciiCase(a[i]) != FoldAsciiCase(b[i]))
      return false;
  }
  return true;
}

}  // namespace velmorix
