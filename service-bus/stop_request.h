// Asking the removal service to stop: the caller's side of StopRemoval. The
// service's side is the listener's. Blocks the calling thread for the
// call's round trip, never longer than the limit the caller gives: a
// service that is suspended or stuck must not hold up a caller that has
// other things to watch (a person's second Ctrl-C). Safe from any thread
// that owns |connection|.
#ifndef QUILLFEN_SERVICE_BUS_STOP_REQUEST_H_
#define QUILLFEN_SERVICE_BUS_STOP_REQUEST_H_

#include <sdbus-c++/sdbus-c++.h>

#include <chrono>
#include <cstdint>
#include <optional>
#include <string>

namespace quillfen {

// Asks the service's current instance to stop the running removals of
// |token|, waiting at most |limit| for its answer: how many it
// stopped, or nothing when no answer came (none in time, or the call
// failed).
std::optional<std::uint32_t> AskServiceToStop(sdbus::IConnection& connection,
                                              const std::string& token,
                                              std::chrono::microseconds limit);

}  // namespace quillfen

#endif  // QUILLFEN_SERVICE_BUS_STOP_REQUEST_H_
