// A real SSH server for end-to-end tests of the SFTP client: Debian's
// OpenSSH sshd on a free port of 127.0.0.1, with its own configuration, a
// host key and client keys made at start in a fresh folder, serving SFTP
// (sshd's internal-sftp) that starts in a fresh temporary folder (root()).
// It logs in the user who runs the tests, by key; the password method is
// offered, but no password is known to it. Tests that need it skip where
// sshd is not installed (Available()).
#pragma once

#include <sys/types.h>

#include <cstdint>
#include <filesystem>
#include <optional>
#include <string>
#include <vector>

#include "base/unique_fd.h"
#include "tests/support/test_ftp_server.h"

namespace velmorix::testing {

struct TestSshServerOptions {
  // When above 0, sshd's MaxStartups: connections beyond this many that
  // have not logged in yet are dropped.
  int maxStartups = 0;
  // When set, sshd's MaxSessions: channels one connection may open.
  std::optional<int> maxSessions;
  // When set, the password the server takes for User(): sshd runs in a
  // mount namespace of its own, with an /etc/shadow of the test's that
  // holds it (see CanTakePassword).
  std::string password = {};
  // SFTP requests the server refuses though it may name them (sftp-server's
  // -P, e.g. "posix-rename").
  std::string deniedRequests = {};
  // The server's host keys, by ssh-keygen's -t: "ed25519", "ecdsa".
  std::vector<std::string> hostKeyTypes = {"ed25519"};
};

class TestSshServer {
 public:
  static constexpr const char* kPassphrase = "correct horse battery";

  explicit TestSshServer(TestSshServerOptions options = {});
  ~TestSshServer();  // stops the server and removes its folders
  TestSshServer(const TestSshServer&) = delete;
  TestSshServer& operator=(const TestSshServer&) = delete;

  static bool Available();
  // Whether a server can be given a password: only root can show sshd
  // another /etc/shadow, and only where mount namespaces may be made.
  static bool CanTakePassword();
  // Makes the keys, starts sshd and waits until it sends its banner; fails
  // the test (fatally) when it does not.
  void Start();

  const std::string& host() const { return host_; }
  uint16_t port() const { return port_; }
  // The folder SFTP starts in; relative paths are taken from it.
  const std::filesystem::path& root() const { return root_.path(); }
  // The user the tests log in as: whoever runs them.
  static std::string User();
  // Private key files the server accepts: without a passphrase, and with
  // kPassphrase. Another key, which it does not accept.
  std::string clientKey() const { return (work_.path() / "client_plain").string(); }
  std::string encryptedClientKey() const { return (work_.path() / "client_encrypted").string(); }
  std::string strangerKey() const { return (work_.path() / "client_stranger").string(); }
  // A host key (of hostKeyTypes, the first by default) as a known_hosts
  // line for this server, and its fingerprint as ssh-keygen -l prints it
  // ("SHA256:...").
  std::string KnownHostsLine(const std::string& type = {}) const;
  std::string HostKeyFingerprint(const std::string& type = {}) const;
  // sshd's log, for a failing test's diagnosis.
  std::string ReadLog() const;
  // A TCP connection to the server that has read the banner and says
  // nothing more: one connection that has not logged in.
  UniqueFd HoldConnection() const;

 private:
  std::string HostKeyFile(const std::string& type) const;

  TestSshServerOptions options_;
  TempDir root_;
  TempDir work_;
  std::string host_ = "127.0.0.1";
  uint16_t port_ = 0;
  pid_t pid_ = -1;
};

// An ssh-agent of the test's own, at a socket in a fresh folder, holding
// `keyFile`. SSH_AUTH_SOCK names it while the object lives.
class TestSshAgent {
 public:
  explicit TestSshAgent(const std::string& keyFile);
  ~TestSshAgent();
  TestSshAgent(const TestSshAgent&) = delete;
  TestSshAgent& operator=(const TestSshAgent&) = delete;

 private:
  TempDir folder_;
  pid_t pid_ = -1;
  std::string previous_;
  bool hadPrevious_ = false;
};

}  // namespace velmorix::testing
