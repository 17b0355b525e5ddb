#include "ftp/tls_stream.h"

#include "base/display_text.h"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <openssl/err.h>
#include <openssl/ssl.h>
#include <openssl/x509v3.h>
#include <poll.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <ctime>
#include <utility>

namespace velmorix::ftp {

namespace {

// The first error OpenSSL queued on this thread, in its own words; the queue
// is emptied.
std::string TakeOpenSslError() {
  const unsigned long first = ERR_get_error();
  ERR_clear_error();
  if (first == 0)
    return {};
  char text[256];
  ERR_error_string_n(first, text, sizeof text);
  return text;
}

// --- A BIO over a byte stream ------------------------------------------------
//
// OpenSSL reads and writes the connection through the plain stream under
// it, so the stream's rules hold for TLS too: no call waits, and a peer that
// went away never raises SIGPIPE.

ByteStream* StreamOf(BIO* bio) {
  return static_cast<ByteStream*>(BIO_get_data(bio));
}

int BioWrite(BIO* bio, const char* data, int size) {
  BIO_clear_retry_flags(bio);
  size_t sent = 0;
  const IoResult result = StreamOf(bio)->SendAvailable(data, static_cast<size_t>(size), sent);
  if (result == IoResult::kOk && sent > 0)
    return static_cast<int>(sent);
  if (result == IoResult::kOk)
    BIO_set_retry_write(bio);
  return -1;
}

int BioRead(BIO* bio, char* buffer, int size) {
  BIO_clear_retry_flags(bio);
  size_t received = 0;
  const IoResult result =
      StreamOf(bio)->ReceiveAvailable(buffer, static_cast<size_t>(size), received);
  if (result == IoResult::kOk && received > 0)
    return static_cast<int>(received);
  if (result == IoResult::kOk) {
    BIO_set_retry_read(bio);
    return -1;
  }
  if (result == IoResult::kClosed) {
    errno = 0;  // an end of file, not a system error
    return 0;
  }
  return -1;
}

long BioControl(BIO*, int command, long, void*) {
  // Nothing is buffered here; every other control has no meaning for us.
  return command == BIO_CTRL_FLUSH ? 1 : 0;
}

int BioCreate(BIO* bio) {
  BIO_set_init(bio, 1);
  return 1;
}

const BIO_METHOD* StreamBioMethod() {
  static BIO_METHOD* const method = [] {
    BIO_METHOD* made = BIO_meth_new(BIO_get_new_index() | BIO_TYPE_SOURCE_SINK, "velmorix stream");
    if (made != nullptr) {
      BIO_meth_set_write(made, BioWrite);
      BIO_meth_set_read(made, BioRead);
      BIO_meth_set_ctrl(made, BioControl);
      BIO_meth_set_create(made, BioCreate);
    }
    return made;
  }();
  return method;
}

// --- What a certificate shows --------------------------------------------------

std::string NameLine(const X509_NAME* name) {
  BIO* memory = BIO_new(BIO_s_mem());
  if (memory == nullptr)
    return {};
  // One line, UTF-8 kept as it is (no \xHH escapes for Japanese names).
  X509_NAME_print_ex(memory, name, 0,
                     (XN_FLAG_ONELINE | ASN1_STRFLGS_UTF8_CONVERT) & ~ASN1_STRFLGS_ESC_MSB);
  char* data = nullptr;
  const long length = BIO_get_mem_data(memory, &data);
  std::string line(data, length > 0 ? static_cast<size_t>(length) : 0);
  BIO_free(memory);
  return line;
}

std::string TimeText(const ASN1_TIME* time) {
  std::tm parts{};
  if (time == nullptr || ASN1_TIME_to_tm(time, &parts) != 1)
    return "?";
  char text[32];
  std::strftime(text, sizeof text, "%Y-%m-%d %H:%M:%S UTC", &parts);
  return text;
}

std::string Fingerprint(const X509* certificate) {
  unsigned char digest[EVP_MAX_MD_SIZE];
  unsigned int length = 0;
  if (X509_digest(certificate, EVP_sha256(), digest, &length) != 1)
    return {};
  std::string text = "SHA256:";
  for (unsigned int i = 0; i < length; ++i) {
    if (i > 0)
      text.push_back(':');
    AppendHexByte(text, digest[i]);
  }
  return text;
}

// Why the chain or name check failed, for the user; OpenSSL's words for the
// rarer reasons.
std::string VerifyFailureText(long result) {
  switch (result) {
    case X509_V_ERR_DEPTH_ZERO_SELF_SIGNED_CERT:
    case X509_V_ERR_SELF_SIGNED_CERT_IN_CHAIN:
      return "自己署名の証明書です (信頼された認証局の署名がありません)";
    case X509_V_ERR_UNABLE_TO_GET_ISSUER_CERT:
    case X509_V_ERR_UNABLE_TO_GET_ISSUER_CERT_LOCALLY:
    case X509_V_ERR_UNABLE_TO_VERIFY_LEAF_SIGNATURE:
      return "発行した認証局を信頼できません";
    case X509_V_ERR_HOSTNAME_MISMATCH:
    case X509_V_ERR_IP_ADDRESS_MISMATCH:
      return "証明書が接続先のサーバー名と一致しません";
    case X509_V_ERR_CERT_HAS_EXPIRED:
      return "証明書の有効期限が切れています";
    case X509_V_ERR_CERT_NOT_YET_VALID:
      return "証明書はまだ有効になっていません";
    default:
      break;
  }
  return X509_verify_cert_error_string(result);
}

// Checks the server's chain of `ssl` once more, against the trust store's
// bundle file, as the handshake checked it against the folder.
long VerifyWithBundle(SSL* ssl, const std::string& bundle) {
  long result = X509_V_ERR_UNABLE_TO_GET_ISSUER_CERT_LOCALLY;
  X509_STORE* store = X509_STORE_new();
  X509_STORE_CTX* check = X509_STORE_CTX_new();
  X509* leaf = const_cast<X509*>(SSL_get0_peer_certificate(ssl));
  if (store != nullptr && check != nullptr && X509_STORE_load_file(store, bundle.c_str()) == 1 &&
      X509_STORE_CTX_init(check, store, leaf, SSL_get_peer_cert_chain(ssl)) == 1) {
    X509_STORE_CTX_set_default(check, "ssl_server");
    X509_VERIFY_PARAM_set1(X509_STORE_CTX_get0_param(check), SSL_get0_param(ssl));
    result = X509_verify_cert(check) == 1 ? X509_V_OK : X509_STORE_CTX_get_error(check);
  }
  X509_STORE_CTX_free(check);
  X509_STORE_free(store);
  ERR_clear_error();
  return result;
}

CertificateInfo DescribeCertificate(const X509* certificate) {
  CertificateInfo info;
  info.subject = NameLine(X509_get_subject_name(certificate));
  info.issuer = NameLine(X509_get_issuer_name(certificate));
  info.validFrom = TimeText(X509_get0_notBefore(certificate));
  info.validUntil = TimeText(X509_get0_notAfter(certificate));
  info.fingerprint = Fingerprint(certificate);
  return info;
}

// The certificate must name the IPv4 address that an IPv4-mapped IPv6
// address holds, as that is the host the connection reaches.
std::string AddressToCheck(const std::string& host, bool& isAddress) {
  in_addr ipv4{};
  in6_addr ipv6{};
  isAddress = true;
  if (inet_pton(AF_INET, host.c_str(), &ipv4) == 1)
    return host;
  if (inet_pton(AF_INET6, host.c_str(), &ipv6) == 1) {
    if (IN6_IS_ADDR_V4MAPPED(&ipv6)) {
      char text[INET_ADDRSTRLEN];
      if (inet_ntop(AF_INET, &ipv6.s6_addr[12], text, sizeof text) != nullptr)
        return text;
    }
    return host;
  }
  isAddress = false;
  return host;
}

}  // namespace

// --- The client's context -------------------------------------------------------

struct TlsClient::Context {
  ~Context() {
    SSL_SESSION_free(session);
    SSL_CTX_free(ctx);
  }

