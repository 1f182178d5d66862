// SharedSuiteExchangeTurn: the turn of one message exchange through a
// shared domain. An asker leaves its message in the domain and waits for
// the reply under the same keys as every other asker; holding the turn, an
// exclusive lock on the domain's exchange.lock, makes a second asker wait
// instead of overwriting the first one's message. Flushes never take this
// lock, so the program answering the holder is never kept waiting by it. The
// lock file is made, with the domain's folder, when missing, and never
// opened through a symbolic link.
//
// A wait for the turn can be cut short: the asker may be a person who has
// given up on a holder that never lets go (one suspended, say), so the
// wait watches a descriptor of the asker's choosing besides the lock.
//
// The turn is held while the object lives; one thread owns it, like any
// other value, and may hand it to another by moving it.
#ifndef QUILLFEN_PLATFORM_SHARED_SUITE_EXCHANGE_TURN_H_
#define QUILLFEN_PLATFORM_SHARED_SUITE_EXCHANGE_TURN_H_

#include <string_view>
#include <utility>

#include "base/result.h"
#include "platform/unique_fd.h"

namespace quillfen {

class SharedSuiteExchangeTurn {
 public:
  // Waits for the turn in the domain named |suite_name|; or says why its
  // lock can't be opened or taken. With a |give_up_fd|, the wait ends as
  // soon as that descriptor is readable, answering ECANCELED without the
  // turn; what is there to read is left for the caller.
  static Result<SharedSuiteExchangeTurn> Take(std::string_view suite_name,
                                              int give_up_fd = -1);

 private:
  explicit SharedSuiteExchangeTurn(UniqueFd lock_file)
      : lock_file_(std::move(lock_file)) {}

  UniqueFd lock_file_;
};

}  // namespace quillfen

#endif  // QUILLFEN_PLATFORM_SHARED_SUITE_EXCHANGE_TURN_H_
