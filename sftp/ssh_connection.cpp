#include "sftp/ssh_connection.h"

#include <openssl/crypto.h>
#include <poll.h>
#include <sys/socket.h>
#include <sys/stat.h>

#include <algorithm>
#include <cstdlib>
#include <cstring>
#include <mutex>

#include "base/user_folders.h"

namespace velmorix::sftp {

using ftp::Clock;

struct SshConnection::State {
  ftp::Socket socket;
  LIBSSH2_SESSION* session = nullptr;
  SshTimeouts timeouts;
  std::function<bool()> cancelCheck;
  SshLoginMethod loginMethod = SshLoginMethod::kNone;
  std::string loginKeyFile;
  HostKey serverKey;
  bool dropped = false;  // the socket is shut: nothing more goes either way
  // Lent to the keyboard-interactive answer while it is asked for.
  const std::string* password = nullptr;

  ~State() {
    if (session != nullptr)
      libssh2_session_free(session);
  }
};

namespace {

// A libssh2 call that may give LIBSSH2_ERROR_EAGAIN is repeated after a
// wait; so is one that gives no pointer while the session's last error is
// EAGAIN.
bool WouldBlock(LIBSSH2_SESSION* session) {
  return libssh2_session_last_errno(session) == LIBSSH2_ERROR_EAGAIN;
}

std::string SecondsText(std::chrono::milliseconds span) {
  return std::to_string((span.count() + 999) / 1000);
}

bool OffersMethod(std::string_view list, std::string_view method) {
  for (size_t start = 0; start <= list.size();) {
    size_t end = list.find(',', start);
    if (end == std::string_view::npos)
      end = list.size();
    if (list.substr(start, end - start) == method)
      return true;
    start = end + 1;
  }
  return false;
}

// Answers every prompt of a keyboard-interactive login with the password,
// as servers that ask "Password:" that way expect.
void AnswerWithPassword(const char*, int, const char*, int, int promptCount,
                        const LIBSSH2_USERAUTH_KBDINT_PROMPT*,
                        LIBSSH2_USERAUTH_KBDINT_RESPONSE* responses, void** abstract) {
  // The session's abstract pointer is the connection's lent password.
  const std::string* password = *static_cast<const std::string**>(*abstract);
  for (int i = 0; i < promptCount && password != nullptr; ++i) {
    // The library frees each answer with free().
    responses[i].text = strdup(password->c_str());
    responses[i].length = static_cast<unsigned int>(password->size());
  }
}

}  // namespace

void InitializeSshLibrary() {
  static std::once_flag once;
  std::call_once(once, [] { libssh2_init(0); });
}

SshConnection::SshConnection() = default;
SshConnection::~SshConnection() {
  Close();
}
SshConnection::SshConnection(SshConnection&&) noexcept = default;
SshConnection& SshConnection::operator=(SshConnection&& other) noexcept {
  if (this != &other) {
    Close();
    state_ = std::move(other.state_);
  }
  return *this;
}

bool SshConnection::IsOpen() const {
  return state_ && state_->session != nullptr && !state_->dropped;
}

LIBSSH2_SESSION* SshConnection::session() const {
  return state_ ? state_->session : nullptr;
}

SshLoginMethod SshConnection::LoginMethod() const {
  return state_ ? state_->loginMethod : SshLoginMethod::kNone;
}

const std::string& SshConnection::LoginKeyFile() const {
  static const std::string kNone;
  return state_ ? state_->loginKeyFile : kNone;
}

const HostKey& SshConnection::ServerKey() const {
  static const HostKey kNone;
  return state_ ? state_->serverKey : kNone;
}

std::string SshConnection::LoginMethodText() const {
  switch (LoginMethod()) {
    case SshLoginMethod::kAgent:
      return "agent";
    case SshLoginMethod::kKeyFile:
      return "key file " + LoginKeyFile();
    case SshLoginMethod::kPassword:
      return "password";
    case SshLoginMethod::kNone:
      break;
  }
  return {};
}

void SshConnection::SetCancelCheck(std::function<bool()> check) {
  if (state_)
    state_->cancelCheck = std::move(check);
}

FtpStatus SshConnection::Wait() {
  if (!IsOpen())
    return FtpStatus::Error(FtpErrorKind::kNotConnected, "The SSH connection is closed.");
  const int directions = libssh2_session_block_directions(state_->session);
  short events = 0;
  if (directions & LIBSSH2_SESSION_BLOCK_INBOUND)
    events |= POLLIN;
  if (directions & LIBSSH2_SESSION_BLOCK_OUTBOUND)
    events |= POLLOUT;
  if (events == 0)
    events = POLLIN;
  const auto deadline = Clock::now() + state_->timeouts.reply;
  for (;;) {
    if (state_->cancelCheck && state_->cancelCheck()) {
      Drop();
      return FtpStatus::Error(FtpErrorKind::kCanceled, "Canceled.");
    }
    const auto now = Clock::now();
    if (now >= deadline) {
      Drop();
      return FtpStatus::Error(FtpErrorKind::kTimeout, "The SSH server did not answer within " +
                                                          SecondsText(state_->timeouts.reply) +
                                                          " seconds.");
    }
    const auto slice = std::min<Clock::duration>(deadline - now, ftp::kCancelCheckEvery);
    pollfd pfd{state_->socket.fd(), events, 0};
    const int ready = poll(
        &pfd, 1, static_cast<int>(std::chrono::ceil<std::chrono::milliseconds>(slice).count()));
    if (ready > 0)
      return FtpStatus::Ok();
    if (ready < 0 && errno != EINTR) {
      const int error = errno;
      Drop();
      return FtpStatus::Error(FtpErrorKind::kSystem, ftp::SystemErrorText(error));
    }
  }
}

FtpStatus SshConnection::CheckCanceled() {
  if (state_ && state_->cancelCheck && state_->cancelCheck()) {
    Drop();
    return FtpStatus::Error(FtpErrorKind::kCanceled, "Canceled.");
  }
  return FtpStatus::Ok();
}

FtpStatus SshConnection::SessionError(const std::string& what) const {
  if (!IsOpen())
    return FtpStatus::Error(FtpErrorKind::kNotConnected, what + ": the SSH connection was lost.");
  char* message = nullptr;
  int length = 0;
  const int code = libssh2_session_last_error(state_->session, &message, &length, 0);
  std::string text = what;
  if (length > 0)
    text += ": " + std::string(message, static_cast<size_t>(length));
  FtpErrorKind kind = FtpErrorKind::kProtocol;
  switch (code) {
    case LIBSSH2_ERROR_SOCKET_DISCONNECT:
    case LIBSSH2_ERROR_SOCKET_RECV:
    case LIBSSH2_ERROR_SOCKET_SEND:
    case LIBSSH2_ERROR_CHANNEL_CLOSED:
    case LIBSSH2_ERROR_CHANNEL_EOF_SENT:
      kind = FtpErrorKind::kNotConnected;
      break;
    case LIBSSH2_ERROR_TIMEOUT:
    case LIBSSH2_ERROR_SOCKET_TIMEOUT:
      kind = FtpErrorKind::kTimeout;
      break;
    default:
      break;
  }
  return FtpStatus::Error(kind, text);
}

FtpStatus SshConnection::Connect(const std::string& host, uint16_t port, const std::string& user,
                                 const std::string& password, const SshConnectOptions& options) {
  Close();
  InitializeSshLibrary();
  auto state = std::make_unique<State>();
  state->timeouts = options.timeouts;
  state->cancelCheck = options.cancelCheck;

  const ftp::ConnectResult connected =
      ftp::ConnectTcp(host, port, options.timeouts.connect, state->socket, options.cancelCheck);
  switch (connected.failure) {
    case ftp::ConnectFailure::kNone:
      break;
    case ftp::ConnectFailure::kHostNotFound:
      return FtpStatus::Error(FtpErrorKind::kHostNotFound, host + ": " + connected.detail);
    case ftp::ConnectFailure::kRefused:
      return FtpStatus::Error(FtpErrorKind::kConnectionRefused,
                              host + " port " + std::to_string(port) + ": " + connected.detail);
    case ftp::ConnectFailure::kTimeout:
      return FtpStatus::Error(FtpErrorKind::kTimeout,
                              host + " port " + std::to_string(port) + ": no connection within " +
                                  SecondsText(options.timeouts.connect) + " seconds.");
    case ftp::ConnectFailure::kCanceled:
      return FtpStatus::Error(FtpErrorKind::kCanceled, "Canceled.");
  }

  state->session = libssh2_session_init_ex(nullptr, nullptr, nullptr, &state->password);
  if (state->session == nullptr)
    return FtpStatus::Error(FtpErrorKind::kSystem, "The SSH library could not start a session.");
  libssh2_session_set_blocking(state->session, 0);
  const std::string name = KnownHostsName(host, port);
  const std::string algorithms =
      PreferredHostKeyAlgorithms(state->session, options.knownHosts, name);
  libssh2_session_method_pref(state->session, LIBSSH2_METHOD_HOSTKEY, algorithms.c_str());
  state_ = std::move(state);

  int rc;
  while ((rc = libssh2_session_handshake(state_->session, state_->socket.fd())) ==
         LIBSSH2_ERROR_EAGAIN) {
    if (FtpStatus waited = Wait(); !waited.ok()) {
      state_.reset();
      return waited;
    }
  }
  if (rc != 0) {
    FtpStatus status = SessionError("SSH handshake with " + name);
    if (rc == LIBSSH2_ERROR_SOCKET_DISCONNECT || rc == LIBSSH2_ERROR_BANNER_RECV ||
        rc == LIBSSH2_ERROR_SOCKET_RECV) {
      // sshd drops connections beyond its MaxStartups before or during the
      // key exchange.
      status = FtpStatus::Error(
          FtpErrorKind::kServerReply,
          "The SSH server " + name +
              " closed the connection before the handshake ended; it may take only so many "
              "connections at once (" +
              status.text + ")");
    }
    state_.reset();
    return status;
  }

  state_->serverKey = ServerHostKey(state_->session);
  const HostKey& key = state_->serverKey;
  switch (CheckHostKey(state_->session, options.knownHosts, name, key)) {
    case HostKeyVerdict::kKnown:
      break;
    case HostKeyVerdict::kChanged:
      Drop();
      return FtpStatus::Error(FtpErrorKind::kHostKeyRefused, HostKeyChangedText(name, key));
    case HostKeyVerdict::kRevoked:
      Drop();
      return FtpStatus::Error(FtpErrorKind::kHostKeyRefused,
                              "The " + key.label + " host key of " + name + " (" + key.fingerprint +
                                  ") is marked as revoked in a known_hosts file.\n"
                                  "Host key verification failed: nothing was sent.");
    case HostKeyVerdict::kUnknown: {
      const bool accepted =
          (!options.trustedFingerprint.empty() && options.trustedFingerprint == key.fingerprint) ||
          (options.hostKeyCheck && options.hostKeyCheck(key, name));
      if (!accepted) {
        Drop();
        return FtpStatus::Error(FtpErrorKind::kHostKeyRefused, HostKeyUnknownText(name, key));
      }
      // Kept for the next connection; this one goes on even when it cannot
      // be written.
      if (!options.knownHosts.own.empty())
        AddKnownHost(options.knownHosts.own, name, key);
      break;
    }
  }

  if (FtpStatus status = Login(user, password, options); !status.ok()) {
    Close();
    return status;
  }
  return FtpStatus::Ok();
}

FtpStatus SshConnection::Login(const std::string& user, const std::string& password,
                               const SshConnectOptions& options) {
  LIBSSH2_SESSION* session = state_->session;
  const auto userLength = static_cast<unsigned int>(user.size());
  // Repeats `call` while it would block; anything else is its result.
  FtpStatus waited;
  auto repeat = [&](auto call) {
    int rc;
    while ((rc = call()) == LIBSSH2_ERROR_EAGAIN) {
      if (waited = Wait(); !waited.ok())
        return rc;
    }
    return rc;
  };

  std::string offered;
  for (;;) {
    const char* list = libssh2_userauth_list(session, user.c_str(), userLength);
    if (list != nullptr) {
      offered = list;
      break;
    }
    if (libssh2_userauth_authenticated(session))
      return FtpStatus::Ok();  // the server wanted no proof at all
    if (!WouldBlock(session))
      return SessionError("SSH login as " + user);
    if (waited = Wait(); !waited.ok())
      return waited;
  }

  std::vector<std::string> tried;
  if (OffersMethod(offered, "publickey")) {
    const char* socketPath = std::getenv("SSH_AUTH_SOCK");
    if (options.useAgent && socketPath != nullptr && *socketPath != '\0') {
      std::unique_ptr<LIBSSH2_AGENT, decltype(&libssh2_agent_free)> agent(
          libssh2_agent_init(session), &libssh2_agent_free);
      int keys = 0;
      if (agent && libssh2_agent_connect(agent.get()) == 0 &&
          libssh2_agent_list_identities(agent.get()) == 0) {
        libssh2_agent_publickey* identity = nullptr;
        while (libssh2_agent_get_identity(agent.get(), &identity, identity) == 0) {
          ++keys;
          const int rc =
              repeat([&] { return libssh2_agent_userauth(agent.get(), user.c_str(), identity); });
          if (!waited.ok())
            return waited;
          if (rc == 0) {
            libssh2_agent_disconnect(agent.get());
            state_->loginMethod = SshLoginMethod::kAgent;
            return FtpStatus::Ok();
          }
        }
        libssh2_agent_disconnect(agent.get());
      }
      tried.push_back("agent (" + std::to_string(keys) + (keys == 1 ? " key)" : " keys)"));
    }

    std::vector<std::string> keyFiles = options.keyFiles;
    if (keyFiles.empty()) {
      if (const std::string home = HomeFolder(); !home.empty()) {
        for (const char* name : {"id_ed25519", "id_ecdsa", "id_rsa"}) {
          struct stat status;
          const std::string path = home + "/.ssh/" + name;
          if (stat(path.c_str(), &status) == 0)
            keyFiles.push_back(path);
        }
      }
    }
    for (const std::string& keyFile : keyFiles) {
      auto tryKey = [&](const char* passphrase) {
        return repeat([&] {
          return libssh2_userauth_publickey_fromfile_ex(session, user.c_str(), userLength, nullptr,
                                                        keyFile.c_str(), passphrase);
        });
      };
      int rc = tryKey("");
      if (!waited.ok())
        return waited;
      if (rc == LIBSSH2_ERROR_FILE && options.askPassphrase) {
        // Unreadable without a passphrase: encrypted, or no key at all.
        if (std::optional<std::string> passphrase = options.askPassphrase(keyFile)) {
          rc = tryKey(passphrase->c_str());
          OPENSSL_cleanse(passphrase->data(), passphrase->size());
          if (!waited.ok())
            return waited;
        }
      }
      if (rc == 0) {
        state_->loginMethod = SshLoginMethod::kKeyFile;
        state_->loginKeyFile = keyFile;
        return FtpStatus::Ok();
      }
      tried.push_back(
          "key file " + keyFile +
          (rc == LIBSSH2_ERROR_FILE ? " (unreadable, or the passphrase was wrong)" : ""));
    }
  }

  if (!password.empty() && OffersMethod(offered, "password")) {
    const int rc = repeat([&] {
      return libssh2_userauth_password_ex(session, user.c_str(), userLength, password.c_str(),
                                          static_cast<unsigned int>(password.size()), nullptr);
    });
    if (!waited.ok())
      return waited;
    if (rc == 0) {
      state_->loginMethod = SshLoginMethod::kPassword;
      return FtpStatus::Ok();
    }
    tried.push_back("password");
  } else if (!password.empty() && OffersMethod(offered, "keyboard-interactive")) {
    state_->password = &password;
    const int rc = repeat([&] {
      return libssh2_userauth_keyboard_interactive_ex(session, user.c_str(), userLength,
                                                      &AnswerWithPassword);
    });
    state_->password = nullptr;
    if (!waited.ok())
      return waited;
    if (rc == 0) {
      state_->loginMethod = SshLoginMethod::kPassword;
      return FtpStatus::Ok();
    }
    tried.push_back("password (keyboard-interactive)");
  }

  std::string text = "SSH login as " + user + " failed: ";
  if (tried.empty()) {
    text += "no method to try";
  } else {
    text += "refused ";
    for (size_t i = 0; i < tried.size(); ++i)
      text += (i ? ", " : "") + tried[i];
  }
  text += "; the server takes " + offered + ".";
  return FtpStatus::Error(FtpErrorKind::kLoginFailed, text);
}

void SshConnection::Close() {
  if (!IsOpen()) {
    state_.reset();
    return;
  }
  // A goodbye, for at most a moment: the server need not answer it.
  const auto deadline = Clock::now() + std::chrono::milliseconds(500);
  while (libssh2_session_disconnect(state_->session, "Bye") == LIBSSH2_ERROR_EAGAIN &&
         Clock::now() < deadline) {
    pollfd pfd{state_->socket.fd(), POLLOUT, 0};
    poll(&pfd, 1, 50);
  }
  state_.reset();
}

void SshConnection::Drop() {
  // The descriptor stays ours until the session is freed, so that the
  // library's last words cannot reach another socket given its number.
  if (state_ && !state_->dropped) {
    shutdown(state_->socket.fd(), SHUT_RDWR);
    state_->dropped = true;
  }
}

}  // namespace velmorix::sftp
