#include "tests/support/scripted_ftp_server.h"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <openssl/err.h>
#include <openssl/ssl.h>
#include <poll.h>
#include <pthread.h>
#include <signal.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cstdio>
#include <memory>

namespace velmorix::testing {

using std::chrono::milliseconds;

namespace {

struct SslContextFree {
  void operator()(SSL_CTX* context) const { SSL_CTX_free(context); }
};
using SslContext = std::unique_ptr<SSL_CTX, SslContextFree>;

// A server-side TLS context with the certificate and key of `pem`; none
// when it cannot be made (the handshake then fails, and the test with it).
SslContext ServerContext(const std::string& pem) {
  if (pem.empty())
    return nullptr;
  SslContext context(SSL_CTX_new(TLS_server_method()));
  if (context == nullptr || SSL_CTX_use_certificate_chain_file(context.get(), pem.c_str()) != 1 ||
      SSL_CTX_use_PrivateKey_file(context.get(), pem.c_str(), SSL_FILETYPE_PEM) != 1) {
    ERR_clear_error();
    return nullptr;
  }
  return context;
}

// One connection, plain or TLS over it. Blocking sockets; waits go through
// poll() first, and the client always sends whole records.
struct Link {
  int fd = -1;
  SSL* ssl = nullptr;

  Link() = default;
  Link(const Link&) = delete;
  Link& operator=(const Link&) = delete;
  ~Link() { Close(); }

  // Shakes hands as the server; false when that fails.
  bool Accept(SSL_CTX* context) {
    ssl = context == nullptr ? nullptr : SSL_new(context);
    if (ssl == nullptr)
      return false;
    SSL_set_fd(ssl, fd);
    const bool done = SSL_accept(ssl) == 1;
    ERR_clear_error();
    return done;
  }
  bool Pending() const { return ssl != nullptr && SSL_pending(ssl) > 0; }
  ssize_t Send(const void* data, size_t size) {
    if (ssl == nullptr)
      return send(fd, data, size, MSG_NOSIGNAL);
    const int sent = SSL_write(ssl, data, static_cast<int>(size));
    ERR_clear_error();
    return sent;
  }
  // What recv() gives: > 0 bytes, 0 at the end (TLS: close_notify), < 0 on
  // an error.
  ssize_t Receive(void* buffer, size_t size) {
    if (ssl == nullptr)
      return recv(fd, buffer, size, 0);
    const int got = SSL_read(ssl, buffer, static_cast<int>(size));
    const int error = SSL_get_error(ssl, got);
    ERR_clear_error();
    return got > 0 ? got : error == SSL_ERROR_ZERO_RETURN ? 0 : -1;
  }
  // Ends the connection: in order (close_notify first), or with a reset.
  void Close(bool closeNotify = true) {
    if (ssl != nullptr) {
      if (closeNotify)
        SSL_shutdown(ssl);
      SSL_free(ssl);
      ERR_clear_error();
      ssl = nullptr;
    }
    if (fd >= 0)
      close(fd);
    fd = -1;
  }
  void Reset() {
    const linger reset{1, 0};
    setsockopt(fd, SOL_SOCKET, SO_LINGER, &reset, sizeof reset);
    if (ssl != nullptr) {
      SSL_free(ssl);
      ssl = nullptr;
    }
    Close();
  }
};

}  // namespace

// One control connection and the data connections it asks for.
struct ScriptedFtpServer::Session {
  ScriptedFtpServer& server;
  Link control;
  std::string received;  // control bytes not yet taken as a command
  std::string folder = "/";
  sockaddr_in dataAddress{};
  SslContext tls = ServerContext(server.options_.tlsPem);
  SslContext dataTls =
      server.options_.dataTlsPem.empty() ? nullptr : ServerContext(server.options_.dataTlsPem);
  bool protectData = false;  // PROT P

  bool stopping() const { return server.stopping_.load(); }

