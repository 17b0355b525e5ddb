#include "base/display_text.h"

#include "base/utf8.h"

#include <cstdint>

namespace velmorix {

void AppendHexByte(std::string& text, unsigned char byte) {
  static constexpr char kHexDigits[] = "0123456789ABCDEF";
  text.push_back(kHexDigits[byte >> 4]);
  text.push_back(kHexDigits[byte & 0xF]);
}

std::string EscapeControlCharacters(std::string_view text, LineBreaks lineBreaks) {
  std::string escaped;
  escaped.reserve(text.size());
  for (const char c : text) {
    const auto byte = static_cast<unsigned char>(c);
    if (byte >= 0x20 && byte != 0x7F) {
      escaped.push_back(c);
      continue;
    }
    switch (c) {
      case '\n':
        escaped.append(lineBreaks == LineBreaks::kKeep ? "\n" : "\\n");
        break;
      case '\r':
        escaped.append("\\r");
        break;
      case '\t':
        escaped.append("\\t");
        break;
      case '\0':
        escaped.append("\\0");
        break;
      default:
        escaped.append("\\x");
        AppendHexByte(escaped, byte);
        break;
    }
  }
  return escaped;
}

std::string EscapeInvalidUtf8(std::string_view text) {
  std::string shown;
  shown.reserve(text.size());
  while (!text.empty()) {
    uint32_t codePoint = 0;
    const size_t length = DecodeUtf8(text, codePoint);
    if (length > 0) {
      shown.append(text.substr(0, length));
      text.remove_prefix(length);
      continue;
    }
    const auto byte = static_cast<unsigned char>(text.front());
    shown.append("\\x");
    AppendHexByte(shown, byte);
    text.remove_prefix(1);
  }
  return EscapeControlCharacters(shown);
}

size_t DisplayWidth(std::string_view text) {
  size_t width = 0;
  while (!text.empty()) {
    uint32_t codePoint = 0;
    const size_t length = DecodeUtf8(text, codePoint);
    if (length == 0) {
      ++width;
      text.remove_prefix(1);
      continue;
    }
    const bool halfWidth = codePoint < 0x80 || (codePoint >= 0xFF61 && codePoint <= 0xFF9F);
    width += halfWidth ? 1 : 2;
    text.remove_prefix(length);
  }
  return width;
}

}  // namespace velmorix
