// Our FTP client against a scripted peer, for the replies that the test
// server (pyftpdlib) cannot be made to send: a greeting that asks us to
// wait, a login without a password, an account request, a 421 in the middle
// of a session, a listing's final reply before its data, a store that the
// server calls done before it has the file, and lines that are not FTP.
#include <arpa/inet.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <chrono>
#include <functional>
#include <string>
#include <thread>
#include <vector>

#include <gtest/gtest.h>

#include "engine/ftp_session/ftp_session.h"
#include "tests/support/test_ftp_server.h"

namespace velmorix {
namespace {

using std::chrono::milliseconds;

// One side of the control connection, played by a test script.
class ScriptedPeer {
 public:
  explicit ScriptedPeer(int fd) : fd_(fd) {}

  // The next command line, without CR LF; empty after five seconds of
  // silence or at the end of the connection.
  std::string ReadLine() {
    std::string line;
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(5);
    while (!line.ends_with("\r\n")) {
      const auto left =
          std::chrono::duration_cast<milliseconds>(deadline - std::chrono::steady_clock::now());
      pollfd entry{fd_, POLLIN, 0};
      if (left.count() <= 0 || poll(&entry, 1, static_cast<int>(left.count())) <= 0)
        return {};
      char c;
      if (read(fd_, &c, 1) != 1)
        return {};
      line.push_back(c);
    }
    line.resize(line.size() - 2);
    received.push_back(line);
    return line;
  }

  // Reads a command and checks that it begins with `prefix`.
  std::string Expect(const std::string& prefix) {
    const std::string line = ReadLine();
    EXPECT_TRUE(line.starts_with(prefix)) << "expected " << prefix << ", got \"" << line << '"';
    return line;
  }

  void Send(const std::string& text) {
    ASSERT_EQ(send(fd_, text.data(), text.size(), MSG_NOSIGNAL), static_cast<ssize_t>(text.size()));
  }

  // Connects to the address of a "PORT h1,h2,h3,h4,p1,p2" line.
  int ConnectBack(const std::string& portLine) {
    unsigned h1, h2, h3, h4, p1, p2;
    EXPECT_EQ(sscanf(portLine.c_str(), "PORT %u,%u,%u,%u,%u,%u", &h1, &h2, &h3, &h4, &p1, &p2), 6)
        << portLine;
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_port = htons(static_cast<uint16_t>(p1 * 256 + p2));
    address.sin_addr.s_addr = htonl((h1 << 24) | (h2 << 16) | (h3 << 8) | h4);
    const int fd = socket(AF_INET, SOCK_STREAM, 0);
    EXPECT_EQ(connect(fd, reinterpret_cast<sockaddr*>(&address), sizeof address), 0);
    return fd;
  }

  // The usual login; `features` is the body of the FEAT reply.
  void LogIn(const std::string& features = " UTF8\r\n") {
    Send("220 scripted\r\n");
    Expect("USER user");
    Send("331 password\r\n");
    Expect("PASS secret");
    Send("230 in\r\n");
    Expect("FEAT");
    Send("211-Features:\r\n" + features + "211 End\r\n");
    if (features.find("UTF8") != std::string::npos) {
      Expect("OPTS UTF8 ON");
      Send("200 ok\r\n");
    }
    Expect("TYPE I");
    Send("200 binary\r\n");
    Expect("PWD");
    Send("257 \"/home/user\" is the current directory\r\n");
  }

  // Answers the QUIT that closing the connection sends.
  void Goodbye() {
    Expect("QUIT");
    Send("221 bye\r\n");
  }

  std::vector<std::string> received;

 private:
  int fd_;
};

// A listener on 127.0.0.1 that plays `script` with the first client.
class ScriptedServer {
 public:
  explicit ScriptedServer(std::function<void(ScriptedPeer&)> script) {
    listener_ = socket(AF_INET, SOCK_STREAM, 0);
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    bind(listener_, reinterpret_cast<sockaddr*>(&address), sizeof address);
    listen(listener_, 1);
    socklen_t length = sizeof address;
    getsockname(listener_, reinterpret_cast<sockaddr*>(&address), &length);
    port_ = ntohs(address.sin_port);
    thread_ = std::thread([this, script] {
      pollfd entry{listener_, POLLIN, 0};
      if (poll(&entry, 1, 5000) <= 0)
        return;
      const int fd = accept(listener_, nullptr, nullptr);
      ScriptedPeer peer(fd);
      script(peer);
      received_ = peer.received;
      close(fd);
    });
  }
  ~ScriptedServer() {
    Join();
    close(listener_);
  }

  uint16_t port() const { return port_; }
  // Waits for the script to end; then received() holds every command.
  void Join() {
    if (thread_.joinable())
      thread_.join();
  }
  const std::vector<std::string>& received() const { return received_; }

