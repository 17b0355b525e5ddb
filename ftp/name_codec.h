// Names between the program, which keeps them in UTF-8, and a server that
// writes them in its own encoding: iconv of the C library, Shift_JIS as code
// page 932 ("CP932", so that its extra characters round-trip) and EUC-JP as
// "EUC-JP". Pure functions of their input; any thread (each call opens its
// own converter).
//
// A name converts exactly or not at all. A character that would come back
// as another one is as unwritable as one the encoding lacks ("¥" would go
// out as "\", "〜" as the bytes of "～"), and server bytes that would not go
// back as the same bytes are never taken for text. So a name the program
// reads from a listing and sends back always names the same server entry.
//
// With kUtf8 (and kAuto) names stay the bytes they are in both directions,
// valid UTF-8 or not, as our client always sent them.
#pragma once

#include <cstddef>
#include <string>
#include <string_view>

#include "base/utf8.h"
#include "ftp/name_encoding.h"

namespace velmorix::ftp {

// Why a name cannot be sent.
enum class NameFailure {
  kNone,
  kNotUtf8,           // the local name is no valid UTF-8
  kNotRepresentable,  // it holds a character the encoding cannot write exactly
  // It holds server bytes that DecodeServerName kept escaped: they are not
  // known as text, so they are never sent back.
  kUnreadableBytes,
};

// Writes `name` (UTF-8) as a server in `encoding` spells it into
// `serverName`. On failure `serverName` is left alone and `offending`, when
// given, is set to the first character that cannot be written
// (kNotRepresentable only).
NameFailure EncodeName(NameEncoding encoding, std::string_view name, std::string& serverName,
                       std::string* offending = nullptr);

// The server's `serverName` in UTF-8. Never fails: every byte that is no text
// in `encoding`, or is text that would not go back as the same bytes, becomes
// U+FFFD followed by the byte's value in two upper-case hex digits, so the
// bytes "a", 0xFF, ".txt" give "a�FF.txt". No text of these
// encodings holds U+FFFD, so two server names never give the same name, and
// EncodeName refuses such a name with kUnreadableBytes.
std::string DecodeServerName(NameEncoding encoding, std::string_view serverName);

// False for a server name that DecodeServerName could not read as text
// (it holds escaped bytes), or, with kUtf8, that is no valid UTF-8: such a
// name cannot be sent back exactly, and the entry it names is never
// touched.
bool IsReadableServerName(std::string_view name);

// The name a server in `encoding` would show for the local `name` had it
// been written as nearly as the encoding allows: composed to NFC (a name
// from macOS holds "か" and U+3099 where the server holds "が"), and each
// character the encoding cannot write exactly replaced by the one its
// nearest bytes read as ("〜" by "～" in Shift_JIS), or by U+FFFD where
// there is none; so are bytes that are no UTF-8. For the entries that a
// local name that cannot be written may stand for (NamesMayMatch).
std::string NearestServerName(NameEncoding encoding, std::string_view name);

// True when the server's `serverName` (UTF-8, as listed) may be what
// `nearest` (NearestServerName) stands for: equal character by character,
// ASCII letters in either case, U+FFFD in `nearest` standing for any one
// character.
bool NamesMayMatch(std::string_view nearest, std::string_view serverName);

// What a name a server listed says about its encoding, for kAuto.
enum class NameEvidence {
  kAscii,      // the same bytes in every encoding: says nothing
  kUtf8,       // not only ASCII, and valid UTF-8
  kShiftJis,   // no valid UTF-8, but Shift_JIS text that converts exactly
  kUndecided,  // neither
};
NameEvidence WeighServerName(std::string_view serverName);

// True when a listed name of `evidence` cannot be in `decided`, the
// encoding kAuto decided on: no valid UTF-8 but Shift_JIS text after UTF-8
// was decided, or UTF-8 outside ASCII after Shift_JIS was.
bool Contradicts(NameEncoding decided, NameEvidence evidence);

// "UTF-8", "Shift_JIS" or "EUC-JP", for texts; kAuto gives "UTF-8".
std::string_view NameEncodingLabel(NameEncoding encoding);

}  // namespace velmorix::ftp
