// SFTP version 3 on the wire, as OpenSSH's sftp-server speaks it: the
// packet types, the numbers in them, and reading and writing their fields
// (big-endian integers, strings with a 32-bit length, file attributes).
// Nothing here talks to a server.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>

#include "ftp/remote_entry.h"

namespace velmorix::sftp::wire {

enum PacketType : uint8_t {
  kInit = 1,
  kVersion = 2,
  kOpen = 3,
  kClose = 4,
  kWrite = 6,
  kLstat = 7,
  kFsetstat = 10,
  kOpendir = 11,
  kReaddir = 12,
  kRemove = 13,
  kMkdir = 14,
  kRmdir = 15,
  kStat = 17,
  kRename = 18,
  kStatus = 101,
  kHandle = 102,
  kName = 104,
  kAttrs = 105,
  kExtended = 200,
};

enum StatusCode : uint32_t {
  kOk = 0,
  kEof = 1,
  kNoSuchFile = 2,
  kPermissionDenied = 3,
  kFailure = 4,
  kBadMessage = 5,
  kNoConnection = 6,
  kConnectionLost = 7,
  kOpUnsupported = 8,
};

// Flags of an open.
constexpr uint32_t kOpenWrite = 0x02;
constexpr uint32_t kOpenCreate = 0x08;
constexpr uint32_t kOpenTruncate = 0x10;

// Which fields a set of attributes holds.
constexpr uint32_t kAttrSize = 0x01;
constexpr uint32_t kAttrUidGid = 0x02;
constexpr uint32_t kAttrPermissions = 0x04;
constexpr uint32_t kAttrTimes = 0x08;
constexpr uint32_t kAttrExtended = 0x80000000;

// The longest packet taken from a server (OpenSSH sends at most 256 KiB).
constexpr uint32_t kMaxPacket = 1024 * 1024;

// The name of a status code, in lower case ("no such file").
const char* StatusName(uint32_t code);

// Builds a request: its type and id, then the fields; Finish() gives the
// packet with its length in front.
class Request {
 public:
  Request(PacketType type, uint32_t id);
  // For SSH_FXP_INIT, which carries a version instead of an id.
  static Request Init(uint32_t version);
  Request& Uint32(uint32_t value);
  Request& Uint64(uint64_t value);
  Request& String(std::string_view text);
  // Attributes with only the permission bits, or only the times.
  Request& Permissions(uint32_t mode);
  Request& Times(int64_t accessed, int64_t modified);
  // Leaves the request empty.
  std::string Finish();

 private:
  Request() = default;
  std::string bytes_;
};

// Reads the fields of a packet's body in order; once a field runs past the
// end every later read fails too.
class Reader {
 public:
  explicit Reader(std::string_view bytes) : bytes_(bytes) {}
  bool Uint32(uint32_t& value);
  bool Uint64(uint64_t& value);
  bool String(std::string_view& text);
  // A set of attributes as a listed entry (without its name): the kind
  // from the permission bits, the size of a regular file, the time in UTC.
  bool Attributes(RemoteEntry& entry);
  bool AtEnd() const { return at_ == bytes_.size(); }

 private:
  std::string_view bytes_;
  size_t at_ = 0;
  bool failed_ = false;
};

// The status reply's code and message; false when the body is no status.
bool ParseStatus(std::string_view body, uint32_t& code, std::string& message);

// "what path: SFTP status 3, permission denied", and the server's message
// in brackets when it says more than the status's name.
std::string StatusText(std::string_view what, std::string_view path, uint32_t code,
                       std::string_view message);

}  // namespace velmorix::sftp::wire
