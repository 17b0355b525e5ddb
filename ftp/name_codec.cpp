#include "ftp/name_codec.h"

#include "base/display_text.h"

#include <iconv.h>
#include <unicode/unorm2.h>
#include <unicode/ustring.h>

#include <cerrno>
#include <cstdint>
#include <optional>
#include <vector>

namespace velmorix::ftp {

namespace {

// U+FFFD in UTF-8: the mark of a server byte kept escaped.
constexpr std::string_view kEscapeMark = "\xEF\xBF\xBD";

// The longest character of the server encodings: EUC-JP's JIS X 0212 ones
// take three bytes.
constexpr size_t kMaxServerCharacterBytes = 3;

bool PassesBytesThrough(NameEncoding encoding) {
  return encoding == NameEncoding::kUtf8 || encoding == NameEncoding::kAuto;
}

const char* IconvName(NameEncoding encoding) {
  return encoding == NameEncoding::kEucJp ? "EUC-JP" : "CP932";
}

// One iconv conversion descriptor, owned. iconv keeps state in it, so it
// serves one thread and one conversion at a time.
class Converter {
 public:
  Converter(const char* to, const char* from) : handle_(iconv_open(to, from)) {}
  ~Converter() {
    if (valid())
      iconv_close(handle_);
  }
  Converter(const Converter&) = delete;
  Converter& operator=(const Converter&) = delete;

  // Converts `in` into `out` (replacing what it held) until a sequence that
  // has no conversion or is cut off. Returns how many bytes of `in` were
  // converted: in.size() when all of it was. A converter the C library could
  // not open converts nothing, so every name outside ASCII is refused
  // rather than sent wrong.
  size_t Convert(std::string_view in, std::string& out) {
    out.clear();
    if (!valid())
      return 0;
    iconv(handle_, nullptr, nullptr, nullptr, nullptr);
    // iconv takes a non-const pointer but never writes through it.
    char* input = const_cast<char*>(in.data());
    size_t inputLeft = in.size();
    char buffer[256];
    while (inputLeft > 0) {
      char* output = buffer;
      size_t outputLeft = sizeof buffer;
      const size_t result = iconv(handle_, &input, &inputLeft, &output, &outputLeft);
      out.append(buffer, static_cast<size_t>(output - buffer));
      if (result == static_cast<size_t>(-1) && errno != E2BIG)
        break;
    }
    return in.size() - inputLeft;
  }

 private:
  bool valid() const { return handle_ != reinterpret_cast<iconv_t>(-1); }

  iconv_t handle_;
};

// Converters both ways between UTF-8 and one server encoding.
struct ConverterPair {
  explicit ConverterPair(NameEncoding encoding)
      : toServer(IconvName(encoding), "UTF-8"), fromServer("UTF-8", IconvName(encoding)) {}

  // True when `text` (UTF-8) converts into `bytes` and these come back as
  // `text` itself.
  bool WritesExactly(std::string_view text, std::string& bytes) {
    std::string back;
    return toServer.Convert(text, bytes) == text.size() &&
           fromServer.Convert(bytes, back) == bytes.size() && back == text;
  }
  // True when `bytes` convert into `text` and this goes back as `bytes`.
  bool ReadsExactly(std::string_view bytes, std::string& text) {
    std::string back;
    return fromServer.Convert(bytes, text) == bytes.size() &&
           toServer.Convert(text, back) == text.size() && back == bytes;
  }

