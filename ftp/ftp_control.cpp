#include "ftp/ftp_control.h"

#include <openssl/crypto.h>
#include <poll.h>

#include <algorithm>
#include <cerrno>

#include "ftp/ftp_messages.h"

namespace velmorix::ftp {

void WipeText(std::string& text) {
  text.resize(text.capacity());
  OPENSSL_cleanse(text.data(), text.size());
  text.clear();
}

ControlChannel::ControlChannel(OwnedStream stream, std::chrono::milliseconds replyTimeout)
    : stream_(std::move(stream)), replyTimeout_(replyTimeout) {}

FtpStatus ControlChannel::Send(std::string_view commandLine) {
  std::string wire;
  wire.reserve(commandLine.size() + 2);
  wire.append(commandLine).append("\r\n");
  FtpStatus status = SendWire(wire, CommandLabel(commandLine));
  WipeText(wire);
  return status;
}

FtpStatus ControlChannel::SendLines(const std::vector<std::string>& commandLines) {
  std::string wire;
  for (const std::string& commandLine : commandLines)
    wire.append(commandLine).append("\r\n");
  FtpStatus status =
      SendWire(wire, commandLines.empty() ? std::string() : CommandLabel(commandLines[0]));
  WipeText(wire);
  return status;
}

FtpStatus ControlChannel::SendWire(const std::string& wire, std::string_view label) {
  if (!open())
    return FtpStatus::Error(FtpErrorKind::kNotConnected, NotConnectedText());
  const IoResult sent = stream_->SendAll(wire.data(), wire.size(), DeadlineAfter(replyTimeout_));
  if (sent == IoResult::kOk)
    return FtpStatus::Ok();
  const std::string detail = stream_->FailureText(errno);
  MarkLost();
  if (sent == IoResult::kTimeout) {
    return FtpStatus::Error(FtpErrorKind::kTimeout, ReplyTimeoutText(label));
  }
  return FtpStatus::Error(FtpErrorKind::kSystem, ConnectionErrorText(label, detail));
}

// Records a whole reply; a 421 means the server is closing the connection.
FtpStatus ControlChannel::Accept(FtpReply& reply, std::string_view label) {
  lastReplyText_ = reply.text;
  if (reply.code == 421) {
    MarkLost();
    return FtpStatus::Error(FtpErrorKind::kNotConnected,
                            ConnectionLostText(label) + ": " + reply.text);
  }
  return FtpStatus::Ok();
}

FtpStatus ControlChannel::TakeBuffered(FtpReply& reply, bool& taken, std::string_view label) {
  taken = false;
  if (!open())
    return FtpStatus::Error(FtpErrorKind::kNotConnected, NotConnectedText());
  for (;;) {
    switch (parser_.Next(reply)) {
      case FtpReplyParser::Result::kReply:
        // The replies of commands sent before come first; a mark (1xx) is
        // one of theirs too.
        if (!deferredLabels_.empty() && reply.preliminary())
          continue;
        if (!deferredLabels_.empty()) {
          const std::string deferred = std::move(deferredLabels_.front());
          deferredLabels_.pop_front();
          FtpStatus status = Accept(reply, deferred);
          deferredRead_.push_back(std::move(reply));
          if (!status.ok())
            return status;
          continue;
        }
        taken = true;
        return Accept(reply, label);
      case FtpReplyParser::Result::kIncomplete:
        return FtpStatus::Ok();
      case FtpReplyParser::Result::kMalformed:
        break;
    }
    break;
  }
  MarkLost();
  return FtpStatus::Error(FtpErrorKind::kProtocol, ProtocolErrorText(label, parser_.error()));
}

FtpStatus ControlChannel::ReceiveNow(FtpReply& reply, bool& taken, std::string_view label) {
  taken = false;
  if (!open())
    return FtpStatus::Error(FtpErrorKind::kNotConnected, NotConnectedText());
  char buffer[4096];
  size_t received = 0;
  const IoResult result = stream_->ReceiveAvailable(buffer, sizeof buffer, received);
  if (result == IoResult::kClosed) {
    MarkLost();
    return FtpStatus::Error(FtpErrorKind::kNotConnected, ConnectionLostText(label));
  }
  if (result != IoResult::kOk) {
    const std::string detail = stream_->FailureText(errno);
    MarkLost();
    return FtpStatus::Error(FtpErrorKind::kSystem, ConnectionErrorText(label, detail));
  }
  parser_.Feed(buffer, received);
  return TakeBuffered(reply, taken, label);
}

FtpStatus ControlChannel::Read(FtpReply& reply, std::string_view label, Deadline deadline) {
  for (;;) {
    bool taken = false;
    FtpStatus status = TakeBuffered(reply, taken, label);
    if (!status.ok() || taken)
      return status;
    if (waitCheck_ && waitCheck_()) {
      MarkLost();
      return FtpStatus::Error(FtpErrorKind::kCanceled, CanceledText(label));
    }
    const Deadline wake =
        waitCheck_ ? std::min(deadline, DeadlineAfter(kCancelCheckEvery)) : deadline;
    const IoResult waited = stream_->Wait(POLLIN, wake);
    if (waited == IoResult::kTimeout && Clock::now() < deadline)
      continue;
    if (waited == IoResult::kTimeout) {
      MarkLost();
      return FtpStatus::Error(FtpErrorKind::kTimeout, ReplyTimeoutText(label));
    }
    if (waited == IoResult::kError) {
      const int error = errno;
      MarkLost();
      return FtpStatus::Error(FtpErrorKind::kSystem,
                              ConnectionErrorText(label, SystemErrorText(error)));
    }
    status = ReceiveNow(reply, taken, label);
    if (!status.ok() || taken)
      return status;
  }
}

FtpStatus ControlChannel::ReadDeferred(bool arrived) {
  while (!deferredLabels_.empty()) {
    const std::string label = deferredLabels_.front();
    const Deadline deadline = arrived ? Clock::now() : DeadlineAfter(replyTimeout_);
    bool taken = false;
    FtpReply reply;
    FtpStatus status = TakeBuffered(reply, taken, label);
    if (!status.ok())
      return status;
    if (taken) {
      MarkLost();  // a reply nothing was sent for
      return FtpStatus::Error(FtpErrorKind::kProtocol, ProtocolErrorText(label, reply.text));
    }
    if (deferredLabels_.empty())
      break;
    const IoResult waited = stream_->Wait(POLLIN, deadline);
    if (arrived && waited == IoResult::kTimeout)
      break;
    if (waited != IoResult::kOk) {
      const int error = errno;
      MarkLost();
      return waited == IoResult::kTimeout
                 ? FtpStatus::Error(FtpErrorKind::kTimeout, ReplyTimeoutText(label))
                 : FtpStatus::Error(FtpErrorKind::kSystem,
                                    ConnectionErrorText(label, SystemErrorText(error)));
    }
    status = ReceiveNow(reply, taken, label);
    if (!status.ok())
      return status;
    if (taken) {
      MarkLost();
      return FtpStatus::Error(FtpErrorKind::kProtocol, ProtocolErrorText(label, reply.text));
    }
  }
  return FtpStatus::Ok();
}

FtpStatus ControlChannel::ReadFinal(FtpReply& reply, std::string_view label) {
  // A server that answers with marks forever must not keep us waiting
  // forever either.
  constexpr int kMaxPreliminaryReplies = 16;
  for (int count = 0; count <= kMaxPreliminaryReplies; ++count) {
    FtpStatus status = Read(reply, label, DeadlineAfter(replyTimeout_));
    if (!status.ok() || !reply.preliminary())
      return status;
  }
  MarkLost();
  return FtpStatus::Error(FtpErrorKind::kProtocol,
                          ProtocolErrorText(label, "too many preliminary replies"));
}

FtpStatus ControlChannel::Command(std::string_view commandLine, FtpReply& reply) {
  FtpStatus status = Send(commandLine);
  if (!status.ok())
    return status;
  return ReadFinal(reply, CommandLabel(commandLine));
}

bool ControlChannel::StartTls(TlsClient& tls, TlsPeer& peer, std::string& error) {
  if (!open()) {
    error = NotConnectedText();
    return false;
  }
  if (parser_.HasPendingBytes()) {
    // Someone on the way could slip plain replies in ahead of the handshake.
    error = ProtocolErrorText("AUTH TLS", "bytes after the 234 reply");
    MarkLost();
    return false;
  }
  return tls.SecureControl(stream_, DeadlineAfter(replyTimeout_), peer, error);
}

void ControlChannel::Quit(bool awaitGoodbye) {
  if (!open())
    return;
  // The goodbye must not keep a closing program waiting for long.
  constexpr std::chrono::milliseconds kQuitWait{2000};
  const std::string kept = lastReplyText_;
  if (Send("QUIT").ok() && awaitGoodbye) {
    FtpReply reply;
    Read(reply, "QUIT", DeadlineAfter(std::min(replyTimeout_, kQuitWait)));
  }
  lastReplyText_ = kept;
  MarkLost();
}

}  // namespace velmorix::ftp
