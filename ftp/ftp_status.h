// How an operation of our FTP client ended, from the control channel up to
// the session: the kind of failure and a text fit for a message box. Plain
// data; any thread.
#pragma once

#include <string>
#include <utility>

namespace velmorix {

enum class FtpErrorKind {
  kNone,
  // A listing holds no (more) entries. FindFirst gives kNoMoreFiles for an
  // empty folder, Next gives it at the end of a listing.
  kNoMoreFiles,
  kServerReply,        // the server refused; the text holds its reply ("550 ...")
  kSystem,             // a socket or local file error; the text holds the system's text
  kTimeout,            // the server stopped answering
  kHostNotFound,       // the host name cannot be resolved
  kConnectionRefused,  // nothing listens on that port, or the host cannot be reached
  kLoginFailed,        // the server refused the user name or the password
  kUnsafeArgument,     // a name held CR, LF or NUL; nothing was sent
  kProtocol,           // the server sent something that is not FTP
  kNotConnected,       // the connection is closed or was lost before
  // The cancel check said stop while a listing or an upload was waiting on
  // its data connection; the transfer was aborted (see SetCancelCheck).
  kCanceled,
  // TLS could not be had as the connection's security demands: the server
  // does not offer it, the handshake failed, or its certificate failed
  // verification and was not accepted (nothing else was sent); or a data
  // connection's server was not the one the control connection reached
  // (no byte of the transfer went to it or was taken from it).
  kTlsFailed,
  // A name cannot be written in the server's name encoding (or a local name
  // is no valid UTF-8); nothing was sent.
  kNameNotRepresentable,
  // With 自動: a listing showed a name in another encoding than the one
  // decided on; the listing ended there.
  kNameEncodingMismatch,
  // SSH: the server's host key is not one the user trusts: unknown and not
  // accepted, changed since it was recorded, or revoked. Nothing was sent.
  kHostKeyRefused,
};

// The result of one FTP operation.
struct FtpStatus {
  FtpErrorKind kind = FtpErrorKind::kNone;
  // What failed, for a message box: the server's reply, the system's text or
  // a description of the time-out. Empty on success.
  std::string text;

  bool ok() const { return kind == FtpErrorKind::kNone; }
  static FtpStatus Ok() { return {}; }
  static FtpStatus Error(FtpErrorKind kind, std::string text) { return {kind, std::move(text)}; }
};

}  // namespace velmorix
