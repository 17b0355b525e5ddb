#include "engine/ftp_session/ftp_data_channel.h"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <poll.h>
#include <signal.h>
#include <sys/sendfile.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <ctime>
#include <vector>

#include "engine/ftp_session/ftp_messages.h"

namespace velmorix::ftp {

namespace {

// How long a listing whose final reply has come waits for the data
// connection the server made before it: that connection is already queued
// on our listener by then, so a short grace is plenty.
constexpr std::chrono::milliseconds kAcceptGraceAfterFinalReply{1000};

// sendfile(2) has no MSG_NOSIGNAL, and a server that goes away mid-upload
// would kill the process with SIGPIPE. Blocking the signal in this thread
// while the file is sent turns it into EPIPE; a SIGPIPE raised meanwhile is
// taken off the thread's pending set before the old mask returns.
class SigpipeBlock {
 public:
  SigpipeBlock() {
    sigemptyset(&sigpipe_);
    sigaddset(&sigpipe_, SIGPIPE);
    sigset_t pending;
    sigemptyset(&pending);
    sigpending(&pending);
    wasPending_ = sigismember(&pending, SIGPIPE) == 1;
    pthread_sigmask(SIG_BLOCK, &sigpipe_, &previous_);
  }
  ~SigpipeBlock() {
    if (raised_ && !wasPending_) {
      const timespec noWait{0, 0};
      while (sigtimedwait(&sigpipe_, nullptr, &noWait) < 0 && errno == EINTR) {
      }
    }
    pthread_sigmask(SIG_SETMASK, &previous_, nullptr);
  }
  SigpipeBlock(const SigpipeBlock&) = delete;
  SigpipeBlock& operator=(const SigpipeBlock&) = delete;

  void NoteRaised() { raised_ = true; }

 private:
  sigset_t sigpipe_;
  sigset_t previous_;
  bool wasPending_ = false;
  bool raised_ = false;
};

std::string PortCommand(const SocketAddress& bound) {
  const uint16_t port = bound.port();
  if (bound.family() == AF_INET) {
    const uint32_t ip =
        ntohl(reinterpret_cast<const sockaddr_in*>(&bound.storage)->sin_addr.s_addr);
    return "PORT " + std::to_string(ip >> 24) + "," + std::to_string((ip >> 16) & 255) + "," +
           std::to_string((ip >> 8) & 255) + "," + std::to_string(ip & 255) + "," +
           std::to_string(port >> 8) + "," + std::to_string(port & 255);
  }
  return "EPRT |2|" + bound.HostText() + "|" + std::to_string(port) + "|";
}

// Milliseconds from now until `deadline`, rounded up, at least 0.
int MillisecondsUntil(Deadline deadline) {
  const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - Clock::now());
  return left.count() < 0 ? 0 : static_cast<int>(std::min<int64_t>(left.count() + 1, 1 << 30));
}

// Applies a reply that came while a transfer was set up or ran. `started`
// notes the server's mark (125/150).
FtpStatus NoteReply(const FtpReply& reply, DataTransfer& transfer, bool& started) {
  if (reply.preliminary()) {
    started = true;
    return FtpStatus::Ok();
  }
  if (reply.positive() && transfer.direction == TransferDirection::kReceive) {
    transfer.finalReceived = true;
    transfer.finalReply = reply;
    return FtpStatus::Ok();
  }
  transfer.data.Close();
  transfer.finalReceived = true;
  transfer.finalReply = reply;
  if (reply.positive()) {
    // A store that the server calls done before it has the data would be a
    // success claimed for a file that never arrived.
    return FtpStatus::Error(
        FtpErrorKind::kProtocol,
        ProtocolErrorText(transfer.label, "finished before the data: " + reply.text));
  }
  return FtpStatus::Error(FtpErrorKind::kServerReply, reply.text);
}

// Applies every reply that has already arrived whole.
FtpStatus DrainReplies(ControlChannel& control, DataTransfer& transfer, bool& started) {
  for (;;) {
    FtpReply reply;
    bool taken = false;
    FtpStatus status = control.TakeBuffered(reply, taken, transfer.label);
    if (!status.ok() || !taken)
      return status;
    status = NoteReply(reply, transfer, started);
    if (!status.ok())
      return status;
  }
}

// Reads from the control connection, which poll() found readable.
FtpStatus ReceiveReply(ControlChannel& control, DataTransfer& transfer, bool& started) {
  FtpReply reply;
  bool taken = false;
  FtpStatus status = control.ReceiveNow(reply, taken, transfer.label);
  if (!status.ok()) {
    transfer.data.Close();
    return status;
  }
  if (!taken)
    return status;
  status = NoteReply(reply, transfer, started);
  if (!status.ok())
    return status;
  return DrainReplies(control, transfer, started);
}

// Waits until the data socket is ready for `events` or, while the final
// reply is outstanding, the control connection has something to say.
FtpStatus WaitOnData(ControlChannel& control, DataTransfer& transfer, short events,
                     Deadline deadline) {
  bool started = true;
  for (;;) {
    if (!transfer.finalReceived) {
      FtpStatus status = DrainReplies(control, transfer, started);
      if (!status.ok())
        return status;
    }
    pollfd fds[2] = {{transfer.data.fd(), events, 0}, {control.fd(), POLLIN, 0}};
    const nfds_t count = transfer.finalReceived ? 1 : 2;
    const int ready = ::poll(fds, count, MillisecondsUntil(deadline));
    if (ready < 0 && errno == EINTR)
      continue;
    if (ready < 0) {
      const int error = errno;
      transfer.data.Close();
      control.MarkLost();
      return FtpStatus::Error(FtpErrorKind::kSystem,
                              DataErrorText(transfer.label, SystemErrorText(error)));
    }
    if (ready == 0) {
      if (Clock::now() < deadline)
        continue;
      // The server stopped moving data; its reply would come out of step.
      transfer.data.Close();
      control.MarkLost();
      return FtpStatus::Error(FtpErrorKind::kTimeout, DataTimeoutText(transfer.label));
    }
    if (count == 2 && fds[1].revents != 0) {
      FtpStatus status = ReceiveReply(control, transfer, started);
      if (!status.ok())
        return status;
    }
    if (fds[0].revents != 0)
      return FtpStatus::Ok();
  }
}

}  // namespace