  SSL_CTX* ctx = nullptr;
  std::string host;  // what the certificate must name
  bool hostIsAddress = false;
  // The control connection's session, which data connections resume.
  SSL_SESSION* session = nullptr;
  // The control connection's certificate, which data connections must show,
  // and whether it passed the check (else the user accepted it).
  std::string controlFingerprint;
  bool controlVerified = false;
  // The trust store's bundle file for a second check (see Create), or
  // empty.
  std::string bundle;
  // The key exchange group the server chose on the control connection
  // (NID), offered first on data connections; 0 before.
  int group = 0;
};

namespace {

// Sessions are kept for the control connection only: its SSL carries the
// context as application data, data connections carry none.
int KeepControlSession(SSL* ssl, SSL_SESSION* session) {
  auto* context = static_cast<TlsClient::Context*>(SSL_get_app_data(ssl));
  if (context == nullptr || SSL_SESSION_is_resumable(session) != 1)
    return 0;
  SSL_SESSION_free(context->session);
  context->session = session;
  return 1;  // the reference is ours now
}

// What a data connection's server must show: the control connection's
// certificate, or with `verified` any that passes the same check.
struct DataPeer {
  std::string fingerprint;  // empty: no check (the control connection)
  bool verified = false;
  std::string bundle;  // see TlsClient::Context::bundle
};

// True when the peer's chain and name check of `ssl` passed.
bool Verified(SSL* ssl, const std::string& bundle) {
  long result = SSL_get_verify_result(ssl);
  if (result == X509_V_ERR_UNABLE_TO_GET_ISSUER_CERT_LOCALLY && !bundle.empty())
    result = VerifyWithBundle(ssl, bundle);
  return result == X509_V_OK;
}

// --- The stream ------------------------------------------------------------------

class TlsStream final : public ByteStream {
 public:
  // Takes over `inner` and `ssl`. A data stream checks its server against
  // `peer` (see CheckPeer); the control stream gives an empty one.
  TlsStream(std::unique_ptr<ByteStream> inner, SSL* ssl, DataPeer peer)
      : inner_(std::move(inner)), ssl_(ssl), peer_(std::move(peer)) {
    if (ssl_ == nullptr) {
      Fail("TLS: " + TakeOpenSslError());
      return;
    }
    BIO* bio = BIO_new(StreamBioMethod());
    if (bio != nullptr) {
      BIO_set_data(bio, inner_.get());
      SSL_set_bio(ssl_, bio, bio);
    } else {
      Fail("OpenSSL: BIO_new failed");
    }
  }
  ~TlsStream() override {
    Close();
    SSL_free(ssl_);
  }

