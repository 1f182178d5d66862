// Test support: a removal service listener run in this process, on a
// thread of its own, over the test's private bus. Its delegate exports the
// objects a factory makes; once started it owns ServiceName. For one test.
#ifndef QUILLFEN_TESTING_IN_PROCESS_SERVICE_H_
#define QUILLFEN_TESTING_IN_PROCESS_SERVICE_H_

#include <chrono>
#include <functional>
#include <future>
#include <memory>

#include "service-bus/service_listener.h"
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

// An idle period longer than a loaded machine takes between two steps of
// a test, so that no listener stops under one (nothing restarts it), yet
// short enough to wait out as each test ends.
inline constexpr std::chrono::milliseconds kTestIdle{1500};

class InProcessService {
 public:
  // Serves with |delegate|, which must outlive this, and returns once the
  // name is owned (the test fails when it isn't in good time).
  InProcessService(const TestBus& bus, ServiceListenerDelegate* delegate,
                   std::chrono::milliseconds idle_timeout = kTestIdle);
  // Waits for the listener to stop by itself.
  ~InProcessService();

  // Waits for the idle stop and answers the listener's status, or -1 (and
  // the test fails) when it doesn't come in good time.
  int WaitUntilStopped();

 private:
  const std::chrono::milliseconds idle_timeout_;
  ServiceListener listener_;
  std::future<int> serving_;
};

}  // namespace quillfen::testing

#endif  // QUILLFEN_TESTING_IN_PROCESS_SERVICE_H_
