// Asking the removal service to stop: the caller's side of StopRemoval. The
// service's side is the listener's. Blocks the calling thread for the
// call's round trip; safe from any thread that owns |connection|.
#ifndef QUILLFEN_SERVICE_BUS_STOP_REQUEST_H_
#define QUILLFEN_SERVICE_BUS_STOP_REQUEST_H_

#include <sdbus-c++/sdbus-c++.h>

#include <cstdint>
#include <string>

namespace quillfen {

// Asks the service's current instance to stop the running removals of
// |volume_path|; answers how many it stopped (0 when it can't be asked).
std::uint32_t AskServiceToStop(sdbus::IConnection& connection,
                               const std::string& volume_path);

}  // namespace quillfen

#endif  // QUILLFEN_SERVICE_BUS_STOP_REQUEST_H_
