#include "testing/in_process_service.h"

#include <thread>

#include "protocol/identifiers.h"

namespace quillfen::testing {

bool ExportingDelegate::listenerShouldAcceptNewConnection(
    ServiceListener&, ServiceConnection& c) {
  c.setExportedInterface(ServiceInterface::WithProtocol());
  c.setExportedObject(make_());
  c.resume();
  return true;
}

InProcessService::InProcessService(const TestBus& bus,
                                   ServiceListenerDelegate* delegate,
                                   std::chrono::milliseconds idle_timeout)
    : listener_({idle_timeout}) {
  listener_.setDelegate(delegate);
  serving_ =
      std::async(std::launch::async, [this] { return listener_.resume(); });
  WaitForOwner(*bus.Connect(), std::string(ServiceName));
}

InProcessService::~InProcessService() {
  if (serving_.valid()) serving_.wait();
}

int InProcessService::WaitUntilStopped() { return serving_.get(); }

void WaitForOwner(sdbus::IConnection& connection, const std::string& name) {
  while (OwnerPid(connection, name) < 0) {
    std::this_thread::sleep_for(std::chrono::milliseconds(2));
  }
}

}  // namespace quillfen::testing
