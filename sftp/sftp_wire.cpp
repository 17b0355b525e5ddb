#include "sftp/sftp_wire.h"

#include <algorithm>
#include <cctype>

namespace velmorix::sftp::wire {
namespace {

// The file-type bits of the permissions.
constexpr uint32_t kTypeMask = 0170000;
constexpr uint32_t kTypeFolder = 0040000;
constexpr uint32_t kTypeFile = 0100000;
constexpr uint32_t kTypeLink = 0120000;

bool SameIgnoringCase(std::string_view a, std::string_view b) {
  return a.size() == b.size() && std::equal(a.begin(), a.end(), b.begin(), [](char x, char y) {
           return std::tolower(static_cast<unsigned char>(x)) ==
                  std::tolower(static_cast<unsigned char>(y));
         });
}

}  // namespace

const char* StatusName(uint32_t code) {
  switch (code) {
    case kOk:
      return "ok";
    case kEof:
      return "end of file";
    case kNoSuchFile:
      return "no such file";
    case kPermissionDenied:
      return "permission denied";
    case kFailure:
      return "failure";
    case kBadMessage:
      return "bad message";
    case kNoConnection:
      return "no connection";
    case kConnectionLost:
      return "connection lost";
    case kOpUnsupported:
      return "operation unsupported";
    default:
      return "unknown status";
  }
}

Request::Request(PacketType type, uint32_t id) {
  bytes_.assign(4, '\0');  // the length, filled in by Finish
  bytes_ += static_cast<char>(type);
  Uint32(id);
}

Request Request::Init(uint32_t version) {
  Request request;
  request.bytes_.assign(4, '\0');
  request.bytes_ += static_cast<char>(kInit);
  request.Uint32(version);
  return request;
}

Request& Request::Uint32(uint32_t value) {
  for (int shift = 24; shift >= 0; shift -= 8)
    bytes_ += static_cast<char>((value >> shift) & 0xff);
  return *this;
}

Request& Request::Uint64(uint64_t value) {
  Uint32(static_cast<uint32_t>(value >> 32));
  return Uint32(static_cast<uint32_t>(value));
}

Request& Request::String(std::string_view text) {
  Uint32(static_cast<uint32_t>(text.size()));
  bytes_ += text;
  return *this;
}

Request& Request::Permissions(uint32_t mode) {
  return Uint32(kAttrPermissions).Uint32(mode);
}

Request& Request::Times(int64_t accessed, int64_t modified) {
  return Uint32(kAttrTimes)
      .Uint32(static_cast<uint32_t>(accessed))
      .Uint32(static_cast<uint32_t>(modified));
}

std::string Request::Finish() {
  const auto length = static_cast<uint32_t>(bytes_.size() - 4);
  for (int i = 0; i < 4; ++i)
    bytes_[static_cast<size_t>(i)] = static_cast<char>((length >> (24 - 8 * i)) & 0xff);
  return std::move(bytes_);
}

bool Reader::Uint32(uint32_t& value) {
  if (failed_ || bytes_.size() - at_ < 4) {
    failed_ = true;
    return false;
  }
  value = 0;
  for (size_t i = 0; i < 4; ++i)
    value = (value << 8) | static_cast<unsigned char>(bytes_[at_ + i]);
  at_ += 4;
  return true;
}

bool Reader::Uint64(uint64_t& value) {
  uint32_t high = 0;
  uint32_t low = 0;
  if (!Uint32(high) || !Uint32(low))
    return false;
  value = (uint64_t{high} << 32) | low;
  return true;
}

bool Reader::String(std::string_view& text) {
  uint32_t length = 0;
  if (!Uint32(length))
    return false;
  if (bytes_.size() - at_ < length) {
    failed_ = true;
    return false;
  }
  text = bytes_.substr(at_, length);
  at_ += length;
  return true;
}

bool Reader::Attributes(RemoteEntry& entry) {
  uint32_t flags = 0;
  if (!Uint32(flags))
    return false;
  uint64_t size = 0;
  uint32_t ignored = 0;
  uint32_t permissions = 0;
  uint32_t modified = 0;
  if ((flags & kAttrSize) && !Uint64(size))
    return false;
  if ((flags & kAttrUidGid) && !(Uint32(ignored) && Uint32(ignored)))
    return false;
  if ((flags & kAttrPermissions) && !Uint32(permissions))
    return false;
  if ((flags & kAttrTimes) && !(Uint32(ignored) && Uint32(modified)))
    return false;
  if (flags & kAttrExtended) {
    uint32_t count = 0;
    if (!Uint32(count))
      return false;
    for (uint32_t i = 0; i < count; ++i) {
      std::string_view type;
      std::string_view data;
      if (!String(type) || !String(data))
        return false;
    }
  }
  entry.timeKind = ListedTime::kUtc;
  if (flags & kAttrPermissions) {
    const uint32_t type = permissions & kTypeMask;
    entry.isDir = type == kTypeFolder;
    entry.isLink = type == kTypeLink;
    if (type == kTypeFile && (flags & kAttrSize))
      entry.size = static_cast<int64_t>(size);
  }
  if (flags & kAttrTimes)
    entry.lastWriteTime = static_cast<int64_t>(modified);
  return true;
}

bool ParseStatus(std::string_view body, uint32_t& code, std::string& message) {
  Reader reader(body);
  std::string_view text;
  if (!reader.Uint32(code))
    return false;
  // Servers of SFTP 2 and older end the status after its code.
  message = reader.String(text) ? std::string(text) : std::string();
  return true;
}

std::string StatusText(std::string_view what, std::string_view path, uint32_t code,
                       std::string_view message) {
  std::string text = std::string(what) + " " + std::string(path) + ": SFTP status " +
                     std::to_string(code) + ", " + StatusName(code);
  if (!message.empty() && !SameIgnoringCase(message, StatusName(code)))
    text += " (" + std::string(message) + ")";
  return text;
}

}  // namespace velmorix::sftp::wire