FtpStatus OpenActiveTransfer(ControlChannel& control, const SocketAddress& serverAddress,
                             std::string_view commandLine, TransferDirection direction,
                             std::chrono::milliseconds dataTimeout, DataTransfer& transfer) {
  transfer = DataTransfer{};
  transfer.label = CommandLabel(commandLine);
  transfer.direction = direction;

  SocketAddress local;
  Socket listener;
  SocketAddress bound;
  // A control connection to "::ffff:a.b.c.d" is IPv4 on the wire: the server
  // takes only PORT for it and connects back from its IPv4 address.
  if (!control.socket().LocalAddress(local) ||
      !ListenOnSameHost(local.Unmapped(), listener, bound)) {
    return FtpStatus::Error(FtpErrorKind::kSystem, DataListenText(SystemErrorText(errno)));
  }
  FtpReply reply;
  FtpStatus status = control.Command(PortCommand(bound), reply);
  if (!status.ok())
    return status;
  if (!reply.positive())
    return FtpStatus::Error(FtpErrorKind::kServerReply, reply.text);
  status = control.Send(commandLine);
  if (!status.ok())
    return status;

  const Deadline replyDeadline = DeadlineAfter(control.replyTimeout());
  Deadline acceptDeadline = DeadlineAfter(dataTimeout);
  bool graceStarted = false;
  bool started = false;
  for (;;) {
    status = DrainReplies(control, transfer, started);
    if (!status.ok())
      return status;
    const bool marked = started || transfer.finalReceived;
    const bool accepted = transfer.data.valid();
    // The data may flow as soon as the server has connected: its mark
    // (125/150) can come later and is read while the data flows, which
    // saves a wait per transfer. A refusal still ends the transfer then.
    if (accepted)
      return FtpStatus::Ok();
    if (transfer.finalReceived && !graceStarted) {
      graceStarted = true;
      acceptDeadline = std::min(acceptDeadline, DeadlineAfter(kAcceptGraceAfterFinalReply));
    }

    Deadline deadline = Deadline::max();
    if (!marked)
      deadline = std::min(deadline, replyDeadline);
    if (!accepted)
      deadline = std::min(deadline, acceptDeadline);
    if (Clock::now() >= deadline) {
      if (!marked) {
        control.MarkLost();
        return FtpStatus::Error(FtpErrorKind::kTimeout, ReplyTimeoutText(transfer.label));
      }
      // A listing that the server finished without connecting had nothing
      // to send.
      if (transfer.finalReceived)
        return FtpStatus::Ok();
      control.MarkLost();
      return FtpStatus::Error(FtpErrorKind::kTimeout, DataConnectTimeoutText(transfer.label));
    }

    pollfd fds[2];
    nfds_t count = 0;
    int controlIndex = -1;
    int listenerIndex = -1;
    if (!transfer.finalReceived) {
      controlIndex = static_cast<int>(count);
      fds[count++] = {control.fd(), POLLIN, 0};
    }
    if (!accepted) {
      listenerIndex = static_cast<int>(count);
      fds[count++] = {listener.fd(), POLLIN, 0};
    }
    const int ready = ::poll(fds, count, MillisecondsUntil(deadline));
    if (ready < 0 && errno != EINTR) {
      const int error = errno;
      control.MarkLost();
      return FtpStatus::Error(FtpErrorKind::kSystem,
                              DataErrorText(transfer.label, SystemErrorText(error)));
    }
    if (ready <= 0)
      continue;
    if (controlIndex >= 0 && fds[controlIndex].revents != 0) {
      status = ReceiveReply(control, transfer, started);
      if (!status.ok())
        return status;
    }
    if (listenerIndex >= 0 && fds[listenerIndex].revents != 0) {
      Socket incoming;
      SocketAddress peer;
      if (AcceptOne(listener, incoming, peer) == IoResult::kError) {
        const int error = errno;
        control.MarkLost();
        return FtpStatus::Error(FtpErrorKind::kSystem,
                                DataErrorText(transfer.label, SystemErrorText(error)));
      }
      // Whoever else reaches our port could feed us a false listing or
      // take the file; only the server's own address is trusted.
      if (incoming.valid() && peer.SameHost(serverAddress)) {
        transfer.data = std::move(incoming);
        listener.Close();
      }
    }
  }
}