 private:
  int listener_ = -1;
  uint16_t port_ = 0;
  std::thread thread_;
  std::vector<std::string> received_;
};

FtpStatus ConnectTo(const ScriptedServer& server, FtpConnection& connection) {
  FtpSession session("VELMORIX", {milliseconds(2000), milliseconds(2000), milliseconds(2000)});
  return session.Connect("127.0.0.1", server.port(), "user", "secret", connection);
}

class FtpLoginDialogueTest : public ::testing::Test {};

TEST_F(FtpLoginDialogueTest, WaitGreetingLoginWithoutPasswordAndNoFeaturesOrFolder) {
  ScriptedServer server([](ScriptedPeer& peer) {
    peer.Send("120 ready in a moment\r\n");
    peer.Send("220-Welcome\r\n220 ready\r\n");
    peer.Expect("USER user");
    peer.Send("230 no password needed\r\n");
    peer.Expect("FEAT");
    peer.Send("502 not implemented\r\n");
    peer.Expect("TYPE I");
    peer.Send("200 ok\r\n");
    peer.Expect("PWD");
    peer.Send("550 not telling\r\n");
    // Without a known login folder, relative paths go out as they are.
    peer.Expect("CWD www");
    peer.Send("250 ok\r\n");
    peer.Goodbye();
  });
  FtpConnection connection;
  const FtpStatus status = ConnectTo(server, connection);
  ASSERT_TRUE(status.ok()) << status.text;
  EXPECT_TRUE(connection.ChangeFolder("www").ok());
  connection.Close();
  server.Join();
  for (const std::string& line : server.received())
    EXPECT_FALSE(line.starts_with("PASS"));
}

TEST_F(FtpLoginDialogueTest, AccountRequestIsALoginFailure) {
  ScriptedServer server([](ScriptedPeer& peer) {
    peer.Send("220 ready\r\n");
    peer.Expect("USER user");
    peer.Send("331 password\r\n");
    peer.Expect("PASS secret");
    peer.Send("332 Need account for login.\r\n");
    peer.Goodbye();
  });
  FtpConnection connection;
  const FtpStatus status = ConnectTo(server, connection);
  EXPECT_EQ(status.kind, FtpErrorKind::kLoginFailed);
  EXPECT_EQ(status.text, "ログインできませんでした: 332 Need account for login.");
  EXPECT_FALSE(connection.IsOpen());
}

TEST_F(FtpLoginDialogueTest, BusyServerGreetingWith421IsAFailure) {
  ScriptedServer server(
      [](ScriptedPeer& peer) { peer.Send("421 Too many connections, try later.\r\n"); });
  FtpConnection connection;
  const FtpStatus status = ConnectTo(server, connection);
  EXPECT_FALSE(status.ok());
  EXPECT_NE(status.text.find("421 Too many connections, try later."), std::string::npos)
      << status.text;
  EXPECT_FALSE(connection.IsOpen());
}

TEST_F(FtpLoginDialogueTest, PeerThatDoesNotSpeakFtpIsAProtocolError) {
  ScriptedServer server([](ScriptedPeer& peer) { peer.Send("SSH-2.0-OpenSSH_9.2\r\n"); });
  FtpConnection connection;
  const FtpStatus status = ConnectTo(server, connection);
  EXPECT_EQ(status.kind, FtpErrorKind::kProtocol) << status.text;
  EXPECT_FALSE(connection.IsOpen());
}

class FtpSessionDialogueTest : public ::testing::Test {};

TEST_F(FtpSessionDialogueTest, ClosingReplyInTheMiddleLosesTheConnection) {
  ScriptedServer server([](ScriptedPeer& peer) {
    peer.LogIn();
    peer.Expect("MKD /home/user/new");
    peer.Send("421 Idle timeout, closing.\r\n");
    // Nothing more may be sent; a command would show up here.
    peer.ReadLine();
  });
  FtpConnection connection;
  ASSERT_TRUE(ConnectTo(server, connection).ok());
  const FtpStatus status = connection.CreateFolder("new");
  EXPECT_EQ(status.kind, FtpErrorKind::kNotConnected);
  EXPECT_EQ(status.text,
            "サーバーとの接続が切れました (MKD /home/user/new): 421 Idle timeout, closing.");
  EXPECT_FALSE(connection.IsOpen());
  EXPECT_EQ(connection.DeleteFile("x").kind, FtpErrorKind::kNotConnected);
  connection.Close();
  server.Join();
  EXPECT_EQ(server.received().back(), "MKD /home/user/new");
}

TEST_F(FtpSessionDialogueTest, ListingWhoseFinalReplyComesBeforeItsData) {
  ScriptedServer server([](ScriptedPeer& peer) {
    peer.LogIn(" MLST type*;modify*;\r\n");
    const std::string port = peer.Expect("PORT ");
    peer.Send("200 ok\r\n");
    peer.Expect("MLSD /home/user/www");
    const int data = peer.ConnectBack(port);
    // Everything on the control connection first, multi-line end included.
    peer.Send("150 here it comes\r\n226-Listing sent\r\n226 Bye for now\r\n");
    std::this_thread::sleep_for(milliseconds(100));
    const std::string lines =
        "type=dir;modify=20200102030405; images\r\n"
        "type=file;modify=20200102030405; index.html\r\n";
    send(data, lines.data(), lines.size(), MSG_NOSIGNAL);
    close(data);
    peer.Expect("CWD /home/user/www");
    peer.Send("250 entered\r\n");
    peer.Goodbye();
  });
  FtpConnection connection;
  ASSERT_TRUE(ConnectTo(server, connection).ok());
  FtpListing listing;
  RemoteEntry entry;
  ASSERT_TRUE(connection.FindFirst("www", listing, entry).ok());
  EXPECT_EQ(entry.name, "images");
  EXPECT_TRUE(entry.isDir);
  ASSERT_TRUE(listing.Next(entry).ok());
  EXPECT_EQ(entry.name, "index.html");
  EXPECT_EQ(listing.Next(entry).kind, FtpErrorKind::kNoMoreFiles);
  // The next command gets its own reply.
  EXPECT_TRUE(connection.ChangeFolder("www").ok());
  EXPECT_EQ(connection.LastResponseText(), "250 entered");
}

TEST_F(FtpSessionDialogueTest, DataConnectionRefusalAfterTheMarkIsAFailureInStep) {
  ScriptedServer server([](ScriptedPeer& peer) {
    peer.LogIn();
    peer.Expect("CWD /home/user/www");
    peer.Send("250 ok\r\n");
    peer.Expect("PORT ");
    peer.Send("200 ok\r\n");
    peer.Expect("LIST -a");
    peer.Send("150 opening\r\n");
    peer.Send("425 Can't open data connection.\r\n");
    peer.Expect("RMD old");
    peer.Send("250 removed\r\n");
    peer.Goodbye();
  });
  FtpConnection connection;
  ASSERT_TRUE(ConnectTo(server, connection).ok());
  FtpListing listing;
  RemoteEntry entry;
  const FtpStatus status = connection.FindFirst("www", listing, entry);
  EXPECT_EQ(status.kind, FtpErrorKind::kServerReply);
  EXPECT_EQ(status.text, "425 Can't open data connection.");
  EXPECT_TRUE(connection.RemoveFolder("old").ok());
}

TEST_F(FtpSessionDialogueTest, StoreCalledDoneBeforeTheDataIsNeverASuccess) {
  testing::TempDir local;
  testing::WriteFile(local.path() / "page.html", "content");
  ScriptedServer server([](ScriptedPeer& peer) {
    peer.LogIn();
    const std::string port = peer.Expect("PORT ");
    peer.Send("200 ok\r\n");
    peer.Expect("STOR page.html");
    const int data = peer.ConnectBack(port);
    peer.Send("150 go ahead\r\n226 Transfer complete.\r\n");
    std::this_thread::sleep_for(milliseconds(200));
    close(data);
    peer.Goodbye();
  });
  FtpConnection connection;
  ASSERT_TRUE(ConnectTo(server, connection).ok());
  const FtpStatus status = connection.PutFile((local.path() / "page.html").string(), "page.html");
  EXPECT_EQ(status.kind, FtpErrorKind::kProtocol) << status.text;
}

TEST_F(FtpSessionDialogueTest, StoreAnsweredWithAnUnexpectedCodeIsAFailure) {
  testing::TempDir local;
  testing::WriteFile(local.path() / "page.html", "content");
  ScriptedServer server([](ScriptedPeer& peer) {
    peer.LogIn();
    const std::string port = peer.Expect("PORT ");
    peer.Send("200 ok\r\n");
    peer.Expect("STOR page.html");
    const int data = peer.ConnectBack(port);
    peer.Send("150 go ahead\r\n");
    char buffer[64];
    while (read(data, buffer, sizeof buffer) > 0) {
    }
    close(data);
    peer.Send("350 Something odd.\r\n");
    peer.Goodbye();
  });
  FtpConnection connection;
  ASSERT_TRUE(ConnectTo(server, connection).ok());
  const FtpStatus status = connection.PutFile((local.path() / "page.html").string(), "page.html");
  EXPECT_EQ(status.kind, FtpErrorKind::kServerReply);
  EXPECT_EQ(status.text, "350 Something odd.");
}

}  // namespace
}  // namespace velmorix
