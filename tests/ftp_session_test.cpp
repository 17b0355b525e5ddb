// End-to-end tests of our FTP client against the real test server
// (pyftpdlib on loopback, active mode), with MLSD and with the LIST-only
// server, and once over IPv6.
#include "engine/ftp_session/ftp_session.h"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <filesystem>
#include <fstream>
#include <map>
#include <random>
#include <sstream>
#include <thread>
#include <vector>

#include <gtest/gtest.h>

#include "tests/support/test_ftp_server.h"

namespace velmorix {
namespace {

namespace fs = std::filesystem;
using std::chrono::milliseconds;
using testing::FtpServerTest;
using testing::ReadFile;
using testing::SetFileTime;
using testing::TempDir;
using testing::TestFtpServer;
using testing::TestFtpServerOptions;
using testing::WriteFile;

// Time-outs for the tests that do not provoke one: long enough for a loaded
// machine and for pyftpdlib's three-second pause after a wrong password.
FtpTimeouts NormalTimeouts() {
  return {milliseconds(5000), milliseconds(10000), milliseconds(10000)};
}
FtpTimeouts ShortTimeouts() {
  return {milliseconds(500), milliseconds(500), milliseconds(500)};
}

FtpStatus ConnectTo(const TestFtpServer& server, FtpConnection& connection,
                    FtpTimeouts timeouts = NormalTimeouts()) {
  FtpSession session("VELMORIX", timeouts);
  return session.Connect(server.host(), server.port(), TestFtpServer::kUser,
                         TestFtpServer::kPassword, connection);
}

// Lists `folder` to the end. The status is that of the end: ok after a
// complete listing (or an empty folder), else the error that ended it.
FtpStatus ListAll(FtpConnection& connection, std::string_view folder,
                  std::map<std::string, RemoteEntry>& entries) {
  entries.clear();
  FtpListing listing;
  RemoteEntry entry;
  FtpStatus status = connection.FindFirst(folder, listing, entry);
  while (status.ok()) {
    entries[entry.name] = entry;
    status = listing.Next(entry);
  }
  return status.kind == FtpErrorKind::kNoMoreFiles ? FtpStatus::Ok() : status;
}

std::string Describe(const FtpStatus& status) {
  return "kind " + std::to_string(static_cast<int>(status.kind)) + ": " + status.text;
}

// A port on 127.0.0.1 where nothing listens.
uint16_t UnusedPort() {
  const int fd = socket(AF_INET, SOCK_STREAM, 0);
  sockaddr_in address{};
  address.sin_family = AF_INET;
  address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  bind(fd, reinterpret_cast<sockaddr*>(&address), sizeof address);
  socklen_t length = sizeof address;
  getsockname(fd, reinterpret_cast<sockaddr*>(&address), &length);
  close(fd);
  return ntohs(address.sin_port);
}

bool CanBindIpv6Loopback() {
  const int fd = socket(AF_INET6, SOCK_STREAM, 0);
  if (fd < 0)
    return false;
  sockaddr_in6 address{};
  address.sin6_family = AF_INET6;
  address.sin6_addr = in6addr_loopback;
  const bool bound = bind(fd, reinterpret_cast<sockaddr*>(&address), sizeof address) == 0;
  close(fd);
  return bound;
}

std::string RandomBytes(size_t size, unsigned seed) {
  std::mt19937 generator(seed);
  std::string bytes(size, '\0');
  for (auto& byte : bytes)
    byte = static_cast<char>(generator() & 0xff);
  return bytes;
}

// ---------------------------------------------------------------------------
// Connecting and logging in.

class FtpConnectTest : public FtpServerTest {};

TEST_F(FtpConnectTest, LogsInAndLearnsTheLoginFolder) {
  FtpConnection connection;
  const FtpStatus status = ConnectTo(server_, connection);
  ASSERT_TRUE(status.ok()) << Describe(status);
  EXPECT_TRUE(connection.IsOpen());
  EXPECT_EQ(connection.LastResponseText(), "257 \"/\" is the current directory.");
  connection.Close();
  EXPECT_FALSE(connection.IsOpen());
  EXPECT_EQ(connection.ChangeFolder("/").kind, FtpErrorKind::kNotConnected);
}

TEST_F(FtpConnectTest, WrongPasswordIsALoginFailureWithTheServersReply) {
  FtpSession session("VELMORIX", NormalTimeouts());
  FtpConnection connection;
  const FtpStatus status =
      session.Connect(server_.host(), server_.port(), TestFtpServer::kUser, "wrong pw", connection);
  EXPECT_EQ(status.kind, FtpErrorKind::kLoginFailed) << Describe(status);
  EXPECT_EQ(status.text, "ログインできませんでした: 530 Authentication failed.");
  EXPECT_EQ(status.text.find("wrong pw"), std::string::npos);
  EXPECT_FALSE(connection.IsOpen());
  EXPECT_EQ(connection.LastResponseText(), "530 Authentication failed.");
}

TEST_F(FtpConnectTest, UnknownHostIsHostNotFound) {
  FtpSession session("VELMORIX", NormalTimeouts());
  FtpConnection connection;
  const FtpStatus status = session.Connect("no-such-server.invalid", 21, TestFtpServer::kUser,
                                           TestFtpServer::kPassword, connection);
  EXPECT_EQ(status.kind, FtpErrorKind::kHostNotFound) << Describe(status);
  EXPECT_EQ(status.text.rfind("サーバー名またはアドレスを解決できませんでした: "
                              "no-such-server.invalid (",
                              0),
            0u)
      << status.text;
  EXPECT_FALSE(connection.IsOpen());
}

TEST_F(FtpConnectTest, ClosedPortIsConnectionRefused) {
  const uint16_t port = UnusedPort();
  FtpSession session("VELMORIX", NormalTimeouts());
  FtpConnection connection;
  const FtpStatus status = session.Connect("127.0.0.1", port, TestFtpServer::kUser,
                                           TestFtpServer::kPassword, connection);
  EXPECT_EQ(status.kind, FtpErrorKind::kConnectionRefused) << Describe(status);
  EXPECT_EQ(status.text, "サーバーに接続できませんでした: 127.0.0.1:" + std::to_string(port) +
                             " (Connection refused)");
}

TEST_F(FtpConnectTest, HostThatNeverAcceptsTimesOutInTheConnectStep) {
  // A listener whose queue is full drops further SYNs, as a host behind a
  // silent firewall would.
  const int listener = socket(AF_INET, SOCK_STREAM, 0);
  sockaddr_in address{};
  address.sin_family = AF_INET;
  address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  ASSERT_EQ(bind(listener, reinterpret_cast<sockaddr*>(&address), sizeof address), 0);
  ASSERT_EQ(listen(listener, 0), 0);
  socklen_t length = sizeof address;
  getsockname(listener, reinterpret_cast<sockaddr*>(&address), &length);
  std::vector<int> fillers;
  for (int i = 0; i < 4; ++i) {
    const int filler = socket(AF_INET, SOCK_STREAM | SOCK_NONBLOCK, 0);
    connect(filler, reinterpret_cast<sockaddr*>(&address), sizeof address);
    fillers.push_back(filler);
  }
  std::this_thread::sleep_for(milliseconds(100));

  FtpSession session("VELMORIX", ShortTimeouts());
  FtpConnection connection;
  const uint16_t port = ntohs(address.sin_port);
  const FtpStatus status = session.Connect("127.0.0.1", port, TestFtpServer::kUser,
                                           TestFtpServer::kPassword, connection);
  EXPECT_EQ(status.kind, FtpErrorKind::kTimeout) << Describe(status);
  EXPECT_EQ(status.text,
            "サーバーへの接続がタイムアウトしました: 127.0.0.1:" + std::to_string(port));
  for (int filler : fillers)
    close(filler);
  close(listener);
}

TEST_F(FtpConnectTest, LineBreaksInLoginDataAreRefusedBeforeConnecting) {
  // Aimed at a closed port: a refusal there would prove that something was
  // sent.
  const uint16_t port = UnusedPort();
  FtpSession session("VELMORIX", NormalTimeouts());
  FtpConnection connection;
  FtpStatus status = session.Connect("127.0.0.1", port, "user\r\nDELE x", "pw", connection);
  EXPECT_EQ(status.kind, FtpErrorKind::kUnsafeArgument) << Describe(status);
  status = session.Connect("127.0.0.1", port, "user", std::string("pass\0word", 9), connection);
  EXPECT_EQ(status.kind, FtpErrorKind::kUnsafeArgument) << Describe(status);
  EXPECT_EQ(status.text.find("pass"), std::string::npos) << status.text;
  status = session.Connect("127.0.0.1\n", port, "user", "pw", connection);
  EXPECT_EQ(status.kind, FtpErrorKind::kUnsafeArgument) << Describe(status);
}

// ---------------------------------------------------------------------------
// Every operation, with the MLSD server and with the LIST-only server.

class FtpOperationsTest : public FtpServerTest, public ::testing::WithParamInterface<bool> {
 protected:
  FtpOperationsTest() : FtpServerTest(TestFtpServerOptions{.mlsd = GetParam()}) {}
  void SetUp() override {
    FtpServerTest::SetUp();
    const FtpStatus status = ConnectTo(server_, connection_);
    ASSERT_TRUE(status.ok()) << Describe(status);
  }
  bool mlsd() const { return GetParam(); }
  fs::path Root() const { return server_.root(); }
  std::string LocalFile(const std::string& name, const std::string& content) {
    const fs::path path = local_.path() / name;
    WriteFile(path, content);
    return path.string();
  }

