#pragma once

namespace tessvark {

// Owns one file or socket descriptor and closes it when it goes; -1 owns nothing. Moves hand the
// descriptor over, copies are not possible.
class UniqueFd {
 public:
  UniqueFd() = default;
  explicit UniqueFd(int fd) : fd_(fd) {}
  ~UniqueFd() { Reset(); }
  UniqueFd(UniqueFd&& other) noexcept : fd_(other.Release()) {}
  UniqueFd& operator=(UniqueFd&& other) noexcept {
    if (this != &other) Reset(other.Release());
    return *this;
  }
  UniqueFd(const UniqueFd&) = delete;
  UniqueFd& operator=(const UniqueFd&) = delete;

  int get() const { return fd_; }
  bool valid() const { return fd_ >= 0; }
  // Gives the descriptor up without closing it.
  int Release() {
    const int fd = fd_;
    fd_ = -1;
    return fd;
  }
  // Closes the owned descriptor (if any) and owns `fd` instead.
  void Reset(int fd = -1);

 private:
  int fd_ = -1;
};

}  // namespace tessvark