  IoResult SendAvailable(const char* data, size_t size, size_t& sent) override {
    sent = 0;
    if (failed_)
      return Failed();
    if (size == 0)
      return IoResult::kOk;
    if (const IoResult shaken = HandshakeStep(sendWant_); shaken != IoResult::kOk || !ready_)
      return shaken;
    ERR_clear_error();
    const int result = SSL_write_ex(ssl_, data, size, &sent);
    if (result == 1) {
      sendWant_ = POLLOUT;
      return IoResult::kOk;
    }
    sent = 0;
    return Classify(SSL_get_error(ssl_, result), sendWant_);
  }

  IoResult ReceiveAvailable(char* buffer, size_t capacity, size_t& received) override {
    received = 0;
    if (failed_)
      return Failed();
    if (const IoResult shaken = HandshakeStep(receiveWant_); shaken != IoResult::kOk || !ready_)
      return shaken;
    ERR_clear_error();
    const int result = SSL_read_ex(ssl_, buffer, capacity, &received);
    if (result == 1) {
      receiveWant_ = POLLIN;
      return IoResult::kOk;
    }
    received = 0;
    return Classify(SSL_get_error(ssl_, result), receiveWant_);
  }

  bool CutShort() const override { return cutShort_; }
  bool PeerRefused() const override { return peerRefused_; }

  bool HasPendingBytes() const override { return ssl_ != nullptr && SSL_pending(ssl_) > 0; }

  short PollEvents(short wanted) const override {
    short events = 0;
    if ((wanted & POLLIN) != 0)
      events |= receiveWant_;
    if ((wanted & POLLOUT) != 0)
      events |= sendWant_;
    return events;
  }

