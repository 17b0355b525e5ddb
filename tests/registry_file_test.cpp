// The text form of the key store, read from strings: what a file that ends
// without a line end still yields.
#include "settings/registry/registry_file.h"

#include <optional>
#include <string>

#include <gtest/gtest.h>

namespace velmorix::registry {
namespace {

constexpr std::string_view kPath = "HKEY_CURRENT_USER\\SOFTWARE\\Quenzari\\velmorix\\SETTINGS";

struct LastLineCase {
  const char* fault;
  std::string lines;  // the file's text after its header and section line
  const char* name;   // the value looked for
  std::optional<RegistryValue> expected;
};

TEST(LastLineWithoutLineEndTest, KeepsAValueThatShowsItsEndAndNothingThatMayBeCut) {
  const LastLineCase cases[] = {
      {"TextLost", "\"FTPNAME1\"=\"home site\"", "FTPNAME1", RegistryValue::Text("home site")},
      {"TextEndingInAnEscapedQuoteLost", "\"FTPNAME1\"=\"say \\\"hi\\\"\"", "FTPNAME1",
       RegistryValue::Text("say \"hi\"")},
      {"NumberLost", "\"LASTFTP\"=dword:0000000a", "LASTFTP", RegistryValue::Number(10)},
      {"NumberAfterWindowsLineEndsLost", "\"FIRST\"=dword:00000001\r\n\"LASTFTP\"=dword:00000002",
       "LASTFTP", RegistryValue::Number(2)},
      {"NumberCutBeforeItsCarriageReturnLost", "\"LASTFTP\"=dword:00000003\r", "LASTFTP",
       RegistryValue::Number(3)},
      {"NumberCutShortTakenAsWhole", "\"LASTFTP\"=dword:0000000", "LASTFTP", std::nullopt},
      {"TextWithoutClosingQuoteTakenAsWhole", "\"FTPNAME1\"=\"home", "FTPNAME1", std::nullopt},
      {"TextCutInItsEscapeTakenAsWhole", "\"FTPNAME1\"=\"say \\\"", "FTPNAME1", std::nullopt},
      // A byte list may have been cut between two of its bytes.
      {"ByteListTakenAsWhole", "\"FTPPASS1\"=hex:6a,6b", "FTPPASS1", std::nullopt},
      {"WrappedByteListTakenAsWhole", "\"FTPPASS1\"=hex:6a,\\\n  6b", "FTPPASS1", std::nullopt},
      {"TextInByteFormTakenAsWhole", "\"FTPNAME1\"=hex(1):61,00", "FTPNAME1", std::nullopt},
  };
  for (const LastLineCase& c : cases) {
    SCOPED_TRACE(c.fault);
    const std::string text = "REGEDIT4\n\n[" + std::string(kPath) + "]\n\"BEFORE\"=\"kept\"\n" +
                             c.lines;  // no line end at the end
    const ParsedRegistryFile parsed = ParseRegistryFile(text);
    // Nothing tells a file left open at the end from a truncated one.
    EXPECT_TRUE(parsed.damaged);
    const RegistryValue* before = parsed.tree.FindValue(kPath, "BEFORE");
    EXPECT_TRUE(before != nullptr && *before == RegistryValue::Text("kept"));
    const RegistryValue* read = parsed.tree.FindValue(kPath, c.name);
    if (c.expected) {
      EXPECT_NE(read, nullptr);
      if (read != nullptr) {
        EXPECT_EQ(*read, *c.expected);
      }
    } else {
      EXPECT_EQ(read, nullptr) << read->data;
    }
  }
}

TEST(LastLineWithoutLineEndTest, SectionLineCutAtABracketInsideItsPathMakesNoKey) {
  const ParsedRegistryFile parsed =
      ParseRegistryFile("REGEDIT4\n\n[" + std::string(kPath) + "]\n\"A\"=\"a\"\n[HKEY_X\\a]");
  EXPECT_TRUE(parsed.damaged);
  EXPECT_FALSE(parsed.tree.KeyExists("HKEY_X\\a"));
  EXPECT_NE(parsed.tree.FindValue(kPath, "A"), nullptr);
}

}  // namespace
}  // namespace velmorix::registry
