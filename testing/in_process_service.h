// Test support: a removal service listener run in this process, on a
// thread of its own, over the test's private bus. Its delegate exports the
// objects a factory makes; once started it owns ServiceName. For one test.
#ifndef QUILLFEN_TESTING_IN_PROCESS_SERVICE_H_
#define QUILLFEN_TESTING_IN_PROCESS_SERVICE_H_

#include <chrono>
#include <functional>
#include <future>
#include <memory>

#include "removal-service/service_listener.h"
#include "testing/test_bus.h"

namespace quillfen::testing {

// Exports, on every connection, an object made by its factory.
class ExportingDelegate : public ServiceListenerDelegate {
 public:
  using MakeObject =
      std::function<std::shared_ptr<QuillfenRemovalServiceProtocol>()>;
  explicit ExportingDelegate(MakeObject make) : make_(std::move(make)) {}
  bool listenerShouldAcceptNewConnection(ServiceListener&,
                                         ServiceConnection& c) override;

 private:
  MakeObject make_;
};

class InProcessService {
 public:
  // Serves with |delegate|, which must outlive this, and returns once the
  // name is owned.
  InProcessService(const TestBus& bus, ServiceListenerDelegate* delegate,
                   std::chrono::milliseconds idle_timeout);
  // Waits for the listener to stop by itself.
  ~InProcessService();

  // Waits for the idle stop and answers the listener's status.
  int WaitUntilStopped();

 private:
  ServiceListener listener_;
  std::future<int> serving_;
};

// Waits until someone owns |name| on the bus.
void WaitForOwner(sdbus::IConnection& connection, const std::string& name);

}  // namespace quillfen::testing

#endif  // QUILLFEN_TESTING_IN_PROCESS_SERVICE_H_
