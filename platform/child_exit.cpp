#include "platform/child_exit.h"

#include <poll.h>
#include <sys/syscall.h>
#include <unistd.h>

#include <cerrno>

#include "platform/unique_fd.h"

namespace quillfen {

bool AwaitChildEnd(pid_t pid, std::chrono::milliseconds patience) {
  UniqueFd child(static_cast<int>(syscall(SYS_pidfd_open, pid, 0)));
  if (!child) return errno == ESRCH;
  auto deadline = std::chrono::steady_clock::now() + patience;
  for (;;) {
    auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
        deadline - std::chrono::steady_clock::now());
    pollfd ended = {child.get(), POLLIN, 0};
    int ready = poll(&ended, 1, left.count() > 0 ? int(left.count()) : 0);
    if (ready > 0) return true;
    if (ready == 0) return false;
    if (errno != EINTR) return false;
  }
}

}  // namespace quillfen
