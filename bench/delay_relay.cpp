// A TCP relay that makes loopback behave like a long line: every connection
// accepted on a listening address is forwarded to its target, and each
// chunk read from one side reaches the other side DELAY milliseconds later
// (each way), in order. The relay goes on reading while chunks wait, so the
// delay costs round trips, not throughput; only a queue longer than the
// limit (16 MiB a direction unless told) stops reading from that side, as a
// full TCP window would. The connection to the target is opened DELAY after
// the client's, as a SYN would arrive, and an end of stream (shutdown or
// close) is passed on, as a shutdown of the writing side, once the data
// before it has been delivered. A reset or failed write on either side
// closes both at once.
//
//   velmorix-delay-relay --delay-ms N [--queue-limit BYTES] LISTEN=TARGET...
//
// LISTEN and TARGET are IPv4 HOST:PORT. A LISTEN of HOST:FIRST-LAST listens
// on each port of the range and forwards port FIRST+i to the TARGET port
// +i, which serves an FTP server's range of passive ports; a LISTEN port of
// 0 takes a free port. Once every address listens, the relay writes one line
// "ready PORT..." with the ports it listens on, in order, to standard output.
#include <arpa/inet.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <signal.h>
#include <sys/epoll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <deque>
#include <list>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace {

using Clock = std::chrono::steady_clock;

constexpr size_t kReadSize = 64 * 1024;
constexpr size_t kDefaultQueueLimit = 16 * 1024 * 1024;
// The interest of a side taken out of the epoll set.
constexpr uint32_t kDetached = ~0u;

[[noreturn]] void Fail(const std::string& text) {
  std::fprintf(stderr, "velmorix-delay-relay: %s\n", text.c_str());
  std::exit(2);
}

std::string SystemError(const std::string& what) {
  return what + ": " + std::strerror(errno);
}

void SetNoDelay(int fd) {
  const int on = 1;
  setsockopt(fd, IPPROTO_TCP, TCP_NODELAY, &on, sizeof on);
}

// What was read from one side and is on its way to the other.
struct Chunk {
  Clock::time_point due;
  std::string bytes;  // empty for the end of the stream
  size_t written = 0;
};

// One direction of a connection: what side `from` sent, for side `to`.
struct Way {
  std::deque<Chunk> queue;
  size_t queuedBytes = 0;
  bool readEnded = false;  // `from` sent its end of stream
  bool shut = false;       // ... and `to` has been told
  bool blocked = false;    // `to` took no more: wait until it is writable
};

struct Connection;
struct Listener;

// What an epoll event points at: a listener or one side of a connection.
struct Watch {
  Listener* listener = nullptr;
  Connection* connection = nullptr;
  int side = 0;
};

struct Listener {
  int fd = -1;
  sockaddr_in target{};
  Watch watch;
};

struct Connection {
  int fds[2] = {-1, -1};  // 0: the client's, 1: the target's
  Watch watches[2];
  uint32_t events[2] = {0, 0};  // the interest each fd is registered with
  Way ways[2];                  // ways[s] carries what side s sent
  sockaddr_in target{};
  Clock::time_point connectAt;
  bool connecting = false;
  bool connected = false;
  bool dead = false;
};

struct Endpoint {
  in_addr host{};
  int firstPort = 0;
  int lastPort = 0;
};

std::optional<Endpoint> ParseEndpoint(std::string_view text, bool rangeAllowed) {
  const size_t colon = text.rfind(':');
  if (colon == std::string_view::npos)
    return std::nullopt;
  Endpoint endpoint;
  const std::string host(text.substr(0, colon));
  if (inet_pton(AF_INET, host.c_str(), &endpoint.host) != 1)
    return std::nullopt;
  const std::string ports(text.substr(colon + 1));
  char* end = nullptr;
  const long first = std::strtol(ports.c_str(), &end, 10);
  long last = first;
  if (*end == '-' && rangeAllowed)
    last = std::strtol(end + 1, &end, 10);
  if (end == ports.c_str() || *end != '\0' || first < 0 || last < first || last > 65535)
    return std::nullopt;
  endpoint.firstPort = static_cast<int>(first);
  endpoint.lastPort = static_cast<int>(last);
  return endpoint;
}