  TempDir local_;
  FtpConnection connection_;
};

INSTANTIATE_TEST_SUITE_P(ServerKinds, FtpOperationsTest, ::testing::Values(true, false),
                         [](const auto& info) { return info.param ? "Mlsd" : "ListOnly"; });

TEST_P(FtpOperationsTest, ListsNamesKindsAndTimesAsTheServerHasThem) {
  const int64_t now = std::chrono::duration_cast<std::chrono::seconds>(
                          std::chrono::system_clock::now().time_since_epoch())
                          .count();
  const int64_t recent = (now - 3600) / 60 * 60;  // whole minutes show exactly in LIST
  const int64_t old = 1577934245;                 // 2020-01-02 03:04:05 UTC
  WriteFile(Root() / "site/index.html", "<html>");
  WriteFile(Root() / "site/file with spaces.txt", "x");
  WriteFile(Root() / "site/日本語ファイル.txt", "x");
  WriteFile(Root() / "site/.hidden", "x");
  WriteFile(Root() / "site/old.txt", "x");
  fs::create_directories(Root() / "site/images");
  fs::create_directories(Root() / "site/フォルダ 1");
  SetFileTime(Root() / "site/index.html", recent);
  SetFileTime(Root() / "site/old.txt", old);
  SetFileTime(Root() / "site/images", recent);

  std::map<std::string, RemoteEntry> entries;
  const FtpStatus status = ListAll(connection_, "site", entries);
  ASSERT_TRUE(status.ok()) << Describe(status);
  entries.erase(".");
  entries.erase("..");
  std::vector<std::string> names;
  for (const auto& [name, entry] : entries)
    names.push_back(name);
  EXPECT_EQ(names,
            (std::vector<std::string>{".hidden", "file with spaces.txt", "images", "index.html",
                                      "old.txt", "フォルダ 1", "日本語ファイル.txt"}));
  EXPECT_TRUE(entries["images"].isDir);
  EXPECT_TRUE(entries["フォルダ 1"].isDir);
  EXPECT_FALSE(entries["index.html"].isDir);
  EXPECT_FALSE(entries[".hidden"].isDir);
  EXPECT_EQ(entries["index.html"].lastWriteTime, recent);
  EXPECT_EQ(entries["images"].lastWriteTime, recent);
  // LIST shows only the date for an old file; MLSD has the exact time.
  EXPECT_EQ(entries["old.txt"].lastWriteTime, mlsd() ? old : 1577923200);
}

TEST_P(FtpOperationsTest, EmptyFolderGivesNoMoreFilesAndMissingFolderAnError) {
  fs::create_directories(Root() / "empty");
  FtpListing listing;
  RemoteEntry entry;
  FtpStatus status = connection_.FindFirst("/empty", listing, entry);
  EXPECT_EQ(status.kind, FtpErrorKind::kNoMoreFiles) << Describe(status);
  EXPECT_FALSE(listing.IsOpen());

  status = connection_.FindFirst("/missing", listing, entry);
  EXPECT_EQ(status.kind, FtpErrorKind::kServerReply) << Describe(status);
  EXPECT_TRUE(status.text.starts_with("550 ") || status.text.starts_with("501 ")) << status.text;
  EXPECT_EQ(connection_.LastResponseText(), status.text);

  status = connection_.ChangeFolder("missing");
  EXPECT_EQ(status.kind, FtpErrorKind::kServerReply);
  EXPECT_EQ(status.text, "550 No such file or directory.");
  // The failures left the connection in step.
  EXPECT_TRUE(connection_.CreateFolder("made").ok());
  EXPECT_TRUE(fs::is_directory(Root() / "made"));
}

TEST_P(FtpOperationsTest, RelativePathsResolveAgainstTheLoginFolderNotTheCurrentOne) {
  WriteFile(Root() / "b/top.txt", "x");
  WriteFile(Root() / "a/b/nested.txt", "x");
  ASSERT_TRUE(connection_.ChangeFolder("a").ok());

  std::map<std::string, RemoteEntry> entries;
  ASSERT_TRUE(ListAll(connection_, "b", entries).ok());
  EXPECT_EQ(entries.count("top.txt"), 1u);
  EXPECT_EQ(entries.count("nested.txt"), 0u);

  ASSERT_TRUE(ListAll(connection_, "/a/b", entries).ok());
  EXPECT_EQ(entries.count("nested.txt"), 1u);

  ASSERT_TRUE(connection_.ChangeFolder("a").ok());
  ASSERT_TRUE(connection_.CreateFolder("c").ok());
  EXPECT_TRUE(fs::is_directory(Root() / "c"));
  EXPECT_FALSE(fs::exists(Root() / "a/c"));
}

TEST_P(FtpOperationsTest, EmptyFolderArgumentListsTheCurrentFolder) {
  WriteFile(Root() / "here/inside.txt", "x");
  WriteFile(Root() / "outside.txt", "x");
  ASSERT_TRUE(connection_.ChangeFolder("/here").ok());
  std::map<std::string, RemoteEntry> entries;
  ASSERT_TRUE(ListAll(connection_, "", entries).ok());
  EXPECT_EQ(entries.count("inside.txt"), 1u);
  EXPECT_EQ(entries.count("outside.txt"), 0u);
}

TEST_P(FtpOperationsTest, DoubleSlashPathsAreSentUnchanged) {
  // A remote root of "/" makes the engine build "//sub"; the server must
  // see it as written, and pyftpdlib takes it as "/sub".
  WriteFile(Root() / "sub/file.txt", "x");
  std::map<std::string, RemoteEntry> entries;
  ASSERT_TRUE(ListAll(connection_, "//sub", entries).ok());
  EXPECT_EQ(entries.count("file.txt"), 1u);
  EXPECT_TRUE(connection_.ChangeFolder("//sub").ok());
}

TEST_P(FtpOperationsTest, LongListingArrivesWhole) {
  constexpr int kFiles = 3000;
  for (int i = 0; i < kFiles; ++i) {
    std::ofstream(Root() / ("entry-with-a-rather-long-name-number-" + std::to_string(i) + ".html"));
  }
  std::map<std::string, RemoteEntry> entries;
  const FtpStatus status = ListAll(connection_, "/", entries);
  ASSERT_TRUE(status.ok()) << Describe(status);
  entries.erase(".");
  entries.erase("..");
  EXPECT_EQ(entries.size(), static_cast<size_t>(kFiles));
  EXPECT_EQ(entries.count("entry-with-a-rather-long-name-number-2999.html"), 1u);
}

TEST_P(FtpOperationsTest, ClosingAListingHalfWayLeavesTheConnectionUsable) {
  constexpr int kFiles = 4000;
  for (int i = 0; i < kFiles; ++i) {
    std::ofstream(Root() / ("file-" + std::to_string(i) + ".txt"));
  }
  {
    FtpListing listing;
    RemoteEntry entry;
    ASSERT_TRUE(connection_.FindFirst("/", listing, entry).ok());
    ASSERT_TRUE(listing.Next(entry).ok());
    listing.Close();
    EXPECT_FALSE(listing.IsOpen());
    EXPECT_EQ(listing.Next(entry).kind, FtpErrorKind::kNoMoreFiles);
  }
  ASSERT_TRUE(connection_.CreateFolder("after-close").ok());
  EXPECT_TRUE(fs::is_directory(Root() / "after-close"));
  {
    // Left half-read in a scope: the destructor closes it.
    FtpListing listing;
    RemoteEntry entry;
    ASSERT_TRUE(connection_.FindFirst("/", listing, entry).ok());
  }
  std::map<std::string, RemoteEntry> entries;
  ASSERT_TRUE(ListAll(connection_, "/", entries).ok());
  EXPECT_EQ(entries.count("after-close"), 1u);
  EXPECT_EQ(entries.count("file-3999.txt"), 1u);
}

TEST_P(FtpOperationsTest, ACommandWhileAListingIsOpenEndsTheListingFirst) {
  for (int i = 0; i < 2000; ++i)
    std::ofstream(Root() / ("f" + std::to_string(i)));
  FtpListing listing;
  RemoteEntry entry;
  ASSERT_TRUE(connection_.FindFirst("/", listing, entry).ok());
  const FtpStatus status = connection_.DeleteFile("f1");
  ASSERT_TRUE(status.ok()) << Describe(status);
  // The answer read was the one to DELE, not the listing's end.
  EXPECT_EQ(connection_.LastResponseText(), "250 File removed.");
  EXPECT_FALSE(listing.IsOpen());
  EXPECT_FALSE(fs::exists(Root() / "f1"));
  EXPECT_TRUE(connection_.CreateFolder("/next").ok());
}

TEST_P(FtpOperationsTest, UploadArrivesByteForByteAndReplacesAnOlderCopy) {
  std::string binary = "line one\r\nline two\nlone CR\r";
  binary += std::string("\0\x01\xff\xfe\r\n\n\r", 8);
  binary += RandomBytes(70000, 1);
  WriteFile(Root() / "page.bin", std::string(200000, 'o'));
  ASSERT_TRUE(connection_.PutFile(LocalFile("page.bin", binary), "page.bin").ok());
  EXPECT_EQ(ReadFile(Root() / "page.bin"), binary);

  ASSERT_TRUE(connection_.PutFile(LocalFile("empty", ""), "empty.txt").ok());
  EXPECT_TRUE(fs::exists(Root() / "empty.txt"));
  EXPECT_EQ(fs::file_size(Root() / "empty.txt"), 0u);
}

TEST_P(FtpOperationsTest, MultiMegabyteUploadArrivesWhole) {
  const std::string content = RandomBytes(12 << 20, 2);
  const FtpStatus status = connection_.PutFile(LocalFile("big.dat", content), "big.dat");
  ASSERT_TRUE(status.ok()) << Describe(status);
  EXPECT_TRUE(ReadFile(Root() / "big.dat") == content);
}

TEST_P(FtpOperationsTest, UploadGoesIntoTheCurrentFolderUnderJapaneseAndSpacedNames) {
  fs::create_directories(Root() / "www");
  ASSERT_TRUE(connection_.ChangeFolder("www").ok());
  ASSERT_TRUE(connection_.PutFile(LocalFile("a", "first"), "日本語 ページ.html").ok());
  ASSERT_TRUE(connection_.PutFile(LocalFile("b", "second"), "with spaces.txt").ok());
  EXPECT_EQ(ReadFile(Root() / "www/日本語 ページ.html"), "first");
  EXPECT_EQ(ReadFile(Root() / "www/with spaces.txt"), "second");
}

TEST_P(FtpOperationsTest, MissingLocalFileFailsBeforeAnythingIsSent) {
  const std::string missing = (local_.path() / "no-such-file.html").string();
  const FtpStatus status = connection_.PutFile(missing, "no-such-file.html");
  EXPECT_EQ(status.kind, FtpErrorKind::kSystem);
  EXPECT_EQ(status.text, "ファイルを開けません: " + missing + " (No such file or directory)");
  EXPECT_FALSE(fs::exists(Root() / "no-such-file.html"));

  const FtpStatus folder = connection_.PutFile(local_.str(), "folder.html");
  EXPECT_EQ(folder.kind, FtpErrorKind::kSystem);
  EXPECT_FALSE(fs::exists(Root() / "folder.html"));
  EXPECT_TRUE(connection_.CreateFolder("still-usable").ok());
}

TEST_P(FtpOperationsTest, UploadIntoAMissingFolderIsRefusedAndTheConnectionStaysInStep) {
  const FtpStatus status = connection_.PutFile(LocalFile("x", "data"), "missing/x.html");
  EXPECT_EQ(status.kind, FtpErrorKind::kServerReply) << Describe(status);
  EXPECT_TRUE(status.text.starts_with("550 ")) << status.text;
  ASSERT_TRUE(connection_.PutFile(LocalFile("y", "data"), "y.html").ok());
  EXPECT_EQ(ReadFile(Root() / "y.html"), "data");
}

TEST_P(FtpOperationsTest, CreateDeleteAndRemoveReportWhatTheServerRefuses) {
  ASSERT_TRUE(connection_.CreateFolder("/new").ok());
  EXPECT_TRUE(fs::is_directory(Root() / "new"));
  EXPECT_EQ(connection_.CreateFolder("/new").kind, FtpErrorKind::kServerReply);

  WriteFile(Root() / "full/inside.txt", "x");
  ASSERT_TRUE(connection_.ChangeFolder("/").ok());
  FtpStatus status = connection_.RemoveFolder("full");
  EXPECT_EQ(status.kind, FtpErrorKind::kServerReply);
  EXPECT_TRUE(status.text.starts_with("550 ")) << status.text;
  EXPECT_TRUE(fs::exists(Root() / "full/inside.txt"));

  ASSERT_TRUE(connection_.ChangeFolder("full").ok());
  ASSERT_TRUE(connection_.DeleteFile("inside.txt").ok());
  EXPECT_FALSE(fs::exists(Root() / "full/inside.txt"));
  status = connection_.DeleteFile("inside.txt");
  EXPECT_EQ(status.kind, FtpErrorKind::kServerReply);
  EXPECT_TRUE(status.text.starts_with("550 ")) << status.text;
  EXPECT_EQ(connection_.LastResponseText(), status.text);

  ASSERT_TRUE(connection_.ChangeFolder("/").ok());
  ASSERT_TRUE(connection_.RemoveFolder("full").ok());
  EXPECT_FALSE(fs::exists(Root() / "full"));
}

TEST_P(FtpOperationsTest, NamesWithLineBreaksOrNulAreNeverSent) {
  WriteFile(Root() / "b", "keep me");
  fs::create_directories(Root() / "d");
  const std::string local = LocalFile("a", "data");
  const std::vector<std::string> hostile = {"a\r\nDELE b", "a\nDELE b", "a\rDELE b",
                                            std::string("a\0DELE b", 8)};
  for (const std::string& name : hostile) {
    FtpListing listing;
    RemoteEntry entry;
    EXPECT_EQ(connection_.PutFile(local, name).kind, FtpErrorKind::kUnsafeArgument);
    EXPECT_EQ(connection_.DeleteFile(name).kind, FtpErrorKind::kUnsafeArgument);
    EXPECT_EQ(connection_.RemoveFolder("d\r\nRMD d").kind, FtpErrorKind::kUnsafeArgument);
    EXPECT_EQ(connection_.CreateFolder(name).kind, FtpErrorKind::kUnsafeArgument);
    EXPECT_EQ(connection_.ChangeFolder(name).kind, FtpErrorKind::kUnsafeArgument);
    EXPECT_EQ(connection_.FindFirst(name, listing, entry).kind, FtpErrorKind::kUnsafeArgument);
  }
  EXPECT_EQ(ReadFile(Root() / "b"), "keep me");
  EXPECT_TRUE(fs::is_directory(Root() / "d"));
  std::vector<std::string> rootNames;
  for (const auto& item : fs::directory_iterator(Root())) {
    rootNames.push_back(item.path().filename().string());
  }
  std::sort(rootNames.begin(), rootNames.end());
  EXPECT_EQ(rootNames, (std::vector<std::string>{"b", "d"}));
  EXPECT_TRUE(connection_.IsOpen());
}

TEST_P(FtpOperationsTest, LinksAreListedAsFilesWhereTheServerShowsThem) {
  fs::create_directories(Root() / "real");
  fs::create_directory_symlink("real", Root() / "link");
  std::map<std::string, RemoteEntry> entries;
  ASSERT_TRUE(ListAll(connection_, "/", entries).ok());
  ASSERT_EQ(entries.count("link"), 1u);
  EXPECT_TRUE(entries["real"].isDir);
  // LIST shows "link -> real" with an 'l'; the name must lose the target and
  // the link must not count as a folder. pyftpdlib's MLSD follows links and
  // calls this one a folder, which is then taken at its word.
  EXPECT_EQ(entries["link"].isDir, mlsd());
}

// ---------------------------------------------------------------------------
// A server that refuses writes.

class FtpReadOnlyServerTest : public FtpServerTest {
 protected:
  FtpReadOnlyServerTest() : FtpServerTest(TestFtpServerOptions{.writable = false}) {}
};

TEST_F(FtpReadOnlyServerTest, RefusedWritesAreFailuresNeverSuccess) {
  FtpConnection connection;
  ASSERT_TRUE(ConnectTo(server_, connection).ok());
  TempDir local;
  WriteFile(local.path() / "page.html", "content");
  WriteFile(server_.root() / "existing.html", "old");

  FtpStatus status = connection.PutFile((local.path() / "page.html").string(), "page.html");
  EXPECT_EQ(status.kind, FtpErrorKind::kServerReply) << Describe(status);
  EXPECT_TRUE(status.text.starts_with("550 ")) << status.text;
  EXPECT_FALSE(fs::exists(server_.root() / "page.html"));
  status = connection.PutFile((local.path() / "page.html").string(), "existing.html");
  EXPECT_EQ(status.kind, FtpErrorKind::kServerReply);
  EXPECT_EQ(ReadFile(server_.root() / "existing.html"), "old");
  EXPECT_EQ(connection.CreateFolder("dir").kind, FtpErrorKind::kServerReply);
  EXPECT_EQ(connection.DeleteFile("existing.html").kind, FtpErrorKind::kServerReply);
  EXPECT_TRUE(fs::exists(server_.root() / "existing.html"));

  std::map<std::string, RemoteEntry> entries;
  ASSERT_TRUE(ListAll(connection, "/", entries).ok());
  EXPECT_EQ(entries.count("existing.html"), 1u);
}

// ---------------------------------------------------------------------------
// Servers that die or stop answering: an error every time, never a hang or a
// crash.

class FtpServerFailureTest : public FtpServerTest {
 protected:
  // Waits on another thread until `path` on the server holds more than
  // `bytes`, then calls `action` once.
  template <typename Action>
  std::thread WhenServerFileGrows(const fs::path& path, uintmax_t bytes, Action action) {
    return std::thread([path, bytes, action] {
      const auto giveUp = std::chrono::steady_clock::now() + std::chrono::seconds(20);
      std::error_code error;
      while (std::chrono::steady_clock::now() < giveUp) {
        if (fs::exists(path, error) && fs::file_size(path, error) > bytes)
          break;
        std::this_thread::sleep_for(milliseconds(2));
      }
      action();
    });
  }

