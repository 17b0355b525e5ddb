#include "ftp/tcp_socket.h"

#include <arpa/inet.h>
#include <fcntl.h>
#include <linux/sockios.h>
#include <netdb.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <sys/ioctl.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <fstream>
#include <random>

namespace velmorix::ftp {

uint16_t SocketAddress::port() const {
  if (family() == AF_INET) {
    return ntohs(reinterpret_cast<const sockaddr_in*>(&storage)->sin_port);
  }
  if (family() == AF_INET6) {
    return ntohs(reinterpret_cast<const sockaddr_in6*>(&storage)->sin6_port);
  }
  return 0;
}

bool SocketAddress::SameHost(const SocketAddress& other) const {
  const SocketAddress mine = Unmapped();
  const SocketAddress theirs = other.Unmapped();
  if (mine.family() != theirs.family())
    return false;
  if (mine.family() == AF_INET) {
    return reinterpret_cast<const sockaddr_in*>(&mine.storage)->sin_addr.s_addr ==
           reinterpret_cast<const sockaddr_in*>(&theirs.storage)->sin_addr.s_addr;
  }
  if (mine.family() == AF_INET6) {
    return std::memcmp(&reinterpret_cast<const sockaddr_in6*>(&mine.storage)->sin6_addr,
                       &reinterpret_cast<const sockaddr_in6*>(&theirs.storage)->sin6_addr,
                       sizeof(in6_addr)) == 0;
  }
  return false;
}

SocketAddress SocketAddress::Unmapped() const {
  if (family() != AF_INET6)
    return *this;
  const auto& six = *reinterpret_cast<const sockaddr_in6*>(&storage);
  if (!IN6_IS_ADDR_V4MAPPED(&six.sin6_addr))
    return *this;
  SocketAddress four;
  auto& inet = *reinterpret_cast<sockaddr_in*>(&four.storage);
  inet.sin_family = AF_INET;
  inet.sin_port = six.sin6_port;
  // The IPv4 address is the last four bytes, already in network order.
  std::memcpy(&inet.sin_addr.s_addr, &six.sin6_addr.s6_addr[12], 4);
  four.length = sizeof(sockaddr_in);
  return four;
}

SocketAddress SocketAddress::WithPort(uint16_t port) const {
  SocketAddress address = *this;
  if (family() == AF_INET) {
    reinterpret_cast<sockaddr_in*>(&address.storage)->sin_port = htons(port);
  } else if (family() == AF_INET6) {
    reinterpret_cast<sockaddr_in6*>(&address.storage)->sin6_port = htons(port);
  }
  return address;
}

SocketAddress SocketAddress::Ipv4(uint32_t ipv4, uint16_t port) {
  SocketAddress address;
  auto& inet = *reinterpret_cast<sockaddr_in*>(&address.storage);
  inet.sin_family = AF_INET;
  inet.sin_port = htons(port);
  inet.sin_addr.s_addr = htonl(ipv4);
  address.length = sizeof(sockaddr_in);
  return address;
}

bool SocketAddress::IsIpv4(uint32_t ipv4) const {
  return family() == AF_INET &&
         reinterpret_cast<const sockaddr_in*>(&storage)->sin_addr.s_addr == htonl(ipv4);
}

bool StartConnect(const SocketAddress& address, Socket& socket) {
  Socket candidate(::socket(address.family(), SOCK_STREAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0));
  if (!candidate.valid())
    return false;
  if (::connect(candidate.fd(), reinterpret_cast<const sockaddr*>(&address.storage),
                address.length) != 0 &&
      errno != EINPROGRESS && errno != EINTR) {
    return false;
  }
  socket = std::move(candidate);
  return true;
}

int FinishConnect(const Socket& socket) {
  int error = 0;
  socklen_t length = sizeof error;
  if (getsockopt(socket.fd(), SOL_SOCKET, SO_ERROR, &error, &length) != 0)
    return errno;
  return error;
}

std::string SocketAddress::HostText() const {
  char text[INET6_ADDRSTRLEN] = {};
  const void* raw = nullptr;
  if (family() == AF_INET) {
    raw = &reinterpret_cast<const sockaddr_in*>(&storage)->sin_addr;
  } else if (family() == AF_INET6) {
    raw = &reinterpret_cast<const sockaddr_in6*>(&storage)->sin6_addr;
  }
  if (raw == nullptr || inet_ntop(family(), raw, text, sizeof text) == nullptr)
    return {};
  return text;
}

bool Socket::LocalAddress(SocketAddress& address) const {
  address.length = sizeof address.storage;
  return getsockname(fd(), reinterpret_cast<sockaddr*>(&address.storage), &address.length) == 0;
}

bool Socket::PeerAddress(SocketAddress& address) const {
  address.length = sizeof address.storage;
  return getpeername(fd(), reinterpret_cast<sockaddr*>(&address.storage), &address.length) == 0;
}

int Socket::UnacknowledgedBytes() const {
  int count = 0;
  if (::ioctl(fd(), SIOCOUTQ, &count) != 0)
    return -1;
  return count;
}

IoResult WaitFor(int fd, short events, Deadline deadline) {
  for (;;) {
    const auto left =
        std::chrono::duration_cast<std::chrono::milliseconds>(deadline - Clock::now()).count();
    if (left < 0)
      return IoResult::kTimeout;
    pollfd entry{fd, events, 0};
    // Round up so that a wait of less than a millisecond does not spin.
    const int ready = ::poll(&entry, 1, static_cast<int>(left) + 1);
    if (ready > 0)
      return IoResult::kOk;
    if (ready == 0) {
      if (Clock::now() >= deadline)
        return IoResult::kTimeout;
      continue;
    }
    if (errno != EINTR)
      return IoResult::kError;
  }
}

namespace {

// Opens a non-blocking socket for `info` and connects it within `timeout`.
// Returns 0 on success, ETIMEDOUT on time-out, ECANCELED when `canceled`
// said stop, or the error number.
int ConnectOne(const addrinfo& info, std::chrono::milliseconds timeout,
               const std::function<bool()>& canceled, Socket& socket) {
  Socket candidate(
      ::socket(info.ai_family, info.ai_socktype | SOCK_NONBLOCK | SOCK_CLOEXEC, info.ai_protocol));
  if (!candidate.valid())
    return errno;
  const Deadline deadline = DeadlineAfter(timeout);
  if (::connect(candidate.fd(), info.ai_addr, info.ai_addrlen) != 0) {
    if (errno != EINPROGRESS && errno != EINTR)
      return errno;
    IoResult waited = IoResult::kTimeout;
    for (;;) {
      if (canceled && canceled())
        return ECANCELED;
      const Deadline wake =
          canceled ? std::min(deadline, DeadlineAfter(kCancelCheckEvery)) : deadline;
      waited = WaitFor(candidate.fd(), POLLOUT, wake);
      if (waited != IoResult::kTimeout || Clock::now() >= deadline)
        break;
    }
    if (waited == IoResult::kTimeout)
      return ETIMEDOUT;
    if (waited == IoResult::kError)
      return errno;
    int error = 0;
    socklen_t length = sizeof error;
    if (getsockopt(candidate.fd(), SOL_SOCKET, SO_ERROR, &error, &length) != 0)
      return errno;
    if (error != 0)
      return error;
  }
  // Commands are short and each waits for its reply: sending them at once
  // saves the delayed-ACK wait on every round trip.
  const int on = 1;
  setsockopt(candidate.fd(), IPPROTO_TCP, TCP_NODELAY, &on, sizeof on);
  socket = std::move(candidate);
  return 0;
}

}  // namespace

ConnectResult ConnectTcp(const std::string& host, uint16_t port, std::chrono::milliseconds timeout,
                         Socket& socket, const std::function<bool()>& canceled) {
  addrinfo hints{};
  hints.ai_family = AF_UNSPEC;
  hints.ai_socktype = SOCK_STREAM;
  hints.ai_flags = AI_NUMERICSERV;
  addrinfo* found = nullptr;
  const std::string service = std::to_string(port);
  const int resolved = getaddrinfo(host.c_str(), service.c_str(), &hints, &found);
  if (resolved != 0) {
    std::string detail =
        resolved == EAI_SYSTEM ? SystemErrorText(errno) : std::string(gai_strerror(resolved));
    return {ConnectFailure::kHostNotFound, std::move(detail)};
  }
  // Report the most telling failure: a refusal says more than a time-out of
  // another address of the same name.
  ConnectResult result{ConnectFailure::kTimeout, {}};
  for (const addrinfo* info = found; info != nullptr; info = info->ai_next) {
    const int error = ConnectOne(*info, timeout, canceled, socket);
    if (error == 0) {
      result = {};
      break;
    }
    if (error == ECANCELED) {
      result = {ConnectFailure::kCanceled, {}};
      break;
    }
    if (error != ETIMEDOUT)
      result = {ConnectFailure::kRefused, SystemErrorText(error)};
  }
  freeaddrinfo(found);
  return result;
}

namespace {

// The range the system takes ports for outgoing connections from.
struct PortRange {
  uint16_t first = 32768;
  uint16_t last = 60999;
};

PortRange EphemeralPorts() {
  static const PortRange range = [] {
    PortRange read;
    std::ifstream in("/proc/sys/net/ipv4/ip_local_port_range");
    unsigned first = 0;
    unsigned last = 0;
    if (in >> first >> last && first >= 1024 && first < last && last <= 65535) {
      read.first = static_cast<uint16_t>(first);
      read.last = static_cast<uint16_t>(last);
    }
    return read;
  }();
  return range;
}

void SetPort(SocketAddress& address, uint16_t port) {
  if (address.family() == AF_INET) {
    reinterpret_cast<sockaddr_in*>(&address.storage)->sin_port = htons(port);
  } else if (address.family() == AF_INET6) {
    reinterpret_cast<sockaddr_in6*>(&address.storage)->sin6_port = htons(port);
  }
}

// Binds and listens on `address`; false with errno set on failure.
bool TryListen(const SocketAddress& address, Socket& listener) {
  Socket candidate(::socket(address.family(), SOCK_STREAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0));
  if (!candidate.valid())
    return false;
  const int on = 1;
  setsockopt(candidate.fd(), SOL_SOCKET, SO_REUSEADDR, &on, sizeof on);
  if (::bind(candidate.fd(), reinterpret_cast<const sockaddr*>(&address.storage), address.length) !=
          0 ||
      ::listen(candidate.fd(), 1) != 0) {
    const int error = errno;
    candidate.Close();
    errno = error;
    return false;
  }
  listener = std::move(candidate);
  return true;
}

}  // namespace

bool ListenOnSameHost(const SocketAddress& local, Socket& listener, SocketAddress& bound) {
  // Every transfer needs a fresh port, and each data connection we close
  // keeps its port in TIME_WAIT for a minute. After a few thousand uploads
  // the system's own choice of a port (bind to port 0) searches through all
  // of those on every call, and fails once none is left. Picking a port at
  // random, with leave to share it with connections in TIME_WAIT, costs one
  // look-up; a port in real use is refused and another one tried.
  thread_local std::minstd_rand generator(static_cast<unsigned>(
      std::chrono::steady_clock::now().time_since_epoch().count() ^ (getpid() << 16)));
  const PortRange range = EphemeralPorts();
  std::uniform_int_distribution<int> pick(range.first, range.last);
  SocketAddress address = local;
  constexpr int kRandomTries = 16;
  for (int attempt = 0; attempt <= kRandomTries; ++attempt) {
    // The last attempt leaves the choice to the system after all.
    SetPort(address, attempt < kRandomTries ? static_cast<uint16_t>(pick(generator)) : 0);
    if (TryListen(address, listener))
      return listener.LocalAddress(bound);
    if (errno != EADDRINUSE)
      return false;
  }
  return false;
}

IoResult AcceptOne(const Socket& listener, Socket& accepted, SocketAddress& peer) {
  for (;;) {
    peer.length = sizeof peer.storage;
    const int fd = ::accept4(listener.fd(), reinterpret_cast<sockaddr*>(&peer.storage),
                             &peer.length, SOCK_NONBLOCK | SOCK_CLOEXEC);
    if (fd >= 0) {
      accepted = Socket(fd);
      return IoResult::kOk;
    }
    if (errno == EINTR)
      continue;
    // A connection that was reset while it waited is simply gone.
    if (errno == EAGAIN || errno == EWOULDBLOCK || errno == ECONNABORTED) {
      accepted = Socket();
      return IoResult::kOk;
    }
    return IoResult::kError;
  }
}

std::string SystemErrorText(int error) {
  char buffer[256];
  // The GNU strerror_r returns a pointer that may or may not be `buffer`.
  const char* text = strerror_r(error, buffer, sizeof buffer);
  return text;
}

}  // namespace velmorix::ftp
