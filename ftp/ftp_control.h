// The control connection of one FTP session: sends command lines and reads
// replies, each wait bounded by the reply time-out.
//
// Any sign that the connection is gone or out of step (end of file, a socket
// error, a 421 reply, a reply that is not FTP, a time-out) closes the stream
// and marks the channel lost; every later call then fails at once with
// kNotConnected, because a late reply would be taken for the answer to the
// next command. Owned by the connection's state; used by its one thread.
#pragma once

#include <chrono>
#include <deque>
#include <functional>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "ftp/byte_stream.h"
#include "ftp/ftp_reply.h"
#include "ftp/ftp_status.h"
#include "ftp/tcp_socket.h"
#include "ftp/tls_stream.h"

namespace velmorix::ftp {

// Overwrites `text`, its spare capacity included, and empties it: for a
// buffer that held a password, before its memory is freed.
void WipeText(std::string& text);

// A text that is wiped when it goes (a command line with the password).
class WipedText {
 public:
  explicit WipedText(std::string text) : text_(std::move(text)) {}
  ~WipedText() { WipeText(text_); }
  WipedText(const WipedText&) = delete;
  WipedText& operator=(const WipedText&) = delete;
  const std::string& text() const { return text_; }

 private:
  std::string text_;
};

class ControlChannel {
 public:
  ControlChannel(OwnedStream stream, std::chrono::milliseconds replyTimeout);

  bool open() const { return stream_.valid(); }
  // For polling beside a data connection, and for the connection's
  // addresses. Not held once the channel is lost.
  const OwnedStream& stream() const { return stream_; }
  std::chrono::milliseconds replyTimeout() const { return replyTimeout_; }
  void SetReplyTimeout(std::chrono::milliseconds timeout) { replyTimeout_ = timeout; }
  // While set, `check` is asked at least every 250 ms while a reply is
  // awaited; when it says stop, the read gives kCanceled and the channel is
  // lost (a reply may still come).
  void SetWaitCheck(std::function<bool()> check) { waitCheck_ = std::move(check); }

  // Sends `commandLine` followed by CR LF. The caller has made sure that it
  // holds no CR, LF or NUL. The bytes sent are wiped from our buffers once
  // they have gone (PASS carries the password).
  FtpStatus Send(std::string_view commandLine);
  // Sends `commandLines` in one write, so that the server has them all
  // after one trip; their replies are read one by one afterwards.
  FtpStatus SendLines(const std::vector<std::string>& commandLines);
  // Reads the next reply, whatever its code, before `deadline`. `label`
  // names the command in error texts.
  FtpStatus Read(FtpReply& reply, std::string_view label, Deadline deadline);
  // Reads replies until one that is not preliminary (1xx), each within the
  // reply time-out.
  FtpStatus ReadFinal(FtpReply& reply, std::string_view label);
  // Send, then ReadFinal.
  FtpStatus Command(std::string_view commandLine, FtpReply& reply);

  // Leaves the reply to the command just sent to be read before the next
  // reply anyone reads (the caller goes on meanwhile), and kept for
  // TakeDeferred.
  void DeferReply(std::string label) { deferredLabels_.push_back(std::move(label)); }
  bool RepliesDeferred() const { return !deferredLabels_.empty(); }
  // The deferred replies read so far, in the order of their commands.
  std::vector<FtpReply> TakeDeferred() { return std::exchange(deferredRead_, {}); }
  // Reads every deferred reply still outstanding, within the reply time-out
  // each; with `arrived`, only those that have come, without waiting.
  FtpStatus ReadDeferred(bool arrived = false);

  // For waits that watch the control connection beside a data connection:
  // takes a reply that has already been received whole, if any.
  FtpStatus TakeBuffered(FtpReply& reply, bool& taken, std::string_view label);
  // Reads what the stream holds now (call when poll() reported it readable)
  // and takes one whole reply if there is one.
  FtpStatus ReceiveNow(FtpReply& reply, bool& taken, std::string_view label);

  // After the server's 234 to AUTH TLS: shakes hands over the connection
  // within the reply time-out, and from then on every command and reply is
  // encrypted. Bytes the server sent behind its 234 are no part of TLS and
  // make it fail, like any other failure (`error` says why); the channel is
  // lost then.
  bool StartTls(TlsClient& tls, TlsPeer& peer, std::string& error);

  // Says goodbye: QUIT, a short wait for the 221 (unless `awaitGoodbye`
  // is false), then the stream is closed. Errors are ignored and the last
  // reply text is kept.
  void Quit(bool awaitGoodbye = true);
  // Closes the stream; the channel is lost from now on.
  void MarkLost() { stream_.Close(); }
  // Every line of the last reply, joined by "\n".
  const std::string& lastReplyText() const { return lastReplyText_; }
  // Makes `reply`, read before the last one, count as the last: the one
  // that decided the outcome of commands sent together.
  void KeepAsLastReply(const FtpReply& reply) { lastReplyText_ = reply.text; }

 private:
  FtpStatus Accept(FtpReply& reply, std::string_view label);
  // Sends `wire` (lines with their CR LF); `label` names the first command.
  FtpStatus SendWire(const std::string& wire, std::string_view label);

  OwnedStream stream_;
  std::chrono::milliseconds replyTimeout_;
  std::function<bool()> waitCheck_;
  std::deque<std::string> deferredLabels_;  // of replies not read yet
  std::vector<FtpReply> deferredRead_;
  FtpReplyParser parser_;
  std::string lastReplyText_;
};

}  // namespace velmorix::ftp
