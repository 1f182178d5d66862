#include "service-bus/stop_request.h"

#include "protocol/identifiers.h"
#include "service-bus/bus_names.h"

namespace quillfen {

std::optional<std::uint32_t> AskServiceToStop(sdbus::IConnection& connection,
                                              const std::string& token,
                                              std::chrono::microseconds limit) {
  std::uint32_t stopped = 0;
  try {
    sdbus::createProxy(connection, std::string(ServiceName),
                       std::string(kServiceObjectPath))
        ->callMethod(bus::kStopMethod)
        .onInterface(bus::kJobsInterface)
        .withTimeout(limit)
        .withArguments(token)
        .storeResultsTo(stopped);
  } catch (const sdbus::Error&) {
    return std::nullopt;
  }
  return stopped;
}

}  // namespace quillfen
