// A real FTP server for end-to-end tests: pyftpdlib under Debian's python,
// on a free port of 127.0.0.1 (or ::1), serving a fresh temporary folder.
// Tests look at root() to see what arrived.
#pragma once

#include <sys/types.h>

#include <cstdint>
#include <filesystem>
#include <string>
#include <vector>

#include <gtest/gtest.h>

namespace velmorix::testing {

// A temporary folder, removed with everything in it when destroyed.
class TempDir {
 public:
  TempDir();
  ~TempDir();
  TempDir(const TempDir&) = delete;
  TempDir& operator=(const TempDir&) = delete;

  const std::filesystem::path& path() const { return path_; }
  std::string str() const { return path_.string(); }

 private:
  std::filesystem::path path_;
};

struct TestFtpServerOptions {
  bool writable = true;  // false: the user may list but not change anything
  bool mlsd = true;      // false: the server offers only LIST
  bool ipv6 = false;     // listen on ::1 instead of 127.0.0.1
  // Seconds the server waits after PORT/EPRT before it connects back.
  double activeConnectDelay = 0;
  // Never connects back after PORT/EPRT, as behind a router.
  bool noConnectBack = false;
  enum class Passive {
    kNormal,
    kPasvOnly,  // EPSV answers 500, PASV works
    kRefused,   // EPSV and PASV answer 500 and are not offered
    kSilent,    // they name a port whose connections are never accepted
  } passive = Passive::kNormal;
  // The address PASV names in place of the server's own (a server behind NAT).
  std::string masquerade{};
  // How names are written on the wire (Shift_JIS as code page 932); the
  // files on disk keep UTF-8 names. Such a server offers no UTF8 in FEAT.
  enum class Names { kUtf8, kShiftJis, kEucJp } names = Names::kUtf8;
  // A PEM file with a certificate and its key: the server offers AUTH TLS.
  std::string tlsCertificate{};
  // No login without TLS, no data without PROT P.
  bool tlsRequired = false;
  // A data connection that does not resume a TLS session is refused with
  // 522, as vsftpd does by default.
  bool tlsRequireReuse = false;
  // More connections than this at once are turned away with 421.
  int maxConnections = 0;
  // Uploads are taken at this many bytes a second (plain FTP only).
  int uploadBytesPerSecond = 0;
  // Faults of real hosts. Sessions other than the first to log in (a run's
  // own connection) are closed with 421 when idle this long.
  double idleTimeoutSeconds = 0;
  // The first upload of a file of this name on such a session is cut off,
  // with the session, after some bytes.
  std::string cutUploadOf{};
  // Every upload of a file of this name is refused with 553.
  std::string refuseUploadOf{};
  // Uploads of a file of this name end with 226 but keep half of it.
  std::string truncateUploadOf{};
  // Listings of a folder of this name send all their data, then answer 451.
  std::string failListingOf{};
  enum class Renames {
    kNormal,
    kNotOntoFiles,  // RNTO onto an existing file answers 553
    kNone,          // RNFR and RNTO answer 502
    kDenied,        // RNFR answers 550, as proftpd's <Limit RNFR RNTO> DenyAll
    kRntoDenied,    // RNTO answers 550, as proftpd's <Limit RNTO> DenyAll
  } renames = Renames::kNormal;
  // When above 0, only this many sessions get a greeting (besides the
  // fixture's own check that the server is up); later ones hear nothing.
  int greetedSessions = 0;
};

// Certificates made with the openssl command for the test program, once: a
// certificate authority of its own (point SSL_CERT_FILE at caFile to trust
// it) and PEM files with a certificate and its key for the test server.
struct TestCertificates {
  std::string caFile;
  std::string signedPem;           // signed by the authority for 127.0.0.1, ::1 and localhost
  std::string wrongNamePem;        // signed by the authority for ftp.invalid only
  std::string selfSignedPem;       // for 127.0.0.1, signed by nobody but itself
  std::string otherSelfSignedPem;  // the same, with another key
  // The SHA-256 of selfSignedPem's certificate as the openssl command tells
  // it, in the form "SHA256:AB:CD:...".
  std::string selfSignedFingerprint;

