// Replies on the FTP control connection (RFC 959, section 4.2): a line
// "DDD text", or a multi-line reply that opens with "DDD-text" and ends with
// the first later line that starts with the same code and a space. The lines
// in between may look like anything, replies of other codes included.
//
// FtpReplyParser is fed the bytes as they arrive and hands out whole replies.
// It accepts CR LF and a bare LF, and refuses what a sane server never sends
// (NUL bytes, endless lines, endless replies), so a hostile peer cannot make
// the client grow without bound. One parser belongs to one control
// connection and its thread.
#pragma once

#include <cstddef>
#include <string>
#include <string_view>

namespace velmorix::ftp {

struct FtpReply {
  int code = 0;
  // Every line of the reply without its line end, joined by "\n".
  std::string text;

  bool preliminary() const { return code >= 100 && code < 200; }
  bool positive() const { return code >= 200 && code < 300; }
};

class FtpReplyParser {
 public:
  static constexpr size_t kMaxLineLength = 8192;
  static constexpr size_t kMaxLines = 1000;

  enum class Result {
    kIncomplete,  // more bytes are needed
    kReply,       // `reply` holds the next reply
    kMalformed,   // the stream is not FTP; error() says why; nothing more is parsed
  };

  // Appends received bytes.
  void Feed(const char* data, size_t size);
  // Takes the next complete reply out of what was fed.
  Result Next(FtpReply& reply);
  // True when bytes of a further reply are waiting.
  bool HasPendingBytes() const { return buffer_.size() > consumed_; }
  // Why the stream was refused (English, for the error text).
  const std::string& error() const { return error_; }

 private:
  Result Fail(std::string why);

  std::string buffer_;
  size_t consumed_ = 0;   // bytes of buffer_ that belong to replies already handed out
  size_t lineStart_ = 0;  // start of the first line not yet examined
  size_t lineCount_ = 0;  // lines of the current reply examined so far
  int code_ = 0;          // code of the current multi-line reply, 0 before its first line
  std::string error_;
};

}  // namespace velmorix::ftp
