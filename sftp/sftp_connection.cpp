#include "sftp/sftp_connection.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <deque>
#include <memory>
#include <utility>

#include "base/unique_fd.h"
#include "base/utf8.h"
#include "ftp/name_codec.h"
#include "sftp/sftp_channel.h"
#include "sftp/sftp_wire.h"

namespace velmorix::sftp {
namespace {

using ftp::Clock;
using Reply = SftpChannel::Reply;

// The bytes of uploads in flight at once, as write requests of 32 KiB: 64
// of them, as OpenSSH's sftp keeps going, so a line with a long round trip
// stays full.
constexpr int64_t kUploadWindow = 2 * 1024 * 1024;
constexpr size_t kWriteChunk = 32 * 1024;
// Uploads left to go on at once (each holds its local file open), and the
// largest file left to go on: a larger one is waited for, so that its
// progress can be told as it goes.
constexpr size_t kMaxPutsUnderWay = 32;
constexpr int64_t kLargestLeftFile = 1024 * 1024;
// Listing requests in flight at once for one folder.
constexpr int kReadsAhead = 2;

constexpr std::string_view kPosixRename = "posix-rename@openssh.com";

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

// One upload as it goes: open, writes, time, close, then (under a
// temporary name) the rename, each step started by the last one's reply.
struct Put {
  std::string localPath;
  std::string path;    // where it ends
  std::string target;  // where it is written
  bool temporary = false;
  bool replacing = false;
  UniqueFd file;
  int64_t modified = 0;
  std::function<void(int64_t)> progress;
  bool reported = true;  // told by TakeFinishedPuts

  enum class Stage { kOpening, kWriting, kClosing, kRenaming, kDone } stage = Stage::kOpening;
  std::string handle;
  int64_t offset = 0;  // bytes read from the file and sent
  int64_t taken = 0;   // bytes the server has written
  bool endOfFile = false;
  int waiting = 0;  // requests of this upload without their reply
  bool renameAgain = false;
  bool renameRepeated = false;
  FtpStatus status;
};

}  // namespace

struct SftpConnection::State {
  SshConnection ssh;
  std::unique_ptr<SftpChannel> channel;
  bool posixRenameRefused = false;
  std::deque<std::unique_ptr<Put>> puts;
  int64_t writesInFlight = 0;     // bytes
  std::unique_ptr<char[]> chunk;  // a write's bytes as read from its file

  // The status of a reply that should have been a status, for `what` on
  // `path`: ok, or why not.
  FtpStatus StatusOf(const Reply& reply, std::string_view what, std::string_view path) const {
    if (reply.type == 0)
      return channel->failure();
    uint32_t code = 0;
    std::string message;
    if (reply.type != wire::kStatus || !wire::ParseStatus(reply.body, code, message)) {
      return FtpStatus::Error(FtpErrorKind::kProtocol, std::string(what) + " " + std::string(path) +
                                                           ": the server's reply was no status.");
    }
    if (code == wire::kOk)
      return FtpStatus::Ok();
    return FtpStatus::Error(FtpErrorKind::kServerReply,
                            wire::StatusText(what, path, code, message));
  }

  static uint32_t CodeOf(const Reply& reply) {
    uint32_t code = wire::kOk;
    std::string message;
    if (reply.type != wire::kStatus || !wire::ParseStatus(reply.body, code, message))
      return wire::kFailure;
    return code;
  }

  // A request that only says whether it worked.
  FtpStatus Simple(wire::Request request, uint32_t id, std::string_view what,
                   std::string_view path) {
    Reply reply;
    if (FtpStatus status = channel->Call(std::move(request).Finish(), id, reply); !status.ok())
      return status;
    return StatusOf(reply, what, path);
  }

  bool IsOpen() const { return channel && channel->failure().ok() && ssh.IsOpen(); }
  // The uploads that have not ended.
  size_t UnderWay() const {
    return static_cast<size_t>(std::count_if(
        puts.begin(), puts.end(), [](const auto& put) { return put->stage != Put::Stage::kDone; }));
  }

