#include "ftp/data_connector.h"

#include <arpa/inet.h>
#include <netinet/in.h>

#include <algorithm>
#include <cerrno>
#include <string>
#include <utility>

#include "ftp/ftp_messages.h"
#include "ftp/ftp_protocol.h"
#include "ftp/tcp_stream.h"

namespace velmorix::ftp {

namespace {

// How often a passive connect asks whether the transfer is canceled.
constexpr std::chrono::milliseconds kCancelSlice{200};

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

std::string Ipv4Text(uint32_t ipv4) {
  return std::to_string(ipv4 >> 24) + "." + std::to_string((ipv4 >> 16) & 255) + "." +
         std::to_string((ipv4 >> 8) & 255) + "." + std::to_string(ipv4 & 255);
}

}  // namespace

FtpStatus DataConnector::Command(ControlChannel& control, const std::string& command,
                                 FtpReply& reply) {
  if (leadCommand_.empty())
    return control.Command(command, reply);
  const std::string lead = std::exchange(leadCommand_, {});
  FtpStatus status = control.SendLines({lead, command});
  if (!status.ok())
    return status;
  FtpReply leadReply;
  status = control.ReadFinal(leadReply, CommandLabel(lead));
  if (!status.ok())
    return status;
  // The command's answer is read whatever the lead's was, to stay in step.
  status = control.ReadFinal(reply, CommandLabel(command));
  if (!status.ok())
    return status;
  if (leadReply.code != 250) {
    leadRefused_ = true;
    control.KeepAsLastReply(leadReply);
    return FtpStatus::Error(FtpErrorKind::kServerReply, leadReply.text);
  }
  return FtpStatus::Ok();
}

FtpStatus DataConnector::Prepare(ControlChannel& control, const std::function<bool()>& canceled,
                                 std::string_view leadCommand) {
  if (!control.open())
    return FtpStatus::Error(FtpErrorKind::kNotConnected, NotConnectedText());
  leadCommand_ = std::string(leadCommand);
  leadRefused_ = false;
  if (plan_.mode == DataConnectionMode::kActive || plan_.activeFromNowOn)
    return PrepareActive(control);
  FtpStatus status = PreparePassive(control, canceled);
  if (status.ok() || plan_.mode != DataConnectionMode::kAuto || leadRefused_ ||
      status.kind == FtpErrorKind::kCanceled || !control.open()) {
    return status;
  }
  // Behind a router or a firewall that lets only one way through: the other
  // way may work, and it will for every later transfer too.
  plan_.activeFromNowOn = true;
  if (plan_.notice)
    plan_.notice(SwitchedToActiveNotice(status.text));
  return PrepareActive(control);
}

FtpStatus DataConnector::PrepareActive(ControlChannel& control) {
  SocketAddress local;
  SocketAddress bound;
  // A control connection to "::ffff:a.b.c.d" is IPv4 on the wire: the server
  // takes only PORT for it and connects back from its IPv4 address.
  if (!control.stream()->socket().LocalAddress(local) ||
      !ListenOnSameHost(local.Unmapped(), listener_, bound)) {
    return FtpStatus::Error(FtpErrorKind::kSystem, DataListenText(SystemErrorText(errno)));
  }
  FtpReply reply;
  FtpStatus status = Command(control, PortCommand(bound), reply);
  if (!status.ok())
    return status;
  if (!reply.positive()) {
    plan_.activeFailed = true;
    return FtpStatus::Error(FtpErrorKind::kServerReply, reply.text);
  }
  return FtpStatus::Ok();
}

FtpStatus DataConnector::PreparePassive(ControlChannel& control,
                                        const std::function<bool()>& canceled) {
  FtpReply reply;
  if (!plan_.epsvRefused) {
    FtpStatus status = Command(control, "EPSV", reply);
    if (!status.ok())
      return status;
    if (const std::optional<uint16_t> port = ParseEpsvPort(reply.text); reply.code == 229 && port) {
      return ConnectPassive(*port, canceled);
    }
    // Refused, or an answer we cannot read: PASV from now on.
    plan_.epsvRefused = true;
  }
  if (plan_.serverAddress.family() != AF_INET)
    return FtpStatus::Error(FtpErrorKind::kServerReply, PassiveRefusedText(reply.text));
  FtpStatus status = Command(control, "PASV", reply);
  if (!status.ok())
    return status;
  const std::optional<PassiveAddress> named = ParsePasvAddress(reply.text);
  if (reply.code != 227 || !named)
    return FtpStatus::Error(FtpErrorKind::kServerReply, PassiveRefusedText(reply.text));
  // Said once: a server behind NAT names its private address every time.
  if (!plan_.serverAddress.IsIpv4(named->ipv4) && !plan_.addressReplaced) {
    plan_.addressReplaced = true;
    if (plan_.notice) {
      plan_.notice(
          PassiveAddressReplacedNotice(Ipv4Text(named->ipv4), plan_.serverAddress.HostText()));
    }
  }
  return ConnectPassive(named->port, canceled);
}

FtpStatus DataConnector::ConnectPassive(uint16_t port, const std::function<bool()>& canceled) {
  const SocketAddress target = plan_.serverAddress.WithPort(port);
  const std::string host = target.HostText();
  Socket socket;
  if (!StartConnect(target, socket)) {
    return FtpStatus::Error(FtpErrorKind::kConnectionRefused,
                            PassiveConnectFailedText(host, port, SystemErrorText(errno)));
  }
  const Deadline deadline = DeadlineAfter(plan_.passiveConnectTimeout);
  for (;;) {
    const IoResult waited =
        WaitFor(socket.fd(), POLLOUT, std::min(deadline, DeadlineAfter(kCancelSlice)));
    if (waited == IoResult::kOk)
      break;
    if (waited == IoResult::kError) {
      return FtpStatus::Error(FtpErrorKind::kSystem,
                              PassiveConnectFailedText(host, port, SystemErrorText(errno)));
    }
    if (canceled && canceled())
      return FtpStatus::Error(FtpErrorKind::kCanceled, CanceledText("EPSV/PASV"));
    if (Clock::now() >= deadline) {
      return FtpStatus::Error(FtpErrorKind::kTimeout, PassiveConnectTimeoutText(host, port));
    }
  }
  if (const int error = FinishConnect(socket); error != 0) {
    return FtpStatus::Error(FtpErrorKind::kConnectionRefused,
                            PassiveConnectFailedText(host, port, SystemErrorText(error)));
  }
  connected_ = DataStream(std::move(socket));
  return FtpStatus::Ok();
}

int DataConnector::AddTo(StreamPoll& poll) const {
  if (connected_.valid() || !listener_.valid())
    return -1;
  return poll.Add(listener_.fd(), POLLIN);
}

IoResult DataConnector::Take(OwnedStream& stream) {
  if (connected_.valid()) {
    stream = std::move(connected_);
    return IoResult::kOk;
  }
  Socket incoming;
  SocketAddress peer;
  if (AcceptOne(listener_, incoming, peer) == IoResult::kError)
    return IoResult::kError;
  // Whoever else reaches our port could feed us a false listing or take the
  // file; only the server's own address is trusted.
  if (incoming.valid() && peer.SameHost(plan_.serverAddress)) {
    stream = DataStream(std::move(incoming));
    listener_.Close();
  }
  return IoResult::kOk;
}

OwnedStream DataConnector::DataStream(Socket socket) const {
  OwnedStream plain = MakeTcpStream(std::move(socket));
  return plan_.tls != nullptr ? plan_.tls->SecureData(std::move(plain)) : std::move(plain);
}

void DataConnector::Close() {
  listener_.Close();
  connected_.Close();
}

}  // namespace velmorix::ftp
