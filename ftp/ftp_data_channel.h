// Data transfers: the transfer command, its data connection (made by a
// DataConnector, in whatever mode) and the data itself.
//
// While data flows, the control connection is watched as well: a refusal
// (4xx/5xx) ends the transfer at once, and a listing's final reply may come
// before its data has been read. All waits are bounded by the time-outs.
// Used by the connection's one thread.
#pragma once

#include <chrono>
#include <functional>
#include <string_view>

#include "ftp/byte_stream.h"
#include "ftp/data_connector.h"
#include "ftp/ftp_control.h"
#include "ftp/ftp_reply.h"
#include "ftp/ftp_status.h"
#include "ftp/tcp_socket.h"

namespace velmorix::ftp {

enum class TransferDirection { kReceive, kSend };

// Asked on the connection's thread while a transfer waits; true means stop.
// Empty: the transfer is never canceled.
using CancelCheck = std::function<bool()>;

// One running transfer. Move-only through its stream; closing `data` ends it.
struct DataTransfer {
  OwnedStream data;
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

// Starts `commandLine` (LIST, MLSD or STOR) and opens its data connection
// (see DataConnector) as `plan` says, learning into it. On success the
// data connection is open (the server's mark of the start may still be on
// the way), or, for a listing, the server has already finished without one:
// then `data` is closed, as there was nothing to send. On failure
// `transfer.data` is closed; the control channel is marked lost when it is
// out of step.
//
// `cancelCheck` is kept in `transfer` and asked at least every 250 ms while
// this or a later call on the transfer waits; when it says stop, the data
// connection is closed, ABOR is sent, the server's answers are read for about
// a second (the control channel is marked lost when they do not come) and the
// call gives kCanceled.
//
// `leadCommand` (a CWD) goes out first, with the data connection's set-up;
// when it is refused, nothing more is sent and kServerReply gives its answer.
FtpStatus OpenTransfer(ControlChannel& control, DataConnectionPlan& plan,
                       std::string_view commandLine, TransferDirection direction,
                       std::chrono::milliseconds dataTimeout, CancelCheck cancelCheck,
                       DataTransfer& transfer, std::string_view leadCommand = {});

// Receives what the data connection brings next into `buffer`, waiting at
// most `dataTimeout` for it. At the end of the data `ended` is set and the
// data stream closed. When `returnBy` passes first, returns with nothing
// received and without an error, so the caller can apply its own limits.
FtpStatus ReceiveData(ControlChannel& control, DataTransfer& transfer, char* buffer,
                      size_t capacity, size_t& received, bool& ended,
                      std::chrono::milliseconds dataTimeout, Deadline returnBy = Deadline::max());

// Sends the rest of the open file `fileFd` over the data connection (the
// kernel sends it itself on a plain TCP stream), ends it (a half-close, or
// TLS's close_notify), waits until the server is known to have all of it
// (its close_notify, or all of it acknowledged; see "How a transfer ends"
// in ftp_data_channel.cpp), then closes the data connection. A reset of the
// data connection fails the upload whatever the server answers. A time-out
// fires only after `dataTimeout` in which nothing moved: neither could a
// byte be queued nor did our queue shrink; bytes the server sends do not
// count. Never raises SIGPIPE.
// `progress`, when set, is told the bytes handed to the connection so far
// after each step that moved some.
FtpStatus SendFileData(ControlChannel& control, DataTransfer& transfer, int fileFd,
                       std::chrono::milliseconds dataTimeout,
                       const std::function<void(int64_t)>& progress = {});

// Whether a listing whose data has ended and whose final reply has come
// (FinishTransfer) was whole: its last line had its line end, and the
// server said 226 or 250. A data end that was no orderly one has failed in
// ReceiveData already.
FtpStatus JudgeListingEnd(const DataTransfer& transfer, bool lastLineEnded);

// Reads the final reply of a transfer whose data connection is closed,
// unless it has come already. Never canceled: it is bounded by the reply
// time-out.
FtpStatus FinishTransfer(ControlChannel& control, DataTransfer& transfer);

}  // namespace velmorix::ftp
