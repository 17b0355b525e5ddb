#include "sftp/sftp_connection.h"

#include <fcntl.h>
#include <libssh2_sftp.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cstring>
#include <type_traits>

#include "base/unique_fd.h"
#include "base/utf8.h"
#include "ftp/name_codec.h"

namespace velmorix::sftp {
namespace {

using ftp::Clock;

// The bytes of an upload in flight at once, as write requests of the
// library's 30,000 bytes: about 70 of them, as many as OpenSSH's sftp keeps
// going (64 of 32 KiB), so a line with a long round trip stays full.
constexpr size_t kUploadWindow = 2 * 1024 * 1024;
// The longest name a listing takes.
constexpr size_t kMaxNameBytes = 4096;

const char* StatusName(unsigned long code) {
  switch (code) {
    case LIBSSH2_FX_EOF:
      return "end of file";
    case LIBSSH2_FX_NO_SUCH_FILE:
      return "no such file";
    case LIBSSH2_FX_PERMISSION_DENIED:
      return "permission denied";
    case LIBSSH2_FX_FAILURE:
      return "failure";
    case LIBSSH2_FX_BAD_MESSAGE:
      return "bad message";
    case LIBSSH2_FX_NO_CONNECTION:
      return "no connection";
    case LIBSSH2_FX_CONNECTION_LOST:
      return "connection lost";
    case LIBSSH2_FX_OP_UNSUPPORTED:
      return "operation unsupported";
    default:
      return "unknown status";
  }
}

// The form of SFTP requests on the extension channel: big-endian lengths.
void PutUint32(std::string& packet, uint32_t value) {
  for (int shift = 24; shift >= 0; shift -= 8)
    packet += static_cast<char>((value >> shift) & 0xff);
}

void PutString(std::string& packet, std::string_view text) {
  PutUint32(packet, static_cast<uint32_t>(text.size()));
  packet += text;
}

uint32_t GetUint32(std::string_view bytes, size_t at) {
  uint32_t value = 0;
  for (size_t i = 0; i < 4; ++i)
    value = (value << 8) | static_cast<unsigned char>(bytes[at + i]);
  return value;
}

// Reads a string at `at` of `bytes`, moving `at` past it; false when the
// bytes end first.
bool GetString(std::string_view bytes, size_t& at, std::string_view& text) {
  if (bytes.size() < at + 4)
    return false;
  const uint32_t length = GetUint32(bytes, at);
  if (bytes.size() - at - 4 < length)
    return false;
  text = bytes.substr(at + 4, length);
  at += 4 + length;
  return true;
}

RemoteEntry EntryOf(const LIBSSH2_SFTP_ATTRIBUTES& attributes) {
  RemoteEntry entry;
  entry.timeKind = ListedTime::kUtc;
  if (attributes.flags & LIBSSH2_SFTP_ATTR_PERMISSIONS) {
    const unsigned long type = attributes.permissions & LIBSSH2_SFTP_S_IFMT;
    entry.isDir = type == LIBSSH2_SFTP_S_IFDIR;
    entry.isLink = type == LIBSSH2_SFTP_S_IFLNK;
    if (type == LIBSSH2_SFTP_S_IFREG && (attributes.flags & LIBSSH2_SFTP_ATTR_SIZE))
      entry.size = static_cast<int64_t>(attributes.filesize);
  }
  if (attributes.flags & LIBSSH2_SFTP_ATTR_ACMODTIME)
    entry.lastWriteTime = static_cast<int64_t>(attributes.mtime);
  return entry;
}

std::string FolderOf(std::string_view path) {
  const size_t slash = path.rfind('/');
  if (slash == std::string_view::npos)
    return {};
  return std::string(path.substr(0, slash == 0 ? 1 : slash));
}

std::string JoinName(const std::string& folder, std::string_view name) {
  if (folder.empty())
    return std::string(name);
  return folder.back() == '/' ? folder + std::string(name) : folder + "/" + std::string(name);
}

}  // namespace

struct SftpConnection::State {
  SshConnection ssh;
  LIBSSH2_SFTP* sftp = nullptr;
  // A second SFTP channel of the same connection for the requests the
  // library does not make (posix-rename@openssh.com), opened when first
  // needed; none when the server refused it.
  LIBSSH2_CHANNEL* extensions = nullptr;
  bool extensionsAsked = false;
  bool posixRename = false;
  uint32_t nextExtensionId = 1;

