#include "removal-service/service_delegate.h"

#include <memory>

#include "removal-engine/quillfen_removal_service.h"

namespace quillfen {

bool ServiceDelegate::listenerShouldAcceptNewConnection(
    ServiceListener& /*listener*/, ServiceConnection& newConnection) {
  newConnection.setExportedInterface(ServiceInterface::WithProtocol());
  newConnection.setExportedObject(std::make_shared<QuillfenRemovalService>());
  newConnection.resume();
  return true;
}

}  // namespace quillfen
