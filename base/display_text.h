// Texts shown on a terminal, in a window or in the log, where names come from
// the local disk or from a server that may not be friendly. Pure functions;
// any thread.
#pragma once

#include <cstddef>
#include <string>
#include <string_view>

namespace velmorix {

enum class LineBreaks {
  kEscape,  // a line break is escaped like any other control character
  kKeep,    // "\n" stays (a text of several lines, composed by us)
};

// `text` with every C0 control byte (0x00-0x1F) and DEL (0x7F) written out:
// "\r", "\n", "\t" and "\0" for those, "\xHH" (two upper-case hex digits)
// for the others, so ESC is "\x1B". Everything else, every byte of a
// multi-byte character included, is kept as it is. A text without control
// bytes comes back unchanged.
std::string EscapeControlCharacters(std::string_view text,
                                    LineBreaks lineBreaks = LineBreaks::kEscape);

// `text` with every byte that begins no valid UTF-8 character (overlong
// forms and surrogates included) written out as "\xHH", then with its
// control characters escaped as EscapeControlCharacters does. So the bytes
// "caf", 0xE9, ".txt" give "caf\xE9.txt": a local name of another encoding
// shows what it holds. Valid UTF-8 without control characters comes back
// unchanged.
std::string EscapeInvalidUtf8(std::string_view text);

// Appends `byte` as two upper-case hex digits ("1B").
void AppendHexByte(std::string& text, unsigned char byte);

// The columns `text` (UTF-8) takes in a fixed-width font of the Japanese code
// page: one for an ASCII character and for a half-width katakana
// (U+FF61-U+FF9F), two for every other character. A byte that does not
// begin a valid UTF-8 sequence counts as one column.
size_t DisplayWidth(std::string_view text);

}  // namespace velmorix