  ~State() {
    // After a drop the library cannot end SFTP in order (a handle may still
    // wait on writes): the session goes whole, and the few bytes of the
    // SFTP state with it are not freed.
    if (!ssh.IsOpen())
      return;
    if (extensions != nullptr)
      libssh2_channel_free(extensions);
    if (sftp != nullptr)
      libssh2_sftp_shutdown(sftp);
  }

  // Repeats `call` while it would block, waiting on the socket between
  // tries. A failed wait gives its status in `waited` and the call's last
  // result.
  template <typename Call>
  auto Repeat(Call call, FtpStatus& waited) -> decltype(call()) {
    for (;;) {
      auto rc = call();
      if constexpr (std::is_pointer_v<decltype(rc)>) {
        if (rc != nullptr || libssh2_session_last_errno(ssh.session()) != LIBSSH2_ERROR_EAGAIN) {
          return rc;
        }
      } else {
        if (rc != LIBSSH2_ERROR_EAGAIN)
          return rc;
      }
      if (waited = ssh.Wait(); !waited.ok())
        return rc;
    }
  }

  // The status of a call that gave `rc` on `path`.
  FtpStatus Failure(int rc, std::string_view what, std::string_view path) const {
    const std::string operation = std::string(what) + " " + std::string(path);
    if (rc == LIBSSH2_ERROR_SFTP_PROTOCOL && sftp != nullptr) {
      const unsigned long code = libssh2_sftp_last_error(sftp);
      return FtpStatus::Error(
          FtpErrorKind::kServerReply,
          operation + ": SFTP status " + std::to_string(code) + ", " + StatusName(code));
    }
    return ssh.SessionError(operation);
  }

  bool LastStatusIs(unsigned long code) const {
    return sftp != nullptr && libssh2_sftp_last_error(sftp) == code;
  }