  static const TestCertificates& Get();
};

// Makes OpenSSL's default trust store the test authority alone (a hashed
// folder in SSL_CERT_DIR), or no authority of the test's, for this process
// and the programs it starts, for as long as the object lives.
class TrustStore {
 public:
  explicit TrustStore(bool trustTestAuthority);
  ~TrustStore();
  TrustStore(const TrustStore&) = delete;
  TrustStore& operator=(const TrustStore&) = delete;

 private:
  TempDir folder_;
};

class TestFtpServer {
 public:
  static constexpr const char* kUser = "publisher";
  static constexpr const char* kPassword = "s3cret pass";

  explicit TestFtpServer(TestFtpServerOptions options = {});
  ~TestFtpServer();  // stops the server and removes its root
  TestFtpServer(const TestFtpServer&) = delete;
  TestFtpServer& operator=(const TestFtpServer&) = delete;

  // Starts the server and waits until it greets a client. Fails the test
  // (fatally) when it does not come up within a few seconds.
  void Start();
  // Kills the server at once (SIGKILL), as a crashed server would go.
  void Kill();
  // Freezes and thaws the server (SIGSTOP/SIGCONT): a server that stops answering.
  void Pause();
  void Resume();
  bool running() const { return pid_ > 0; }

  const std::string& host() const { return host_; }
  uint16_t port() const { return port_; }
  // The folder the server serves as "/".
  const std::filesystem::path& root() const { return root_.path(); }
  // The server's own log, for a failing test's diagnosis.
  std::string ReadLog() const;
  // The command lines the server received so far, in order, as
  // "<login> <line>": <login> counts successful logins from 1 (0 before
  // the login), so a run's own connection is 1. PASS has no argument.
  std::vector<std::string> Commands() const;

 private:
  TestFtpServerOptions options_;
  TempDir root_;
  TempDir work_;
  std::string host_;
  uint16_t port_ = 0;
  pid_t pid_ = -1;
};

// Debian's vsftpd, started unprivileged on a free port of 127.0.0.1 with
// anonymous logins that may upload, create, rename and delete, starting in
// a fresh folder (root(); without a chroot, its absolute path names it on
// the server too). It lists only with LIST, in the zone `timeZone` (a TZ
// value) when listsLocalTime. Tests that need it skip where it is not
// installed (Available()).
class VsftpdServer {
 public:
  static constexpr const char* kUser = "anonymous";
  static constexpr const char* kPassword = "publisher@";

  VsftpdServer(std::string timeZone, bool listsLocalTime);
  ~VsftpdServer();  // stops the server and removes its root
  VsftpdServer(const VsftpdServer&) = delete;
  VsftpdServer& operator=(const VsftpdServer&) = delete;

  static bool Available();
  // Starts the server and waits until it greets a client; fails the test
  // (fatally) when it does not.
  void Start();

  const std::string& host() const { return host_; }
  uint16_t port() const { return port_; }
  const std::filesystem::path& root() const { return root_.path(); }
  // What vsftpd said when it refused to start.
  std::string ReadLog() const;

 private:
  std::string timeZone_;
  bool listsLocalTime_;
  TempDir root_;
  TempDir work_;
  std::string host_ = "127.0.0.1";
  uint16_t port_ = 0;
  pid_t pid_ = -1;
};

// A fixture with a started server.
class FtpServerTest : public ::testing::Test {
 protected:
  explicit FtpServerTest(TestFtpServerOptions options = {}) : server_(options) {}
  void SetUp() override { server_.Start(); }

  TestFtpServer server_;
};

// A port of 127.0.0.1 on which nothing listens: bound and closed again.
uint16_t ClosedPort();

// Writes `content` to `path`, creating the parent folders.
void WriteFile(const std::filesystem::path& path, const std::string& content);
// The whole content of `path`; empty when it cannot be read.
std::string ReadFile(const std::filesystem::path& path);
// Sets the last-write time of `path` to `secondsSinceEpoch` (UTC).
void SetFileTime(const std::filesystem::path& path, int64_t secondsSinceEpoch);

}  // namespace velmorix::testing
