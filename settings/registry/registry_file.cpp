#include "settings/registry/registry_file.h"

#include <algorithm>
#include <cstdio>
#include <optional>
#include <utility>

#include "base/ascii_case.h"

namespace velmorix::registry {
namespace {

constexpr std::string_view kHeader = "REGEDIT4";
// The header of the newer export form; its value syntax is the same, so such
// a file is read as well (and written back in the older form).
constexpr std::string_view kNewerHeader = "Windows Registry Editor Version 5.00";
constexpr std::string_view kByteOrderMark = "\xEF\xBB\xBF";
// Byte lists are wrapped so that no line grows much beyond this.
constexpr size_t kWrapColumn = 77;

bool IsBlank(char c) {
  return c == ' ' || c == '\t';
}

std::string_view Trim(std::string_view text) {
  while (!text.empty() && IsBlank(text.front()))
    text.remove_prefix(1);
  while (!text.empty() && IsBlank(text.back()))
    text.remove_suffix(1);
  return text;
}

bool StartsWithFolded(std::string_view text, std::string_view prefix) {
  return text.size() >= prefix.size() && NamesEqual(text.substr(0, prefix.size()), prefix);
}

int HexDigit(char c) {
  if (c >= '0' && c <= '9')
    return c - '0';
  c = FoldAsciiCase(c);
  if (c >= 'a' && c <= 'f')
    return c - 'a' + 10;
  return -1;
}

std::optional<uint32_t> ParseHexNumber(std::string_view digits, size_t maxDigits) {
  if (digits.empty() || digits.size() > maxDigits)
    return std::nullopt;
  uint32_t number = 0;
  for (char c : digits) {
    const int digit = HexDigit(c);
    if (digit < 0)
      return std::nullopt;
    number = number * 16 + static_cast<uint32_t>(digit);
  }
  return number;
}

// "6a,6b,0" -> the bytes; a trailing comma is allowed (it is left over where a
// wrapped list was joined), any other empty item is not.
std::optional<std::string> ParseByteList(std::string_view list) {
  std::string bytes;
  list = Trim(list);
  if (list.empty())
    return bytes;
  size_t start = 0;
  while (start <= list.size()) {
    const size_t comma = std::min(list.find(',', start), list.size());
    const std::string_view item = Trim(list.substr(start, comma - start));
    if (item.empty()) {
      if (comma == list.size() && start > 0)
        break;  // the trailing comma
      return std::nullopt;
    }
    const std::optional<uint32_t> byte = ParseHexNumber(item, 2);
    if (!byte)
      return std::nullopt;
    bytes.push_back(static_cast<char>(*byte));
    start = comma + 1;
  }
  return bytes;
}

// Reads a quoted text that starts at text[0] == '"'. On success `end` is the
// position after the closing quote.
std::optional<std::string> ParseQuoted(std::string_view text, size_t& end) {
  std::string result;
  for (size_t i = 1; i < text.size(); ++i) {
    const char c = text[i];
    if (c == '"') {
      end = i + 1;
      return result;
    }
    if (c == '\\') {
      if (i + 1 >= text.size() || (text[i + 1] != '\\' && text[i + 1] != '"'))
        return std::nullopt;
      result.push_back(text[++i]);
    } else {
      result.push_back(c);
    }
  }
  return std::nullopt;  // no closing quote
}

std::string Quote(std::string_view text) {
  std::string quoted = "\"";
  for (char c : text) {
    if (c == '\\' || c == '"')
      quoted.push_back('\\');
    quoted.push_back(c);
  }
  quoted.push_back('"');
  return quoted;
}

// The data of a value line, after "=". Returns nothing when it cannot be
// read; sets `deletion` for the "-" form that removes a value on import.
std::optional<RegistryValue> ParseData(std::string_view data, bool& deletion) {
  deletion = false;
  if (data == "-") {
    deletion = true;
    return std::nullopt;
  }
  if (!data.empty() && data.front() == '"') {
    size_t end = 0;
    std::optional<std::string> text = ParseQuoted(data, end);
    if (!text || !Trim(data.substr(end)).empty())
      return std::nullopt;
    return RegistryValue::Text(*text);
  }
  if (StartsWithFolded(data, "dword:")) {
    const std::optional<uint32_t> number = ParseHexNumber(Trim(data.substr(6)), 8);
    if (!number)
      return std::nullopt;
    return RegistryValue::Number(*number);
  }
  if (StartsWithFolded(data, "hex:")) {
    std::optional<std::string> bytes = ParseByteList(data.substr(4));
    if (!bytes)
      return std::nullopt;
    return RegistryValue::Bytes(*bytes);
  }
  if (StartsWithFolded(data, "hex(")) {
    const size_t close = data.find("):");
    if (close == std::string_view::npos)
      return std::nullopt;
    const std::optional<uint32_t> type = ParseHexNumber(data.substr(4, close - 4), 8);
    std::optional<std::string> bytes = ParseByteList(data.substr(close + 2));
    if (!type || !bytes)
      return std::nullopt;
    RegistryValue value{*type, std::move(*bytes)};
    // A text in byte form carries its terminating zero; in memory it does not.
    if (value.type == kTypeText && !value.data.empty() && value.data.back() == '\0') {
      value.data.pop_back();
    }
    return value;
  }
  return std::nullopt;
}

// Whether the data of a line that the file ends in without a line end is
// whole, as opposed to cut anywhere by a truncated copy. A quoted text shows
// its end by its closing quote (a quote inside it is escaped), a number by
// its eighth digit. A byte list never does: "hex:6a,6b" may be the start of
// "hex:6a,6b,6c", and a wrong password is worse than a missing one.
bool ShowsItsEnd(std::string_view data) {
  if (!data.empty() && data.front() == '"')
    return true;  // ParseData refuses it when the closing quote is missing
  return StartsWithFolded(data, "dword:") && Trim(data.substr(6)).size() == 8;
}

std::string HexByte(unsigned char byte) {
  char text[3];
  std::snprintf(text, sizeof text, "%02x", byte);
  return text;
}

// `prefix` is the line up to and including "hex:" or "hex(n):".
std::string FormatByteList(std::string line, std::string_view bytes) {
  std::string out;
  for (size_t i = 0; i < bytes.size(); ++i) {
    std::string item = HexByte(static_cast<unsigned char>(bytes[i]));
    if (i + 1 < bytes.size())
      item.push_back(',');
    if (i > 0 && line.size() + item.size() > kWrapColumn) {
      out += line + "\\\n";
      line = "  ";
    }
    line += item;
  }
  return out + line + "\n";
}

std::string FormatValue(const NamedValue& named) {
  std::string line = named.name.empty() ? "@=" : Quote(named.name) + "=";
  const RegistryValue& value = named.value;
  if (value.type == kTypeText) {
    const bool quotable =
        value.data.find_first_of(std::string_view("\r\n\0", 3)) == std::string::npos;
    if (quotable)
      return line + Quote(value.data) + "\n";
    return FormatByteList(line + "hex(1):", value.data + std::string(1, '\0'));
  }
  if (value.type == kTypeNumber && value.data.size() == 4) {
    uint32_t number = 0;
    for (int i = 3; i >= 0; --i)
      number = number * 256 + static_cast<unsigned char>(value.data[i]);
    char text[16];
    std::snprintf(text, sizeof text, "dword:%08x", number);
    return line + text + "\n";
  }
  if (value.type == kTypeBytes)
    return FormatByteList(line + "hex:", value.data);
  char type[24];
  std::snprintf(type, sizeof type, "hex(%x):", value.type);
  return FormatByteList(line + type, value.data);
}

}  // namespace

RegistryValue RegistryValue::Text(std::string_view text) {
  return {kTypeText, std::string(text)};
}

RegistryValue RegistryValue::Number(uint32_t number) {
  std::string data(4, '\0');
  for (int i = 0; i < 4; ++i)
    data[i] = static_cast<char>((number >> (8 * i)) & 0xFF);
  return {kTypeNumber, std::move(data)};
}

RegistryValue RegistryValue::Bytes(std::string_view bytes) {
  return {kTypeBytes, std::string(bytes)};
}

size_t RegistryValue::StoredLength() const {
  return type == kTypeText ? data.size() + 1 : data.size();
}

bool NamesEqual(std::string_view a, std::string_view b) {
  return EqualsIgnoringAsciiCase(a, b);
}

const RegistryKeyEntry* RegistryTree::FindKey(std::string_view path) const {
  for (const RegistryKeyEntry& key : keys_) {
    if (NamesEqual(key.path, path))
      return &key;
  }
  return nullptr;
}

RegistryKeyEntry* RegistryTree::FindMutableKey(std::string_view path) {
  return const_cast<RegistryKeyEntry*>(std::as_const(*this).FindKey(path));
}

bool RegistryTree::KeyExists(std::string_view path) const {
  for (const RegistryKeyEntry& key : keys_) {
    const std::string_view keyPath = key.path;
    if (NamesEqual(keyPath, path))
      return true;
    if (keyPath.size() > path.size() && keyPath[path.size()] == '\\' &&
        NamesEqual(keyPath.substr(0, path.size()), path)) {
      return true;
    }
  }
  return false;
}

RegistryKeyEntry& RegistryTree::CreateKey(std::string_view path) {
  if (RegistryKeyEntry* key = FindMutableKey(path))
    return *key;
  keys_.push_back({std::string(path), {}});
  return keys_.back();
}

const RegistryValue* RegistryTree::FindValue(std::string_view path, std::string_view name) const {
  const RegistryKeyEntry* key = FindKey(path);
  if (key == nullptr)
    return nullptr;
  for (const NamedValue& value : key->values) {
    if (NamesEqual(value.name, name))
      return &value.value;
  }
  return nullptr;
}

void RegistryTree::SetValue(std::string_view path, std::string_view name, RegistryValue value) {
  RegistryKeyEntry& key = CreateKey(path);
  for (NamedValue& existing : key.values) {
    if (NamesEqual(existing.name, name)) {
      existing.value = std::move(value);
      return;
    }
  }
  key.values.push_back({std::string(name), std::move(value)});
}

void RegistryTree::DeleteValue(std::string_view path, std::string_view name) {
  RegistryKeyEntry* key = FindMutableKey(path);
  if (key == nullptr)
    return;
  std::erase_if(key->values, [&](const NamedValue& value) { return NamesEqual(value.name, name); });
}

ParsedRegistryFile ParseRegistryFile(std::string_view text) {
  ParsedRegistryFile result;
  if (text.starts_with(kByteOrderMark))
    text.remove_prefix(kByteOrderMark.size());

  std::vector<std::string_view> lines;
  // The line the file ends in without a line end, if any.
  size_t unterminated = std::string_view::npos;
  while (!text.empty()) {
    const size_t end = text.find('\n');
    std::string_view line = text.substr(0, end);
    if (line.ends_with('\r'))
      line.remove_suffix(1);
    if (end == std::string_view::npos) {
      // The file stops without a line end: a truncated copy ends so, and so
      // does a file saved by an editor that leaves the last line open. The
      // line is read only where its value shows its own end (see below).
      result.damaged = true;
      unterminated = lines.size();
      lines.push_back(line);
      break;
    }
    lines.push_back(line);
    text.remove_prefix(end + 1);
  }

  size_t index = 0;
  while (index < lines.size() && Trim(lines[index]).empty())
    ++index;
  if (index < lines.size()) {
    const std::string_view header = Trim(lines[index]);
    if (header == kHeader || header == kNewerHeader) {
      ++index;
    } else {
      result.damaged = true;
    }
  }

  std::optional<std::string> section;  // the key the following values belong to
  for (; index < lines.size(); ++index) {
    const std::string_view line = Trim(lines[index]);
    if (line.empty() || line.front() == ';')
      continue;

    if (line.front() == '[') {
      section.reset();
      if (index == unterminated)
        continue;  // a key without values; its path may have been cut at a ']'
      if (line.size() < 3 || line.back() != ']' || line[1] == '-') {
        // An unreadable section line, or the import form that deletes a key:
        // the values below it belong to no key we know.
        result.damaged = true;
        continue;
      }
      section = std::string(line.substr(1, line.size() - 2));
      result.tree.CreateKey(*section);
      continue;
    }

    std::string name;
    size_t afterName = 0;
    if (line.front() == '@') {
      afterName = 1;
    } else if (line.front() == '"') {
      std::optional<std::string> quoted = ParseQuoted(line, afterName);
      if (!quoted) {
        result.damaged = true;
        continue;
      }
      name = std::move(*quoted);
    } else {
      result.damaged = true;
      continue;
    }
    std::string_view rest = Trim(line.substr(afterName));
    if (rest.empty() || rest.front() != '=') {
      result.damaged = true;
      continue;
    }
    std::string data(Trim(rest.substr(1)));

    // A byte list may go on over the following lines, each line but the
    // last ending in a backslash.
    bool incomplete = false;
    if (StartsWithFolded(data, "hex")) {
      while (!data.empty() && data.back() == '\\') {
        data.pop_back();
        if (index + 1 >= lines.size()) {
          incomplete = true;
          break;
        }
        data += Trim(lines[++index]);
      }
    }
    if (incomplete || !section) {
      result.damaged = true;
      continue;
    }
    if (index == unterminated && !ShowsItsEnd(data))
      continue;

    bool deletion = false;
    std::optional<RegistryValue> value = ParseData(data, deletion);
    if (deletion) {
      result.tree.DeleteValue(*section, name);
    } else if (!value) {
      result.damaged = true;
    } else {
      result.tree.SetValue(*section, name, std::move(*value));
    }
  }
  return result;
}

std::string FormatRegistryFile(const RegistryTree& tree) {
  std::string out(kHeader);
  out += "\n\n";
  for (const RegistryKeyEntry& key : tree.keys()) {
    out += "[" + key.path + "]\n";
    for (const NamedValue& value : key.values)
      out += FormatValue(value);
    out += "\n";
  }
  return out;
}

}  // namespace velmorix::registry
