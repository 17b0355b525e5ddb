// Makes the data connection of one transfer and hands it out as a stream,
// whatever the mode. Active mode is the one so far: we listen beside the
// control connection, tell the server where with PORT (IPv4) or EPRT (IPv6),
// and the server connects to us. Only a connection from the server's own
// address is taken; any other is closed and ignored. A control connection to
// an IPv4-mapped IPv6 address is IPv4 on the wire, and its data connections
// are set up as IPv4 ones.
//
// The connection may come before, with or after the server's answer to the
// transfer command, so it is awaited beside the control connection: Prepare
// before the command is sent, then poll what AddTo adds together with the
// control stream, and Take when it is ready. Used by the connection's one
// thread.
#pragma once

#include "ftp/byte_stream.h"
#include "ftp/ftp_control.h"
#include "ftp/ftp_status.h"
#include "ftp/tcp_socket.h"

namespace velmorix::ftp {

class DataConnector {
 public:
  // `serverAddress` is the address the control connection reaches the
  // server at, with a mapped IPv4 address unmapped.
  explicit DataConnector(const SocketAddress& serverAddress) : serverAddress_(serverAddress) {}

  // Readies the data connection and tells the server of it (listen, then
  // PORT or EPRT). kServerReply when the server refuses; the control channel
  // is marked lost when it is out of step.
  FtpStatus Prepare(ControlChannel& control);
  // Adds to `poll` what becomes ready when the data connection can be
  // taken, and returns its index.
  int AddTo(StreamPoll& poll) const;
  // Takes the data connection into `stream` when it has come; after that
  // the connector waits for nothing more. kOk with `stream` not held means
  // it has not come yet (or a stranger connected, who was turned away);
  // kError with errno set when the system failed.
  IoResult Take(OwnedStream& stream);
  // Stops waiting for the data connection.
  void Close() { listener_.Close(); }

 private:
  SocketAddress serverAddress_;
  Socket listener_;
};

}  // namespace velmorix::ftp
