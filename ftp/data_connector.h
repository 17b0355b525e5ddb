// Makes the data connection of one transfer and hands it out as a stream,
// whatever the mode.
//
// Active mode: we listen beside the control connection, tell the server
// where with PORT (IPv4) or EPRT (IPv6), and the server connects to us.
// Only a connection from the server's own address is taken; any other is
// closed and ignored. The connection may come before, with or after the
// server's answer to the transfer command, so it is awaited beside the
// control connection: Prepare before the command is sent, then poll what
// AddTo adds together with the control stream, and Take when it is ready.
//
// With TLS (PROT P) the stream handed out speaks TLS; its handshake begins
// with its first byte, once the transfer command has gone.
//
// Passive mode: EPSV (PASV once the server has refused EPSV) names a port,
// and Prepare connects to it before the transfer command is sent, as
// clients do. The connection goes to the server's own address whatever
// address a PASV reply names: behind NAT a server names an address of its
// private network, and no other host may get our data. Take then hands the
// connection out at once.
//
// A control connection to an IPv4-mapped IPv6 address is IPv4 on the wire,
// and its data connections are set up as IPv4 ones. Used by the
// connection's one thread.
#pragma once

#include <chrono>
#include <functional>
#include <string>

#include "ftp/byte_stream.h"
#include "ftp/data_connection_mode.h"
#include "ftp/ftp_control.h"
#include "ftp/ftp_status.h"
#include "ftp/tcp_socket.h"
#include "ftp/tls_stream.h"

namespace velmorix::ftp {

// How one control connection opens its data connections, and what it has
// learned doing so; it lives as long as the connection and serves all its
// transfers.
struct DataConnectionPlan {
  // The address the control connection reaches the server at, unmapped.
  SocketAddress serverAddress;
  DataConnectionMode mode = DataConnectionMode::kActive;
  // How long a passive connect may take before it counts as failed.
  std::chrono::milliseconds passiveConnectTimeout{10000};
  bool epsvRefused = false;      // the server refused EPSV: PASV from now on
  bool activeFromNowOn = false;  // kAuto after passive mode failed
  // An active data connection could not be made: PORT or EPRT was refused,
  // or the server never connected back.
  bool activeFailed = false;
  bool addressReplaced = false;  // the notice of a replaced PASV address was given
  // Set once the server has agreed to PROT P: every data connection is then
  // a TLS stream that resumes the control connection's session.
  TlsClient* tls = nullptr;
  // Tells the user what the connection decided (a line for the console).
  std::function<void(const std::string&)> notice;
};

class DataConnector {
 public:
  explicit DataConnector(DataConnectionPlan& plan) : plan_(plan) {}

  // Readies the data connection in the plan's mode, as said above. In kAuto,
  // a passive mode that the server refuses or whose connection cannot be
  // made turns the plan to active mode for good (with a notice) and readies
  // an active one instead. `canceled` is asked while a passive connect
  // waits; when it says stop, kCanceled (no transfer command was sent, so
  // the control channel is in step). kServerReply when the server refuses;
  // the control channel is marked lost when it is out of step.
  //
  // `leadCommand`, when given (a CWD into the folder a LIST lists), goes out
  // in one write with the first command of the preparation, which saves a
  // round trip; when its answer is not 250 nothing more is prepared and
  // kServerReply gives that answer.
  FtpStatus Prepare(ControlChannel& control, const std::function<bool()>& canceled,
                    std::string_view leadCommand = {});
  // Adds to `poll` what becomes ready when the data connection can be
  // taken, and returns its index; -1 when there is nothing to wait for.
  int AddTo(StreamPoll& poll) const;
  // Takes the data connection into `stream` when it has come; after that
  // the connector waits for nothing more. kOk with `stream` not held means
  // it has not come yet (or a stranger connected, who was turned away);
  // kError with errno set when the system failed.
  IoResult Take(OwnedStream& stream);
  // Stops waiting for the data connection.
  void Close();

 private:
  // `command` and its final reply, with the lead command sent before it
  // in the same write while there is one.
  FtpStatus Command(ControlChannel& control, const std::string& command, FtpReply& reply);
  FtpStatus PrepareActive(ControlChannel& control);
  FtpStatus PreparePassive(ControlChannel& control, const std::function<bool()>& canceled);
  // Connects to the server's `port` within the passive time-out.
  FtpStatus ConnectPassive(uint16_t port, const std::function<bool()>& canceled);
  // The data stream over `socket`, plain or TLS as the plan says.
  OwnedStream DataStream(Socket socket) const;

  DataConnectionPlan& plan_;
  std::string leadCommand_;  // not sent yet
  bool leadRefused_ = false;
  Socket listener_;        // active: where the server connects
  OwnedStream connected_;  // passive: the connection Prepare made
};

}  // namespace velmorix::ftp
