#include "platform/shared_suite_exchange_turn.h"

#include <fcntl.h>
#include <poll.h>
#include <sys/file.h>

#include <cerrno>
#include <string>

#include "base/error_text.h"
#include "platform/durable_file.h"
#include "platform/shared_suite.h"

namespace quillfen {
namespace {

// How long a wait for the lock that watches a descriptor sleeps between
// two tries: short enough that a freed turn is taken without a noticeable
// pause, long enough to cost nothing while a removal holds it for minutes.
constexpr int kRetryMilliseconds = 50;

// Takes the exclusive lock of |lock_fd| with tries that don't block,
// watching |give_up_fd| between them: a blocking lock can't be left when
// the asker gives up, since its signals are read from a descriptor.
Result<void> LockExclusivelyUnlessGivenUp(int lock_fd, int give_up_fd) {
  for (;;) {
    if (flock(lock_fd, LOCK_EX | LOCK_NB) == 0) return {};
    if (errno != EWOULDBLOCK && errno != EINTR) return ErrnoError(errno);
    pollfd give_up = {give_up_fd, POLLIN, 0};
    int ready = poll(&give_up, 1, kRetryMilliseconds);
    if (ready < 0 && errno != EINTR) return ErrnoError(errno);
    if (ready > 0) return ErrnoError(ECANCELED);
  }
}

}  // namespace

Result<SharedSuiteExchangeTurn> SharedSuiteExchangeTurn::Take(
    std::string_view suite_name, int give_up_fd) {
  std::string folder = SharedSuite::FolderFor(suite_name);
  // A folder that can't be made is reported by the open below, which
  // names the lock it was for.
  static_cast<void>(SharedSuite::MakeFolder(folder));
  std::string path = folder + "/exchange.lock";
  Result<UniqueFd> lock_file = OpenLockFile(AT_FDCWD, path);
  if (!lock_file) {
    int open_error = lock_file.error().code;
    return ErrnoError(open_error, "can't open " + path + ": " +
                                      OpenErrorText("it", open_error));
  }
  Result<void> locked = give_up_fd < 0 ? LockExclusively(lock_file->get())
                                       : LockExclusivelyUnlessGivenUp(
                                             lock_file->get(), give_up_fd);
  if (!locked) {
    int lock_error = locked.error().code;
    if (lock_error == ECANCELED) {
      return ErrnoError(ECANCELED, "gave up waiting for the turn at " + path);
    }
    return ErrnoError(
        lock_error, "can't lock " + path + ": " + SystemErrorText(lock_error));
  }
  return SharedSuiteExchangeTurn(std::move(*lock_file));
}

}  // namespace quillfen
