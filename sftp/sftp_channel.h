// One SFTP session on its own channel of an SSH connection, with any number
// of requests in flight: each request goes out with a handler, which is
// called with its reply when that comes, in whatever order the calls below
// take them in. So a caller can send the next requests without waiting for
// the replies of the last ones, which over a long line is what makes many
// small files go fast.
//
// Nothing blocks but Pump(true) and Call(), which wait on the socket through
// SshConnection::Wait (its time-out and cancel check). When the channel or
// the connection fails, every handler still waiting is called with a reply
// of type 0, and every later call gives the failure. One thread at a time.
#pragma once

#include <libssh2.h>

#include <cstdint>
#include <functional>
#include <map>
#include <memory>
#include <string>
#include <string_view>

#include "ftp/ftp_status.h"
#include "sftp/sftp_wire.h"
#include "sftp/ssh_connection.h"

namespace velmorix::sftp {

class SftpChannel {
 public:
  // A reply: its type (0 when the channel failed first), and its body after
  // the request's id.
  struct Reply {
    uint8_t type = 0;
    std::string body;
  };
  using Handler = std::function<void(Reply&&)>;

  explicit SftpChannel(SshConnection& ssh) : ssh_(ssh) {}
  ~SftpChannel();
  SftpChannel(const SftpChannel&) = delete;
  SftpChannel& operator=(const SftpChannel&) = delete;

  // Opens the channel, starts the sftp subsystem and agrees on version 3.
  // A server that lets the connection open no channel gives kServerReply.
  FtpStatus Open();
  // Whether the server named `extension` in its version, with `version`.
  bool Offers(std::string_view extension, std::string_view version) const;

  // The id for the next request.
  uint32_t NextId() { return nextId_++; }
  // Queues `packet` (built with id `id`); `handler`, when set, is called
  // with its reply. Nothing is sent before the next Pump or Call.
  void Send(std::string packet, uint32_t id, Handler handler = {});
  // Sends what it can and hands out the replies that have come; with
  // `wait`, first waits until the socket can go on when it could not. The
  // failure of the channel or the connection, once there is one.
  FtpStatus Pump(bool wait);
  // Sends `packet` and waits for its reply, handing out the others' meanwhile.
  FtpStatus Call(std::string packet, uint32_t id, Reply& reply);
  // Nothing to send and no reply awaited.
  bool Idle() const { return handlers_.empty() && sent_ == out_.size(); }
  const FtpStatus& failure() const { return failure_; }
  // Gives up the channel with `status` (after the connection was dropped):
  // the handlers are told, and `status` is the failure from now on.
  FtpStatus Abandon(FtpStatus status);

  // Ends the session in order when nothing failed, once every request has
  // had its reply; frees the channel.
  void Close();

 private:
  // Takes the whole packets `in_` holds; false on a malformed one.
  bool Dispatch();
  bool Write(bool& progressed);
  bool Read(bool& progressed);

  SshConnection& ssh_;
  LIBSSH2_CHANNEL* channel_ = nullptr;
  uint32_t nextId_ = 1;
  std::map<std::string, std::string, std::less<>> extensions_;
  std::map<uint32_t, Handler> handlers_;
  std::string out_;  // queued bytes; those before sent_ have gone
  size_t sent_ = 0;
  std::string in_;  // received bytes not yet taken as packets
  std::unique_ptr<char[]> readBuffer_;
  // Which call left a packet half sent on the socket: the library must be
  // called the same way again before anything else goes out.
  enum class HalfSent { kNone, kWrite, kRead } halfSent_ = HalfSent::kNone;
  bool versionCame_ = false;
  FtpStatus failure_;
};

}  // namespace velmorix::sftp