  Converter toServer;
  Converter fromServer;
};

bool IsAscii(std::string_view text) {
  for (const char c : text) {
    if (static_cast<unsigned char>(c) >= 0x80)
      return false;
  }
  return true;
}

// `text` (valid UTF-8) in Unicode's composed form NFC; `text` itself when
// ICU cannot say.
std::string ComposedForm(std::string_view text) {
  UErrorCode status = U_ZERO_ERROR;
  const UNormalizer2* nfc = unorm2_getNFCInstance(&status);
  int32_t length = 0;
  u_strFromUTF8(nullptr, 0, &length, text.data(), static_cast<int32_t>(text.size()), &status);
  if (nfc == nullptr || (U_FAILURE(status) && status != U_BUFFER_OVERFLOW_ERROR))
    return std::string(text);
  status = U_ZERO_ERROR;
  std::vector<UChar> wide(static_cast<size_t>(length) + 1);
  u_strFromUTF8(wide.data(), length + 1, &length, text.data(), static_cast<int32_t>(text.size()),
                &status);
  // Composition never lengthens a text.
  std::vector<UChar> composed(static_cast<size_t>(length) + 1);
  const int32_t composedLength =
      unorm2_normalize(nfc, wide.data(), length, composed.data(), length + 1, &status);
  std::string out(static_cast<size_t>(composedLength) * 3 + 1, '\0');
  int32_t outLength = 0;
  u_strToUTF8(out.data(), static_cast<int32_t>(out.size()), &outLength, composed.data(),
              composedLength, &status);
  if (U_FAILURE(status))
    return std::string(text);
  out.resize(static_cast<size_t>(outLength));
  return out;
}

char FoldAscii(char c) {
  return c >= 'A' && c <= 'Z' ? static_cast<char>(c - 'A' + 'a') : c;
}

}  // namespace

bool IsReadableServerName(std::string_view name) {
  return IsValidUtf8(name) && name.find(kEscapeMark) == std::string_view::npos;
}

std::string NearestServerName(NameEncoding encoding, std::string_view name) {
  std::string nearest;
  std::optional<ConverterPair> converters;
  if (!PassesBytesThrough(encoding))
    converters.emplace(encoding);
  // Runs of valid UTF-8 are composed and converted; each other byte stands
  // for a character unknown.
  for (size_t at = 0; at < name.size();) {
    size_t end = at;
    while (end < name.size() && Utf8CharacterLength(name.substr(end)) > 0)
      end += Utf8CharacterLength(name.substr(end));
    const std::string run = ComposedForm(name.substr(at, end - at));
    for (std::string_view rest = run; !rest.empty();) {
      const std::string_view character = rest.substr(0, Utf8CharacterLength(rest));
      rest.remove_prefix(character.size());
      std::string bytes;
      std::string back;
      if (!converters || converters->WritesExactly(character, bytes)) {
        nearest.append(character);
      } else if (converters->toServer.Convert(character, bytes) == character.size() &&
                 !bytes.empty() && converters->ReadsExactly(bytes, back)) {
        nearest.append(back);
      } else {
        nearest.append(kEscapeMark);
      }
    }
    if (end < name.size()) {
      nearest.append(kEscapeMark);
      ++end;
    }
    at = end;
  }
  return nearest;
}

bool NamesMayMatch(std::string_view nearest, std::string_view serverName) {
  while (!nearest.empty() && !serverName.empty()) {
    const size_t serverLength = std::max<size_t>(1, Utf8CharacterLength(serverName));
    if (nearest.starts_with(kEscapeMark)) {
      nearest.remove_prefix(kEscapeMark.size());
    } else {
      const size_t length = std::max<size_t>(1, Utf8CharacterLength(nearest));
      if (length != serverLength)
        return false;
      for (size_t i = 0; i < length; ++i) {
        if (FoldAscii(nearest[i]) != FoldAscii(serverName[i]))
          return false;
      }
      nearest.remove_prefix(length);
    }
    serverName.remove_prefix(serverLength);
  }
  return nearest.empty() && serverName.empty();
}

NameFailure EncodeName(NameEncoding encoding, std::string_view name, std::string& serverName,
                       std::string* offending) {
  if (PassesBytesThrough(encoding)) {
    serverName.assign(name);
    return NameFailure::kNone;
  }
  if (!IsValidUtf8(name))
    return NameFailure::kNotUtf8;
  if (name.find(kEscapeMark) != std::string_view::npos)
    return NameFailure::kUnreadableBytes;
  ConverterPair converters(encoding);
  std::string encoded;
  if (converters.WritesExactly(name, encoded)) {
    serverName = std::move(encoded);
    return NameFailure::kNone;
  }
  if (offending != nullptr) {
    offending->clear();
    for (std::string_view rest = name; !rest.empty();) {
      const std::string_view character = rest.substr(0, Utf8CharacterLength(rest));
      if (!converters.WritesExactly(character, encoded)) {
        offending->assign(character);
        break;
      }
      rest.remove_prefix(character.size());
    }
  }
  return NameFailure::kNotRepresentable;
}

std::string DecodeServerName(NameEncoding encoding, std::string_view serverName) {
  if (PassesBytesThrough(encoding))
    return std::string(serverName);
  ConverterPair converters(encoding);
  std::string name;
  if (converters.ReadsExactly(serverName, name))
    return name;

  // Character by character: the shortest run of bytes that reads exactly is
  // the next character; a byte that begins none is escaped, and reading
  // goes on with the byte after it.
  name.clear();
  std::string character;
  size_t pos = 0;
  while (pos < serverName.size()) {
    size_t length = 0;
    for (size_t tried = 1; tried <= kMaxServerCharacterBytes && pos + tried <= serverName.size();
         ++tried) {
      if (converters.ReadsExactly(serverName.substr(pos, tried), character) && !character.empty()) {
        length = tried;
        break;
      }
    }
    if (length > 0) {
      name.append(character);
      pos += length;
      continue;
    }
    const auto byte = static_cast<unsigned char>(serverName[pos]);
    name.append(kEscapeMark);
    AppendHexByte(name, byte);
    ++pos;
  }
  return name;
}

NameEvidence WeighServerName(std::string_view serverName) {
  if (IsAscii(serverName))
    return NameEvidence::kAscii;
  if (IsValidUtf8(serverName))
    return NameEvidence::kUtf8;
  std::string name;
  if (ConverterPair(NameEncoding::kShiftJis).ReadsExactly(serverName, name))
    return NameEvidence::kShiftJis;
  return NameEvidence::kUndecided;
}

bool Contradicts(NameEncoding decided, NameEvidence evidence) {
  return (decided == NameEncoding::kUtf8 && evidence == NameEvidence::kShiftJis) ||
         (decided == NameEncoding::kShiftJis && evidence == NameEvidence::kUtf8);
}

std::string_view NameEncodingLabel(NameEncoding encoding) {
  switch (encoding) {
    case NameEncoding::kShiftJis:
      return "Shift_JIS";
    case NameEncoding::kEucJp:
      return "EUC-JP";
    case NameEncoding::kAuto:
    case NameEncoding::kUtf8:
      break;
  }
  return "UTF-8";
}

}  // namespace velmorix::ftp
