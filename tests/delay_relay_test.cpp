// The benchmark's delaying relay (bench/delay_relay.cpp), run as a program
// between a client and a server on loopback: what one side sends reaches
// the other intact and in order, and an end of stream is passed on after
// the data before it, whichever side ends first.
#include <netinet/in.h>
#include <spawn.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <csignal>
#include <cstdio>
#include <ostream>
#include <random>
#include <string>
#include <thread>
#include <vector>

#include <gtest/gtest.h>

#include "tests/support/test_ftp_server.h"

extern char** environ;

namespace {

using velmorix::testing::ClosedPort;

// A guard against a test that would otherwise hang: a receive that waits
// this long fails the case.
constexpr int kStallSeconds = 20;

std::string Pattern(size_t size, unsigned seed) {
  std::mt19937 generator(seed);
  std::string bytes(size, '\0');
  for (char& byte : bytes)
    byte = static_cast<char>(generator());
  return bytes;
}

sockaddr_in Loopback(uint16_t port) {
  sockaddr_in address{};
  address.sin_family = AF_INET;
  address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  address.sin_port = htons(port);
  return address;
}

void SetStallGuard(int fd) {
  timeval limit{.tv_sec = kStallSeconds, .tv_usec = 0};
  setsockopt(fd, SOL_SOCKET, SO_RCVTIMEO, &limit, sizeof limit);
}

bool SendAll(int fd, const std::string& bytes) {
  for (size_t sent = 0; sent < bytes.size();) {
    const ssize_t count = send(fd, bytes.data() + sent, bytes.size() - sent, MSG_NOSIGNAL);
    if (count <= 0)
      return false;
    sent += static_cast<size_t>(count);
  }
  return true;
}

// Everything up to the end of the stream; false after an error or a stall.
bool ReceiveAll(int fd, std::string& bytes) {
  char buffer[65536];
  for (;;) {
    const ssize_t count = recv(fd, buffer, sizeof buffer, 0);
    if (count == 0)
      return true;
    if (count < 0)
      return false;
    bytes.append(buffer, static_cast<size_t>(count));
  }
}

// velmorix-delay-relay from this build, listening on a free port, for as
// long as this object lives.
class Relay {
 public:
  Relay(int delayMilliseconds, long queueLimit, uint16_t targetPort) {
    int out[2];
    if (pipe(out) != 0)
      return;
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_adddup2(&actions, out[1], STDOUT_FILENO);
    posix_spawn_file_actions_addclose(&actions, out[0]);
    const std::string program = VELMORIX_BIN_DIR "/velmorix-delay-relay";
    std::vector<std::string> arguments = {program, "--delay-ms", std::to_string(delayMilliseconds),
                                          "127.0.0.1:0=127.0.0.1:" + std::to_string(targetPort)};
    if (queueLimit > 0)
      arguments.insert(arguments.begin() + 1, {"--queue-limit", std::to_string(queueLimit)});
    std::vector<char*> argv;
    for (std::string& argument : arguments)
      argv.push_back(argument.data());
    argv.push_back(nullptr);
    const int spawned =
        posix_spawn(&pid_, program.c_str(), &actions, nullptr, argv.data(), environ);
    posix_spawn_file_actions_destroy(&actions);
    close(out[1]);
    if (spawned != 0) {
      pid_ = -1;
      close(out[0]);
      return;
    }
    FILE* ready = fdopen(out[0], "r");
    unsigned port = 0;
    if (std::fscanf(ready, "ready %u", &port) == 1)
      port_ = static_cast<uint16_t>(port);
    std::fclose(ready);
  }
  ~Relay() {
    if (pid_ > 0) {
      kill(pid_, SIGTERM);
      waitpid(pid_, nullptr, 0);
    }
  }
  Relay(const Relay&) = delete;
  Relay& operator=(const Relay&) = delete;

  uint16_t port() const { return port_; }

