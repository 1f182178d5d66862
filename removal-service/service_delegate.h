// ServiceDelegate: accepts every connection the removal service's listener
// offers, exporting a fresh removal engine on each. No property of the peer
// is examined: whoever can reach the service on the user's session bus is
// served. Stateless: safe from any thread.
#ifndef QUILLFEN_REMOVAL_SERVICE_SERVICE_DELEGATE_H_
#define QUILLFEN_REMOVAL_SERVICE_SERVICE_DELEGATE_H_

#include "service-bus/service_listener.h"

namespace quillfen {

class ServiceDelegate : public ServiceListenerDelegate {
 public:
  bool listenerShouldAcceptNewConnection(
      ServiceListener& listener, ServiceConnection& newConnection) override;
};

}  // namespace quillfen

#endif  // QUILLFEN_REMOVAL_SERVICE_SERVICE_DELEGATE_H_
