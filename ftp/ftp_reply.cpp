#include "ftp/ftp_reply.h"

#include <cstring>

namespace velmorix::ftp {

namespace {

bool IsDigit(char c) {
  return c >= '0' && c <= '9';
}

// The reply code at the start of `line`, or 0 when it does not start with one.
int LeadingCode(std::string_view line) {
  if (line.size() < 3 || line[0] < '1' || line[0] > '5' || !IsDigit(line[1]) || !IsDigit(line[2])) {
    return 0;
  }
  return (line[0] - '0') * 100 + (line[1] - '0') * 10 + (line[2] - '0');
}

std::string_view WithoutLineEnd(std::string_view line) {
  if (!line.empty() && line.back() == '\r')
    line.remove_suffix(1);
  return line;
}

}  // namespace

void FtpReplyParser::Feed(const char* data, size_t size) {
  if (!error_.empty())
    return;
  // Drop what earlier replies used before the buffer grows again, so a long
  // session does not keep its whole history.
  if (consumed_ > 0 && consumed_ == buffer_.size()) {
    buffer_.clear();
    lineStart_ = 0;
    consumed_ = 0;
  } else if (consumed_ > 4096) {
    buffer_.erase(0, consumed_);
    lineStart_ -= consumed_;
    consumed_ = 0;
  }
  buffer_.append(data, size);
}

FtpReplyParser::Result FtpReplyParser::Fail(std::string why) {
  error_ = std::move(why);
  return Result::kMalformed;
}

FtpReplyParser::Result FtpReplyParser::Next(FtpReply& reply) {
  if (!error_.empty())
    return Result::kMalformed;
  for (;;) {
    const size_t end = buffer_.find('\n', lineStart_);
    if (end == std::string::npos) {
      if (buffer_.size() - lineStart_ > kMaxLineLength) {
        return Fail("reply line longer than " + std::to_string(kMaxLineLength) + " bytes");
      }
      if (std::memchr(buffer_.data() + lineStart_, '\0', buffer_.size() - lineStart_)) {
        return Fail("NUL byte in a reply");
      }
      return Result::kIncomplete;
    }
    const std::string_view line =
        WithoutLineEnd(std::string_view(buffer_).substr(lineStart_, end - lineStart_));
    if (line.size() > kMaxLineLength) {
      return Fail("reply line longer than " + std::to_string(kMaxLineLength) + " bytes");
    }
    if (line.find('\0') != std::string_view::npos)
      return Fail("NUL byte in a reply");
    if (++lineCount_ > kMaxLines) {
      return Fail("reply of more than " + std::to_string(kMaxLines) + " lines");
    }
    lineStart_ = end + 1;

    bool complete = false;
    if (code_ == 0) {
      const int code = LeadingCode(line);
      if (code == 0 || (line.size() > 3 && line[3] != ' ' && line[3] != '-')) {
        return Fail("not a reply: \"" + std::string(line.substr(0, 80)) + "\"");
      }
      if (line.size() > 3 && line[3] == '-') {
        code_ = code;
      } else {
        reply.code = code;
        complete = true;
      }
    } else if (LeadingCode(line) == code_ && (line.size() == 3 || line[3] == ' ')) {
      reply.code = code_;
      complete = true;
    }
    if (!complete)
      continue;

    // Join the reply's lines without their line ends.
    reply.text.clear();
    size_t start = consumed_;
    while (start < lineStart_) {
      const size_t stop = buffer_.find('\n', start);
      if (!reply.text.empty())
        reply.text.push_back('\n');
      reply.text.append(WithoutLineEnd(std::string_view(buffer_).substr(start, stop - start)));
      start = stop + 1;
    }
    consumed_ = lineStart_;
    lineCount_ = 0;
    code_ = 0;
    return Result::kReply;
  }
}

}  // namespace velmorix::ftp
