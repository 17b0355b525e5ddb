#include "ftp/data_connector.h"

#include <arpa/inet.h>
#include <netinet/in.h>

#include <cerrno>
#include <string>

#include "ftp/ftp_messages.h"
#include "ftp/tcp_stream.h"

namespace velmorix::ftp {

namespace {

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

}  // namespace

FtpStatus DataConnector::Prepare(ControlChannel& control) {
  if (!control.open())
    return FtpStatus::Error(FtpErrorKind::kNotConnected, NotConnectedText());
  SocketAddress local;
  SocketAddress bound;
  // A control connection to "::ffff:a.b.c.d" is IPv4 on the wire: the server
  // takes only PORT for it and connects back from its IPv4 address.
  if (!control.stream()->socket().LocalAddress(local) ||
      !ListenOnSameHost(local.Unmapped(), listener_, bound)) {
    return FtpStatus::Error(FtpErrorKind::kSystem, DataListenText(SystemErrorText(errno)));
  }
  FtpReply reply;
  FtpStatus status = control.Command(PortCommand(bound), reply);
  if (!status.ok())
    return status;
  if (!reply.positive())
    return FtpStatus::Error(FtpErrorKind::kServerReply, reply.text);
  return FtpStatus::Ok();
}

int DataConnector::AddTo(StreamPoll& poll) const {
  return poll.Add(listener_.fd(), POLLIN);
}

IoResult DataConnector::Take(OwnedStream& stream) {
  Socket incoming;
  SocketAddress peer;
  if (AcceptOne(listener_, incoming, peer) == IoResult::kError)
    return IoResult::kError;
  // Whoever else reaches our port could feed us a false listing or take the
  // file; only the server's own address is trusted.
  if (incoming.valid() && peer.SameHost(serverAddress_)) {
    stream = MakeTcpStream(std::move(incoming));
    listener_.Close();
  }
  return IoResult::kOk;
}

}  // namespace velmorix::ftp
