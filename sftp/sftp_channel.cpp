#include "sftp/sftp_channel.h"

#include <memory>
#include <utility>
#include <vector>

namespace velmorix::sftp {
namespace {

// The most taken from the channel in one read.
constexpr size_t kReadChunk = 64 * 1024;
// Bytes gone from the front of the queue are dropped once there are this many.
constexpr size_t kCompactAfter = 1024 * 1024;

uint32_t BigEndian32(const char* bytes) {
  uint32_t value = 0;
  for (int i = 0; i < 4; ++i)
    value = (value << 8) | static_cast<unsigned char>(bytes[i]);
  return value;
}

bool OutboundBlocked(LIBSSH2_SESSION* session) {
  return (libssh2_session_block_directions(session) & LIBSSH2_SESSION_BLOCK_OUTBOUND) != 0;
}

}  // namespace

SftpChannel::~SftpChannel() {
  // A connection already closed took its channels with it.
  if (channel_ != nullptr && ssh_.IsOpen())
    libssh2_channel_free(channel_);
}

FtpStatus SftpChannel::Open() {
  LIBSSH2_SESSION* session = ssh_.session();
  for (;;) {
    channel_ = libssh2_channel_open_session(session);
    if (channel_ != nullptr || libssh2_session_last_errno(session) != LIBSSH2_ERROR_EAGAIN)
      break;
    if (FtpStatus waited = ssh_.Wait(); !waited.ok())
      return failure_ = waited;
  }
  if (channel_ == nullptr) {
    FtpStatus status = ssh_.SessionError("Starting SFTP");
    if (libssh2_session_last_errno(session) == LIBSSH2_ERROR_CHANNEL_FAILURE) {
      status.kind = FtpErrorKind::kServerReply;
      status.text += " (the server may take only so many sessions at once)";
    }
    return failure_ = status;
  }
  // The server's messages on standard error are of no use to us, and left
  // unread they would fill the channel's window.
  int rc;
  while ((rc = libssh2_channel_handle_extended_data2(
              channel_, LIBSSH2_CHANNEL_EXTENDED_DATA_IGNORE)) == LIBSSH2_ERROR_EAGAIN) {
    if (FtpStatus waited = ssh_.Wait(); !waited.ok())
      return Abandon(waited);
  }
  while ((rc = libssh2_channel_process_startup(channel_, "subsystem", 9, "sftp", 4)) ==
         LIBSSH2_ERROR_EAGAIN) {
    if (FtpStatus waited = ssh_.Wait(); !waited.ok())
      return Abandon(waited);
  }
  if (rc != 0) {
    FtpStatus status = ssh_.SessionError("Starting SFTP");
    status.kind = FtpErrorKind::kServerReply;
    return Abandon(status);
  }
  out_ = wire::Request::Init(3).Finish();
  while (!versionCame_) {
    if (FtpStatus status = Pump(true); !status.ok())
      return status;
  }
  return FtpStatus::Ok();
}

bool SftpChannel::Offers(std::string_view extension, std::string_view version) const {
  const auto it = extensions_.find(extension);
  return it != extensions_.end() && it->second == version;
}

void SftpChannel::Send(std::string packet, uint32_t id, Handler handler) {
  if (!failure_.ok()) {
    if (handler)
      handler({});
    return;
  }
  out_ += packet;
  handlers_.emplace(id, std::move(handler));
}

FtpStatus SftpChannel::Abandon(FtpStatus status) {
  if (failure_.ok())
    failure_ = std::move(status);
  ssh_.Drop();
  std::map<uint32_t, Handler> waiting = std::exchange(handlers_, {});
  for (auto& [id, handler] : waiting) {
    if (handler)
      handler({});
  }
  out_.clear();
  sent_ = 0;
  return failure_;
}

bool SftpChannel::Write(bool& progressed) {
  while (sent_ < out_.size()) {
    const ssize_t rc = libssh2_channel_write(channel_, out_.data() + sent_, out_.size() - sent_);
    if (rc == LIBSSH2_ERROR_EAGAIN) {
      // Either the socket is full, with a packet half gone, or the server's
      // window is: then nothing is half sent and replies may be read.
      halfSent_ = OutboundBlocked(ssh_.session()) ? HalfSent::kWrite : HalfSent::kNone;
      break;
    }
    if (rc < 0) {
      Abandon(ssh_.SessionError("SFTP request"));
      return false;
    }
    halfSent_ = HalfSent::kNone;
    if (rc == 0)
      break;  // the server's window is shut, and nothing more came meanwhile
    sent_ += static_cast<size_t>(rc);
    progressed = true;
  }
  if (sent_ == out_.size()) {
    out_.clear();
    sent_ = 0;
  } else if (sent_ >= kCompactAfter) {
    out_.erase(0, sent_);
    sent_ = 0;
  }
  return true;
}

bool SftpChannel::Read(bool& progressed) {
  // A read may send a packet of its own (more window for the server, the
  // answer to its keepalive), which the library refuses while another is
  // half gone: nothing is read until the write has gone whole. The server
  // reads on meanwhile, and what it has to say to us (our replies) waits
  // in the socket.
  if (halfSent_ == HalfSent::kWrite)
    return true;
  for (;;) {
    if (!readBuffer_)
      readBuffer_ = std::make_unique<char[]>(kReadChunk);
    const ssize_t rc = libssh2_channel_read(channel_, readBuffer_.get(), kReadChunk);
    if (rc > 0)
      in_.append(readBuffer_.get(), static_cast<size_t>(rc));
    if (rc == LIBSSH2_ERROR_EAGAIN) {
      // The window's packet went half: it must be read on with.
      if (halfSent_ == HalfSent::kNone && OutboundBlocked(ssh_.session()))
        halfSent_ = HalfSent::kRead;
      return true;
    }
    if (rc < 0) {
      Abandon(ssh_.SessionError("SFTP reply"));
      return false;
    }
    if (halfSent_ == HalfSent::kRead)
      halfSent_ = HalfSent::kNone;
    if (rc == 0) {
      if (libssh2_channel_eof(channel_)) {
        Abandon(FtpStatus::Error(FtpErrorKind::kNotConnected, "The SFTP channel was closed."));
        return false;
      }
      return true;
    }
    progressed = true;
    if (in_.size() >= wire::kMaxPacket)
      return true;  // taken apart first
  }
}

bool SftpChannel::Dispatch() {
  size_t at = 0;
  bool sound = true;
  while (in_.size() - at >= 4) {
    const uint32_t length = BigEndian32(in_.data() + at);
    if (length == 0 || length > wire::kMaxPacket) {
      sound = false;
      break;
    }
    if (in_.size() - at - 4 < length)
      break;
    const std::string_view packet(in_.data() + at + 4, length);
    at += 4 + length;
    const auto type = static_cast<uint8_t>(packet[0]);
    if (!versionCame_) {
      // SSH_FXP_VERSION: the version, then the extensions as name and data.
      wire::Reader reader(packet.substr(1));
      uint32_t version = 0;
      if (type != wire::kVersion || !reader.Uint32(version)) {
        sound = false;
        break;
      }
      std::string_view name;
      std::string_view data;
      while (reader.String(name) && reader.String(data))
        extensions_.emplace(std::string(name), std::string(data));
      versionCame_ = true;
      continue;
    }
    if (length < 5) {
      sound = false;
      break;
    }
    const auto it = handlers_.find(BigEndian32(packet.data() + 1));
    if (it == handlers_.end())
      continue;  // a reply no one asked for
    Handler handler = std::move(it->second);
    handlers_.erase(it);
    if (handler)
      handler({type, std::string(packet.substr(5))});
  }
  in_.erase(0, at);
  return sound;
}

FtpStatus SftpChannel::Pump(bool wait) {
  if (!failure_.ok())
    return failure_;
  if (!ssh_.IsOpen()) {
    return Abandon(
        FtpStatus::Error(FtpErrorKind::kNotConnected, "The SSH connection was dropped."));
  }
  bool progressed = false;
  if (halfSent_ != HalfSent::kRead && !Write(progressed))
    return failure_;
  if (!Read(progressed))
    return failure_;
  if (!Dispatch()) {
    return Abandon(
        FtpStatus::Error(FtpErrorKind::kProtocol, "The SFTP server sent a malformed reply."));
  }
  const bool pending = !handlers_.empty() || sent_ < out_.size() || !versionCame_;
  if (wait && !progressed && pending) {
    if (FtpStatus waited = ssh_.Wait(); !waited.ok())
      return Abandon(waited);
  }
  return failure_;
}

FtpStatus SftpChannel::Call(std::string packet, uint32_t id, Reply& reply) {
  if (!failure_.ok())
    return failure_;
  bool came = false;
  Send(std::move(packet), id, [&](Reply&& r) {
    reply = std::move(r);
    came = true;
  });
  while (!came) {
    if (FtpStatus status = Pump(true); !status.ok())
      return status;
  }
  return reply.type == 0 ? failure_ : FtpStatus::Ok();
}

void SftpChannel::Close() {
  if (channel_ == nullptr)
    return;
  if (failure_.ok() && ssh_.IsOpen()) {
    // What was sent without waiting (a temporary file's removal, a
    // listing's close) is done before the session ends: the server may
    // drop requests it has not taken yet when its input ends.
    while (!Idle()) {
      if (!Pump(true).ok())
        break;
    }
  }
  if (failure_.ok() && ssh_.IsOpen()) {
    int rc;
    while ((rc = libssh2_channel_close(channel_)) == LIBSSH2_ERROR_EAGAIN) {
      if (!ssh_.Wait().ok())
        break;
    }
  }
  if (ssh_.IsOpen())
    libssh2_channel_free(channel_);
  channel_ = nullptr;
  if (failure_.ok())
    failure_ = FtpStatus::Error(FtpErrorKind::kNotConnected, "The SFTP session has ended.");
}

}  // namespace velmorix::sftp