  void Reply(std::string_view text) {
    std::string line(text);
    line += "\r\n";
    (void)!control.Send(line.data(), line.size());
  }

  // Takes a whole command line out of `received`, if one is there.
  bool TakeCommand(std::string& line) {
    const size_t end = received.find('\n');
    if (end == std::string::npos)
      return false;
    line = received.substr(0, end);
    received.erase(0, end + 1);
    if (!line.empty() && line.back() == '\r')
      line.pop_back();
    std::lock_guard lock(server.mutex_);
    server.commands_.push_back(line);
    return true;
  }

  // Reads what the control connection brings within `wait`; false once it
  // has ended.
  bool Receive(milliseconds wait) {
    pollfd entry{control.fd, POLLIN, 0};
    if (!control.Pending() && poll(&entry, 1, static_cast<int>(wait.count())) <= 0)
      return true;
    char buffer[4096];
    const ssize_t got = control.Receive(buffer, sizeof buffer);
    if (got <= 0)
      return false;
    received.append(buffer, static_cast<size_t>(got));
    return true;
  }

  // The next command; false at the end of the connection or of the server.
  bool NextCommand(std::string& line) {
    while (!TakeCommand(line)) {
      if (stopping() || !Receive(milliseconds(100)))
        return false;
    }
    return true;
  }

  // Waits up to `wait` for ABOR during a transfer; true when it came.
  bool AbortArrives(milliseconds wait) {
    const auto deadline = std::chrono::steady_clock::now() + wait;
    do {
      if (received.find('\n') != std::string::npos) {
        std::string line;
        TakeCommand(line);
        return line.starts_with("ABOR");
      }
      const auto left =
          std::chrono::duration_cast<milliseconds>(deadline - std::chrono::steady_clock::now());
      if (!Receive(std::max(milliseconds(0), std::min(left, milliseconds(50)))))
        return false;
    } while (!stopping() && std::chrono::steady_clock::now() < deadline);
    return false;
  }

  void Aborted(Link& data) {
    data.Close();
    Reply("426 Connection closed; transfer aborted.");
    Reply("226 ABOR command successful.");
  }

  // Connects to the client's data port, and with PROT P shakes hands on it
  // as the server (with the data port's own certificate, when it has one).
  bool ConnectData(Link& data) {
    data.fd = socket(AF_INET, SOCK_STREAM, 0);
    if (connect(data.fd, reinterpret_cast<const sockaddr*>(&dataAddress), sizeof dataAddress) !=
        0) {
      return false;
    }
    return !protectData || data.Accept(dataTls != nullptr ? dataTls.get() : tls.get());
  }

  // Sends all of `bytes`, watching for ABOR; false when the transfer ended
  // (aborted, or the client closed the data connection).
  bool SendData(Link& data, std::string_view bytes, bool& aborted) {
    while (!bytes.empty()) {
      pollfd entry{data.fd, POLLOUT, 0};
      if (poll(&entry, 1, 50) <= 0) {
        if (stopping() || AbortArrives(milliseconds(0))) {
          aborted = !stopping();
          return false;
        }
        continue;
      }
      const ssize_t sent = data.Send(bytes.data(), bytes.size());
      if (sent < 0 && (errno == EAGAIN || errno == EINTR))
        continue;
      if (sent <= 0)
        return false;
      bytes.remove_prefix(static_cast<size_t>(sent));
    }
    return true;
  }

  void List(const Listing& listing) {
    if (!listing.connect) {
      Reply(listing.finalReply);
      return;
    }
    Reply("150 Here comes the listing.");
    Link data;
    if (!ConnectData(data)) {
      Reply("425 Can't open data connection.");
      return;
    }
    const size_t chunk = listing.chunk == 0 ? listing.data.size() : listing.chunk;
    bool aborted = false;
    bool whole = true;
    do {
      for (size_t at = 0; whole && at < listing.data.size(); at += chunk) {
        if (at > 0 && listing.pause.count() > 0 && AbortArrives(listing.pause)) {
          aborted = true;
          whole = false;
          break;
        }
        whole = SendData(data, std::string_view(listing.data).substr(at, chunk), aborted);
      }
    } while (whole && listing.endless && !stopping());
    if (aborted) {
      Aborted(data);
      return;
    }
    data.Close(listing.closeNotify);
    Reply(whole ? listing.finalReply : "426 Connection closed; transfer aborted.");
  }