 private:
  pid_t pid_ = -1;
  uint16_t port_ = 0;
};

struct ExchangeCase {
  const char* name;
  size_t clientBytes;
  size_t serverBytes;
  bool serverEndsFirst;  // the server sends and shuts down before it reads
  long queueLimit;       // 0: the relay's own
};

void PrintTo(const ExchangeCase& c, std::ostream* out) {
  *out << c.name;
}

class DelayRelayExchange : public ::testing::TestWithParam<ExchangeCase> {};

TEST_P(DelayRelayExchange, EachSideGetsTheOthersBytesInOrderThenItsEnd) {
  const ExchangeCase& test = GetParam();
  const std::string fromClient = Pattern(test.clientBytes, 1);
  const std::string fromServer = Pattern(test.serverBytes, 2);

  const int listener = socket(AF_INET, SOCK_STREAM, 0);
  sockaddr_in address = Loopback(0);
  socklen_t length = sizeof address;
  ASSERT_EQ(bind(listener, reinterpret_cast<sockaddr*>(&address), sizeof address), 0);
  ASSERT_EQ(listen(listener, 4), 0);
  getsockname(listener, reinterpret_cast<sockaddr*>(&address), &length);
  Relay relay(2, test.queueLimit, ntohs(address.sin_port));
  ASSERT_NE(relay.port(), 0) << "the relay did not start";

  std::string serverGot;
  bool serverEnded = false;
  std::thread server([&] {
    const int connection = accept(listener, nullptr, nullptr);
    if (connection < 0)
      return;
    SetStallGuard(connection);
    if (test.serverEndsFirst) {
      SendAll(connection, fromServer);
      shutdown(connection, SHUT_WR);
      serverEnded = ReceiveAll(connection, serverGot);
    } else {
      serverEnded = ReceiveAll(connection, serverGot);
      SendAll(connection, fromServer);
      shutdown(connection, SHUT_WR);
    }
    close(connection);
  });

  const int client = socket(AF_INET, SOCK_STREAM, 0);
  SetStallGuard(client);
  const sockaddr_in relayAddress = Loopback(relay.port());
  std::string clientGot;
  bool clientEnded = false;
  if (connect(client, reinterpret_cast<const sockaddr*>(&relayAddress), sizeof relayAddress) == 0) {
    if (test.serverEndsFirst) {
      clientEnded = ReceiveAll(client, clientGot);
      SendAll(client, fromClient);
      shutdown(client, SHUT_WR);
    } else {
      SendAll(client, fromClient);
      shutdown(client, SHUT_WR);
      clientEnded = ReceiveAll(client, clientGot);
    }
  }
  server.join();
  close(client);
  close(listener);

  EXPECT_TRUE(serverEnded) << "the client's end of stream did not reach the server";
  EXPECT_TRUE(clientEnded) << "the server's end of stream did not reach the client";
  EXPECT_EQ(serverGot.size(), fromClient.size());
  EXPECT_TRUE(serverGot == fromClient) << "the client's bytes arrived changed or out of order";
  EXPECT_EQ(clientGot.size(), fromServer.size());
  EXPECT_TRUE(clientGot == fromServer) << "the server's bytes arrived changed or out of order";
}

INSTANTIATE_TEST_SUITE_P(
    Cases, DelayRelayExchange,
    ::testing::Values(
        ExchangeCase{"ClientUploadsThenHalfClosesAndReadsTheAnswer", 3 << 20, 1000, false, 0},
        ExchangeCase{"ServerGreetsAndHalfClosesWhileTheClientStillSends", 3 << 20, 100, true, 0},
        ExchangeCase{"QueueFarBelowTheUploadStillCarriesAll", 3 << 20, 3 << 20, false, 65536},
        ExchangeCase{"NothingSentEitherWayStillEndsBoth", 0, 0, false, 0}),
    [](const ::testing::TestParamInfo<ExchangeCase>& info) { return info.param.name; });

TEST(DelayRelay, ClientSeesTheConnectionEndWhenTheTargetRefuses) {
  Relay relay(2, 0, ClosedPort());
  ASSERT_NE(relay.port(), 0) << "the relay did not start";
  const int client = socket(AF_INET, SOCK_STREAM, 0);
  SetStallGuard(client);
  const sockaddr_in relayAddress = Loopback(relay.port());
  ASSERT_EQ(connect(client, reinterpret_cast<const sockaddr*>(&relayAddress), sizeof relayAddress),
            0);
  char byte = 0;
  const ssize_t count = recv(client, &byte, 1, 0);
  const bool stalled = count < 0 && (errno == EAGAIN || errno == EWOULDBLOCK);
  close(client);
  EXPECT_FALSE(stalled) << "the relay kept the client waiting for a target that refused";
  EXPECT_LE(count, 0);
}

}  // namespace