sockaddr_in Address(in_addr host, int port) {
  sockaddr_in address{};
  address.sin_family = AF_INET;
  address.sin_addr = host;
  address.sin_port = htons(static_cast<uint16_t>(port));
  return address;
}

class Relay {
 public:
  Relay(std::chrono::milliseconds delay, size_t queueLimit)
      : delay_(delay), queueLimit_(queueLimit), epoll_(epoll_create1(EPOLL_CLOEXEC)) {
    if (epoll_ < 0)
      Fail(SystemError("epoll_create1"));
  }

  // Listens on `listen` and forwards to `target`; returns the port taken.
  int Listen(sockaddr_in listen, sockaddr_in target) {
    const int fd = socket(AF_INET, SOCK_STREAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0);
    const int on = 1;
    setsockopt(fd, SOL_SOCKET, SO_REUSEADDR, &on, sizeof on);
    if (bind(fd, reinterpret_cast<sockaddr*>(&listen), sizeof listen) < 0 ||
        ::listen(fd, 128) < 0) {
      char host[INET_ADDRSTRLEN];
      inet_ntop(AF_INET, &listen.sin_addr, host, sizeof host);
      Fail(SystemError("cannot listen on " + std::string(host) + ":" +
                       std::to_string(ntohs(listen.sin_port))));
    }
    socklen_t length = sizeof listen;
    getsockname(fd, reinterpret_cast<sockaddr*>(&listen), &length);
    Listener& listener = listeners_.emplace_back();
    listener.fd = fd;
    listener.target = target;
    listener.watch.listener = &listener;
    epoll_event event{.events = EPOLLIN, .data = {.ptr = &listener.watch}};
    epoll_ctl(epoll_, EPOLL_CTL_ADD, fd, &event);
    return ntohs(listen.sin_port);
  }

  [[noreturn]] void Run() {
    std::vector<epoll_event> events(256);
    for (;;) {
      const int count =
          epoll_wait(epoll_, events.data(), static_cast<int>(events.size()), TimeoutMilliseconds());
      if (count < 0 && errno != EINTR)
        Fail(SystemError("epoll_wait"));
      for (int i = 0; i < count; ++i) {
        Watch& watch = *static_cast<Watch*>(events[i].data.ptr);
        if (watch.listener != nullptr)
          Accept(*watch.listener);
        else if (!watch.connection->dead)
          Serve(*watch.connection, watch.side, events[i].events);
      }
      const Clock::time_point now = Clock::now();
      for (Connection& connection : connections_) {
        if (!connection.dead && !connection.connecting && !connection.connected &&
            connection.connectAt <= now)
          StartConnect(connection);
        for (int side = 0; side < 2 && !connection.dead; ++side)
          Deliver(connection, side, now);
        if (!connection.dead)
          UpdateInterest(connection);
      }
      connections_.remove_if([](const Connection& connection) { return connection.dead; });
    }
  }

 private:
  void Accept(Listener& listener) {
    for (;;) {
      const int fd = accept4(listener.fd, nullptr, nullptr, SOCK_NONBLOCK | SOCK_CLOEXEC);
      if (fd < 0)
        return;  // EAGAIN, or a client that left before it was taken
      SetNoDelay(fd);
      connections_.emplace_back();
      Connection& connection = connections_.back();
      connection.fds[0] = fd;
      connection.target = listener.target;
      connection.connectAt = Clock::now() + delay_;
      for (int side = 0; side < 2; ++side)
        connection.watches[side] = Watch{.connection = &connection, .side = side};
      epoll_event event{.events = 0, .data = {.ptr = &connection.watches[0]}};
      epoll_ctl(epoll_, EPOLL_CTL_ADD, fd, &event);
      UpdateInterest(connection);
    }
  }

