// A scripted FTP server on 127.0.0.1 for whole runs of the engine against
// what the real test server cannot be made to send: names that reach outside
// their folder, folders without end, listings that trickle or never end, a
// store whose data is never read.
//
// It logs any user in, offers MLSD, keeps a current folder, and answers every
// listing (MLSD or LIST, active mode) from the test's script. CWD, MKD, DELE
// and RMD succeed without a file system behind them; STOR takes the data, or
// leaves it unread when asked to; ABOR aborts a running transfer. With a
// certificate it speaks explicit FTPS (AUTH TLS, PROT P), and can misbehave
// as a host or someone in between does: another certificate on the data
// port, a listing cut without close_notify, an upload reset halfway and
// still answered 226, bytes trickled after an upload instead of the answer.
// It serves one control connection at a time on its own thread, until
// destroyed.
#pragma once

#include <atomic>
#include <chrono>
#include <cstdint>
#include <functional>
#include <mutex>
#include <string>
#include <string_view>
#include <thread>
#include <utility>
#include <vector>

namespace velmorix::testing {

class ScriptedFtpServer {
 public:
  // What one listing sends.
  struct Listing {
    std::string data;                    // the bytes of the data connection
    size_t chunk = 0;                    // bytes per send; 0: all at once
    std::chrono::milliseconds pause{0};  // between two chunks
    bool endless = false;                // send `data` again and again
    bool connect = true;                 // false: no data connection, only the reply
    std::string finalReply = "226 Transfer complete.";
    // Over TLS: false ends the data connection without close_notify, as
    // when the last records are dropped on the way.
    bool closeNotify = true;
  };
  // `command` is "MLSD" or "LIST"; `folder` the absolute folder listed.
  using Script = std::function<Listing(std::string_view command, const std::string& folder)>;

  struct Options {
    bool readUploads = true;        // false: STOR connects but never reads
    bool utf8 = true;               // false: FEAT offers no UTF8
    std::string loginFolder = "/";  // what PWD shows after login
    // A PEM file with a certificate and its key: AUTH TLS is offered.
    std::string tlsPem = {};
    // Data connections show this certificate instead (from a TLS context
    // of their own, so no session of the control connection resumes).
    std::string dataTlsPem = {};
    // An upload is read this far, then, once the client has had time to
    // send the rest, its data connection is reset, and the server still
    // answers 226.
    int64_t resetUploadAfter = -1;
    // After an upload's end the server sends one byte this often and never
    // answers (0: it answers 226).
    std::chrono::milliseconds trickleAfterUpload{0};
  };

  explicit ScriptedFtpServer(Script script) : ScriptedFtpServer(std::move(script), Options{}) {}
  ScriptedFtpServer(Script script, Options options);
  ~ScriptedFtpServer();
  ScriptedFtpServer(const ScriptedFtpServer&) = delete;
  ScriptedFtpServer& operator=(const ScriptedFtpServer&) = delete;

  static constexpr const char* kHost = "127.0.0.1";
  uint16_t port() const { return port_; }

  // Every command line received so far, in order, without CR LF.
  std::vector<std::string> Commands() const;
  // The received command lines that begin with `prefix`.
  std::vector<std::string> CommandsStartingWith(std::string_view prefix) const;
  // The bytes each STOR received, by its argument, in order.
  std::vector<std::pair<std::string, std::string>> Stored() const;

 private:
  struct Session;
  void Serve();

  Script script_;
  Options options_;
  int listener_ = -1;
  uint16_t port_ = 0;
  std::atomic<bool> stopping_{false};
  mutable std::mutex mutex_;
  std::vector<std::string> commands_;
  std::vector<std::pair<std::string, std::string>> stored_;
  std::thread thread_;
};

}  // namespace velmorix::testing
