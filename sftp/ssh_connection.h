// An SSH connection as the SFTP client needs it: TCP to the server, the key
// exchange, the server's host key checked against the known_hosts files,
// and the login (the SSH agent, then key files, then the password).
//
// The session runs without blocking: every wait goes through poll() bounded
// by the time-outs and, when a cancel check is set, asked at least every
// 250 ms. A wait that times out or is canceled leaves the SSH stream in the
// middle of a packet, so the connection counts as lost from then on. One
// thread at a time; the object is move-only and closes itself.
#pragma once

#include <libssh2.h>

#include <chrono>
#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "ftp/ftp_status.h"
#include "ftp/tcp_socket.h"
#include "sftp/host_keys.h"

namespace velmorix::sftp {

struct SshTimeouts {
  std::chrono::milliseconds connect{30000};  // TCP connect, per address
  // Each wait on the server: a reply, or room to send (each stretch
  // without progress during an upload).
  std::chrono::milliseconds reply{30000};
};

// How the login went: the method that logged in, or those tried.
enum class SshLoginMethod { kNone, kAgent, kKeyFile, kPassword };

struct SshConnectOptions {
  SshTimeouts timeouts = {};
  KnownHostsFiles knownHosts = KnownHostsFiles::Default();
  // An unknown host key with this fingerprint ("SHA256:...") is accepted
  // without asking, and written to the program's own file, as if the user
  // had accepted it.
  std::string trustedFingerprint = {};
  // Asked on the connection's thread when the server's host key is unknown;
  // true accepts it: it is written to the program's own known_hosts file.
  // Without a check an unknown key is refused. A changed key is refused
  // outright and never asked about.
  std::function<bool(const HostKey&, std::string_view name)> hostKeyCheck = {};
  // Key files to try after the agent's keys: when empty, ~/.ssh/id_ed25519,
  // id_ecdsa and id_rsa (those that exist).
  std::vector<std::string> keyFiles = {};
  // Whether to ask the SSH agent at SSH_AUTH_SOCK.
  bool useAgent = true;
  // Asked for the passphrase of an encrypted key file (its path); nullopt
  // skips that file. The passphrase is used once and never kept.
  std::function<std::optional<std::string>(const std::string& keyFile)> askPassphrase = {};
  // Asked at least every 250 ms while the connection waits on the server,
  // the login included; when it says stop, the call gives kCanceled. It
  // must only look.
  std::function<bool()> cancelCheck = {};
};

class SshConnection {
 public:
  SshConnection();
  ~SshConnection();
  SshConnection(SshConnection&&) noexcept;
  SshConnection& operator=(SshConnection&&) noexcept;

  // Connects to `host` and `port`, checks the host key and logs in as
  // `user`. On failure the connection stays closed and the status says why:
  // kHostKeyRefused (an unknown key not accepted, a changed or revoked one),
  // kLoginFailed naming the methods tried, kCanceled, kTimeout, or the TCP
  // connect's errors.
  FtpStatus Connect(const std::string& host, uint16_t port, const std::string& user,
                    const std::string& password, const SshConnectOptions& options);
  bool IsOpen() const;
  // After Connect: how the login went, and the host key (also after a
  // Connect that failed on it, for a message that shows it).
  SshLoginMethod LoginMethod() const;
  // The key file that logged in (kKeyFile), else empty.
  const std::string& LoginKeyFile() const;
  const HostKey& ServerKey() const;
  // A line for the console: "agent", "key file /home/ann/.ssh/id_ed25519",
  // "password".
  std::string LoginMethodText() const;

  // Says goodbye and closes. Safe on a closed connection.
  void Close();
  // Closes the socket at once, without a goodbye: after a time-out or a
  // cancel, when the stream may stand in the middle of a packet.
  void Drop();

  // For the SFTP layer on top: the session, and a wait for the socket in the
  // directions the session is blocked in. kNone when it is ready; kTimeout
  // after `reply` without it, kCanceled when the cancel check says stop
  // (the connection is dropped then).
  LIBSSH2_SESSION* session() const;
  FtpStatus Wait();
  // Asks the cancel check between steps that need no wait; when it says
  // stop the connection is dropped and the status is kCanceled.
  FtpStatus CheckCanceled();
  // The session's last error as a status: its message after `what`.
  FtpStatus SessionError(const std::string& what) const;
  void SetCancelCheck(std::function<bool()> check);

 private:
  struct State;
  FtpStatus Login(const std::string& user, const std::string& password,
                  const SshConnectOptions& options);
  std::unique_ptr<State> state_;
};

// The library's one-time set-up; safe to call from any thread, any number
// of times.
void InitializeSshLibrary();

}  // namespace velmorix::sftp