  void StartConnect(Connection& connection) {
    const int fd = socket(AF_INET, SOCK_STREAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0);
    if (fd < 0) {
      Close(connection);
      return;
    }
    SetNoDelay(fd);
    connection.fds[1] = fd;
    epoll_event event{.events = 0, .data = {.ptr = &connection.watches[1]}};
    epoll_ctl(epoll_, EPOLL_CTL_ADD, fd, &event);
    if (connect(fd, reinterpret_cast<sockaddr*>(&connection.target), sizeof connection.target) == 0)
      connection.connected = true;
    else if (errno == EINPROGRESS)
      connection.connecting = true;
    else
      Close(connection);
  }

  void Serve(Connection& connection, int side, uint32_t events) {
    if (side == 1 && connection.connecting) {
      if ((events & (EPOLLOUT | EPOLLERR | EPOLLHUP)) == 0)
        return;
      int error = 0;
      socklen_t length = sizeof error;
      getsockopt(connection.fds[1], SOL_SOCKET, SO_ERROR, &error, &length);
      connection.connecting = false;
      if (error != 0) {
        Close(connection);  // the target refused: so does the relay, to the client
        return;
      }
      connection.connected = true;
      return;
    }
    if (events & EPOLLERR) {
      Close(connection);  // a reset: the data still queued is lost, as on a line
      return;
    }
    // A hang-up is reported whatever the interest; once nothing more can be
    // read the side is left out of the loop's waiting, or it would spin.
    const bool hungUp = (events & EPOLLHUP) != 0;
    if (hungUp && connection.ways[side].readEnded) {
      epoll_ctl(epoll_, EPOLL_CTL_DEL, connection.fds[side], nullptr);
      connection.events[side] = kDetached;
      return;
    }
    if (events & (EPOLLIN | EPOLLHUP))
      Read(connection, side, hungUp);
    if (!connection.dead && (events & EPOLLOUT))
      connection.ways[1 - side].blocked = false;
  }

  // Reads one chunk from `side`; a full queue waits unless the side hung up.
  void Read(Connection& connection, int side, bool hungUp) {
    Way& way = connection.ways[side];
    if (way.readEnded || (way.queuedBytes >= queueLimit_ && !hungUp))
      return;
    char buffer[kReadSize];
    const ssize_t count = recv(connection.fds[side], buffer, sizeof buffer, 0);
    if (count < 0) {
      if (errno != EAGAIN && errno != EWOULDBLOCK && errno != EINTR)
        Close(connection);
      return;
    }
    Chunk chunk{.due = Clock::now() + delay_, .bytes = std::string(buffer, count)};
    way.queuedBytes += chunk.bytes.size();
    way.readEnded = count == 0;
    way.queue.push_back(std::move(chunk));
  }

  // Writes what side `from` sent and is due to the other side.
  void Deliver(Connection& connection, int from, Clock::time_point now) {
    Way& way = connection.ways[from];
    const int to = connection.fds[1 - from];
    if (!connection.connected || way.blocked)
      return;
    while (!way.queue.empty() && way.queue.front().due <= now) {
      Chunk& chunk = way.queue.front();
      if (chunk.bytes.empty()) {
        shutdown(to, SHUT_WR);
        way.shut = true;
        way.queue.pop_front();
        if (connection.ways[1 - from].shut)
          Close(connection);
        return;
      }
      const ssize_t count = send(to, chunk.bytes.data() + chunk.written,
                                 chunk.bytes.size() - chunk.written, MSG_NOSIGNAL);
      if (count < 0) {
        if (errno == EAGAIN || errno == EWOULDBLOCK)
          way.blocked = true;
        else if (errno != EINTR)
          Close(connection);
        return;
      }
      chunk.written += static_cast<size_t>(count);
      way.queuedBytes -= static_cast<size_t>(count);
      if (chunk.written == chunk.bytes.size())
        way.queue.pop_front();
    }
  }