  IoResult EndSending(Deadline deadline) override {
    // An empty upload has not shaken hands yet, and close_notify needs a
    // session to be sent in.
    if (const IoResult shaken = Handshake(deadline); shaken != IoResult::kOk)
      return shaken;
    for (;;) {
      ERR_clear_error();
      const int result = SSL_shutdown(ssl_);
      if (result >= 0)
        break;
      short want = POLLOUT;
      const IoResult step = Classify(SSL_get_error(ssl_, result), want);
      if (step != IoResult::kOk)
        return step;
      if (const IoResult waited = WaitFor(inner_->socket().fd(), want, deadline);
          waited != IoResult::kOk) {
        return waited;
      }
    }
    shutdownSent_ = true;
    // No half-close: close_notify tells the server that all has come, and a
    // connection still open in both directions acknowledges the server's
    // own close_notify when it closes (see ReceiveAvailable).
    return IoResult::kOk;
  }

  void Close() override {
    if (closed_)
      return;
    closed_ = true;
    // Said once and without waiting: the connection ends either way.
    if (!failed_ && !shutdownSent_ && ssl_ != nullptr && SSL_is_init_finished(ssl_)) {
      ERR_clear_error();
      SSL_shutdown(ssl_);
      ERR_clear_error();
    }
    inner_->Close();
  }

  void Abandon() override {
    closed_ = true;
    inner_->Abandon();
  }

  const Socket& socket() const override { return inner_->socket(); }
  bool IsPlainTcp() const override { return false; }

  std::string FailureText(int error) const override {
    return detail_.empty() ? inner_->FailureText(error) : detail_;
  }

  // Drives the handshake to its end before `deadline`.
  IoResult Handshake(Deadline deadline) {
    for (;;) {
      short want = POLLIN;
      if (const IoResult step = HandshakeStep(want); step != IoResult::kOk || ready_)
        return step;
      if (const IoResult waited = WaitFor(inner_->socket().fd(), want, deadline);
          waited != IoResult::kOk) {
        return waited;
      }
    }
  }

 private:
  // Takes the handshake as far as it goes without waiting; `want` learns
  // which way it waits. Once it is done, a data connection's peer is
  // checked (CheckPeer) before anything else happens on it: no byte of a
  // file goes out, and no byte of a listing is taken, before the server is
  // known to be the one the control connection reached. ready_ says when
  // both are done.
  IoResult HandshakeStep(short& want) {
    if (ready_)
      return IoResult::kOk;
    ERR_clear_error();
    const int result = SSL_do_handshake(ssl_);
    if (result != 1) {
      const IoResult step = Classify(SSL_get_error(ssl_, result), want);
      return step == IoResult::kClosed ? Fail("TLS: the server closed the connection") : step;
    }
    if (const IoResult checked = CheckPeer(); checked != IoResult::kOk)
      return checked;
    ready_ = true;
    return IoResult::kOk;
  }

  // Maps what SSL_get_error said onto a stream result; `want` learns which
  // way the call must wait.
  IoResult Classify(int error, short& want) {
    switch (error) {
      case SSL_ERROR_WANT_READ:
        want = POLLIN;
        return IoResult::kOk;
      case SSL_ERROR_WANT_WRITE:
        want = POLLOUT;
        return IoResult::kOk;
      case SSL_ERROR_ZERO_RETURN:
        return IoResult::kClosed;
      case SSL_ERROR_SYSCALL: {
        const int system = errno;
        const std::string queued = TakeOpenSslError();
        if (system == 0 && queued.empty())
          return EndedWithoutCloseNotify();
        if (!queued.empty())
          return Fail("TLS: " + queued);
        failed_ = true;
        errno = system;
        return IoResult::kError;
      }
      case SSL_ERROR_SSL:
        if (ERR_GET_REASON(ERR_peek_error()) == SSL_R_UNEXPECTED_EOF_WHILE_READING) {
          ERR_clear_error();
          return EndedWithoutCloseNotify();
        }
        break;
      default:
        break;
    }
    const std::string queued = TakeOpenSslError();
    return Fail("TLS: " +
                (queued.empty() ? std::string("error ") + std::to_string(error) : queued));
  }

  // The peer's bytes ended without its close_notify: what came may be cut
  // short (an attacker can drop the last records and close), so it is no
  // end of the stream but a failure that says so.
  IoResult EndedWithoutCloseNotify() {
    cutShort_ = true;
    return Fail("TLS: the server ended the connection without close_notify");
  }

  IoResult Fail(std::string detail) {
    failed_ = true;
    detail_ = std::move(detail);
    errno = EPROTO;
    return IoResult::kError;
  }

