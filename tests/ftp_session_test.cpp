// End-to-end tests of our FTP client against the real test server
// (pyftpdlib on loopback, active mode), with MLSD and with the LIST-only
// server, and once over IPv6.
#include "ftp/ftp_session.h"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <filesystem>
#include <fstream>
#include <map>
#include <random>
#include <sstream>
#include <thread>

#include <gtest/gtest.h>

#include "tests/support/test_ftp_server.h"

namespace velmorix {
namespace {

namespace fs = std::filesystem;
using std::chrono::milliseconds;
using testing::ReadFile;
using testing::TempDir;
using testing::TestFtpServer;
using testing::TestFtpServerOptions;
using testing::WriteFile;

// Long enough for a loaded machine and for pyftpdlib's three-second pause
// after a wrong password; the short ones are for provoked time-outs.
constexpr FtpTimeouts kNormal{milliseconds(5000), milliseconds(10000), milliseconds(10000)};
constexpr FtpTimeouts kShort{milliseconds(500), milliseconds(500), milliseconds(500)};

FtpStatus ConnectTo(const TestFtpServer& server, FtpConnection& connection,
                    const std::string& password = TestFtpServer::kPassword,
                    FtpTimeouts timeouts = kNormal) {
  return FtpSession("VELMORIX", timeouts)
      .Connect(server.host(), server.port(), TestFtpServer::kUser, password, connection);
}

// Lists `folder` to its end; ok after a complete listing or an empty folder.
FtpStatus ListAll(FtpConnection& connection, std::string_view folder,
                  std::map<std::string, RemoteEntry>& entries) {
  entries.clear();
  FtpListing listing;
  RemoteEntry entry;
  FtpStatus status = connection.FindFirst(folder, listing, entry);
  for (; status.ok(); status = listing.Next(entry))
    entries[entry.name] = entry;
  return status.kind == FtpErrorKind::kNoMoreFiles ? FtpStatus::Ok() : status;
}

// A port of 127.0.0.1 where nothing listens.
uint16_t UnusedPort() {
  const int fd = socket(AF_INET, SOCK_STREAM, 0);
  sockaddr_in address{AF_INET, 0, {htonl(INADDR_LOOPBACK)}, {}};
  socklen_t length = sizeof address;
  bind(fd, reinterpret_cast<sockaddr*>(&address), length);
  getsockname(fd, reinterpret_cast<sockaddr*>(&address), &length);
  close(fd);
  return ntohs(address.sin_port);
}

class FtpConnectTest : public testing::FtpServerTest {};

TEST_F(FtpConnectTest, WrongPasswordIsALoginFailureWithTheServersReply) {
  FtpConnection connection;
  const FtpStatus status = ConnectTo(server_, connection, "wrong pw");
  EXPECT_EQ(status.kind, FtpErrorKind::kLoginFailed);
  EXPECT_EQ(status.text, "ログインできませんでした: 530 Authentication failed.");
  EXPECT_FALSE(connection.IsOpen());
  EXPECT_EQ(connection.LastResponseText(), "530 Authentication failed.");
}

TEST_F(FtpConnectTest, UnknownHostClosedPortAndSilentHostEachSayWhatFailed) {
  FtpSession session("VELMORIX", kShort);
  FtpConnection connection;
  FtpStatus status = session.Connect("no-such-server.invalid", 21, "u", "p", connection);
  EXPECT_EQ(status.kind, FtpErrorKind::kHostNotFound);
  EXPECT_TRUE(status.text.starts_with(
      "サーバー名またはアドレスを解決できませんでした: no-such-server.invalid ("))
      << status.text;

  const uint16_t closed = UnusedPort();
  status = session.Connect("127.0.0.1", closed, "u", "p", connection);
  EXPECT_EQ(status.kind, FtpErrorKind::kConnectionRefused);
  EXPECT_EQ(status.text, "サーバーに接続できませんでした: 127.0.0.1:" + std::to_string(closed) +
                             " (Connection refused)");

  // A listener whose queue is full drops further SYNs, as a host behind a
  // silent firewall would.
  const int listener = socket(AF_INET, SOCK_STREAM, 0);
  sockaddr_in address{AF_INET, 0, {htonl(INADDR_LOOPBACK)}, {}};
  socklen_t length = sizeof address;
  bind(listener, reinterpret_cast<sockaddr*>(&address), length);
  listen(listener, 0);
  getsockname(listener, reinterpret_cast<sockaddr*>(&address), &length);
  std::vector<int> fillers;
  for (int i = 0; i < 4; ++i) {
    fillers.push_back(socket(AF_INET, SOCK_STREAM | SOCK_NONBLOCK, 0));
    connect(fillers.back(), reinterpret_cast<sockaddr*>(&address), length);
  }
  std::this_thread::sleep_for(milliseconds(100));
  const uint16_t silent = ntohs(address.sin_port);
  status = session.Connect("127.0.0.1", silent, "u", "p", connection);
  EXPECT_EQ(status.kind, FtpErrorKind::kTimeout);
  EXPECT_EQ(status.text,
            "サーバーへの接続がタイムアウトしました: 127.0.0.1:" + std::to_string(silent));
  for (int fd : fillers)
    close(fd);
  close(listener);
}

TEST_F(FtpConnectTest, LineBreaksInLoginDataAreRefusedBeforeConnecting) {
  // Aimed at a closed port: a connection refusal would show an attempt.
  const uint16_t closed = UnusedPort();
  FtpSession session("VELMORIX", kNormal);
  FtpConnection connection;
  EXPECT_EQ(session.Connect("127.0.0.1", closed, "u\r\nDELE x", "pw", connection).kind,
            FtpErrorKind::kUnsafeArgument);
  const FtpStatus status =
      session.Connect("127.0.0.1", closed, "u", std::string("pass\0word", 9), connection);
  EXPECT_EQ(status.kind, FtpErrorKind::kUnsafeArgument);
  EXPECT_EQ(status.text.find("pass"), std::string::npos) << "the password is never shown";
}

// Every operation, with the MLSD server and with the LIST-only server.
class FtpOperationsTest : public testing::FtpServerTest,
                          public ::testing::WithParamInterface<bool> {
 protected:
  FtpOperationsTest() : FtpServerTest(TestFtpServerOptions{.mlsd = GetParam()}) {}
  void SetUp() override {
    FtpServerTest::SetUp();
    const FtpStatus status = ConnectTo(server_, connection_);
    ASSERT_TRUE(status.ok()) << status.text;
  }
  fs::path Root() const { return server_.root(); }
  std::string LocalFile(const std::string& name, const std::string& content) {
    WriteFile(local_.path() / name, content);
    return (local_.path() / name).string();
  }
  TempDir local_;
  FtpConnection connection_;
};

INSTANTIATE_TEST_SUITE_P(ServerKinds, FtpOperationsTest, ::testing::Values(true, false),
                         [](const auto& info) { return info.param ? "Mlsd" : "ListOnly"; });

TEST_P(FtpOperationsTest, ListsNamesKindsAndTimesAsTheServerHasThem) {
  const auto now = std::chrono::system_clock::now().time_since_epoch();
  const int64_t recent = (std::chrono::duration_cast<std::chrono::seconds>(now).count() - 3600) /
                         60 * 60;  // whole minutes show exactly in LIST
  for (const char* name : {"index.html", "file with spaces.txt", "日本語ファイル.txt", ".hidden"}) {
    WriteFile(Root() / "site" / name, "x");
  }
  WriteFile(Root() / "site/old.txt", "x");
  fs::create_directories(Root() / "site/フォルダ 1");
  fs::create_directories(Root() / "site/real");
  fs::create_directory_symlink("real", Root() / "site/link");
  testing::SetFileTime(Root() / "site/index.html", recent);
  testing::SetFileTime(Root() / "site/old.txt", 1577934245);  // 2020-01-02 03:04:05 UTC

  std::map<std::string, RemoteEntry> entries;
  ASSERT_TRUE(ListAll(connection_, "site", entries).ok());
  std::string names;
  for (const auto& [name, entry] : entries)
    names += name + (entry.isDir ? "/ " : " ");
  // LIST shows "link -> real"; the name loses the target and the link is no
  // folder. pyftpdlib's MLSD follows the link and says "dir": its word holds.
  EXPECT_EQ(names, GetParam() ? ".hidden file with spaces.txt index.html link/ old.txt real/ "
                                "フォルダ 1/ 日本語ファイル.txt "
                              : ".hidden file with spaces.txt index.html link old.txt real/ "
                                "フォルダ 1/ 日本語ファイル.txt ");
  EXPECT_EQ(entries["index.html"].lastWriteTime, recent);
  // LIST gives only the date of an old file; MLSD the exact time.
  EXPECT_EQ(entries["old.txt"].lastWriteTime, GetParam() ? 1577934245 : 1577923200);
}

TEST_P(FtpOperationsTest, EmptyFolderGivesNoMoreFilesAndMissingFolderAnError) {
  fs::create_directories(Root() / "empty");
  FtpListing listing;
  RemoteEntry entry;
  EXPECT_EQ(connection_.FindFirst("/empty", listing, entry).kind, FtpErrorKind::kNoMoreFiles);
  EXPECT_FALSE(listing.IsOpen());
  const FtpStatus status = connection_.FindFirst("/missing", listing, entry);
  EXPECT_EQ(status.kind, FtpErrorKind::kServerReply);
  EXPECT_TRUE(status.text.starts_with("550 ") || status.text.starts_with("501 ")) << status.text;
  EXPECT_EQ(connection_.LastResponseText(), status.text);
  EXPECT_EQ(connection_.ChangeFolder("missing").text, "550 No such file or directory.");
  EXPECT_TRUE(connection_.CreateFolder("made").ok()) << "the failures left the connection in step";
  EXPECT_TRUE(fs::is_directory(Root() / "made"));
}

TEST_P(FtpOperationsTest, RelativePathsResolveAgainstTheLoginFolderNotTheCurrentOne) {
  WriteFile(Root() / "b/top.txt", "x");
  WriteFile(Root() / "a/b/nested.txt", "x");
  ASSERT_TRUE(connection_.ChangeFolder("a").ok());
  std::map<std::string, RemoteEntry> entries;
  ASSERT_TRUE(ListAll(connection_, "b", entries).ok());
  EXPECT_EQ(entries.count("top.txt"), 1u);
  ASSERT_TRUE(connection_.ChangeFolder("a").ok());
  ASSERT_TRUE(connection_.CreateFolder("c").ok());
  EXPECT_TRUE(fs::is_directory(Root() / "c") && !fs::exists(Root() / "a/c"));
  // "" lists the current folder; "//a/b" goes out unchanged (pyftpdlib
  // reads it as "/a/b").
  ASSERT_TRUE(connection_.ChangeFolder("/a/b").ok());
  ASSERT_TRUE(ListAll(connection_, "", entries).ok());
  EXPECT_EQ(entries.count("nested.txt"), 1u);
  ASSERT_TRUE(ListAll(connection_, "//a/b", entries).ok());
  EXPECT_EQ(entries.count("nested.txt"), 1u);
}

TEST_P(FtpOperationsTest, EnteringTheFolderWeAreInSendsNoCwd) {
  int syncs = 0;
  fs::create_directories(Root() / "a");
  fs::create_directories(Root() / "b");
  auto cwds = [this, &syncs] {
    // The server logs a command after its reply; one more command's reply
    // means the line before it is written.
    EXPECT_TRUE(connection_.CreateFolder("sync-" + std::to_string(++syncs)).ok());
    const std::string log = server_.ReadLog();
    size_t count = 0;
    for (size_t at = log.find("] CWD "); at != std::string::npos; at = log.find("] CWD ", at + 1))
      ++count;
    return count;
  };
  for (const char* folder : {"a", "a", "/a", "b", "b", "a"})
    ASSERT_TRUE(connection_.ChangeFolder(folder).ok()) << folder;
  EXPECT_EQ(cwds(), 3u) << server_.ReadLog();
  // A failed CWD leaves the server where it was, and we no longer know.
  EXPECT_FALSE(connection_.ChangeFolder("missing").ok());
  ASSERT_TRUE(connection_.ChangeFolder("a").ok());
  EXPECT_EQ(cwds(), 5u) << server_.ReadLog();
  // A LIST enters its folder first, unless we are in it already.
  for (const auto& [folder, expected] : {std::pair{"a", 5u}, std::pair{"/b", 6u}}) {
    FtpListing listing;
    RemoteEntry entry;
    EXPECT_EQ(connection_.FindFirst(folder, listing, entry, ListingCommand::kList).kind,
              FtpErrorKind::kNoMoreFiles);
    listing.Close();
    EXPECT_EQ(cwds(), expected) << folder << "\n" << server_.ReadLog();
  }
}

TEST_P(FtpOperationsTest, ClosingALongListingHalfWayLeavesTheConnectionInStep) {
  for (int i = 0; i < 4000; ++i)
    std::ofstream(Root() / ("file-" + std::to_string(i) + ".txt"));
  FtpListing listing;
  RemoteEntry entry;
  ASSERT_TRUE(connection_.FindFirst("/", listing, entry).ok());
  ASSERT_TRUE(listing.Next(entry).ok());
  listing.Close();
  EXPECT_EQ(listing.Next(entry).kind, FtpErrorKind::kNoMoreFiles);
  ASSERT_TRUE(connection_.CreateFolder("after-close").ok());
  {
    // Left half-read: the destructor closes it.
    FtpListing abandoned;
    ASSERT_TRUE(connection_.FindFirst("/", abandoned, entry).ok());
  }
  // Another command while a listing is open ends the listing first.
  ASSERT_TRUE(connection_.FindFirst("/", listing, entry).ok());
  ASSERT_TRUE(connection_.DeleteFile("file-1.txt").ok());
  EXPECT_EQ(connection_.LastResponseText(), "250 File removed.");
  EXPECT_FALSE(listing.IsOpen());
  std::map<std::string, RemoteEntry> entries;
  ASSERT_TRUE(ListAll(connection_, "/", entries).ok());
  EXPECT_EQ(entries.size(), 4000u);  // one file fewer, one folder more
  EXPECT_EQ(entries.count("after-close") + entries.count("file-3999.txt"), 2u);
}

TEST_P(FtpOperationsTest, UploadsArriveByteForByteAndReplaceOlderCopies) {
  const char head[] = "line\r\nlone LF\nlone CR\r\0\x01\xff\r\n";
  std::string binary(head, sizeof head - 1);
  std::mt19937 random(1);
  while (binary.size() < (12 << 20))
    binary.push_back(static_cast<char>(random()));
  WriteFile(Root() / "www/big.bin", std::string(13 << 20, 'o'));
  ASSERT_TRUE(connection_.ChangeFolder("www").ok());
  ASSERT_TRUE(connection_.PutFile(LocalFile("big.bin", binary), "big.bin").ok());
  EXPECT_TRUE(ReadFile(Root() / "www/big.bin") == binary);
  ASSERT_TRUE(connection_.PutFile(LocalFile("a", "first"), "日本語 ページ.html").ok());
  EXPECT_EQ(ReadFile(Root() / "www/日本語 ページ.html"), "first");
  ASSERT_TRUE(connection_.PutFile(LocalFile("empty", ""), "empty.txt").ok());
  EXPECT_TRUE(fs::exists(Root() / "www/empty.txt") && fs::file_size(Root() / "www/empty.txt") == 0);
}

TEST_P(FtpOperationsTest, MissingLocalFileFailsBeforeAnythingIsSent) {
  const std::string missing = (local_.path() / "gone.html").string();
  const FtpStatus status = connection_.PutFile(missing, "gone.html");
  EXPECT_EQ(status.kind, FtpErrorKind::kSystem);
  EXPECT_EQ(status.text, "ファイルを開けません: " + missing + " (No such file or directory)");
  EXPECT_EQ(connection_.PutFile(local_.str(), "folder.html").kind, FtpErrorKind::kSystem);
  EXPECT_FALSE(fs::exists(Root() / "gone.html") || fs::exists(Root() / "folder.html"));
  EXPECT_TRUE(connection_.CreateFolder("still-usable").ok());
}

TEST_P(FtpOperationsTest, CreateDeleteAndRemoveReportWhatTheServerRefuses) {
  ASSERT_TRUE(connection_.CreateFolder("/new").ok());
  EXPECT_TRUE(fs::is_directory(Root() / "new"));
  EXPECT_EQ(connection_.CreateFolder("/new").kind, FtpErrorKind::kServerReply);
  WriteFile(Root() / "full/inside.txt", "x");
  FtpStatus status = connection_.RemoveFolder("full");
  EXPECT_EQ(status.kind, FtpErrorKind::kServerReply);
  EXPECT_TRUE(status.text.starts_with("550 ")) << status.text;
  EXPECT_TRUE(fs::exists(Root() / "full/inside.txt"));
  ASSERT_TRUE(connection_.ChangeFolder("full").ok());
  ASSERT_TRUE(connection_.DeleteFile("inside.txt").ok());
  status = connection_.DeleteFile("inside.txt");
  EXPECT_EQ(status.kind, FtpErrorKind::kServerReply);
  EXPECT_TRUE(status.text.starts_with("550 ")) << status.text;
  ASSERT_TRUE(connection_.ChangeFolder("").ok());
  ASSERT_TRUE(connection_.RemoveFolder("full").ok());
  EXPECT_FALSE(fs::exists(Root() / "full"));
  status = connection_.PutFile(LocalFile("x", "data"), "missing/x.html");
  EXPECT_EQ(status.kind, FtpErrorKind::kServerReply);
  EXPECT_TRUE(status.text.starts_with("550 ")) << status.text;
}

TEST_P(FtpOperationsTest, NamesWithLineBreaksOrNulAreNeverSent) {
  WriteFile(Root() / "b", "keep me");
  const std::string local = LocalFile("a", "data");
  for (const std::string& name : {std::string("a\r\nDELE b"), std::string("a\nDELE b"),
                                  std::string("a\rDELE b"), std::string("a\0DELE b", 8)}) {
    FtpListing listing;
    RemoteEntry entry;
    EXPECT_EQ(connection_.PutFile(local, name).kind, FtpErrorKind::kUnsafeArgument);
    EXPECT_EQ(connection_.DeleteFile(name).kind, FtpErrorKind::kUnsafeArgument);
    EXPECT_EQ(connection_.RemoveFolder(name).kind, FtpErrorKind::kUnsafeArgument);
    EXPECT_EQ(connection_.CreateFolder(name).kind, FtpErrorKind::kUnsafeArgument);
    EXPECT_EQ(connection_.ChangeFolder(name).kind, FtpErrorKind::kUnsafeArgument);
    EXPECT_EQ(connection_.FindFirst(name, listing, entry).kind, FtpErrorKind::kUnsafeArgument);
  }
  EXPECT_EQ(ReadFile(Root() / "b"), "keep me");
  EXPECT_EQ(std::distance(fs::directory_iterator(Root()), fs::directory_iterator()), 1);
  EXPECT_TRUE(connection_.IsOpen());
}

// Uploads under a temporary name, renamed once verified: whatever the
// server allows, the real name ends up with the whole file or, after a
// failure, with the old one, and no temporary file is left.
TEST(FtpTemporaryUploadTest, RealNameGetsTheWholeFileOrKeepsTheOldOne) {
  using Renames = TestFtpServerOptions::Renames;
  const struct {
    const char* name;
    TestFtpServerOptions server;
    bool ok;
    bool renamesRefused;
    std::string_view errorPart;
  } cases[] = {
      {"rename over the old file", {}, true, false, ""},
      {"old file deleted first", {.renames = Renames::kNotOntoFiles}, true, false, ""},
      {"no renames: sent under the real name", {.renames = Renames::kNone}, true, true, ""},
      {"RNFR denied: sent under the real name", {.renames = Renames::kDenied}, true, true, ""},
      {"RNTO denied even after DELE: the file is not lost but sent under the real name",
       {.renames = Renames::kRntoDenied},
       true,
       true,
       ""},
      {"a server that keeps half and says 226",
       {.truncateUploadOf = ".page.html.tmp"},
       false,
       false,
       "送信したサイズ 30000 バイトに対し、サーバー上のサイズは 15000 バイトです"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    TestFtpServer server(c.server);
    server.Start();
    TempDir local;
    WriteFile(local.path() / "page.html", std::string(30000, 'n'));
    WriteFile(server.root() / "site" / "page.html", "old");
    FtpConnection connection;
    ASSERT_TRUE(ConnectTo(server, connection).ok());

    const FtpStatus status =
        connection.StoreFile((local.path() / "page.html").string(), "/site/page.html", {},
                             {.temporaryName = ".page.html.tmp", .verifySize = true});

    EXPECT_EQ(status.ok(), c.ok) << status.text;
    EXPECT_NE(status.text.find(c.errorPart), std::string::npos) << status.text;
    EXPECT_EQ(connection.RenamesRefused(), c.renamesRefused);
    EXPECT_EQ(ReadFile(server.root() / "site" / "page.html"),
              c.ok ? std::string(30000, 'n') : "old");
    EXPECT_FALSE(fs::exists(server.root() / "site" / ".page.html.tmp"));
  }
}

class FtpReadOnlyServerTest : public testing::FtpServerTest {
 protected:
  FtpReadOnlyServerTest() : FtpServerTest(TestFtpServerOptions{.writable = false}) {}
};

TEST_F(FtpReadOnlyServerTest, RefusedWritesAreFailuresNeverSuccess) {
  FtpConnection connection;
  ASSERT_TRUE(ConnectTo(server_, connection).ok());
  TempDir local;
  WriteFile(local.path() / "page.html", "new");
  WriteFile(server_.root() / "page.html", "old");
  const FtpStatus status = connection.PutFile((local.path() / "page.html").string(), "page.html");
  EXPECT_EQ(status.kind, FtpErrorKind::kServerReply);
  EXPECT_TRUE(status.text.starts_with("550 ")) << status.text;
  EXPECT_EQ(ReadFile(server_.root() / "page.html"), "old");
  EXPECT_EQ(connection.CreateFolder("dir").kind, FtpErrorKind::kServerReply);
  EXPECT_EQ(connection.DeleteFile("page.html").kind, FtpErrorKind::kServerReply);
  EXPECT_TRUE(fs::exists(server_.root() / "page.html"));
}

// Servers that die or stop answering: an error every time, never a hang or a
// crash.
class FtpServerFailureTest : public testing::FtpServerTest {
 protected:
  // Calls `action` on another thread once the upload of "large.bin" is under
  // way on the server.
  template <typename Action>
  std::thread WhenUploadIsUnderWay(Action action) {
    return std::thread([this, action] {
      const fs::path path = server_.root() / "large.bin";
      std::error_code error;
      for (int i = 0; i < 10000; ++i) {
        const uintmax_t size = fs::file_size(path, error);
        if (!error && size > (1 << 20))
          break;
        std::this_thread::sleep_for(milliseconds(2));
      }
      action();
    });
  }
  // A sparse local file: large, yet cheap to make and to read.
  std::string LargeLocalFile() {
    const fs::path path = local_.path() / "large.bin";
    std::ofstream(path).close();
    fs::resize_file(path, uintmax_t{2} << 30);
    return path.string();
  }
  TempDir local_;
};

TEST_F(FtpServerFailureTest, ServerKilledDuringAnUploadGivesAnErrorAndALostConnection) {
  FtpConnection connection;
  ASSERT_TRUE(ConnectTo(server_, connection).ok());
  std::thread killer = WhenUploadIsUnderWay([this] { server_.Kill(); });
  const FtpStatus status = connection.PutFile(LargeLocalFile(), "large.bin");
  killer.join();
  EXPECT_TRUE(status.kind == FtpErrorKind::kSystem || status.kind == FtpErrorKind::kNotConnected)
      << status.text;
  EXPECT_FALSE(connection.IsOpen());
  EXPECT_EQ(connection.CreateFolder("x").kind, FtpErrorKind::kNotConnected);
}

TEST_F(FtpServerFailureTest, ServerKilledDuringAListingGivesAnErrorNotAnEnd) {
  for (int i = 0; i < 6000; ++i)
    std::ofstream(server_.root() / ("f" + std::to_string(i)));
  FtpConnection connection;
  ASSERT_TRUE(ConnectTo(server_, connection).ok());
  FtpListing listing;
  RemoteEntry entry;
  ASSERT_TRUE(connection.FindFirst("/", listing, entry).ok());
  server_.Kill();
  FtpStatus status;
  while ((status = listing.Next(entry)).ok()) {
  }
  EXPECT_NE(status.kind, FtpErrorKind::kNoMoreFiles) << status.text;
  EXPECT_FALSE(connection.IsOpen());
  const FtpStatus later = connection.ChangeFolder("/");
  EXPECT_EQ(later.kind, FtpErrorKind::kNotConnected);
  EXPECT_EQ(later.text, "サーバーに接続していません");
}

TEST_F(FtpServerFailureTest, PausedServerTimesOutOnACommandWithinTheConfiguredTime) {
  FtpConnection connection;
  ASSERT_TRUE(ConnectTo(server_, connection, TestFtpServer::kPassword, kShort).ok());
  server_.Pause();
  const auto start = std::chrono::steady_clock::now();
  const FtpStatus status = connection.ChangeFolder("/");
  EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::seconds(10))
      << "bounded by the 0.5 s time-out, not by the 30 s default";
  EXPECT_EQ(status.kind, FtpErrorKind::kTimeout);
  EXPECT_EQ(status.text, "サーバーの応答がタイムアウトしました (CWD /)");
  EXPECT_FALSE(connection.IsOpen());
  server_.Resume();
}

TEST_F(FtpServerFailureTest, PausedServerTimesOutDuringAnUpload) {
  FtpConnection connection;
  ASSERT_TRUE(ConnectTo(server_, connection, TestFtpServer::kPassword, kShort).ok());
  std::thread pauser = WhenUploadIsUnderWay([this] { server_.Pause(); });
  const FtpStatus status = connection.PutFile(LargeLocalFile(), "large.bin");
  pauser.join();
  EXPECT_EQ(status.kind, FtpErrorKind::kTimeout);
  EXPECT_EQ(status.text, "データ転送がタイムアウトしました (STOR large.bin)");
  EXPECT_FALSE(connection.IsOpen());
  server_.Resume();
}

TEST(FtpIpv6Test, ListingAndUploadWorkOverIpv6) {
  const int probe = socket(AF_INET6, SOCK_STREAM, 0);
  sockaddr_in6 loopback{};
  loopback.sin6_family = AF_INET6;
  loopback.sin6_addr = in6addr_loopback;
  const bool bound =
      probe >= 0 && bind(probe, reinterpret_cast<sockaddr*>(&loopback), sizeof loopback) == 0;
  close(probe);
  if (!bound)
    GTEST_SKIP() << "::1 cannot be bound on this machine";
  for (const bool mlsd : {true, false}) {
    TestFtpServer server(TestFtpServerOptions{.mlsd = mlsd, .ipv6 = true});
    server.Start();
    FtpConnection connection;
    ASSERT_TRUE(ConnectTo(server, connection).ok());
    TempDir local;
    WriteFile(local.path() / "page.html", "over six");
    ASSERT_TRUE(connection.PutFile((local.path() / "page.html").string(), "page.html").ok());
    EXPECT_EQ(ReadFile(server.root() / "page.html"), "over six");
    std::map<std::string, RemoteEntry> entries;
    ASSERT_TRUE(ListAll(connection, "", entries).ok());
    EXPECT_EQ(entries.count("page.html"), 1u);
  }
}

// "::ffff:127.0.0.1" reaches the IPv4 server through an IPv6 socket; on the
// wire it is IPv4, so the server takes PORT, not EPRT, and connects back from
// 127.0.0.1.
TEST(FtpMappedAddressTest, ListingAndUploadWorkThroughAnIpv4MappedAddress) {
  const int probe = socket(AF_INET6, SOCK_STREAM, 0);
  if (probe < 0)
    GTEST_SKIP() << "this machine has no IPv6 sockets";
  close(probe);
  for (const bool mlsd : {true, false}) {
    SCOPED_TRACE(mlsd ? "MLSD" : "LIST");
    TestFtpServer server(TestFtpServerOptions{.mlsd = mlsd});
    server.Start();
    FtpConnection connection;
    const FtpStatus connected =
        FtpSession("VELMORIX", kNormal)
            .Connect("::ffff:127.0.0.1", server.port(), TestFtpServer::kUser,
                     TestFtpServer::kPassword, connection);
    ASSERT_TRUE(connected.ok()) << connected.text;
    TempDir local;
    WriteFile(local.path() / "page.html", "mapped");
    FtpStatus status = connection.PutFile((local.path() / "page.html").string(), "page.html");
    ASSERT_TRUE(status.ok()) << status.text;
    EXPECT_EQ(ReadFile(server.root() / "page.html"), "mapped");
    std::map<std::string, RemoteEntry> entries;
    status = ListAll(connection, "", entries);
    ASSERT_TRUE(status.ok()) << status.text;
    EXPECT_EQ(entries.count("page.html"), 1u);
  }
}

// The port of the one TCP socket on 127.0.0.1 that this process listens on:
// the client's data listener. 0 when there is none.
uint16_t OwnListeningPort() {
  std::vector<std::string> ownSockets;
  for (const auto& link : fs::directory_iterator("/proc/self/fd")) {
    std::error_code error;
    const std::string target = fs::read_symlink(link.path(), error).string();
    if (target.starts_with("socket:["))
      ownSockets.push_back(target.substr(8, target.size() - 9));
  }
  std::ifstream table("/proc/self/net/tcp");
  std::string line, slot, local, remote, state, skip, inode;
  std::getline(table, line);
  while (std::getline(table, line)) {
    std::istringstream(line) >> slot >> local >> remote >> state >> skip >> skip >> skip >> skip >>
        skip >> inode;
    if (state == "0A" && local.starts_with("0100007F:") &&
        std::find(ownSockets.begin(), ownSockets.end(), inode) != ownSockets.end()) {
      return static_cast<uint16_t>(std::stoul(local.substr(9), nullptr, 16));
    }
  }
  return 0;
}

// The server waits a second before it connects back, so that a stranger on
// 127.0.0.2 reaches the client's data port first.
class FtpStrayConnectionTest : public testing::FtpServerTest {
 protected:
  FtpStrayConnectionTest() : FtpServerTest(TestFtpServerOptions{.activeConnectDelay = 1.0}) {}
};

TEST_F(FtpStrayConnectionTest, UploadNeverGoesToAnotherAddress) {
  FtpConnection connection;
  ASSERT_TRUE(ConnectTo(server_, connection).ok());
  TempDir local;
  WriteFile(local.path() / "secret.html", "for the server only");
  std::atomic<bool> connected{false};
  std::atomic<bool> turnedAway{false};
  std::thread stranger([&] {
    uint16_t port = 0;
    for (int i = 0; i < 2000 && port == 0; ++i) {
      std::this_thread::sleep_for(milliseconds(2));
      port = OwnListeningPort();
    }
    const int fd = socket(AF_INET, SOCK_STREAM, 0);
    sockaddr_in from{AF_INET, 0, {htonl(0x7f000002)}, {}};
    sockaddr_in to{AF_INET, htons(port), {htonl(INADDR_LOOPBACK)}, {}};
    if (port != 0 && bind(fd, reinterpret_cast<sockaddr*>(&from), sizeof from) == 0 &&
        connect(fd, reinterpret_cast<sockaddr*>(&to), sizeof to) == 0) {
      connected = true;
      timeval wait{5, 0};
      setsockopt(fd, SOL_SOCKET, SO_RCVTIMEO, &wait, sizeof wait);
      char byte;
      turnedAway = recv(fd, &byte, 1, 0) <= 0;  // closed at once, nothing sent
    }
    close(fd);
  });
  const FtpStatus status =
      connection.PutFile((local.path() / "secret.html").string(), "secret.html");
  stranger.join();
  ASSERT_TRUE(connected) << "the stranger could not reach the data port";
  EXPECT_TRUE(turnedAway);
  ASSERT_TRUE(status.ok()) << status.text;
  EXPECT_EQ(ReadFile(server_.root() / "secret.html"), "for the server only");
}

}  // namespace
}  // namespace velmorix