  void Store(const std::string& name) {
    const Options& options = server.options_;
    Reply("150 Ok to send data.");
    size_t at = 0;
    {
      std::lock_guard lock(server.mutex_);
      server.stored_.emplace_back(name, std::string());
      at = server.stored_.size() - 1;
    }
    Link data;
    if (!ConnectData(data)) {
      Reply("425 Can't open data connection.");
      return;
    }
    for (;;) {
      if (stopping())
        return;
      // An upload that is never read can only end by ABOR.
      if (AbortArrives(options.readUploads ? milliseconds(0) : milliseconds(50))) {
        Aborted(data);
        return;
      }
      if (!options.readUploads)
        continue;
      pollfd entry{data.fd, POLLIN, 0};
      if (!data.Pending() && poll(&entry, 1, 50) <= 0)
        continue;
      char buffer[65536];
      size_t wanted = sizeof buffer;
      {
        std::lock_guard lock(server.mutex_);
        const size_t have = server.stored_[at].second.size();
        if (options.resetUploadAfter >= 0)
          wanted = std::min(wanted, static_cast<size_t>(options.resetUploadAfter) - have);
      }
      if (wanted == 0) {
        // Late enough that the client has handed over the rest and ended
        // its side: only the reset tells it that the rest was never read.
        std::this_thread::sleep_for(milliseconds(300));
        data.Reset();
        Reply("226 Transfer complete.");
        return;
      }
      const ssize_t got = data.Receive(buffer, wanted);
      if (got <= 0)
        break;
      std::lock_guard lock(server.mutex_);
      server.stored_[at].second.append(buffer, static_cast<size_t>(got));
    }
    if (options.trickleAfterUpload.count() > 0) {
      // Bytes instead of the answer, until the client gives up.
      while (!stopping() && !AbortArrives(options.trickleAfterUpload) && data.Send("x", 1) == 1) {
      }
      data.Close(false);
      return;
    }
    data.Close();
    Reply("226 Transfer complete.");
  }

  std::string Resolve(const std::string& path) const {
    if (path.starts_with("/"))
      return path;
    return folder == "/" ? "/" + path : folder + "/" + path;
  }

