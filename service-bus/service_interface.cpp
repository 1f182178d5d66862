#include "service-bus/service_interface.h"

#include "service-bus/bus_names.h"

namespace quillfen {

ServiceInterface ServiceInterface::WithProtocol() {
  return ServiceInterface{bus::kInterface};
}

}  // namespace quillfen