  // A sparse local file: large, yet cheap to make and to read.
  std::string LargeLocalFile(uintmax_t size) {
    const fs::path path = local_.path() / "large.bin";
    std::ofstream(path).close();
    fs::resize_file(path, size);
    return path.string();
  }

  TempDir local_;
};

TEST_F(FtpServerFailureTest, ServerKilledDuringAnUploadGivesAnErrorAndALostConnection) {
  FtpConnection connection;
  ASSERT_TRUE(ConnectTo(server_, connection).ok());
  const std::string large = LargeLocalFile(uintmax_t{2} << 30);
  std::thread killer =
      WhenServerFileGrows(server_.root() / "large.bin", 1 << 20, [this] { server_.Kill(); });
  const FtpStatus status = connection.PutFile(large, "large.bin");
  killer.join();
  EXPECT_FALSE(status.ok());
  EXPECT_NE(status.kind, FtpErrorKind::kServerReply) << Describe(status);
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
  FtpStatus status = FtpStatus::Ok();
  int entries = 1;
  while ((status = listing.Next(entry)).ok())
    ++entries;
  EXPECT_NE(status.kind, FtpErrorKind::kNoMoreFiles) << "after " << entries << " entries";
  EXPECT_LT(entries, 6000);
  EXPECT_FALSE(connection.IsOpen());
  EXPECT_EQ(connection.ChangeFolder("/").kind, FtpErrorKind::kNotConnected);
}

TEST_F(FtpServerFailureTest, ServerKilledBetweenCommandsIsALostConnection) {
  FtpConnection connection;
  ASSERT_TRUE(ConnectTo(server_, connection).ok());
  server_.Kill();
  const FtpStatus status = connection.ChangeFolder("/");
  EXPECT_TRUE(status.kind == FtpErrorKind::kNotConnected || status.kind == FtpErrorKind::kSystem)
      << Describe(status);
  EXPECT_TRUE(status.text.starts_with("サーバーとの接続が切れました (CWD /)")) << status.text;
  EXPECT_FALSE(connection.IsOpen());
  const FtpStatus later = connection.DeleteFile("x");
  EXPECT_EQ(later.kind, FtpErrorKind::kNotConnected);
  EXPECT_EQ(later.text, "サーバーに接続していません");
}

TEST_F(FtpServerFailureTest, PausedServerTimesOutOnACommandAndTheConnectionIsLost) {
  FtpConnection connection;
  ASSERT_TRUE(ConnectTo(server_, connection, ShortTimeouts()).ok());
  server_.Pause();
  const auto start = std::chrono::steady_clock::now();
  const FtpStatus status = connection.ChangeFolder("/");
  const auto waited = std::chrono::steady_clock::now() - start;
  EXPECT_EQ(status.kind, FtpErrorKind::kTimeout) << Describe(status);
  EXPECT_EQ(status.text, "サーバーの応答がタイムアウトしました (CWD /)");
  // Bounded by the configured time-out (plus slack for a busy machine), not
  // by the 30-second default.
  EXPECT_LT(waited, std::chrono::seconds(10));
  EXPECT_FALSE(connection.IsOpen());
  EXPECT_EQ(connection.CreateFolder("x").kind, FtpErrorKind::kNotConnected);
  server_.Resume();
}

TEST_F(FtpServerFailureTest, PausedServerTimesOutAtTheGreeting) {
  server_.Pause();
  FtpConnection connection;
  const FtpStatus status = ConnectTo(server_, connection, ShortTimeouts());
  EXPECT_EQ(status.kind, FtpErrorKind::kTimeout) << Describe(status);
  EXPECT_EQ(status.text, "サーバーの応答がタイムアウトしました (接続時の応答)");
  EXPECT_FALSE(connection.IsOpen());
  server_.Resume();
}

TEST_F(FtpServerFailureTest, PausedServerTimesOutDuringAnUpload) {
  FtpConnection connection;
  ASSERT_TRUE(ConnectTo(server_, connection, ShortTimeouts()).ok());
  const std::string large = LargeLocalFile(uintmax_t{2} << 30);
  std::thread pauser =
      WhenServerFileGrows(server_.root() / "large.bin", 1 << 20, [this] { server_.Pause(); });
  const FtpStatus status = connection.PutFile(large, "large.bin");
  pauser.join();
  EXPECT_EQ(status.kind, FtpErrorKind::kTimeout) << Describe(status);
  EXPECT_EQ(status.text, "データ転送がタイムアウトしました (STOR large.bin)");
  EXPECT_FALSE(connection.IsOpen());
  server_.Resume();
}

TEST_F(FtpServerFailureTest, PausedServerTimesOutDuringAListing) {
  for (int i = 0; i < 6000; ++i)
    std::ofstream(server_.root() / ("f" + std::to_string(i)));
  FtpConnection connection;
  ASSERT_TRUE(ConnectTo(server_, connection, ShortTimeouts()).ok());
  FtpListing listing;
  RemoteEntry entry;
  ASSERT_TRUE(connection.FindFirst("/", listing, entry).ok());
  server_.Pause();
  FtpStatus status = FtpStatus::Ok();
  while ((status = listing.Next(entry)).ok()) {
  }
  EXPECT_EQ(status.kind, FtpErrorKind::kTimeout) << Describe(status);
  EXPECT_FALSE(connection.IsOpen());
  server_.Resume();
}

// ---------------------------------------------------------------------------
// IPv6: EPRT instead of PORT.

class FtpIpv6Test : public ::testing::Test {};

TEST_F(FtpIpv6Test, EveryKindOfTransferWorksOverIpv6) {
  if (!CanBindIpv6Loopback())
    GTEST_SKIP() << "::1 cannot be bound on this machine";
  for (const bool mlsd : {true, false}) {
    SCOPED_TRACE(mlsd ? "MLSD" : "LIST");
    TestFtpServer server(TestFtpServerOptions{.mlsd = mlsd, .ipv6 = true});
    server.Start();
    FtpConnection connection;
    const FtpStatus status = ConnectTo(server, connection);
    ASSERT_TRUE(status.ok()) << Describe(status);
    TempDir local;
    WriteFile(local.path() / "page.html", "over six");
    ASSERT_TRUE(connection.CreateFolder("www").ok());
    ASSERT_TRUE(connection.ChangeFolder("www").ok());
    const FtpStatus put = connection.PutFile((local.path() / "page.html").string(), "page.html");
    ASSERT_TRUE(put.ok()) << Describe(put);
    EXPECT_EQ(ReadFile(server.root() / "www/page.html"), "over six");
    std::map<std::string, RemoteEntry> entries;
    ASSERT_TRUE(ListAll(connection, "www", entries).ok());
    EXPECT_EQ(entries.count("page.html"), 1u);
  }
}

// ---------------------------------------------------------------------------
// A data connection from anyone but the server is turned away.

// The port of the one socket this process listens on with TCP over IPv4
// loopback: the client's data listener. 0 when there is none.
uint16_t OwnListeningPort() {
  std::vector<std::string> ownSockets;
  for (const auto& link : fs::directory_iterator("/proc/self/fd")) {
    std::error_code error;
    const std::string target = fs::read_symlink(link.path(), error).string();
    if (target.starts_with("socket:["))
      ownSockets.push_back(target.substr(8, target.size() - 9));
  }
  std::ifstream table("/proc/self/net/tcp");
  std::string line;
  std::getline(table, line);  // heading
  while (std::getline(table, line)) {
    std::istringstream fields(line);
    std::string slot, local, remote, state, queues, timer, retransmits, uid, timeout, inode;
    fields >> slot >> local >> remote >> state >> queues >> timer >> retransmits >> uid >>
        timeout >> inode;
    if (state != "0A" || !local.starts_with("0100007F:"))
      continue;
    if (std::find(ownSockets.begin(), ownSockets.end(), inode) == ownSockets.end())
      continue;
    return static_cast<uint16_t>(std::stoul(local.substr(9), nullptr, 16));
  }
  return 0;
}

class FtpStrayConnectionTest : public FtpServerTest {
 protected:
  // The server waits before it connects back, so that a stranger gets in
  // first.
  FtpStrayConnectionTest() : FtpServerTest(TestFtpServerOptions{.activeConnectDelay = 1.0}) {}

