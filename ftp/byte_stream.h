// The byte stream that the control and data channels read and write: plain
// TCP (tcp_stream.h) or TLS over it (tls_stream.h). Whether a connection is
// one or the other is decided once, when its stream is made; nothing above
// this interface knows which it has.
//
// Every call returns at once, except SendAll, Wait and EndSending, which
// wait at most until their deadline. Waits go through poll() on the
// stream's socket, so a wait that must watch several connections (a transfer
// watches the control connection beside its data connection) puts them into
// one StreamPoll. A stream is used by one thread at a time, the thread that
// runs its FTP connection.
#pragma once

#include <poll.h>

#include <cstddef>
#include <memory>
#include <string>

#include "ftp/tcp_socket.h"

namespace velmorix::ftp {

class ByteStream {
 public:
  // Destroying a stream closes it as Close() does.
  virtual ~ByteStream() = default;

  // Sends what fits now of `data`, without waiting. kOk with `sent` 0 means
  // there is no room yet. Never raises SIGPIPE.
  virtual IoResult SendAvailable(const char* data, size_t size, size_t& sent) = 0;
  // Receives what is available now into `buffer` (at most `capacity`
  // bytes), without waiting. kOk with `received` 0 means nothing was there
  // yet (a TLS stream may have taken bytes that make no whole record);
  // kClosed at the end of the stream.
  virtual IoResult ReceiveAvailable(char* buffer, size_t capacity, size_t& received) = 0;
  // True when bytes already taken from the socket wait to be received (a TLS
  // stream decrypts whole records): the stream is then readable although
  // poll() would not say so.
  virtual bool HasPendingBytes() const = 0;
  // The events to poll the socket for so that the stream can go on with
  // `wanted` (POLLIN to receive, POLLOUT to send, 0 for errors and hang-ups
  // only). Plain TCP needs just those; TLS may need the other direction
  // while it renegotiates.
  virtual short PollEvents(short wanted) const = 0;
  // Tells the peer that no more bytes come, while its own can still be
  // received: plain TCP half-closes the connection; TLS sends its
  // close_notify (finishing the handshake first if no byte went yet) and
  // leaves the connection open both ways, so that closing it later
  // acknowledges what the peer sent last.
  virtual IoResult EndSending(Deadline deadline) = 0;
  // Ends the stream in order (TLS sends its close_notify first, without
  // waiting for the peer's) and closes the socket. Safe to call twice.
  virtual void Close() = 0;
  // Ends the stream at once and drops what is still queued: the peer sees a
  // reset, never an orderly end, so a canceled upload cannot pass for a
  // whole file.
  virtual void Abandon() = 0;
  // The TCP connection under the stream, for its addresses, its socket
  // options and poll(). Invalid once the stream is closed.
  virtual const Socket& socket() const = 0;
  // True when the stream's bytes are the connection's own, with no TLS in
  // between: the kernel may then send a file itself (sendfile(2)), and what
  // it has not had acknowledged (SIOCOUTQ) is what the peer has not received.
  virtual bool IsPlainTcp() const = 0;
  // True once a receive failed because the peer's bytes ended without TLS's
  // close_notify: they may have been cut short. Plain TCP never says so, as
  // its end of file is all it has.
  virtual bool CutShort() const { return false; }
  // True once the stream failed because its peer is not the server the
  // control connection reached (see tls_stream.h).
  virtual bool PeerRefused() const { return false; }
  // Why the last call failed, for a message: the system's text for `error`
  // (the errno it left), or what TLS said when it refused.
  virtual std::string FailureText(int error) const;

  // Sends all of `data` before `deadline`. Never raises SIGPIPE.
  IoResult SendAll(const char* data, size_t size, Deadline deadline);
  // Waits until the stream is ready for `events` (POLLIN, POLLOUT) or the
  // deadline passes. Hang-ups and socket errors count as ready: the next
  // receive or send reports them.
  IoResult Wait(short events, Deadline deadline) const;
};

// Holds one stream, or none. Move-only. Closing lets the stream go, so
// valid() says whether a connection is still held.
class OwnedStream {
 public:
  OwnedStream() = default;
  explicit OwnedStream(std::unique_ptr<ByteStream> stream) : stream_(std::move(stream)) {}

  bool valid() const { return stream_ != nullptr; }
  ByteStream* operator->() const { return stream_.get(); }
  ByteStream& operator*() const { return *stream_; }

  // ByteStream::Close, then the stream is let go. Nothing when none is held.
  void Close();
  // ByteStream::Abandon, then the stream is let go. Nothing when none is held.
  void Abandon();
  // Gives the stream up without closing it (to wrap it in another).
  std::unique_ptr<ByteStream> Release() { return std::move(stream_); }

 private:
  std::unique_ptr<ByteStream> stream_;
};

// One poll() over a few streams and plain descriptors (a listener), at most
// kMaxEntries of them. A stream that holds pending bytes and is asked for
// POLLIN counts as ready at once.
class StreamPoll {
 public:
  static constexpr int kMaxEntries = 4;

  // Adds an entry and returns its index for Ready(). A stream that is not
  // held, like a negative descriptor, is never ready.
  int Add(const OwnedStream& stream, short events);
  int Add(int fd, short events);
  // Waits until an entry is ready or `wake` passes. Returns the number of
  // ready entries, 0 when `wake` passed, -1 with errno set on an error
  // (EINTR included).
  int Wait(Deadline wake);
  // True when the entry is ready: its events came, or a hang-up or an error.
  bool Ready(int index) const { return fds_[index].revents != 0; }

 private:
  pollfd fds_[kMaxEntries] = {};
  bool pending_[kMaxEntries] = {};
  int count_ = 0;
};

}  // namespace velmorix::ftp
