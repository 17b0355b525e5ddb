// The test server itself: if these fail, every end-to-end test is suspect.
#include "tests/support/test_ftp_server.h"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <filesystem>

#include <gtest/gtest.h>

namespace velmorix::testing {
namespace {

bool Accepts(uint16_t port) {
  const int fd = socket(AF_INET, SOCK_STREAM, 0);
  sockaddr_in address{};
  address.sin_family = AF_INET;
  address.sin_port = htons(port);
  inet_pton(AF_INET, "127.0.0.1", &address.sin_addr);
  const bool connected = connect(fd, reinterpret_cast<sockaddr*>(&address), sizeof address) == 0;
  close(fd);
  return connected;
}

TEST(TestFtpServerTest, ServesAFreshEmptyRootAndDiesWhenKilled) {
  TestFtpServer server;
  server.Start();
  ASSERT_GT(server.port(), 0);
  EXPECT_TRUE(std::filesystem::is_empty(server.root()));
  EXPECT_TRUE(Accepts(server.port()));
  server.Kill();
  EXPECT_FALSE(server.running());
  EXPECT_FALSE(Accepts(server.port()));
}

TEST(TestFtpServerTest, TwoServersGetTheirOwnPortsAndRoots) {
  TestFtpServer first;
  TestFtpServer second;
  first.Start();
  second.Start();
  EXPECT_NE(first.port(), second.port());
  EXPECT_NE(first.root(), second.root());
}

TEST(TestFtpServerTest, RootIsRemovedWithTheServer) {
  std::filesystem::path root;
  {
    TestFtpServer server;
    server.Start();
    root = server.root();
    WriteFile(root / "sub" / "file.txt", "x");
  }
  EXPECT_FALSE(std::filesystem::exists(root));
}

}  // namespace
}  // namespace velmorix::testing