  void Run() {
    Reply("220 Scripted server ready.");
    std::string line;
    while (NextCommand(line)) {
      const size_t space = line.find(' ');
      const std::string verb = line.substr(0, space);
      std::string argument = space == std::string::npos ? "" : line.substr(space + 1);
      if (verb == "AUTH" && tls != nullptr) {
        Reply("234 Proceed with negotiation.");
        if (!control.Accept(tls.get()))
          return;
      } else if ((verb == "PBSZ" || verb == "PROT") && control.ssl != nullptr) {
        protectData = verb == "PBSZ" ? protectData : argument == "P";
        Reply("200 Ok.");
      } else if (verb == "USER") {
        Reply("331 Password please.");
      } else if (verb == "PASS") {
        Reply("230 Logged in.");
      } else if (verb == "FEAT") {
        Reply(std::string("211-Features:\r\n MLST type*;modify*;\r\n") +
              (server.options_.utf8 ? " UTF8\r\n" : "") + "211 End");
      } else if (verb == "OPTS" || verb == "TYPE" || verb == "NOOP") {
        Reply("200 Ok.");
      } else if (verb == "PWD") {
        Reply("257 \"" + folder + "\" is the current directory.");
      } else if (verb == "CWD") {
        folder = Resolve(argument);
        Reply("250 Directory changed.");
      } else if (verb == "MKD") {
        Reply("257 \"" + Resolve(argument) + "\" created.");
      } else if (verb == "DELE" || verb == "RMD") {
        Reply("250 Done.");
      } else if (verb == "PORT") {
        unsigned h[4] = {}, p[2] = {};
        std::sscanf(argument.c_str(), "%u,%u,%u,%u,%u,%u", &h[0], &h[1], &h[2], &h[3], &p[0],
                    &p[1]);
        dataAddress = {};
        dataAddress.sin_family = AF_INET;
        dataAddress.sin_port = htons(static_cast<uint16_t>(p[0] * 256 + p[1]));
        dataAddress.sin_addr.s_addr = htonl((h[0] << 24) | (h[1] << 16) | (h[2] << 8) | h[3]);
        Reply("200 PORT command successful.");
      } else if (verb == "MLSD" || verb == "LIST") {
        if (verb == "LIST" && argument.starts_with("-a"))
          argument.erase(0, argument.size() > 2 ? 3 : 2);
        List(server.script_(verb, argument.empty() ? folder : Resolve(argument)));
      } else if (verb == "STOR") {
        Store(argument);
      } else if (verb == "ABOR") {
        Reply("225 No transfer to abort.");
      } else if (verb == "QUIT") {
        Reply("221 Goodbye.");
        return;
      } else {
        Reply("502 Command not implemented.");
      }
    }
  }
};

ScriptedFtpServer::ScriptedFtpServer(Script script, Options options)
    : script_(std::move(script)), options_(options) {
  listener_ = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
  sockaddr_in address{};
  address.sin_family = AF_INET;
  address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  socklen_t length = sizeof address;
  if (bind(listener_, reinterpret_cast<sockaddr*>(&address), length) != 0 ||
      listen(listener_, 4) != 0 ||
      getsockname(listener_, reinterpret_cast<sockaddr*>(&address), &length) != 0) {
    return;  // port() stays 0: connecting fails and the test with it
  }
  port_ = ntohs(address.sin_port);
  thread_ = std::thread(&ScriptedFtpServer::Serve, this);
}

ScriptedFtpServer::~ScriptedFtpServer() {
  stopping_ = true;
  if (thread_.joinable())
    thread_.join();
  close(listener_);
}

void ScriptedFtpServer::Serve() {
  // OpenSSL writes to its sockets without MSG_NOSIGNAL: a client that has
  // gone must give EPIPE, not end the test program.
  sigset_t sigpipe;
  sigemptyset(&sigpipe);
  sigaddset(&sigpipe, SIGPIPE);
  pthread_sigmask(SIG_BLOCK, &sigpipe, nullptr);
  while (!stopping_) {
    pollfd entry{listener_, POLLIN, 0};
    if (poll(&entry, 1, 100) <= 0)
      continue;
    const int control = accept4(listener_, nullptr, nullptr, SOCK_CLOEXEC);
    if (control < 0)
      continue;
    // Replies are small and come in pairs (150, 226): without this the second
    // one waits for the client's delayed acknowledgement of the first.
    const int on = 1;
    setsockopt(control, IPPROTO_TCP, TCP_NODELAY, &on, sizeof on);
    Session session{.server = *this, .control = {}, .received = {}, .folder = options_.loginFolder};
    session.control.fd = control;
    session.Run();
  }
}

std::vector<std::string> ScriptedFtpServer::Commands() const {
  std::lock_guard lock(mutex_);
  return commands_;
}

std::vector<std::pair<std::string, std::string>> ScriptedFtpServer::Stored() const {
  std::lock_guard lock(mutex_);
  return stored_;
}

std::vector<std::string> ScriptedFtpServer::CommandsStartingWith(std::string_view prefix) const {
  std::vector<std::string> found;
  for (const std::string& command : Commands()) {
    if (command.starts_with(prefix))
      found.push_back(command);
  }
  return found;
}

}  // namespace velmorix::testing
