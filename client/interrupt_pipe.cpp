#include "client/interrupt_pipe.h"

#include <fcntl.h>
#include <signal.h>
#include <unistd.h>

#include <cerrno>

namespace quillfen {
namespace {

// The handler's copy of the pipe's writing end, which the InterruptPipe
// owns; -1 whenever there is none.
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
  read_.reset(fds[0]);
  write_.reset(fds[1]);
  write_fd = write_.get();
  struct sigaction action = {};
  action.sa_handler = OnSignal;
  sigemptyset(&action.sa_mask);
  sigaction(SIGINT, &action, nullptr);
  sigaction(SIGTERM, &action, nullptr);
  sigaction(SIGHUP, &action, nullptr);
}

InterruptPipe::~InterruptPipe() {
  if (!read_) return;
  signal(SIGINT, SIG_DFL);
  signal(SIGTERM, SIG_DFL);
  signal(SIGHUP, SIG_DFL);
  write_fd = -1;  // Before the members close the pipe.
}

}  // namespace quillfen
