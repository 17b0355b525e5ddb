#include "ftp/ftp_data_channel.h"

#include <poll.h>
#include <signal.h>
#include <sys/sendfile.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <ctime>
#include <memory>
#include <vector>

#include "ftp/data_connector.h"
#include "ftp/ftp_messages.h"

namespace velmorix::ftp {

namespace {

// How long a listing whose final reply has come waits for the data
// connection the server made before it: that connection is already queued
// on our listener by then, so a short grace is plenty.
constexpr std::chrono::milliseconds kAcceptGraceAfterFinalReply{1000};

// How often a waiting transfer asks the cancel check; callers are promised
// at most 250 ms.
constexpr std::chrono::milliseconds kCancelCheckInterval{200};

// How long, in all, the server's answers to ABOR are awaited.
constexpr std::chrono::milliseconds kAbortReplyWait{1000};

// How often an upload that waits for room in its queue looks whether the
// queue has shrunk meanwhile (progress, though no new byte fitted in).
constexpr std::chrono::milliseconds kQueueLookInterval{250};

// The longest nap between two looks at the queue while it drains.
constexpr std::chrono::milliseconds kLongestDrainNap{50};

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

// True when the cancel check is due and says stop. Between two questions
// lie kCancelCheckInterval; the first comes that long after the transfer
// began.
bool CancelRequested(DataTransfer& transfer) {
  if (!transfer.cancelCheck)
    return false;
  const Deadline now = Clock::now();
  if (now < transfer.nextCancelCheck)
    return false;
  transfer.nextCancelCheck = now + kCancelCheckInterval;
  return transfer.cancelCheck();
}

// When a wait must wake up to ask the cancel check.
Deadline NextCancelCheck(const DataTransfer& transfer) {
  return transfer.cancelCheck ? transfer.nextCancelCheck : Deadline::max();
}

// Ends a transfer that the cancel check stopped. Closing the data connection
// makes the server end the transfer; ABOR asks for the reply that says so.
// The server owes its final reply to the transfer (unless it has come) and
// one to ABOR: 426 and 226, 226 and 225, or just one of them when the
// transfer had ended. When they do not come within kAbortReplyWait, a late
// one would be taken for the answer to the next command, so the channel is
// marked lost.
FtpStatus Abort(ControlChannel& control, DataTransfer& transfer) {
  if (transfer.direction == TransferDirection::kSend) {
    // A plain close would let the kernel go on sending what is queued, and
    // a canceled upload could still arrive whole. A reset drops it.
    transfer.data.Abandon();
  } else {
    transfer.data.Close();
  }
  const FtpStatus canceled =
      FtpStatus::Error(FtpErrorKind::kCanceled, CanceledText(transfer.label));
  int owed = transfer.finalReceived ? 1 : 2;
  transfer.finalReceived = true;
  if (!control.open() || !control.Send("ABOR").ok())
    return canceled;
  const Deadline deadline = DeadlineAfter(kAbortReplyWait);
  while (owed > 0) {
    FtpReply reply;
    // A time-out marks the channel lost.
    if (!control.Read(reply, "ABOR", deadline).ok())
      return canceled;
    if (!reply.preliminary())
      --owed;
  }
  return canceled;
}

// Applies a reply that came while a transfer was set up or ran. `started`
// notes the server's mark (125/150).
FtpStatus NoteReply(const FtpReply& reply, DataTransfer& transfer, bool& started) {
  if (reply.preliminary()) {
    started = true;
    return FtpStatus::Ok();
  }
  if (TransferCompleted(reply) &&
      (transfer.direction == TransferDirection::kReceive || transfer.dataSent)) {
    transfer.finalReceived = true;
    transfer.finalReply = reply;
    return FtpStatus::Ok();
  }
  transfer.data.Close();
  transfer.finalReceived = true;
  transfer.finalReply = reply;
  if (TransferCompleted(reply)) {
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

// The failure of the data connection, which the last call on it left in
// `error` (errno), as a status; the data connection is closed. A server
// that is not the one the control connection reached is a TLS failure.
FtpStatus DataFailure(DataTransfer& transfer, int error) {
  const std::string detail = transfer.data->FailureText(error);
  const FtpErrorKind kind =
      transfer.data->PeerRefused() ? FtpErrorKind::kTlsFailed : FtpErrorKind::kSystem;
  transfer.data.Close();
  return FtpStatus::Error(kind, DataErrorText(transfer.label, detail));
}

// The descriptor of the data connection's socket, for the calls that go to
// the socket itself; -1 once the connection has ended.
int DataFd(const DataTransfer& transfer) {
  return transfer.data.valid() ? transfer.data->socket().fd() : -1;
}

// The error that the data connection's socket holds, if any.
FtpStatus PendingSocketError(DataTransfer& transfer) {
  int error = 0;
  socklen_t length = sizeof error;
  if (getsockopt(DataFd(transfer), SOL_SOCKET, SO_ERROR, &error, &length) != 0)
    error = errno;
  if (error == 0)
    return FtpStatus::Ok();
  transfer.data.Close();
  return FtpStatus::Error(FtpErrorKind::kSystem,
                          DataErrorText(transfer.label, SystemErrorText(error)));
}

// The bytes the server has not acknowledged yet on the data connection,
// sent or still queued; -1 when the system cannot tell. On a TLS stream they
// are records rather than the file's bytes, but their shrinking is progress
// all the same.
int UnacknowledgedBytes(const DataTransfer& transfer) {
  if (!transfer.data.valid())
    return -1;
  return transfer.data->socket().UnacknowledgedBytes();
}

// True when the control connection has bytes to read right now.
bool ReadableNow(const ControlChannel& control) {
  StreamPoll poll;
  poll.Add(control.stream(), POLLIN);
  // A wake-up time long past makes the poll look without waiting.
  return poll.Wait(Deadline()) > 0;
}

// After a poll over a transfer's data and control connections: a failed
// poll loses the channel, and a readable control connection has its reply
// taken. `controlEntry` is -1 when the control connection was not polled.
FtpStatus AfterPoll(ControlChannel& control, DataTransfer& transfer, const StreamPoll& poll,
                    int ready, int controlEntry, bool& started) {
  if (ready < 0 && errno != EINTR) {
    const int error = errno;
    transfer.data.Close();
    control.MarkLost();
    return FtpStatus::Error(FtpErrorKind::kSystem,
                            DataErrorText(transfer.label, SystemErrorText(error)));
  }
  if (controlEntry >= 0 && poll.Ready(controlEntry))
    return ReceiveReply(control, transfer, started);
  return FtpStatus::Ok();
}

// What a wait on the data connection waits for.
enum class WaitGoal {
  kReadable,  // data to read, or its end
  kWritable,  // room in our send queue
};

// Waits for `goal` while the control connection, as long as the final reply
// is outstanding, is watched and the cancel check asked. `deadline` is the
// time-out; while we send, our queue shrinking is progress and moves it on
// by `dataTimeout`, so a slow link never times out while it still moves.
// At `returnBy` the wait ends without an error and with `reached` false.
FtpStatus WaitOnData(ControlChannel& control, DataTransfer& transfer, WaitGoal goal,
                     Deadline& deadline, std::chrono::milliseconds dataTimeout, Deadline returnBy,
                     bool& reached) {
  reached = false;
  bool started = true;
  const bool sending = goal == WaitGoal::kWritable;
  const short events = sending ? POLLOUT : POLLIN;
  int queued = sending ? UnacknowledgedBytes(transfer) : -1;
  for (;;) {
    if (!transfer.finalReceived) {
      FtpStatus status = DrainReplies(control, transfer, started);
      if (!status.ok())
        return status;
    }
    if (CancelRequested(transfer))
      return Abort(control, transfer);
    // The caller's own limit comes first: it decides what its end means.
    const Deadline now = Clock::now();
    if (now >= returnBy)
      return FtpStatus::Ok();
    if (now >= deadline) {
      // The server stopped moving data; its reply would come out of step.
      transfer.data.Close();
      control.MarkLost();
      return FtpStatus::Error(FtpErrorKind::kTimeout, DataTimeoutText(transfer.label));
    }
    Deadline wake = std::min({deadline, returnBy, NextCancelCheck(transfer)});
    if (sending)
      wake = std::min(wake, now + kQueueLookInterval);

    StreamPoll poll;
    const int dataEntry = poll.Add(transfer.data, events);
    const int controlEntry = transfer.finalReceived ? -1 : poll.Add(control.stream(), POLLIN);
    const int ready = poll.Wait(wake);
    if (FtpStatus status = AfterPoll(control, transfer, poll, ready, controlEntry, started);
        !status.ok()) {
      return status;
    }
    if (poll.Ready(dataEntry)) {
      reached = true;
      return FtpStatus::Ok();
    }
    if (sending) {
      const int nowQueued = UnacknowledgedBytes(transfer);
      if (nowQueued >= 0 && queued >= 0 && nowQueued < queued)
        deadline = DeadlineAfter(dataTimeout);
      queued = nowQueued;
    }
  }
}

// --- How a transfer ends -----------------------------------------------------------
//
// The rules that decide whether a transfer's data came whole, in one place.
// A listing (ReceiveData and JudgeListingEnd): its data ends with the
// server's orderly end (over TLS only its close_notify: see tls_stream.h),
// its last line has its line end, and the final reply is 226 or 250. An
// upload (AwaitUploadEnd): all of it was handed over and its end sent (a
// half-close, or close_notify), then either the server answers with its own
// close_notify, or everything we sent has been acknowledged; a reset or
// any other error on the data connection fails it whatever the server's
// reply says, and so does a final reply other than 226 or 250.

// Waits, after the end of an upload's data has been sent, until the server
// is known to have all of it (as said above), or fails. The data connection
// is held open until then, so that a reset that comes with or before the
// final reply is seen. The wait has two bounds: `dataTimeout` after our
// send queue last shrank, and once all of it is acknowledged, the reply
// time-out. What the server sends meanwhile is read and dropped and never
// counts as progress, so a server that trickles bytes instead of answering
// cannot hold the upload.
FtpStatus AwaitUploadEnd(ControlChannel& control, DataTransfer& transfer,
                         std::chrono::milliseconds dataTimeout) {
  bool started = true;
  const bool tls = !transfer.data->IsPlainTcp();
  // A half-close queues an end-of-data mark that takes one place of its
  // own; close_notify is bytes like the others.
  const int drainedAt = tls ? 0 : 1;
  bool peerEnded = false;    // the server ended its side (TLS: close_notify or a bare end)
  bool peerOrderly = false;  // ... with its close_notify
  bool hungUp = false;       // the socket reports a hang-up for good: not polled again
  int queued = UnacknowledgedBytes(transfer);
  Deadline deadline = DeadlineAfter(dataTimeout);
  Deadline replyDeadline = Deadline::max();  // set once all is acknowledged
  // On a fast link the queue is empty within a round trip: look soon, then
  // less often.
  std::chrono::milliseconds nap{1};
  for (;;) {
    if (!transfer.finalReceived) {
      FtpStatus status = DrainReplies(control, transfer, started);
      if (!status.ok())
        return status;
    }
    if (FtpStatus status = PendingSocketError(transfer); !status.ok())
      return status;
    // Without a count from the system the queue counts as empty.
    const bool acknowledged = queued < 0 || queued <= drainedAt;
    if ((tls && peerOrderly) || (acknowledged && transfer.finalReceived)) {
      transfer.data.Close();
      return FtpStatus::Ok();
    }
    if (acknowledged && replyDeadline == Deadline::max())
      replyDeadline = DeadlineAfter(control.replyTimeout());
    if (CancelRequested(transfer))
      return Abort(control, transfer);
    const Deadline now = Clock::now();
    if (now >= deadline || now >= replyDeadline) {
      // The server neither took the rest nor answered; its reply would
      // come out of step.
      transfer.data.Close();
      control.MarkLost();
      return FtpStatus::Error(FtpErrorKind::kTimeout, now >= replyDeadline
                                                          ? ReplyTimeoutText(transfer.label)
                                                          : DataTimeoutText(transfer.label));
    }

    StreamPoll poll;
    const bool reading = tls && !peerEnded;
    const int dataEntry = hungUp || (tls && peerEnded)
                              ? poll.Add(-1, 0)
                              : poll.Add(transfer.data, reading ? POLLIN : 0);
    const int controlEntry = transfer.finalReceived ? -1 : poll.Add(control.stream(), POLLIN);
    const int ready =
        poll.Wait(std::min({deadline, replyDeadline, NextCancelCheck(transfer), now + nap}));
    if (FtpStatus status = AfterPoll(control, transfer, poll, ready, controlEntry, started);
        !status.ok()) {
      return status;
    }
    if (poll.Ready(dataEntry) && reading) {
      char unread[4096];
      size_t received = 0;
      IoResult result = IoResult::kOk;
      do {
        result = transfer.data->ReceiveAvailable(unread, sizeof unread, received);
      } while (result == IoResult::kOk && received > 0);
      if (result == IoResult::kClosed) {
        peerEnded = peerOrderly = true;
      } else if (result == IoResult::kError && transfer.data->CutShort()) {
        peerEnded = true;  // all it sent was read; whether all of ours came, the queue tells
      } else if (result == IoResult::kError) {
        return DataFailure(transfer, errno);
      }
    } else if (poll.Ready(dataEntry)) {
      hungUp = true;  // an error is taken at the top of the loop
    }
    const int nowQueued = UnacknowledgedBytes(transfer);
    if (nowQueued >= 0 && queued >= 0 && nowQueued < queued)
      deadline = DeadlineAfter(dataTimeout);
    queued = nowQueued;
    // Once all is acknowledged only the final reply is awaited, and the
    // control connection wakes the wait for it.
    nap = acknowledged ? kLongestDrainNap : std::min(nap * 2, kLongestDrainNap);
  }
}

}  // namespace

bool TransferCompleted(const FtpReply& reply) {
  return reply.code == 226 || reply.code == 250;
}

FtpStatus OpenTransfer(ControlChannel& control, DataConnectionPlan& plan,
                       std::string_view commandLine, TransferDirection direction,
                       std::chrono::milliseconds dataTimeout, CancelCheck cancelCheck,
                       DataTransfer& transfer, std::string_view leadCommand) {
  transfer = DataTransfer{};
  transfer.label = CommandLabel(commandLine);
  transfer.direction = direction;
  transfer.cancelCheck = std::move(cancelCheck);
  transfer.nextCancelCheck = DeadlineAfter(kCancelCheckInterval);

  DataConnector connector(plan);
  FtpStatus status = connector.Prepare(
      control, [&transfer] { return CancelRequested(transfer); }, leadCommand);
  if (!status.ok())
    return status;
  status = control.Send(commandLine);
  if (!status.ok())
    return status;
  // A passive connection is made already, and a server may have connected
  // back while it took PORT.
  if (connector.Take(transfer.data) == IoResult::kError) {
    const int error = errno;
    control.MarkLost();
    return FtpStatus::Error(FtpErrorKind::kSystem,
                            DataErrorText(transfer.label, SystemErrorText(error)));
  }

  // 425 before the data connection came: in active mode, the server could
  // not connect back.
  const auto refused = [&plan, &transfer](FtpStatus failed) {
    if (transfer.finalReceived && transfer.finalReply.code == 425 &&
        (plan.mode == DataConnectionMode::kActive || plan.activeFromNowOn)) {
      plan.activeFailed = true;
    }
    return failed;
  };
  const Deadline replyDeadline = DeadlineAfter(control.replyTimeout());
  Deadline acceptDeadline = DeadlineAfter(dataTimeout);
  bool graceStarted = false;
  bool started = false;
  for (;;) {
    status = DrainReplies(control, transfer, started);
    if (!status.ok())
      return refused(status);
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
    if (CancelRequested(transfer)) {
      connector.Close();
      return Abort(control, transfer);
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
      // Only an active connection is awaited here: a passive one is made
      // before the command.
      plan.activeFailed = true;
      control.MarkLost();
      return FtpStatus::Error(FtpErrorKind::kTimeout, DataConnectTimeoutText(transfer.label));
    }

    StreamPoll poll;
    const int controlEntry = transfer.finalReceived ? -1 : poll.Add(control.stream(), POLLIN);
    const int connectorEntry = accepted ? -1 : connector.AddTo(poll);
    const int ready = poll.Wait(std::min(deadline, NextCancelCheck(transfer)));
    if (ready < 0 && errno != EINTR) {
      const int error = errno;
      control.MarkLost();
      return FtpStatus::Error(FtpErrorKind::kSystem,
                              DataErrorText(transfer.label, SystemErrorText(error)));
    }
    if (ready <= 0)
      continue;
    if (controlEntry >= 0 && poll.Ready(controlEntry)) {
      status = ReceiveReply(control, transfer, started);
      if (!status.ok())
        return refused(status);
    }
    if (connectorEntry >= 0 && poll.Ready(connectorEntry) &&
        connector.Take(transfer.data) == IoResult::kError) {
      const int error = errno;
      control.MarkLost();
      return FtpStatus::Error(FtpErrorKind::kSystem,
                              DataErrorText(transfer.label, SystemErrorText(error)));
    }
  }
}

FtpStatus ReceiveData(ControlChannel& control, DataTransfer& transfer, char* buffer,
                      size_t capacity, size_t& received, bool& ended,
                      std::chrono::milliseconds dataTimeout, Deadline returnBy) {
  received = 0;
  ended = false;
  Deadline deadline = DeadlineAfter(dataTimeout);
  for (;;) {
    if (!transfer.data.valid()) {
      ended = true;
      return FtpStatus::Ok();
    }
    // Data that streams without a pause never waits, so the check is asked
    // here as well.
    if (CancelRequested(transfer))
      return Abort(control, transfer);
    const IoResult result = transfer.data->ReceiveAvailable(buffer, capacity, received);
    if (result == IoResult::kOk && received > 0)
      return FtpStatus::Ok();
    if (result == IoResult::kClosed) {
      transfer.data.Close();
      ended = true;
      return FtpStatus::Ok();
    }
    if (result == IoResult::kError)
      return DataFailure(transfer, errno);
    bool readable = false;
    FtpStatus status = WaitOnData(control, transfer, WaitGoal::kReadable, deadline, dataTimeout,
                                  returnBy, readable);
    if (!status.ok() || !readable)
      return status;
  }
}

FtpStatus SendFileData(ControlChannel& control, DataTransfer& transfer, int fileFd,
                       std::chrono::milliseconds dataTimeout,
                       const std::function<void(int64_t)>& progress) {
  constexpr size_t kSendfileChunk = size_t{1} << 22;
  // Four TLS records; small enough to come from the heap rather than from
  // pages mapped and zeroed afresh for each upload.
  constexpr size_t kCopyBuffer = size_t{64} << 10;
  // A data connection that has ended takes nothing more.
  if (!transfer.data.valid()) {
    return FtpStatus::Error(FtpErrorKind::kSystem,
                            DataErrorText(transfer.label, SystemErrorText(EBADF)));
  }
  SigpipeBlock sigpipeBlock;
  bool started = true;
  // The kernel can send the file itself only where the connection carries
  // the file's own bytes; a stream that encodes them is given a copy.
  bool useSendfile = transfer.data->IsPlainTcp();
  std::unique_ptr<char[]> copy;
  if (!useSendfile)
    copy = std::make_unique_for_overwrite<char[]>(kCopyBuffer);
  size_t copyBegin = 0;
  size_t copyEnd = 0;
  int64_t handedOver = 0;
  Deadline deadline = DeadlineAfter(dataTimeout);
  for (;;) {
    if (CancelRequested(transfer))
      return Abort(control, transfer);
    // How one step went; after kFailed errno says why.
    enum class Step { kMoved, kNoRoom, kFailed };
    Step step = Step::kFailed;
    if (useSendfile) {
      const ssize_t sent = ::sendfile(DataFd(transfer), fileFd, nullptr, kSendfileChunk);
      if (sent == 0)
        break;
      if (sent < 0 && (errno == EINVAL || errno == ENOSYS)) {
        // Not every kind of file can be sent by the kernel; copy instead.
        useSendfile = false;
        copy = std::make_unique_for_overwrite<char[]>(kCopyBuffer);
        continue;
      }
      if (sent < 0 && errno == EINTR)
        continue;
      if (sent > 0) {
        handedOver += sent;
        step = Step::kMoved;
      } else if (errno == EAGAIN || errno == EWOULDBLOCK) {
        step = Step::kNoRoom;
      }
    } else {
      if (copyBegin == copyEnd) {
        const ssize_t got = ::read(fileFd, copy.get(), kCopyBuffer);
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
      size_t sent = 0;
      if (transfer.data->SendAvailable(copy.get() + copyBegin, copyEnd - copyBegin, sent) ==
          IoResult::kOk) {
        copyBegin += sent;
        handedOver += static_cast<int64_t>(sent);
        step = sent > 0 ? Step::kMoved : Step::kNoRoom;
      }
    }
    if (step == Step::kMoved) {
      if (progress)
        progress(handedOver);
      deadline = DeadlineAfter(dataTimeout);
      continue;
    }
    if (step == Step::kNoRoom) {
      bool writable = false;
      FtpStatus status = WaitOnData(control, transfer, WaitGoal::kWritable, deadline, dataTimeout,
                                    Deadline::max(), writable);
      if (!status.ok())
        return status;
      continue;
    }
    const int error = errno;
    if (error == EPIPE)
      sigpipeBlock.NoteRaised();
    return DataFailure(transfer, error);
  }
  // The server learns that the file is complete from the end of the data
  // connection, and only then may it send its final reply. One that is here
  // already was sent before it had all the data: a refusal, or a success
  // claimed for a file that may be cut short.
  FtpStatus early = DrainReplies(control, transfer, started);
  if (early.ok() && !transfer.finalReceived && ReadableNow(control))
    early = ReceiveReply(control, transfer, started);
  if (!early.ok())
    return early;
  // The last byte is in the kernel's hands, but on a slow link megabytes may
  // still be queued, and the final reply can only come once the server has
  // them all: the reply time-out must not start before. The end of the data
  // goes out behind them at once (a half-close), so a server that has it all
  // answers without waiting for our side; meanwhile the wait goes on for as
  // long as the queue keeps shrinking, until it is empty or the final reply
  // has come. Waiting for the queue without the half-close would cost a
  // round trip per upload, more where the server delays its acknowledgement.
  const IoResult ended = transfer.data->EndSending(DeadlineAfter(dataTimeout));
  if (ended == IoResult::kTimeout) {
    // The server stopped taking data; its reply would come out of step.
    transfer.data.Close();
    control.MarkLost();
    return FtpStatus::Error(FtpErrorKind::kTimeout, DataTimeoutText(transfer.label));
  }
  if (ended != IoResult::kOk)
    return DataFailure(transfer, errno);
  transfer.dataSent = true;
  return AwaitUploadEnd(control, transfer, dataTimeout);
}

FtpStatus JudgeListingEnd(const DataTransfer& transfer, bool lastLineEnded) {
  if (!lastLineEnded) {
    return FtpStatus::Error(FtpErrorKind::kProtocol,
                            ProtocolErrorText(transfer.label, "the listing ends in a cut line"));
  }
  if (!TransferCompleted(transfer.finalReply))
    return FtpStatus::Error(FtpErrorKind::kServerReply, transfer.finalReply.text);
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