  void UpdateInterest(Connection& connection) {
    for (int side = 0; side < 2; ++side) {
      if (connection.fds[side] < 0 || connection.events[side] == kDetached)
        continue;
      const Way& incoming = connection.ways[side];
      uint32_t events = 0;
      if (!incoming.readEnded && incoming.queuedBytes < queueLimit_ &&
          (side == 0 || connection.connected))
        events |= EPOLLIN;
      if ((side == 1 && connection.connecting) || connection.ways[1 - side].blocked)
        events |= EPOLLOUT;
      if (events == connection.events[side])
        continue;
      connection.events[side] = events;
      epoll_event event{.events = events, .data = {.ptr = &connection.watches[side]}};
      epoll_ctl(epoll_, EPOLL_CTL_MOD, connection.fds[side], &event);
    }
  }

  void Close(Connection& connection) {
    for (int& fd : connection.fds) {
      if (fd >= 0)
        close(fd);
      fd = -1;
    }
    connection.dead = true;
  }

  // Until the next chunk is due or the next target is to be connected,
  // rounded up to whole milliseconds (-1: nothing is waiting on time).
  int TimeoutMilliseconds() const {
    std::optional<Clock::time_point> next;
    const auto consider = [&next](Clock::time_point when) {
      if (!next || when < *next)
        next = when;
    };
    for (const Connection& connection : connections_) {
      if (!connection.connecting && !connection.connected) {
        consider(connection.connectAt);
        continue;
      }
      for (const Way& way : connection.ways)
        if (connection.connected && !way.blocked && !way.queue.empty())
          consider(way.queue.front().due);
    }
    if (!next)
      return -1;
    const auto wait = *next - Clock::now();
    if (wait <= Clock::duration::zero())
      return 0;
    return static_cast<int>(std::chrono::ceil<std::chrono::milliseconds>(wait).count());
  }

  const std::chrono::milliseconds delay_;
  const size_t queueLimit_;
  const int epoll_;
  std::list<Listener> listeners_;  // a list: epoll events point into it
  std::list<Connection> connections_;
};

[[noreturn]] void Usage() {
  Fail(
      "usage: velmorix-delay-relay --delay-ms N [--queue-limit BYTES] LISTEN=TARGET...\n"
      "  LISTEN: HOST:PORT (0 for a free port) or HOST:FIRST-LAST; TARGET: HOST:PORT");
}

}  // namespace

int main(int argc, char** argv) {
  signal(SIGPIPE, SIG_IGN);
  long delayMilliseconds = -1;
  size_t queueLimit = kDefaultQueueLimit;
  std::vector<std::pair<Endpoint, Endpoint>> routes;
  for (int i = 1; i < argc; ++i) {
    const std::string_view argument = argv[i];
    if ((argument == "--delay-ms" || argument == "--queue-limit") && i + 1 < argc) {
      char* end = nullptr;
      const long value = std::strtol(argv[++i], &end, 10);
      if (*end != '\0' || value < 0)
        Usage();
      if (argument == "--delay-ms")
        delayMilliseconds = value;
      else
        queueLimit = static_cast<size_t>(std::max(value, 1L));
      continue;
    }
    const size_t equals = argument.find('=');
    if (equals == std::string_view::npos)
      Usage();
    const std::optional<Endpoint> listen = ParseEndpoint(argument.substr(0, equals), true);
    const std::optional<Endpoint> target = ParseEndpoint(argument.substr(equals + 1), false);
    if (!listen || !target || target->firstPort == 0 ||
        target->firstPort + (listen->lastPort - listen->firstPort) > 65535)
      Usage();
    routes.emplace_back(*listen, *target);
  }
  if (delayMilliseconds < 0 || routes.empty())
    Usage();

  Relay relay(std::chrono::milliseconds(delayMilliseconds), queueLimit);
  std::string ready = "ready";
  for (const auto& [listen, target] : routes) {
    for (int port = listen.firstPort; port <= listen.lastPort; ++port) {
      const int offset = port - listen.firstPort;
      ready += " " + std::to_string(relay.Listen(Address(listen.host, port),
                                                 Address(target.host, target.firstPort + offset)));
    }
  }
  std::printf("%s\n", ready.c_str());
  std::fflush(stdout);
  relay.Run();
}
