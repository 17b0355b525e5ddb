// The socket layer under our FTP client: a move-only socket that closes
// itself, connecting with a time-out over every address a name resolves to,
// listening for the server's data connection, and waits bounded by deadlines.
// The bytes themselves go through a stream (byte_stream.h) made over the
// socket.
//
// All sockets are non-blocking; every wait goes through poll() with a
// deadline, so nothing here can hang. Objects are used by one thread at a time
// (the thread that runs the FTP connection).
#pragma once

#include <sys/socket.h>

#include <chrono>
#include <cstdint>
#include <functional>
#include <string>

#include "base/unique_fd.h"

namespace velmorix::ftp {

using Clock = std::chrono::steady_clock;
using Deadline = Clock::time_point;

inline Deadline DeadlineAfter(std::chrono::milliseconds span) {
  return Clock::now() + span;
}

// How often a wait that can be canceled asks whether to stop; callers are
// promised at most 250 ms.
inline constexpr std::chrono::milliseconds kCancelCheckEvery{200};

// An IPv4 or IPv6 address with its port.
struct SocketAddress {
  sockaddr_storage storage{};
  socklen_t length = 0;

  int family() const { return storage.ss_family; }
  uint16_t port() const;
  // True when both name the same host; the ports are not compared. An
  // IPv4-mapped IPv6 address names the IPv4 host it holds.
  bool SameHost(const SocketAddress& other) const;
  // This address, or the IPv4 address (same port) that an IPv4-mapped IPv6
  // address ("::ffff:127.0.0.1") holds. A socket of the IPv6 family connected
  // to such an address really speaks IPv4, and the server sees it as IPv4.
  SocketAddress Unmapped() const;
  // The numeric host: "127.0.0.1" or "::1".
  std::string HostText() const;
  // This address with another port.
  SocketAddress WithPort(uint16_t port) const;
  // The IPv4 address `ipv4` (host byte order) with `port`.
  static SocketAddress Ipv4(uint32_t ipv4, uint16_t port);
  // True for an IPv4 address equal to `ipv4` (host byte order).
  bool IsIpv4(uint32_t ipv4) const;
};

// How a wait or a transfer step ended.
enum class IoResult {
  kOk,
  kTimeout,  // the deadline passed
  kClosed,   // the peer closed the connection (end of file)
  kError,    // a system error; errno holds it
};

// Owns one socket descriptor. Move-only; closes the descriptor when destroyed.
class Socket {
 public:
  Socket() = default;
  explicit Socket(int fd) : fd_(fd) {}

  bool valid() const { return fd_.valid(); }
  int fd() const { return fd_.get(); }
  void Close() { fd_.Reset(); }
  int Release() { return fd_.Release(); }

  bool LocalAddress(SocketAddress& address) const;
  bool PeerAddress(SocketAddress& address) const;

  // The bytes handed to the kernel that the peer has not acknowledged yet,
  // sent or still waiting to be sent (SIOCOUTQ); -1 when the system cannot
  // tell.
  int UnacknowledgedBytes() const;

 private:
  UniqueFd fd_;
};

// Waits until `fd` is ready for `events` (POLLIN, POLLOUT) or the deadline
// passes. Hang-ups and socket errors count as ready: the next read or write
// reports them.
IoResult WaitFor(int fd, short events, Deadline deadline);

// The outcome of ConnectTcp when it fails.
enum class ConnectFailure { kNone, kHostNotFound, kRefused, kTimeout, kCanceled };

struct ConnectResult {
  ConnectFailure failure = ConnectFailure::kNone;
  std::string detail;  // gai_strerror() or strerror() text; empty on time-out
};

// Resolves `host` (a name, an IPv4 or an IPv6 address) and tries each of its
// addresses in turn, each bounded by `timeout`. On success `socket` is the
// connected, non-blocking socket with TCP_NODELAY set. `canceled`, when set,
// is asked at least every 250 ms while a connect waits; when it says stop,
// kCanceled.
ConnectResult ConnectTcp(const std::string& host, uint16_t port, std::chrono::milliseconds timeout,
                         Socket& socket, const std::function<bool()>& canceled = {});

// Starts a non-blocking connect to `address`. On success `socket` is the
// socket, connected or still connecting (wait for POLLOUT, then
// FinishConnect); false with errno set when it failed at once.
bool StartConnect(const SocketAddress& address, Socket& socket);
// After POLLOUT on a connecting socket: 0 when it is connected, else the
// error number of the failed connect.
int FinishConnect(const Socket& socket);

// Listens on `local`'s host with a port chosen by the system, backlog 1.
// On failure returns false with errno set.
bool ListenOnSameHost(const SocketAddress& local, Socket& listener, SocketAddress& bound);

// Accepts one waiting connection without blocking. kOk with an invalid
// `accepted` means none was waiting.
IoResult AcceptOne(const Socket& listener, Socket& accepted, SocketAddress& peer);

// The system's text for an error number, thread-safe.
std::string SystemErrorText(int error);

}  // namespace velmorix::ftp
