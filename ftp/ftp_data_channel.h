// Active-mode data transfers: we listen, tell the server where with PORT
// (IPv4) or EPRT (IPv6), send the transfer command and take the server's
// connection. Only a connection from the server's own address is taken; any
// other is closed and ignored. A control connection to an IPv4-mapped IPv6
// address is IPv4 on the wire, and its transfers are set up as IPv4 ones.
//
// While data flows, the control connection is watched as well: a refusal
// (4xx/5xx) ends the transfer at once, and a listing's final reply may come
// before its data has been read. All waits are bounded by the time-outs.
// Used by the connection's one thread.
#pragma once

#include <chrono>
#include <functional>
#include <string_view>

#include "ftp/ftp_control.h"
#include "ftp/ftp_reply.h"
#include "ftp/tcp_socket.h"

namespace velmorix::ftp {

enum class TransferDirection { kReceive, kSend };

// Asked on the connection's thread while a transfer waits; true means stop.
// Empty: the transfer is never canceled.
using CancelCheck = std::function<bool()>;

// One running transfer. Move-only through its socket; closing `data` ends it.
struct DataTransfer {
  Socket data;
  std::string label;  // the command, for texts
  TransferDirection direction = TransferDirection::kReceive;
  bool finalReceived = false;  // the server's last reply on this transfer has come
  FtpReply finalReply;
  // An upload has handed every byte to the kernel and half-closed the data
  // connection: from now on a 226 is the server's answer, not a claim made
  // before it had the data.
  bool dataSent = false;
  CancelCheck cancelCheck;
  // The check is asked no earlier than this, and then at intervals, so a
  // transfer that never waits long is never canceled.
  Deadline nextCancelCheck;
};

// True for the replies that end a transfer well (226, 250). Any other
// positive reply to a listing or a store is a failure: the server did not
// say that the data went through.
bool TransferCompleted(const FtpReply& reply);

// Starts `commandLine` (LIST, MLSD or STOR) with an active data connection.
// On success the server has connected (its mark of the start may still be
// on the way), or, for a listing, has already finished without connecting:
// then `data` is closed, as there was nothing to send. On failure
// `transfer.data` is closed; the control channel is marked lost when it is
// out of step.
//
// `cancelCheck` is kept in `transfer` and asked at least every 250 ms while
// this or a later call on the transfer waits; when it says stop, the data
// connection is closed, ABOR is sent, the server's answers are read for about
// a second (the control channel is marked lost when they do not come) and the
// call gives kCanceled.
FtpStatus OpenActiveTransfer(ControlChannel& control, const SocketAddress& serverAddress,
                             std::string_view commandLine, TransferDirection direction,
                             std::chrono::milliseconds dataTimeout, CancelCheck cancelCheck,
                             DataTransfer& transfer);

// Receives what the data connection brings next into `buffer`, waiting at
// most `dataTimeout` for it. At the end of the data `ended` is set and the
// data socket closed. When `returnBy` passes first, returns with nothing
// received and without an error, so the caller can apply its own limits.
FtpStatus ReceiveData(ControlChannel& control, DataTransfer& transfer, char* buffer,
                      size_t capacity, size_t& received, bool& ended,
                      std::chrono::milliseconds dataTimeout, Deadline returnBy = Deadline::max());

// Sends the rest of the open file `fileFd` over the data connection,
// half-closes it, waits until the server has acknowledged all of it (or has
// already given its final reply), then closes the data connection. A
// time-out fires only after `dataTimeout` in which nothing moved: neither
// could a byte be queued nor did our queue shrink. Never raises SIGPIPE.
FtpStatus SendFileData(ControlChannel& control, DataTransfer& transfer, int fileFd,
                       std::chrono::milliseconds dataTimeout);

// Reads the final reply of a transfer whose data connection is closed,
// unless it has come already. Never canceled: it is bounded by the reply
// time-out.
FtpStatus FinishTransfer(ControlChannel& control, DataTransfer& transfer);

}  // namespace velmorix::ftp