FtpStatus ReceiveData(ControlChannel& control, DataTransfer& transfer, char* buffer,
                      size_t capacity, size_t& received, bool& ended,
                      std::chrono::milliseconds dataTimeout) {
  received = 0;
  ended = false;
  const Deadline deadline = DeadlineAfter(dataTimeout);
  for (;;) {
    if (!transfer.data.valid()) {
      ended = true;
      return FtpStatus::Ok();
    }
    const IoResult result = transfer.data.ReceiveAvailable(buffer, capacity, received);
    if (result == IoResult::kOk && received > 0)
      return FtpStatus::Ok();
    if (result == IoResult::kClosed) {
      transfer.data.Close();
      ended = true;
      return FtpStatus::Ok();
    }
    if (result == IoResult::kError) {
      const int error = errno;
      transfer.data.Close();
      return FtpStatus::Error(FtpErrorKind::kSystem,
                              DataErrorText(transfer.label, SystemErrorText(error)));
    }
    FtpStatus status = WaitOnData(control, transfer, POLLIN, deadline);
    if (!status.ok())
      return status;
  }
}

FtpStatus SendFileData(ControlChannel& control, DataTransfer& transfer, int fileFd,
                       std::chrono::milliseconds dataTimeout) {
  constexpr size_t kSendfileChunk = size_t{1} << 22;
  constexpr size_t kCopyBuffer = size_t{256} << 10;
  SigpipeBlock sigpipeBlock;
  bool started = true;
  bool useSendfile = true;
  std::vector<char> copy;
  size_t copyBegin = 0;
  size_t copyEnd = 0;
  Deadline deadline = DeadlineAfter(dataTimeout);
  for (;;) {
    ssize_t sent = 0;
    if (useSendfile) {
      sent = ::sendfile(transfer.data.fd(), fileFd, nullptr, kSendfileChunk);
      if (sent == 0)
        break;
      if (sent < 0 && (errno == EINVAL || errno == ENOSYS)) {
        // Not every kind of file can be sent by the kernel; copy instead.
        useSendfile = false;
        copy.resize(kCopyBuffer);
        continue;
      }
    } else {
      if (copyBegin == copyEnd) {
        const ssize_t got = ::read(fileFd, copy.data(), copy.size());
        if (got < 0 && errno == EINTR)
          continue;
        if (got < 0) {
          const int error = errno;
          transfer.data.Close();
          return FtpStatus::Error(FtpErrorKind::kSystem,
                                  DataErrorText(transfer.label, SystemErrorText(error)));
        }
        if (got == 0)
          break;
        copyBegin = 0;
        copyEnd = static_cast<size_t>(got);
      }
      sent = ::send(transfer.data.fd(), copy.data() + copyBegin, copyEnd - copyBegin, MSG_NOSIGNAL);
      if (sent > 0)
        copyBegin += static_cast<size_t>(sent);
      if (sent == 0)
        continue;
    }
    if (sent > 0) {
      deadline = DeadlineAfter(dataTimeout);
      continue;
    }
    if (errno == EINTR)
      continue;
    if (errno == EAGAIN || errno == EWOULDBLOCK) {
      FtpStatus status = WaitOnData(control, transfer, POLLOUT, deadline);
      if (!status.ok())
        return status;
      continue;
    }
    const int error = errno;
    if (error == EPIPE)
      sigpipeBlock.NoteRaised();
    transfer.data.Close();
    return FtpStatus::Error(FtpErrorKind::kSystem,
                            DataErrorText(transfer.label, SystemErrorText(error)));
  }
  // The server learns that the file is complete from the end of the data
  // connection, and only then may it send its final reply. One that is here
  // already was sent before it had all the data: a refusal, or a success
  // claimed for a file that may be cut short.
  FtpStatus early = DrainReplies(control, transfer, started);
  pollfd controlReady{control.fd(), POLLIN, 0};
  if (early.ok() && !transfer.finalReceived && ::poll(&controlReady, 1, 0) > 0) {
    early = ReceiveReply(control, transfer, started);
  }
  if (!early.ok())
    return early;
  transfer.data.Close();
  return FtpStatus::Ok();
}

FtpStatus FinishTransfer(ControlChannel& control, DataTransfer& transfer) {
  if (transfer.finalReceived)
    return FtpStatus::Ok();
  FtpReply reply;
  FtpStatus status = control.ReadFinal(reply, transfer.label);
  if (!status.ok())
    return status;
  transfer.finalReceived = true;
  transfer.finalReply = std::move(reply);
  return FtpStatus::Ok();
}

}  // namespace velmorix::ftp
