// UTF-8 as the program keeps names and texts: a character is valid only in
// its shortest form, never a surrogate, and at most U+10FFFF. Pure
// functions; any thread.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string_view>

namespace velmorix {

// The length of the valid UTF-8 character that `text` begins with, and its
// code point; 0 when it does not begin with one (or is empty).
size_t DecodeUtf8(std::string_view text, uint32_t& codePoint);
size_t Utf8CharacterLength(std::string_view text);
bool IsValidUtf8(std::string_view text);

}  // namespace velmorix