  // On another thread: finds the client's data port, connects to it from
  // 127.0.0.2, offers `offer`, and records whether the client hung up on it.
  std::thread Stranger(std::string offer) {
    return std::thread([this, offer] {
      const auto giveUp = std::chrono::steady_clock::now() + std::chrono::seconds(10);
      uint16_t port = 0;
      while (port == 0 && std::chrono::steady_clock::now() < giveUp) {
        port = OwnListeningPort();
        if (port == 0)
          std::this_thread::sleep_for(milliseconds(2));
      }
      if (port == 0)
        return;
      const int fd = socket(AF_INET, SOCK_STREAM, 0);
      sockaddr_in from{};
      from.sin_family = AF_INET;
      inet_pton(AF_INET, "127.0.0.2", &from.sin_addr);
      sockaddr_in to{};
      to.sin_family = AF_INET;
      to.sin_port = htons(port);
      inet_pton(AF_INET, "127.0.0.1", &to.sin_addr);
      if (bind(fd, reinterpret_cast<sockaddr*>(&from), sizeof from) == 0 &&
          connect(fd, reinterpret_cast<sockaddr*>(&to), sizeof to) == 0) {
        strangerConnected_ = true;
        send(fd, offer.data(), offer.size(), MSG_NOSIGNAL);
        timeval wait{5, 0};
        setsockopt(fd, SOL_SOCKET, SO_RCVTIMEO, &wait, sizeof wait);
        char byte;
        // The client closes the stranger's connection without a word.
        strangerTurnedAway_ = recv(fd, &byte, 1, 0) <= 0;
      }
      close(fd);
    });
  }

