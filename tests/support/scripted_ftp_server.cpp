#include "tests/support/scripted_ftp_server.h"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cstdio>

namespace velmorix::testing {

using std::chrono::milliseconds;

// One control connection and the data connections it asks for.
struct ScriptedFtpServer::Session {
  ScriptedFtpServer& server;
  int control;
  std::string received;  // control bytes not yet taken as a command
  std::string folder = "/";
  sockaddr_in dataAddress{};

  bool stopping() const { return server.stopping_.load(); }

  void Reply(std::string_view text) {
    std::string line(text);
    line += "\r\n";
    (void)!send(control, line.data(), line.size(), MSG_NOSIGNAL);
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
    pollfd entry{control, POLLIN, 0};
    if (poll(&entry, 1, static_cast<int>(wait.count())) <= 0)
      return true;
    char buffer[4096];
    const ssize_t got = recv(control, buffer, sizeof buffer, 0);
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

  void Aborted(int data) {
    close(data);
    Reply("426 Connection closed; transfer aborted.");
    Reply("226 ABOR command successful.");
  }

  int ConnectData() {
    const int data = socket(AF_INET, SOCK_STREAM, 0);
    if (connect(data, reinterpret_cast<const sockaddr*>(&dataAddress), sizeof dataAddress) != 0) {
      close(data);
      return -1;
    }
    return data;
  }

  // Sends all of `bytes`, watching for ABOR; false when the transfer ended
  // (aborted, or the client closed the data connection).
  bool SendData(int data, std::string_view bytes, bool& aborted) {
    while (!bytes.empty()) {
      pollfd entry{data, POLLOUT, 0};
      if (poll(&entry, 1, 50) <= 0) {
        if (stopping() || AbortArrives(milliseconds(0))) {
          aborted = !stopping();
          return false;
        }
        continue;
      }
      const ssize_t sent = send(data, bytes.data(), bytes.size(), MSG_NOSIGNAL | MSG_DONTWAIT);
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
    const int data = ConnectData();
    if (data < 0) {
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
    close(data);
    Reply(whole ? listing.finalReply : "426 Connection closed; transfer aborted.");
  }

  void Store() {
    Reply("150 Ok to send data.");
    const int data = ConnectData();
    if (data < 0) {
      Reply("425 Can't open data connection.");
      return;
    }
    for (;;) {
      if (stopping()) {
        close(data);
        return;
      }
      // An upload that is never read can only end by ABOR.
      if (AbortArrives(server.options_.readUploads ? milliseconds(0) : milliseconds(50))) {
        Aborted(data);
        return;
      }
      if (!server.options_.readUploads)
        continue;
      pollfd entry{data, POLLIN, 0};
      if (poll(&entry, 1, 50) <= 0)
        continue;
      char buffer[65536];
      if (recv(data, buffer, sizeof buffer, 0) <= 0)
        break;
    }
    close(data);
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
      if (verb == "USER") {
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
        Store();
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
    Session session{
        .server = *this, .control = control, .received = {}, .folder = options_.loginFolder};
    session.Run();
    close(control);
  }
}

std::vector<std::string> ScriptedFtpServer::Commands() const {
  std::lock_guard lock(mutex_);
  return commands_;
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
