// The text form of the per-user key store: the registry export syntax, so
// that a person can read the file and a Windows registry could import it.
//
//   REGEDIT4
//
//   [HKEY_CURRENT_USER\SOFTWARE\Quenzari\velmorix\SETTINGS]
//   "LASTFTP"=dword:ffffffff
//   "FTPNAME1"="home \"site\""
//   "FTPPASS1"=hex:6a,6b
//
// Texts are UTF-8; only \\ and \" are escaped inside quotes. A text holding a
// line break or a zero byte cannot be written in quotes, so it is written in
// the equivalent byte form hex(1): with its terminating zero. Values of other
// types (hex(2), hex(7), ...) are kept as they were read.
//
// Plain functions on plain data; no thread restrictions.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

namespace velmorix::registry {

// The stored types, numbered as the registry numbers them.
inline constexpr uint32_t kTypeText = 1;    // REG_SZ
inline constexpr uint32_t kTypeBytes = 3;   // REG_BINARY
inline constexpr uint32_t kTypeNumber = 4;  // REG_DWORD

struct RegistryValue {
  uint32_t type = kTypeText;
  // kTypeText: the text without its terminating zero. kTypeNumber: four
  // bytes, least significant first. Any other type: the bytes as stored.
  std::string data;

  static RegistryValue Text(std::string_view text);
  static RegistryValue Number(uint32_t number);
  static RegistryValue Bytes(std::string_view bytes);

  // The length the registry reports for the value: a text counts its
  // terminating zero.
  size_t StoredLength() const;

  bool operator==(const RegistryValue&) const = default;
};

struct NamedValue {
  std::string name;  // "" is the key's default value, written as @
  RegistryValue value;
};

struct RegistryKeyEntry {
  std::string path;                // as in the brackets: "HKEY_CURRENT_USER\SOFTWARE\..."
  std::vector<NamedValue> values;  // in file order
};

// Compares key paths and value names as the registry does: ASCII letters
// without regard to case, every other byte exactly.
bool NamesEqual(std::string_view a, std::string_view b);

// The keys and values of one file, in file order. Lookups are linear: a file
// holds a few hundred values at most.
class RegistryTree {
 public:
  const RegistryKeyEntry* FindKey(std::string_view path) const;
  // True when the key has a section of its own or lies above one.
  bool KeyExists(std::string_view path) const;
  // Returns the key, appending an empty one when it is missing.
  RegistryKeyEntry& CreateKey(std::string_view path);

  const RegistryValue* FindValue(std::string_view path, std::string_view name) const;
  // Creates the key when needed; replaces a value of that name (whatever the
  // letter case it was written in) where it stands.
  void SetValue(std::string_view path, std::string_view name, RegistryValue value);
  void DeleteValue(std::string_view path, std::string_view name);

  const std::vector<RegistryKeyEntry>& keys() const { return keys_; }

 private:
  RegistryKeyEntry* FindMutableKey(std::string_view path);

  std::vector<RegistryKeyEntry> keys_;
};

struct ParsedRegistryFile {
  RegistryTree tree;
  // Something in the file could not be read: a line of unknown form, a value
  // outside a section, a missing header, a last line without a line end.
  // Everything that could be read is in the tree all the same; of a last
  // line without a line end, that is a quoted text with its closing quote
  // or a number with all eight digits, as nothing else shows that the line
  // was not cut short.
  bool damaged = false;
};

// Never fails: what cannot be read is skipped and marks the file damaged.
ParsedRegistryFile ParseRegistryFile(std::string_view text);
std::string FormatRegistryFile(const RegistryTree& tree);

}  // namespace velmorix::registry