  bool OffersPosixRename() const {
    return channel && !posixRenameRefused && channel->Offers(kPosixRename, "1");
  }

  static wire::Request PosixRenameRequest(uint32_t id, std::string_view from, std::string_view to) {
    // rename(2) on the server: replaces an existing file in one step.
    return std::move(
        wire::Request(wire::kExtended, id).String(kPosixRename).String(from).String(to));
  }

  // Opens the local file and sends the open; null, with the status, when
  // the file cannot be sent (the local file, the name, the connection).
  Put* Start(const std::string& localPath, std::string_view remotePath,
             const SftpStoreOptions& options, int64_t& size, FtpStatus& status);
  // The upload's steps, each called when the replies it waits for have come.
  void Feed();
  void Advance(Put& put);
  void Rename(Put& put);
  void Finish(Put& put);
  // Sends a request of `put` whose reply goes to `then`, after which the
  // upload goes on. On a failed channel nothing is sent: the upload has
  // failed.
  void Step(Put& put, wire::Request request, uint32_t id, std::function<void(Reply&&)> then) {
    if (!channel->failure().ok()) {
      Fault(put, channel->failure());
      return;
    }
    ++put.waiting;
    channel->Send(std::move(request).Finish(), id,
                  [this, &put, then = std::move(then)](Reply&& reply) {
                    --put.waiting;
                    then(std::move(reply));
                    Advance(put);
                  });
  }
  static void Fault(Put& put, FtpStatus status) {
    if (put.status.ok())
      put.status = std::move(status);
  }
  // Ends every upload under way with `status` (the connection is gone).
  void FailAll(const FtpStatus& status);
  // Waits until `put` has ended.
  void WaitFor(const Put& put);
};

Put* SftpConnection::State::Start(const std::string& localPath, std::string_view remotePath,
                                  const SftpStoreOptions& options, int64_t& size,
                                  FtpStatus& status) {
  if (!IsOpen()) {
    status = NotConnected("put");
    return nullptr;
  }
  if (!Sendable(remotePath)) {
    status = NotSendable("put", remotePath);
    return nullptr;
  }
  // Opened without blocking, so that a FIFO does not hold the run.
  UniqueFd file(open(localPath.c_str(), O_RDONLY | O_NONBLOCK | O_CLOEXEC));
  struct stat local;
  if (!file.valid() || fstat(file.get(), &local) != 0) {
    status =
        FtpStatus::Error(FtpErrorKind::kSystem, localPath + ": " + ftp::SystemErrorText(errno));
    return nullptr;
  }
  if (!S_ISREG(local.st_mode)) {
    status = FtpStatus::Error(FtpErrorKind::kSystem, localPath + ": not a regular file");
    return nullptr;
  }
  // Room first: the uploads left going are bounded.
  while (UnderWay() >= kMaxPutsUnderWay) {
    if (FtpStatus pumped = channel->Pump(true); !pumped.ok()) {
      FailAll(pumped);
      status = pumped;
      return nullptr;
    }
  }
  auto owned = std::make_unique<Put>();
  Put& put = *owned;
  put.localPath = localPath;
  put.path.assign(remotePath);
  put.temporary = !options.temporaryName.empty();
  put.target = put.temporary ? JoinName(FolderOf(remotePath), options.temporaryName) : put.path;
  put.replacing = options.replacing;
  put.file = std::move(file);
  put.modified = static_cast<int64_t>(local.st_mtime);
  size = static_cast<int64_t>(local.st_size);
  puts.push_back(std::move(owned));

  const uint32_t id = channel->NextId();
  Step(put,
       std::move(wire::Request(wire::kOpen, id)
                     .String(put.target)
                     .Uint32(wire::kOpenWrite | wire::kOpenCreate | wire::kOpenTruncate)
                     .Permissions(0644)),
       id, [this, &put](Reply&& reply) {
         std::string_view handle;
         if (reply.type == wire::kHandle && wire::Reader(reply.body).String(handle)) {
           put.handle.assign(handle);
           put.stage = Put::Stage::kWriting;
         } else if (reply.type == wire::kHandle) {
           Fault(put,
                 FtpStatus::Error(FtpErrorKind::kProtocol,
                                  "open " + put.target + ": the server's handle was malformed."));
         } else {
           Fault(put, StatusOf(reply, "open", put.target));
         }
       });
  status = FtpStatus::Ok();
  return &put;
}

void SftpConnection::State::Feed() {
  for (const std::unique_ptr<Put>& each : puts) {
    if (writesInFlight >= kUploadWindow)
      break;
    Put& put = *each;
    if (put.stage != Put::Stage::kWriting)
      continue;
    while (put.status.ok() && !put.endOfFile && writesInFlight < kUploadWindow) {
      if (!chunk)
        chunk = std::make_unique<char[]>(kWriteChunk);
      ssize_t got;
      do {
        got = read(put.file.get(), chunk.get(), kWriteChunk);
      } while (got < 0 && errno == EINTR);
      if (got < 0) {
        Fault(put, FtpStatus::Error(FtpErrorKind::kSystem,
                                    put.localPath + ": " + ftp::SystemErrorText(errno)));
        break;
      }
      if (got == 0) {
        put.endOfFile = true;
        break;
      }
      const uint32_t id = channel->NextId();
      const int64_t bytes = got;
      writesInFlight += bytes;
      const uint64_t offset = static_cast<uint64_t>(put.offset);
      put.offset += bytes;
      Step(put,
           std::move(wire::Request(wire::kWrite, id)
                         .String(put.handle)
                         .Uint64(offset)
                         .String({chunk.get(), static_cast<size_t>(got)})),
           id, [this, &put, bytes](Reply&& reply) {
             writesInFlight -= bytes;
             if (FtpStatus status = StatusOf(reply, "write", put.target); !status.ok()) {
               Fault(put, std::move(status));
               return;
             }
             put.taken += bytes;
             if (put.progress)
               put.progress(put.taken);
           });
    }
    if (put.stage == Put::Stage::kWriting && (put.endOfFile || !put.status.ok())) {
      put.stage = Put::Stage::kClosing;
      if (put.status.ok()) {
        // The server's file gets the local file's time, exactly; the server
        // takes the requests in order, so after the last write.
        const uint32_t id = channel->NextId();
        Step(put,
             std::move(wire::Request(wire::kFsetstat, id)
                           .String(put.handle)
                           .Times(put.modified, put.modified)),
             id, [this, &put](Reply&& reply) {
               if (FtpStatus status = StatusOf(reply, "setstat", put.target); !status.ok())
                 Fault(put, std::move(status));
             });
      }
      const uint32_t id = channel->NextId();
      Step(put, wire::Request(wire::kClose, id).String(put.handle), id,
           [this, &put](Reply&& reply) {
             if (FtpStatus status = StatusOf(reply, "close", put.target); !status.ok())
               Fault(put, std::move(status));
           });
    }
  }
}

void SftpConnection::State::Advance(Put& put) {
  switch (put.stage) {
    case Put::Stage::kOpening:
      if (put.waiting == 0)
        Finish(put);  // the open was refused
      return;
    case Put::Stage::kWriting:
      Feed();
      return;
    case Put::Stage::kClosing:
      if (put.waiting > 0)
        return;
      if (put.status.ok() && put.temporary) {
        Rename(put);
      } else {
        Finish(put);
      }
      return;
    case Put::Stage::kRenaming:
      if (put.waiting > 0)
        return;
      if (put.renameAgain && put.status.ok()) {
        Rename(put);
      } else {
        Finish(put);
      }
      return;
    case Put::Stage::kDone:
      return;
  }
}

void SftpConnection::State::Rename(Put& put) {
  put.stage = Put::Stage::kRenaming;
  put.renameAgain = false;
  const std::string what = "rename " + put.target + " to";
  if (OffersPosixRename()) {
    const uint32_t id = channel->NextId();
    Step(put, PosixRenameRequest(id, put.target, put.path), id, [this, &put, what](Reply&& reply) {
      if (reply.type != 0 && CodeOf(reply) == wire::kOpUnsupported) {
        // Named in the version, refused when asked: the plain way, from
        // now on.
        posixRenameRefused = true;
        put.renameAgain = true;
        return;
      }
      if (FtpStatus status = StatusOf(reply, what, put.path); !status.ok())
        Fault(put, std::move(status));
    });
    return;
  }
  // SFTP 3's rename keeps an existing file (OpenSSH links the new name):
  // one known to be there is removed first, and so is one that came to be
  // there meanwhile, when the rename was refused for it. A folder of the
  // name is never removed: the remove takes files only.
  if (put.replacing || put.renameRepeated) {
    const uint32_t id = channel->NextId();
    channel->Send(wire::Request(wire::kRemove, id).String(put.path).Finish(), id);
  }
  const uint32_t id = channel->NextId();
  Step(put, std::move(wire::Request(wire::kRename, id).String(put.target).String(put.path)), id,
       [this, &put, what](Reply&& reply) {
         if (reply.type != 0 && CodeOf(reply) == wire::kFailure && !put.replacing &&
             !put.renameRepeated) {
           put.renameRepeated = true;
           put.renameAgain = true;
           return;
         }
         if (FtpStatus status = StatusOf(reply, what, put.path); !status.ok())
           Fault(put, std::move(status));
       });
}

void SftpConnection::State::Finish(Put& put) {
  // A part of a file never stays behind under its temporary name.
  if (!put.status.ok() && put.temporary && !put.handle.empty() && channel->failure().ok()) {
    const uint32_t id = channel->NextId();
    channel->Send(wire::Request(wire::kRemove, id).String(put.target).Finish(), id);
  }
  put.stage = Put::Stage::kDone;
  put.file = UniqueFd();
}

void SftpConnection::State::FailAll(const FtpStatus& status) {
  for (const std::unique_ptr<Put>& put : puts) {
    if (put->stage == Put::Stage::kDone)
      continue;
    Fault(*put, status);
    put->waiting = 0;
    Finish(*put);
  }
}

void SftpConnection::State::WaitFor(const Put& put) {
  // Asked between waits too, since a line that never makes us wait would
  // never be asked, and before the first: a run canceled meanwhile does not
  // wait.
  auto nextCancelCheck = Clock::now();
  while (put.stage != Put::Stage::kDone) {
    if (Clock::now() >= nextCancelCheck) {
      if (FtpStatus canceled = ssh.CheckCanceled(); !canceled.ok()) {
        FailAll(channel->Abandon(canceled));
        return;
      }
      nextCancelCheck = Clock::now() + ftp::kCancelCheckEvery;
    }
    if (FtpStatus status = channel->Pump(true); !status.ok()) {
      FailAll(status);
      return;
    }
    if (channel->Idle() && put.stage != Put::Stage::kDone) {
      FailAll(FtpStatus::Error(FtpErrorKind::kProtocol, put.path + ": the upload stalled."));
      return;
    }
  }
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
  state->channel = std::make_unique<SftpChannel>(state->ssh);
  if (FtpStatus status = state->channel->Open(); !status.ok()) {
    state->channel.reset();
    state->ssh.Drop();
    return status;
  }
  state_ = std::move(state);
  return FtpStatus::Ok();
}

bool SftpConnection::IsOpen() const {
  return state_ && state_->IsOpen();
}

const SshConnection& SftpConnection::ssh() const {
  static const SshConnection kClosed;
  return state_ ? state_->ssh : kClosed;
}

void SftpConnection::SetCancelCheck(std::function<bool()> check) {
  if (state_)
    state_->ssh.SetCancelCheck(std::move(check));
}

FtpStatus SftpConnection::Stat(std::string_view path, RemoteEntry& entry, bool followLinks) {
  const char* what = followLinks ? "stat" : "lstat";
  if (!IsOpen())
    return NotConnected(what);
  if (!Sendable(path))
    return NotSendable(what, path);
  SftpChannel& channel = *state_->channel;
  const uint32_t id = channel.NextId();
  Reply reply;
  if (FtpStatus status = channel.Call(
          wire::Request(followLinks ? wire::kStat : wire::kLstat, id).String(path).Finish(), id,
          reply);
      !status.ok()) {
    return status;
  }
  if (reply.type != wire::kAttrs)
    return state_->StatusOf(reply, what, path);
  RemoteEntry found;
  if (!wire::Reader(reply.body).Attributes(found)) {
    return FtpStatus::Error(
        FtpErrorKind::kProtocol,
        std::string(what) + " " + std::string(path) + ": the server's attributes were malformed.");
  }
  entry = std::move(found);
  return FtpStatus::Ok();
}

FtpStatus SftpConnection::ReadFolder(std::string_view path, std::vector<RemoteEntry>& entries) {
  entries.clear();
  if (!IsOpen())
    return NotConnected("opendir");
  const std::string folder = path.empty() ? "." : std::string(path);
  if (!Sendable(folder))
    return NotSendable("opendir", folder);
  SftpChannel& channel = *state_->channel;
  uint32_t id = channel.NextId();
  Reply reply;
  if (FtpStatus status =
          channel.Call(wire::Request(wire::kOpendir, id).String(folder).Finish(), id, reply);
      !status.ok()) {
    return status;
  }
  std::string_view handleBytes;
  if (reply.type != wire::kHandle || !wire::Reader(reply.body).String(handleBytes))
    return state_->StatusOf(reply, "opendir", folder);
  const std::string handle(handleBytes);

  // The next batches are asked for before the last has come; the replies
  // come in order. They are kept where a reply that comes after the
  // listing has ended can still be put.
  struct Batches {
    std::deque<std::pair<uint32_t, std::optional<Reply>>> asked;
  };
  auto batches = std::make_shared<Batches>();
  auto ask = [&] {
    const uint32_t next = channel.NextId();
    batches->asked.emplace_back(next, std::nullopt);
    channel.Send(wire::Request(wire::kReaddir, next).String(handle).Finish(), next,
                 [batches, next](Reply&& r) {
                   for (auto& [asked, came] : batches->asked) {
                     if (asked == next)
                       came = std::move(r);
                   }
                 });
  };
  for (int i = 0; i < kReadsAhead; ++i)
    ask();
  FtpStatus status;
  for (;;) {
    while (!batches->asked.front().second) {
      if (FtpStatus pumped = channel.Pump(true); !pumped.ok())
        return pumped;  // the handle went with the connection
    }
    Reply batch = std::move(*batches->asked.front().second);
    batches->asked.pop_front();
    if (batch.type != wire::kName) {
      if (state_->CodeOf(batch) != wire::kEof || batch.type != wire::kStatus)
        status = state_->StatusOf(batch, "readdir", folder);
      break;
    }
    ask();
    wire::Reader reader(batch.body);
    uint32_t count = 0;
    bool sound = reader.Uint32(count);
    for (uint32_t i = 0; sound && i < count; ++i) {
      std::string_view name;
      std::string_view longName;
      RemoteEntry entry;
      sound = reader.String(name) && reader.String(longName) && reader.Attributes(entry);
      if (!sound || name == "." || name == "..")
        continue;
      entry.name = ftp::DecodeServerName(NameEncoding::kUtf8, name);
      entries.push_back(std::move(entry));
    }
    if (!sound) {
      status = FtpStatus::Error(FtpErrorKind::kProtocol,
                                "readdir " + folder + ": the server's listing was malformed.");
      break;
    }
  }
  // The close goes without waiting for its reply: the next request follows
  // it anyway.
  id = channel.NextId();
  channel.Send(wire::Request(wire::kClose, id).String(handle).Finish(), id);
  if (!status.ok())
    entries.clear();
  return status;
}

FtpStatus SftpConnection::CreateFolder(std::string_view path) {
  if (!IsOpen())
    return NotConnected("mkdir");
  if (!Sendable(path))
    return NotSendable("mkdir", path);
  const uint32_t id = state_->channel->NextId();
  return state_->Simple(std::move(wire::Request(wire::kMkdir, id).String(path).Permissions(0755)),
                        id, "mkdir", path);
}

FtpStatus SftpConnection::RemoveFolder(std::string_view path) {
  if (!IsOpen())
    return NotConnected("rmdir");
  if (!Sendable(path))
    return NotSendable("rmdir", path);
  const uint32_t id = state_->channel->NextId();
  return state_->Simple(wire::Request(wire::kRmdir, id).String(path), id, "rmdir", path);
}

FtpStatus SftpConnection::DeleteFile(std::string_view path) {
  if (!IsOpen())
    return NotConnected("remove");
  if (!Sendable(path))
    return NotSendable("remove", path);
  const uint32_t id = state_->channel->NextId();
  return state_->Simple(wire::Request(wire::kRemove, id).String(path), id, "remove", path);
}

bool SftpConnection::OffersPosixRename() const {
  return IsOpen() && state_->OffersPosixRename();
}

FtpStatus SftpConnection::StartPut(const std::string& localPath, std::string_view remotePath,
                                   const std::function<void(int64_t)>& progress,
                                   const SftpStoreOptions& options) {
  if (!state_)
    return NotConnected("put");
  State& state = *state_;
  int64_t size = 0;
  FtpStatus status;
  Put* put = state.Start(localPath, remotePath, options, size, status);
  if (put == nullptr)
    return status;
  if (size <= kLargestLeftFile) {
    if (progress)
      progress(size);
    state.channel->Pump(false);
    return FtpStatus::Ok();
  }
  put->progress = progress;
  state.WaitFor(*put);
  put->progress = nullptr;
  if (!put->status.ok())
    put->reported = false;  // told by this call
  return put->status;
}

std::vector<CheckedUpload> SftpConnection::TakeFinishedPuts(bool wait) {
  std::vector<CheckedUpload> finished;
  if (!state_)
    return finished;
  State& state = *state_;
  if (state.channel) {
    if (wait) {
      for (const std::unique_ptr<Put>& put : state.puts)
        state.WaitFor(*put);
    } else if (FtpStatus status = state.channel->Pump(false); !status.ok()) {
      state.FailAll(status);
    }
  }
  while (!state.puts.empty() && state.puts.front()->stage == Put::Stage::kDone) {
    Put& put = *state.puts.front();
    if (put.reported)
      finished.push_back({put.path, put.status});
    state.puts.pop_front();
  }
  return finished;
}

void SftpConnection::BreakOffPuts() {
  if (!state_ || !state_->channel)
    return;
  State& state = *state_;
  if (state.UnderWay() == 0)
    return;
  state.FailAll(state.channel->Abandon(FtpStatus::Error(FtpErrorKind::kCanceled, "Canceled.")));
}

FtpStatus SftpConnection::PutFile(const std::string& localPath, std::string_view remotePath,
                                  const std::function<void(int64_t)>& progress,
                                  const SftpStoreOptions& options) {
  if (!state_)
    return NotConnected("put");
  State& state = *state_;
  int64_t size = 0;
  FtpStatus status;
  Put* put = state.Start(localPath, remotePath, options, size, status);
  if (put == nullptr)
    return status;
  put->progress = progress;
  state.WaitFor(*put);
  status = put->status;
  std::erase_if(state.puts, [put](const std::unique_ptr<Put>& each) { return each.get() == put; });
  return status;
}

void SftpConnection::Close() {
  if (!state_)
    return;
  if (state_->channel) {
    if (state_->ssh.IsOpen())
      state_->channel->Close();
    state_->channel.reset();
  }
  state_->puts.clear();
  state_->ssh.Close();
  state_.reset();
}

}  // namespace velmorix::sftp
