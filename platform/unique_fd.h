// UniqueFd: owns one file descriptor and closes it when it goes, so that no
// path through the code, an early return or an exception, leaks one. Moves,
// never copies. Like the descriptor it holds, one object belongs to one
// thread at a time.
#ifndef QUILLFEN_PLATFORM_UNIQUE_FD_H_
#define QUILLFEN_PLATFORM_UNIQUE_FD_H_

#include <fcntl.h>
#include <unistd.h>

#include <cerrno>
#include <string>
#include <utility>

#include "base/result.h"

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

  // Closes now and answers close()'s errno, or 0: some file systems report
  // a failed write only here. The descriptor is gone either way.
  int Close() {
    int error = 0;
    if (fd_ >= 0 && ::close(fd_) != 0) error = errno;
    fd_ = -1;
    return error;
  }
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

// The two ends of a pipe, each closed on exec; a child gets the one it
// needs with dup2, which clears that flag on the copy.
struct Pipe {
  UniqueFd read;
  UniqueFd write;
};

inline Result<Pipe> OpenPipe() {
  int ends[2];
  if (pipe2(ends, O_CLOEXEC) != 0) return ErrnoError(errno);
  return Pipe{UniqueFd(ends[0]), UniqueFd(ends[1])};
}

// Everything |fd| gives until its end, read with plain system calls: a
// read that fails is an error here (a folder: EISDIR; a /proc file whose
// process or thread ended meanwhile: ESRCH), never an exception.
inline Result<std::string> ReadAll(int fd) {
  std::string text;
  char chunk[65536];
  for (;;) {
    ssize_t got = ::read(fd, chunk, sizeof chunk);
    if (got < 0 && errno == EINTR) continue;
    if (got < 0) return ErrnoError(errno);
    if (got == 0) return text;
    text.append(chunk, static_cast<std::size_t>(got));
  }
}

// The whole text of the file at |path|, as ReadAll reads it.
inline Result<std::string> ReadWholeFile(const std::string& path) {
  UniqueFd file(::open(path.c_str(), O_RDONLY | O_CLOEXEC));
  if (!file) return ErrnoError(errno);
  return ReadAll(file.get());
}

}  // namespace quillfen

#endif  // QUILLFEN_PLATFORM_UNIQUE_FD_H_
