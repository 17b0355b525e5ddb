// TLS for the control and data connections (explicit FTPS), with OpenSSL:
// the client side of TLS 1.2 or later over a plain byte stream.
//
// A TlsClient belongs to one control connection. It makes the control
// connection's TLS stream with a full handshake and keeps the session that
// the server grants on it; every data connection is then wrapped in a TLS
// stream that resumes that session, as servers demand (vsftpd refuses a data
// connection that does not), and that refuses a server whose certificate is
// not the control connection's.
//
// Verification. The certificate chain is checked against the system's trust
// store (OpenSSL's default paths, which SSL_CERT_FILE and SSL_CERT_DIR can
// point elsewhere) and the host name or address the user gave. A failed
// check does not end the handshake by itself: SecureControl reports it, and
// the caller decides (a certificate the user accepted before, or asks).
//
// A data stream finishes its handshake and checks its server before its
// first byte is sent or taken: it must show the control connection's
// certificate, or, where that one passed the check, one that passes it too.
//
// A TLS stream ends an upload with close_notify, and the upload then reads
// what the server still sends (session tickets) before it closes, so the
// kernel never resets the connection over unread bytes and drops data not
// yet sent. Only the peer's close_notify ends a stream: an end of file
// without it is a failure (CutShort), as dropping the last records and
// closing is all it takes to cut a transfer short. Data connections offer
// first the key exchange group the server chose on the control connection,
// which spares a round trip where a server takes only one group.
//
// Used by the connection's one thread, like the streams it makes.
#pragma once

#include <memory>
#include <string>

#include "ftp/byte_stream.h"
#include "ftp/certificate_info.h"
#include "ftp/tcp_socket.h"

namespace velmorix::ftp {

// What the control connection's handshake showed of the server.
struct TlsPeer {
  bool verified = false;  // chain and name check passed
  // What the certificate shows; `reason` is empty when it was verified.
  CertificateInfo certificate;
  std::string protocol;  // "TLSv1.3"
};

class TlsClient {
 public:
  ~TlsClient();
  TlsClient(const TlsClient&) = delete;
  TlsClient& operator=(const TlsClient&) = delete;

  // A client for the server the user named `host` (a name, or an IPv4 or
  // IPv6 address, which is then what the certificate must name). Nothing
  // with an error text when OpenSSL cannot be set up (the trust store is
  // not required to exist: then nothing verifies).
  static std::unique_ptr<TlsClient> Create(const std::string& host, std::string& error);

  // Replaces the plain `stream` of the control connection with a TLS stream
  // over it and completes the handshake before `deadline`. On failure the
  // stream is closed and `error` says why.
  bool SecureControl(OwnedStream& stream, Deadline deadline, TlsPeer& peer, std::string& error);

  // A TLS stream over the plain data connection `plain`. The handshake
  // starts with the first byte received or sent (after the transfer command
  // has gone, when the server is ready for it), resuming the control
  // connection's session where the server granted one.
  OwnedStream SecureData(OwnedStream plain);

  // The OpenSSL state behind the client; opaque outside tls_stream.cpp.
  struct Context;

 private:
  explicit TlsClient(std::unique_ptr<Context> context);

  std::unique_ptr<Context> context_;
};

}  // namespace velmorix::ftp
