// An open file descriptor that closes itself: a local file, a socket, a lock
// file. Move-only, so one owner at a time decides when the descriptor ends;
// every early return closes what it held. Not shared between threads.
#pragma once

#include <unistd.h>

namespace velmorix {

class UniqueFd {
 public:
  UniqueFd() = default;
  // Takes `fd` over; -1 (a failed open() or socket()) holds nothing.
  explicit UniqueFd(int fd) : fd_(fd) {}
  ~UniqueFd() { Reset(); }
  UniqueFd(UniqueFd&& other) noexcept : fd_(other.Release()) {}
  UniqueFd& operator=(UniqueFd&& other) noexcept {
    if (this != &other)
      Reset(other.Release());
    return *this;
  }
  UniqueFd(const UniqueFd&) = delete;
  UniqueFd& operator=(const UniqueFd&) = delete;

  bool valid() const { return fd_ >= 0; }
  int get() const { return fd_; }

  // Gives the descriptor up without closing it.
  int Release() {
    const int fd = fd_;
    fd_ = -1;
    return fd;
  }
  // Closes the descriptor held, if any, and takes `fd` over instead.
  void Reset(int fd = -1) {
    if (fd_ >= 0)
      ::close(fd_);
    fd_ = fd;
  }
  // Closes now and says whether close(2) succeeded, which for a file just
  // written tells whether its last writes reached the file system. False
  // with errno set on failure, and when nothing was held.
  bool Close() { return ::close(Release()) == 0; }

 private:
  int fd_ = -1;
};

}  // namespace velmorix
