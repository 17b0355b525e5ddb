// Texts for terminals, windows and the log: control characters written out,
// and the columns a name takes in the listing.
#include "base/display_text.h"

#include <string>

#include <gtest/gtest.h>

namespace velmorix {
namespace {

TEST(EscapeControlCharactersTest, ControlBytesAreWrittenOutAndEverythingElseStays) {
  struct Case {
    std::string text;
    LineBreaks lineBreaks;
    std::string shown;
  };
  const Case cases[] = {
      {"index.html", LineBreaks::kEscape, "index.html"},
      {"日本語ｶﾀｶﾅ.html", LineBreaks::kEscape, "日本語ｶﾀｶﾅ.html"},
      {"\x1b[2J\x1b]0;title\a", LineBreaks::kEscape, "\\x1B[2J\\x1B]0;title\\x07"},
      {"forged\rDelete file on FTP : /x", LineBreaks::kEscape, "forged\\rDelete file on FTP : /x"},
      {"two\nlines\tand\x7f", LineBreaks::kEscape, "two\\nlines\\tand\\x7F"},
      {std::string("nul\0byte", 8), LineBreaks::kEscape, "nul\\0byte"},
      {"530 Login incorrect.\nbye\x1b", LineBreaks::kKeep, "530 Login incorrect.\nbye\\x1B"},
  };
  for (const Case& c : cases)
    EXPECT_EQ(EscapeControlCharacters(c.text, c.lineBreaks), c.shown) << c.shown;
}

TEST(EscapeInvalidUtf8Test, BytesOfOtherEncodingsAndControlsAreWrittenOut) {
  struct Case {
    std::string text;
    std::string shown;
  };
  const Case cases[] = {
      {"日本語.html", "日本語.html"},
      {"caf\xe9.txt", "caf\\xE9.txt"},                          // Latin-1
      {"\x93\xfa\x96\x7b.txt", "\\x93\\xFA\\x96{.txt"},         // Shift_JIS 日本
      {"\xe6\x97", "\\xE6\\x97"},                               // a character cut short
      {"\xc0\xaf", "\\xC0\\xAF"},                               // an overlong "/"
      {"\xed\xa0\x80", "\\xED\\xA0\\x80"},                      // a surrogate
      {"\xf0\x9f\x98\x80\x1b[2J", "\xf0\x9f\x98\x80\\x1B[2J"},  // 😀 and ESC
      {"a\\x41", "a\\x41"},                                     // a backslash stays as it is
  };
  for (const Case& c : cases)
    EXPECT_EQ(EscapeInvalidUtf8(c.text), c.shown) << c.shown;
}

TEST(DisplayWidthTest, FullWidthTakesTwoColumnsAsciiAndHalfWidthKatakanaOne) {
  struct Case {
    std::string text;
    size_t width;
  };
  const Case cases[] = {
      {"", 0},
      {"index.html", 10},
      {"日本語.html", 11},  // the listing pads it with 19 spaces to 30
      {"ｶﾀｶﾅ.html", 9},
      {"[画像]", 6},
      {"Ａ〜", 4},
      {"é", 2},         // not in the Japanese code page's single-byte half
      {"\xff\xfe", 2},  // bytes that are no UTF-8 count one each
      {"\xe6\x97", 2},  // a character cut short
  };
  for (const Case& c : cases)
    EXPECT_EQ(DisplayWidth(c.text), c.width) << c.text;
}

}  // namespace
}  // namespace velmorix
