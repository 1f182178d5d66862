#include "client/interrupt_pipe.h"

#include <fcntl.h>
#include <signal.h>
#include <unistd.h>

#include <cerrno>

namespace quillfen {
namespace {

int write_fd = -1;

void OnSignal(int /*signal*/) {
  int saved = errno;
  // A full pipe already says enough.
  [[maybe_unused]] ssize_t ignored = write(write_fd, "!", 1);
  errno = saved;
}

}  // namespace

InterruptPipe::InterruptPipe() {
  int fds[2];
  if (pipe2(fds, O_CLOEXEC | O_NONBLOCK) != 0) return;
  read_fd_ = fds[0];
  write_fd = fds[1];
  struct sigaction action = {};
  action.sa_handler = OnSignal;
  sigemptyset(&action.sa_mask);
  sigaction(SIGINT, &action, nullptr);
  sigaction(SIGTERM, &action, nullptr);
}

InterruptPipe::~InterruptPipe() {
  if (read_fd_ < 0) return;
  signal(SIGINT, SIG_DFL);
  signal(SIGTERM, SIG_DFL);
  close(read_fd_);
  close(write_fd);
  write_fd = -1;
}

}  // namespace quillfen