  std::atomic<bool> strangerConnected_{false};
  std::atomic<bool> strangerTurnedAway_{false};
};

TEST_F(FtpStrayConnectionTest, ListingFromAnotherAddressIsIgnored) {
  WriteFile(server_.root() / "genuine.html", "x");
  FtpConnection connection;
  ASSERT_TRUE(ConnectTo(server_, connection).ok());
  std::thread stranger = Stranger(
      "type=file;modify=20200101000000; planted.html\r\n"
      "-rw-r--r-- 1 u g 1 Jan 01  2020 planted.html\r\n");
  std::map<std::string, RemoteEntry> entries;
  const FtpStatus status = ListAll(connection, "/", entries);
  stranger.join();
  ASSERT_TRUE(strangerConnected_) << "the stranger could not reach the data port";
  EXPECT_TRUE(strangerTurnedAway_);
  ASSERT_TRUE(status.ok()) << Describe(status);
  EXPECT_EQ(entries.count("genuine.html"), 1u);
  EXPECT_EQ(entries.count("planted.html"), 0u);
}

TEST_F(FtpStrayConnectionTest, UploadNeverGoesToAnotherAddress) {
  FtpConnection connection;
  ASSERT_TRUE(ConnectTo(server_, connection).ok());
  TempDir local;
  WriteFile(local.path() / "secret.html", "for the server only");
  std::thread stranger = Stranger("");
  const FtpStatus status =
      connection.PutFile((local.path() / "secret.html").string(), "secret.html");
  stranger.join();
  ASSERT_TRUE(strangerConnected_) << "the stranger could not reach the data port";
  EXPECT_TRUE(strangerTurnedAway_);
  ASSERT_TRUE(status.ok()) << Describe(status);
  EXPECT_EQ(ReadFile(server_.root() / "secret.html"), "for the server only");
}

}  // namespace
}  // namespace velmorix
