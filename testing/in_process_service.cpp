#include "testing/in_process_service.h"

#include <gtest/gtest.h>

#include "protocol/identifiers.h"
#include "testing/support.h"

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
    : idle_timeout_(idle_timeout), listener_({idle_timeout}) {
  listener_.setDelegate(delegate);
  serving_ =
      std::async(std::launch::async, [this] { return listener_.resume(); });
  auto probe = bus.Connect();
  bool owned = false;
  // A listener that has ended already will never own the name.
  PollUntil(
      [&] {
        owned = OwnerPid(*probe, std::string(ServiceName)) >= 0;
        return owned || serving_.wait_for(std::chrono::seconds(0)) ==
                            std::future_status::ready;
      },
      kPatience);
  if (!owned) ADD_FAILURE() << "the in-process service never owned its name";
}

InProcessService::~InProcessService() {
  // The listener's thread uses this object: there is no leaving before it
  // ends.
  if (serving_.valid()) serving_.wait();
}

int InProcessService::WaitUntilStopped() {
  if (serving_.wait_for(idle_timeout_ + kPatience) !=
      std::future_status::ready) {
    ADD_FAILURE() << "the in-process service did not stop when idle";
    return -1;
  }
  return serving_.get();
}

}  // namespace quillfen::testing
