#include "service-bus/stop_request.h"

#include "protocol/identifiers.h"
#include "service-bus/bus_names.h"

namespace quillfen {

std::uint32_t AskServiceToStop(sdbus::IConnection& connection,
                               const std::string& volume_path) {
  std::uint32_t stopped = 0;
  try {
    sdbus::createProxy(connection, std::string(ServiceName),
                       std::string(kServiceObjectPath))
        ->callMethod(bus::kStopMethod)
        .onInterface(bus::kInterface)
        .withArguments(volume_path)
        .storeResultsTo(stopped);
  } catch (const sdbus::Error&) {
  }
  return stopped;
}

}  // namespace quillfen
