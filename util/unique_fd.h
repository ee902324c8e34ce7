#pragma once
// The one owner of a POSIX file descriptor: closed when the owner goes, handed on by moving,
// never copied. Close() is there for the writer that must know whether the last close failed
// (it may have lost data).
#include <unistd.h>

#include <utility>

class UniqueFd {
 public:
  UniqueFd() = default;
  // Takes `fd`, which may be negative (nothing owned: an open or socket call that failed).
  explicit UniqueFd(int fd) : fd_(fd) {}
  UniqueFd(UniqueFd&& other) noexcept : fd_(std::exchange(other.fd_, -1)) {}
  UniqueFd& operator=(UniqueFd&& other) noexcept {
    if (this != &other) {
      Reset(std::exchange(other.fd_, -1));
    }
    return *this;
  }
  UniqueFd(const UniqueFd&) = delete;
  UniqueFd& operator=(const UniqueFd&) = delete;
  ~UniqueFd() { Reset(); }

  [[nodiscard]] int Get() const { return fd_; }
  [[nodiscard]] bool IsOpen() const { return fd_ >= 0; }
  // Closes what is owned and takes `fd` instead.
  void Reset(int fd = -1) {
    if (fd_ >= 0) {
      ::close(fd_);
    }
    fd_ = fd;
  }
  // Gives up ownership without closing.
  [[nodiscard]] int Release() { return std::exchange(fd_, -1); }
  // Closes now; close's answer (0, or -1 with errno set), 0 when nothing was owned.
  [[nodiscard]] int Close() { return fd_ >= 0 ? ::close(std::exchange(fd_, -1)) : 0; }

 private:
  int fd_ = -1;
};