  FtpStatus OpenExtensions();
  // posix-rename@openssh.com on the extension channel, which must be open.
  FtpStatus PosixRename(std::string_view from, std::string_view to, const std::string& what);
  // Sends `packet` (a whole SFTP packet with its length) on the extension
  // channel and reads one reply packet into `reply` (its type onwards).
  FtpStatus Exchange(const std::string& packet, std::string& reply);
};

FtpStatus SftpConnection::State::Exchange(const std::string& packet, std::string& reply) {
  FtpStatus waited;
  for (size_t sent = 0; sent < packet.size();) {
    const ssize_t rc = Repeat(
        [&] {
          return libssh2_channel_write(extensions, packet.data() + sent, packet.size() - sent);
        },
        waited);
    if (!waited.ok())
      return waited;
    if (rc < 0)
      return ssh.SessionError("SFTP request");
    sent += static_cast<size_t>(rc);
  }
  std::string received;
  char buffer[4096];
  for (;;) {
    if (received.size() >= 4 && received.size() - 4 >= GetUint32(received, 0))
      break;
    const ssize_t rc =
        Repeat([&] { return libssh2_channel_read(extensions, buffer, sizeof buffer); }, waited);
    if (!waited.ok())
      return waited;
    if (rc < 0)
      return ssh.SessionError("SFTP reply");
    if (rc == 0)
      return FtpStatus::Error(FtpErrorKind::kNotConnected, "The SFTP channel was closed.");
    received.append(buffer, static_cast<size_t>(rc));
    if (received.size() > 256 * 1024)
      return FtpStatus::Error(FtpErrorKind::kProtocol, "An SFTP reply was too long.");
  }
  reply = received.substr(4, GetUint32(received, 0));
  return FtpStatus::Ok();
}

FtpStatus SftpConnection::State::PosixRename(std::string_view from, std::string_view to,
                                             const std::string& what) {
  // SSH_FXP_EXTENDED "posix-rename@openssh.com": rename(2) on the server,
  // which replaces the old file in one step.
  std::string request;
  request += '\xc8';
  PutUint32(request, nextExtensionId++);
  PutString(request, "posix-rename@openssh.com");
  PutString(request, from);
  PutString(request, to);
  std::string packet;
  PutUint32(packet, static_cast<uint32_t>(request.size()));
  packet += request;
  std::string reply;
  if (FtpStatus status = Exchange(packet, reply); !status.ok())
    return status;
  // SSH_FXP_STATUS: id, code, message, language.
  const std::string operation = what + " " + std::string(to);
  if (reply.size() < 9 || reply[0] != '\x65') {
    return FtpStatus::Error(FtpErrorKind::kProtocol,
                            operation + ": the server's reply was no status.");
  }
  const uint32_t code = GetUint32(reply, 5);
  if (code == LIBSSH2_FX_OK)
    return FtpStatus::Ok();
  size_t at = 9;
  std::string_view message;
  std::string text = operation + ": SFTP status " + std::to_string(code) + ", " + StatusName(code);
  if (GetString(reply, at, message) && !message.empty())
    text += " (" + std::string(message) + ")";
  return FtpStatus::Error(FtpErrorKind::kServerReply, text);
}

FtpStatus SftpConnection::State::OpenExtensions() {
  extensionsAsked = true;
  FtpStatus waited;
  extensions = Repeat([&] { return libssh2_channel_open_session(ssh.session()); }, waited);
  if (!waited.ok())
    return waited;
  if (extensions == nullptr)
    return FtpStatus::Ok();  // the server takes one channel only (MaxSessions 1)
  const int rc =
      Repeat([&] { return libssh2_channel_process_startup(extensions, "subsystem", 9, "sftp", 4); },
             waited);
  if (!waited.ok())
    return waited;
  if (rc != 0) {
    libssh2_channel_free(extensions);
    extensions = nullptr;
    return FtpStatus::Ok();
  }
  // SSH_FXP_INIT, version 3; SSH_FXP_VERSION names the extensions.
  std::string init;
  PutUint32(init, 5);
  init += '\x01';
  PutUint32(init, 3);
  std::string reply;
  if (FtpStatus status = Exchange(init, reply); !status.ok())
    return status;
  if (reply.size() < 5 || reply[0] != '\x02')
    return FtpStatus::Error(FtpErrorKind::kProtocol, "The SFTP server did not give its version.");
  for (size_t at = 5; at < reply.size();) {
    std::string_view name;
    std::string_view data;
    if (!GetString(reply, at, name) || !GetString(reply, at, data))
      break;
    if (name == "posix-rename@openssh.com" && data == "1")
      posixRename = true;
  }
  return FtpStatus::Ok();
}

SftpConnection::SftpConnection() = default;
SftpConnection::~SftpConnection() {
  Close();
}
SftpConnection::SftpConnection(SftpConnection&&) noexcept = default;
SftpConnection& SftpConnection::operator=(SftpConnection&& other) noexcept {
  if (this != &other) {
    Close();
    state_ = std::move(other.state_);
  }
  return *this;
}

FtpStatus SftpConnection::Connect(const std::string& host, uint16_t port, const std::string& user,
                                  const std::string& password, const SshConnectOptions& options) {
  Close();
  auto state = std::make_unique<State>();
  if (FtpStatus status = state->ssh.Connect(host, port, user, password, options); !status.ok()) {
    state_ = std::move(state);  // closed, but ssh() still shows the host key
    return status;
  }
  FtpStatus waited;
  state->sftp = state->Repeat([&] { return libssh2_sftp_init(state->ssh.session()); }, waited);
  if (!waited.ok())
    return waited;
  if (state->sftp == nullptr) {
    FtpStatus status = state->ssh.SessionError("Starting SFTP");
    if (libssh2_session_last_errno(state->ssh.session()) == LIBSSH2_ERROR_CHANNEL_FAILURE) {
      status.kind = FtpErrorKind::kServerReply;
      status.text += " (the server may take only so many sessions at once)";
    }
    return status;
  }
  state_ = std::move(state);
  return FtpStatus::Ok();
}

bool SftpConnection::IsOpen() const {
  return state_ && state_->sftp != nullptr && state_->ssh.IsOpen();
}

const SshConnection& SftpConnection::ssh() const {
  static const SshConnection kClosed;
  return state_ ? state_->ssh : kClosed;
}

void SftpConnection::SetCancelCheck(std::function<bool()> check) {
  if (state_)
    state_->ssh.SetCancelCheck(std::move(check));
}

namespace {

FtpStatus NotConnected(std::string_view what) {
  return FtpStatus::Error(FtpErrorKind::kNotConnected,
                          std::string(what) + ": the SFTP connection is closed or was lost.");
}

// A path fit to be sent: valid UTF-8 without escaped server bytes.
bool Sendable(std::string_view path) {
  return IsValidUtf8(path) && ftp::IsReadableServerName(path) &&
         path.find('\0') == std::string_view::npos;
}

FtpStatus NotSendable(std::string_view what, std::string_view path) {
  return FtpStatus::Error(
      FtpErrorKind::kNameNotRepresentable,
      std::string(what) + ": the name cannot be sent as UTF-8: " + std::string(path));
}

}  // namespace

FtpStatus SftpConnection::Stat(std::string_view path, RemoteEntry& entry, bool followLinks) {
  if (!IsOpen())
    return NotConnected("stat");
  if (!Sendable(path))
    return NotSendable("stat", path);
  LIBSSH2_SFTP_ATTRIBUTES attributes{};
  FtpStatus waited;
  const int rc = state_->Repeat(
      [&] {
        return libssh2_sftp_stat_ex(
            state_->sftp, path.data(), static_cast<unsigned int>(path.size()),
            followLinks ? LIBSSH2_SFTP_STAT : LIBSSH2_SFTP_LSTAT, &attributes);
      },
      waited);
  if (!waited.ok())
    return waited;
  if (rc != 0)
    return state_->Failure(rc, followLinks ? "stat" : "lstat", path);
  entry = EntryOf(attributes);
  return FtpStatus::Ok();
}

FtpStatus SftpConnection::ReadFolder(std::string_view path, std::vector<RemoteEntry>& entries) {
  entries.clear();
  if (!IsOpen())
    return NotConnected("opendir");
  const std::string folder = path.empty() ? "." : std::string(path);
  if (!Sendable(folder))
    return NotSendable("opendir", folder);
  FtpStatus waited;
  LIBSSH2_SFTP_HANDLE* handle = state_->Repeat(
      [&] {
        return libssh2_sftp_open_ex(state_->sftp, folder.data(),
                                    static_cast<unsigned int>(folder.size()), 0, 0,
                                    LIBSSH2_SFTP_OPENDIR);
      },
      waited);
  if (!waited.ok())
    return waited;
  if (handle == nullptr)
    return state_->Failure(LIBSSH2_ERROR_SFTP_PROTOCOL, "opendir", folder);

  std::vector<char> name(kMaxNameBytes + 1);
  FtpStatus status;
  for (;;) {
    LIBSSH2_SFTP_ATTRIBUTES attributes{};
    const int rc = state_->Repeat(
        [&] {
          return libssh2_sftp_readdir_ex(handle, name.data(), name.size() - 1, nullptr, 0,
                                         &attributes);
        },
        waited);
    if (!waited.ok())
      return waited;  // the connection is gone, and the handle with it
    if (rc == 0)
      break;
    if (rc < 0) {
      status = state_->Failure(rc, "readdir", folder);
      break;
    }
    const std::string_view serverName(name.data(), static_cast<size_t>(rc));
    if (serverName == "." || serverName == "..")
      continue;
    RemoteEntry entry = EntryOf(attributes);
    entry.name = ftp::DecodeServerName(NameEncoding::kUtf8, serverName);
    entries.push_back(std::move(entry));
  }
  state_->Repeat([&] { return libssh2_sftp_close_handle(handle); }, waited);
  if (!waited.ok())
    return waited;
  return status;
}

FtpStatus SftpConnection::CreateFolder(std::string_view path) {
  if (!IsOpen())
    return NotConnected("mkdir");
  if (!Sendable(path))
    return NotSendable("mkdir", path);
  FtpStatus waited;
  const int rc = state_->Repeat(
      [&] {
        return libssh2_sftp_mkdir_ex(state_->sftp, path.data(),
                                     static_cast<unsigned int>(path.size()), 0755);
      },
      waited);
  if (!waited.ok())
    return waited;
  return rc == 0 ? FtpStatus::Ok() : state_->Failure(rc, "mkdir", path);
}

FtpStatus SftpConnection::RemoveFolder(std::string_view path) {
  if (!IsOpen())
    return NotConnected("rmdir");
  if (!Sendable(path))
    return NotSendable("rmdir", path);
  FtpStatus waited;
  const int rc = state_->Repeat(
      [&] {
        return libssh2_sftp_rmdir_ex(state_->sftp, path.data(),
                                     static_cast<unsigned int>(path.size()));
      },
      waited);
  if (!waited.ok())
    return waited;
  return rc == 0 ? FtpStatus::Ok() : state_->Failure(rc, "rmdir", path);
}

FtpStatus SftpConnection::DeleteFile(std::string_view path) {
  if (!IsOpen())
    return NotConnected("remove");
  if (!Sendable(path))
    return NotSendable("remove", path);
  FtpStatus waited;
  const int rc = state_->Repeat(
      [&] {
        return libssh2_sftp_unlink_ex(state_->sftp, path.data(),
                                      static_cast<unsigned int>(path.size()));
      },
      waited);
  if (!waited.ok())
    return waited;
  return rc == 0 ? FtpStatus::Ok() : state_->Failure(rc, "remove", path);
}

bool SftpConnection::OffersPosixRename() {
  if (!IsOpen())
    return false;
  if (!state_->extensionsAsked)
    state_->OpenExtensions();
  return state_->posixRename && state_->extensions != nullptr;
}

FtpStatus SftpConnection::Rename(std::string_view from, std::string_view to, bool replace) {
  if (!IsOpen())
    return NotConnected("rename");
  if (!Sendable(from))
    return NotSendable("rename", from);
  if (!Sendable(to))
    return NotSendable("rename", to);
  const std::string what = "rename " + std::string(from) + " to";
  if (replace && OffersPosixRename())
    return state_->PosixRename(from, to, what);
  FtpStatus waited;
  auto rename = [&] {
    return state_->Repeat(
        [&] {
          return libssh2_sftp_rename_ex(state_->sftp, from.data(),
                                        static_cast<unsigned int>(from.size()), to.data(),
                                        static_cast<unsigned int>(to.size()),
                                        LIBSSH2_SFTP_RENAME_OVERWRITE | LIBSSH2_SFTP_RENAME_ATOMIC |
                                            LIBSSH2_SFTP_RENAME_NATIVE);
        },
        waited);
  };
  int rc = rename();
  if (!waited.ok())
    return waited;
  if (rc != 0 && state_->LastStatusIs(LIBSSH2_FX_FAILURE)) {
    // SFTP 3's rename keeps an existing file (OpenSSH links the new name):
    // a file that came to be there meanwhile is replaced all the same.
    RemoteEntry existing;
    if (!replace && !(Stat(to, existing).ok() && !existing.isDir))
      return state_->Failure(rc, what, to);
    if (OffersPosixRename())
      return state_->PosixRename(from, to, what);
    if (FtpStatus removed = DeleteFile(to); !removed.ok())
      return removed;
    rc = rename();
    if (!waited.ok())
      return waited;
  }
  return rc == 0 ? FtpStatus::Ok() : state_->Failure(rc, what, to);
}

FtpStatus SftpConnection::PutFile(const std::string& localPath, std::string_view remotePath,
                                  const std::function<void(int64_t)>& progress,
                                  const SftpStoreOptions& options) {
  if (!IsOpen())
    return NotConnected("put");
  if (!Sendable(remotePath))
    return NotSendable("put", remotePath);
  // Opened without blocking, so that a FIFO does not hold the run.
  const UniqueFd file(open(localPath.c_str(), O_RDONLY | O_NONBLOCK | O_CLOEXEC));
  struct stat local;
  if (!file.valid() || fstat(file.get(), &local) != 0)
    return FtpStatus::Error(FtpErrorKind::kSystem, localPath + ": " + ftp::SystemErrorText(errno));
  if (!S_ISREG(local.st_mode))
    return FtpStatus::Error(FtpErrorKind::kSystem, localPath + ": not a regular file");

  const std::string target = options.temporaryName.empty()
                                 ? std::string(remotePath)
                                 : JoinName(FolderOf(remotePath), options.temporaryName);
  FtpStatus waited;
  LIBSSH2_SFTP_HANDLE* handle = state_->Repeat(
      [&] {
        return libssh2_sftp_open_ex(
            state_->sftp, target.data(), static_cast<unsigned int>(target.size()),
            LIBSSH2_FXF_WRITE | LIBSSH2_FXF_CREAT | LIBSSH2_FXF_TRUNC, 0644, LIBSSH2_SFTP_OPENFILE);
      },
      waited);
  if (!waited.ok())
    return waited;
  if (handle == nullptr)
    return state_->Failure(LIBSSH2_ERROR_SFTP_PROTOCOL, "open", target);

  // The library makes one request of each 30,000 bytes handed to it and
  // gives back how many the server has acknowledged; the next call must
  // begin with the first byte not yet acknowledged. So the buffer slides:
  // acknowledged bytes leave its front, the file's next bytes fill its end.
  // A small file takes no more room than it needs: several connections
  // upload at once.
  std::vector<char> buffer(static_cast<size_t>(
      std::clamp<off_t>(local.st_size + 1, off_t{32 * 1024}, off_t{kUploadWindow})));
  size_t filled = 0;
  bool endOfFile = false;
  int64_t sent = 0;
  auto nextCancelCheck = Clock::now() + ftp::kCancelCheckEvery;
  FtpStatus status;
  while (status.ok()) {
    while (!endOfFile && filled < buffer.size()) {
      const ssize_t got = read(file.get(), buffer.data() + filled, buffer.size() - filled);
      if (got < 0 && errno == EINTR)
        continue;
      if (got < 0) {
        status =
            FtpStatus::Error(FtpErrorKind::kSystem, localPath + ": " + ftp::SystemErrorText(errno));
        break;
      }
      endOfFile = got == 0;
      filled += static_cast<size_t>(got);
    }
    if (!status.ok() || filled == 0)
      break;
    const ssize_t rc =
        state_->Repeat([&] { return libssh2_sftp_write(handle, buffer.data(), filled); }, waited);
    if (!waited.ok())
      return waited;  // dropped: the handle went with the connection
    if (rc < 0) {
      status = state_->Failure(static_cast<int>(rc), "write", target);
      break;
    }
    const auto taken = static_cast<size_t>(rc);
    std::memmove(buffer.data(), buffer.data() + taken, filled - taken);
    filled -= taken;
    sent += static_cast<int64_t>(taken);
    if (progress && taken > 0)
      progress(sent);
    // A line that never makes us wait would otherwise never be asked.
    if (Clock::now() >= nextCancelCheck) {
      if (FtpStatus canceled = state_->ssh.CheckCanceled(); !canceled.ok())
        return canceled;
      nextCancelCheck = Clock::now() + ftp::kCancelCheckEvery;
    }
  }
  buffer = {};

  if (status.ok()) {
    // The server's file gets the local file's time, exactly.
    LIBSSH2_SFTP_ATTRIBUTES attributes{};
    attributes.flags = LIBSSH2_SFTP_ATTR_ACMODTIME;
    attributes.atime = static_cast<unsigned long>(local.st_mtime);
    attributes.mtime = static_cast<unsigned long>(local.st_mtime);
    const int rc =
        state_->Repeat([&] { return libssh2_sftp_fstat_ex(handle, &attributes, 1); }, waited);
    if (!waited.ok())
      return waited;
    if (rc != 0)
      status = state_->Failure(rc, "setstat", target);
  }
  const int closed = state_->Repeat([&] { return libssh2_sftp_close_handle(handle); }, waited);
  if (!waited.ok())
    return waited;
  if (status.ok() && closed != 0)
    status = state_->Failure(closed, "close", target);

  if (status.ok() && !options.temporaryName.empty())
    status = Rename(target, remotePath, options.replacing);
  if (!status.ok() && !options.temporaryName.empty() && IsOpen()) {
    // A part of a file never stays behind under its temporary name.
    DeleteFile(target);
  }
  return status;
}

void SftpConnection::Close() {
  if (!state_)
    return;
  if (state_->ssh.IsOpen()) {
    FtpStatus waited;
    if (state_->extensions != nullptr) {
      state_->Repeat([&] { return libssh2_channel_close(state_->extensions); }, waited);
      libssh2_channel_free(state_->extensions);
      state_->extensions = nullptr;
    }
    if (waited.ok() && state_->sftp != nullptr) {
      state_->Repeat([&] { return libssh2_sftp_shutdown(state_->sftp); }, waited);
      state_->sftp = nullptr;
    }
  }
  state_->ssh.Close();
  state_.reset();
}

}  // namespace velmorix::sftp