  IoResult Failed() {
    errno = detail_.empty() ? EPIPE : EPROTO;
    return IoResult::kError;
  }

  // The one check of a data connection's peer, once its handshake is done:
  // it shows the control connection's certificate (a resumed session shows
  // it too, and proves the peer holds that session's keys), or, where the
  // control connection's certificate verified, one that verifies for the
  // destination as well. A user's acceptance of the control connection's
  // certificate covers that certificate only.
  IoResult CheckPeer() {
    if (peer_.fingerprint.empty())
      return IoResult::kOk;  // the control connection itself
    const X509* certificate = SSL_get0_peer_certificate(ssl_);
    if (certificate != nullptr && Fingerprint(certificate) == peer_.fingerprint)
      return IoResult::kOk;
    if (certificate != nullptr && peer_.verified && Verified(ssl_, peer_.bundle))
      return IoResult::kOk;
    peerRefused_ = true;
    if (certificate == nullptr)
      return Fail("TLS: データ接続のサーバー証明書がありません");
    return Fail("TLS: データ接続のサーバー証明書が制御接続のものと異なります (" +
                Fingerprint(certificate) + ")");
  }

  std::unique_ptr<ByteStream> inner_;
  SSL* ssl_;
  DataPeer peer_;
  short receiveWant_ = POLLIN;  // what a receive waits for
  short sendWant_ = POLLOUT;    // what a send waits for
  bool ready_ = false;          // handshake and peer check done
  bool cutShort_ = false;       // see EndedWithoutCloseNotify
  bool peerRefused_ = false;    // CheckPeer refused the data connection's server
  bool shutdownSent_ = false;
  bool closed_ = false;
  bool failed_ = false;
  std::string detail_;  // why the stream failed, when TLS says more than errno
};

// Sets up `ssl` for the server: the name sent (SNI) and checked.
void AddServerName(SSL* ssl, const TlsClient::Context& context) {
  if (context.hostIsAddress) {
    X509_VERIFY_PARAM_set1_ip_asc(SSL_get0_param(ssl), context.host.c_str());
    return;
  }
  SSL_set_tlsext_host_name(ssl, context.host.c_str());
  SSL_set_hostflags(ssl, X509_CHECK_FLAG_NO_PARTIAL_WILDCARDS);
  SSL_set1_host(ssl, context.host.c_str());
}

}  // namespace

TlsClient::TlsClient(std::unique_ptr<Context> context) : context_(std::move(context)) {}
TlsClient::~TlsClient() = default;

std::unique_ptr<TlsClient> TlsClient::Create(const std::string& host, std::string& error) {
  auto context = std::make_unique<Context>();
  ERR_clear_error();
  context->ctx = SSL_CTX_new(TLS_client_method());
  if (context->ctx == nullptr || StreamBioMethod() == nullptr) {
    error = "TLS: " + TakeOpenSslError();
    return nullptr;
  }
  SSL_CTX* ctx = context->ctx;
  SSL_CTX_set_min_proto_version(ctx, TLS1_2_VERSION);
  // The system's trust store. Its hashed folder (/etc/ssl/certs) gives one
  // certificate at a time, as a chain needs it; its bundle file would cost
  // a parse of every certificate in it, tens of milliseconds a connection,
  // so it is read at once only when SSL_CERT_FILE names one, and else only
  // to check again a chain that the folder could not complete. Without a
  // trust store nothing verifies, and the user is asked.
  const char* folder = std::getenv(X509_get_default_cert_dir_env());
  SSL_CTX_load_verify_dir(ctx, folder != nullptr ? folder : X509_get_default_cert_dir());
  if (const char* file = std::getenv(X509_get_default_cert_file_env()); file != nullptr) {
    SSL_CTX_load_verify_file(ctx, file);
  } else {
    context->bundle = X509_get_default_cert_file();
  }
  // The handshake goes on whatever the check found; SecureControl reports it.
  SSL_CTX_set_verify(ctx, SSL_VERIFY_NONE, nullptr);
  SSL_CTX_set_mode(ctx, SSL_MODE_ENABLE_PARTIAL_WRITE | SSL_MODE_ACCEPT_MOVING_WRITE_BUFFER);
  // An end without close_notify is no end here (see
  // TlsStream::EndedWithoutCloseNotify): it is what an attacker who cuts
  // the data short produces.
  SSL_CTX_set_options(ctx, SSL_OP_NO_COMPRESSION);
  SSL_CTX_set_session_cache_mode(ctx, SSL_SESS_CACHE_CLIENT | SSL_SESS_CACHE_NO_INTERNAL_STORE);
  SSL_CTX_sess_set_new_cb(ctx, KeepControlSession);
  ERR_clear_error();
  context->host = AddressToCheck(host, context->hostIsAddress);
  return std::unique_ptr<TlsClient>(new TlsClient(std::move(context)));
}

bool TlsClient::SecureControl(OwnedStream& stream, Deadline deadline, TlsPeer& peer,
                              std::string& error) {
  SSL* ssl = SSL_new(context_->ctx);
  if (ssl == nullptr) {
    error = "TLS: " + TakeOpenSslError();
    stream.Close();
    return false;
  }
  SSL_set_app_data(ssl, context_.get());
  AddServerName(ssl, *context_);
  SSL_set_connect_state(ssl);
  auto tls = std::make_unique<TlsStream>(stream.Release(), ssl, DataPeer{});
  TlsStream& secured = *tls;
  stream = OwnedStream(std::move(tls));

  const IoResult shaken = secured.Handshake(deadline);
  if (shaken != IoResult::kOk) {
    error =
        shaken == IoResult::kTimeout ? "TLS: the handshake timed out" : secured.FailureText(errno);
    stream.Close();
    return false;
  }
  const X509* certificate = SSL_get0_peer_certificate(ssl);
  if (certificate == nullptr) {
    error = "TLS: the server showed no certificate";
    stream.Close();
    return false;
  }
  peer.certificate = DescribeCertificate(certificate);
  long verified = SSL_get_verify_result(ssl);
  if (verified == X509_V_ERR_UNABLE_TO_GET_ISSUER_CERT_LOCALLY && !context_->bundle.empty())
    verified = VerifyWithBundle(ssl, context_->bundle);
  peer.verified = verified == X509_V_OK;
  context_->controlVerified = peer.verified;
  if (!peer.verified)
    peer.certificate.reason = VerifyFailureText(verified);
  peer.protocol = SSL_get_version(ssl);
  context_->controlFingerprint = peer.certificate.fingerprint;
  context_->group = SSL_get_negotiated_group(ssl);
  return true;
}

OwnedStream TlsClient::SecureData(OwnedStream plain) {
  // The handshake and the close_notify are small writes each waiting for an
  // answer; held back for the peer's delayed acknowledgement, every
  // transfer would lose tens of milliseconds.
  const int on = 1;
  setsockopt(plain->socket().fd(), IPPROTO_TCP, TCP_NODELAY, &on, sizeof on);
  // Without an SSL the stream fails its first call, with OpenSSL's reason.
  SSL* ssl = SSL_new(context_->ctx);
  if (ssl != nullptr) {
    AddServerName(ssl, *context_);
    // A client sends its key share for the first group it offers; when the
    // server wants another (vsftpd takes P-256 only), it asks for one more
    // round trip and a second key, on every data connection.
    if (context_->group > 0) {
      int groups[4] = {context_->group};
      int count = 1;
      for (const int other : {NID_X25519, NID_X9_62_prime256v1, NID_secp384r1}) {
        if (other != context_->group)
          groups[count++] = other;
      }
      SSL_set1_groups(ssl, groups, count);
    }
    // OpenSSL takes a TLS 1.3 session for single use and spoils it once it
    // has been resumed; servers take the control connection's ticket again
    // and again (some compare the data connection's session with the
    // control connection's), so each data connection gets a copy.
    SSL_SESSION* copy = context_->session != nullptr ? SSL_SESSION_dup(context_->session) : nullptr;
    if (copy != nullptr) {
      SSL_set_session(ssl, copy);
      SSL_SESSION_free(copy);
    }
    SSL_set_connect_state(ssl);
  }
  return OwnedStream(std::make_unique<TlsStream>(
      plain.Release(), ssl,
      DataPeer{context_->controlFingerprint, context_->controlVerified, context_->bundle}));
}

}  // namespace velmorix::ftp
