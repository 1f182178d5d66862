// UniqueFd: owns one file descriptor and closes it when it goes, so that no
// path through the code, an early return or an exception, leaks one. Moves,
// never copies. Like the descriptor it holds, one object belongs to one
// thread at a time.
#ifndef QUILLFEN_PLATFORM_UNIQUE_FD_H_
#define QUILLFEN_PLATFORM_UNIQUE_FD_H_

#include <unistd.h>

#include <utility>

namespace quillfen {

class UniqueFd {
 public:
  UniqueFd() = default;
  explicit UniqueFd(int fd) : fd_(fd) {}
  ~UniqueFd() { reset(); }
  UniqueFd(UniqueFd&& other) noexcept : fd_(other.release()) {}
  UniqueFd& operator=(UniqueFd&& other) noexcept {
    if (this != &other) reset(other.release());
    return *this;
  }
  UniqueFd(const UniqueFd&) = delete;
  UniqueFd& operator=(const UniqueFd&) = delete;

  int get() const { return fd_; }
  bool valid() const { return fd_ >= 0; }
  explicit operator bool() const { return valid(); }

  // Gives the descriptor up without closing it.
  int release() { return std::exchange(fd_, -1); }
  // Closes the descriptor held, if any, and holds |fd| instead.
  void reset(int fd = -1) {
    // close() frees the descriptor even when it reports an error, so
    // there is nothing to retry.
    if (fd_ >= 0) ::close(fd_);
    fd_ = fd;
  }

 private:
  int fd_ = -1;
};

}  // namespace quillfen

#endif  // QUILLFEN_PLATFORM_UNIQUE_FD_H_
