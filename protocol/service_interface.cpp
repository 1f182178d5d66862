#include "protocol/service_interface.h"

#include "protocol/removal_service_adaptor.h"

namespace quillfen {

ServiceInterface ServiceInterface::WithProtocol() {
  return ServiceInterface{
      org::quillfen::QuillfenRemovalServiceProtocol_adaptor::INTERFACE_NAME};
}

}  // namespace quillfen
