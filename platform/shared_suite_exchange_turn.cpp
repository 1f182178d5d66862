#include "platform/shared_suite_exchange_turn.h"

#include <fcntl.h>

#include <string>

#include "base/error_text.h"
#include "platform/durable_file.h"
#include "platform/shared_suite.h"

namespace quillfen {

Result<SharedSuiteExchangeTurn> SharedSuiteExchangeTurn::Take(
    std::string_view suite_name) {
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
  if (Result<void> locked = LockExclusively(lock_file->get()); !locked) {
    int lock_error = locked.error().code;
    return ErrnoError(
        lock_error, "can't lock " + path + ": " + SystemErrorText(lock_error));
  }
  return SharedSuiteExchangeTurn(std::move(*lock_file));
}

}  // namespace quillfen
