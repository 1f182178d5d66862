// Test support: a private session bus for one test, and calls to the
// removal service over it. While a TestBus lives, this process's
// DBUS_SESSION_BUS_ADDRESS points at it, so in-process services and
// clients find it as the session bus. For one test's thread.
#ifndef QUILLFEN_TESTING_TEST_BUS_H_
#define QUILLFEN_TESTING_TEST_BUS_H_

#include <sdbus-c++/sdbus-c++.h>
#include <sys/types.h>

#include <chrono>
#include <memory>
#include <optional>
#include <string>

#include "platform/private_bus.h"
#include "protocol/value.h"
#include "service-bus/dbus_value.h"

namespace quillfen::testing {

// The build tree's activation folder: the bus starts the built service.
std::string BuildServiceDir();

class TestBus {
 public:
  explicit TestBus(const std::string& service_dir = BuildServiceDir());
  ~TestBus();

  const std::string& address() const { return bus_->address(); }
  // The bus daemon's process.
  pid_t pid() const { return bus_->pid(); }
  std::unique_ptr<sdbus::IConnection> Connect() const;

 private:
  std::unique_ptr<PrivateBus> bus_;
};

// Calls RemoveWithFileDict and waits for the reply, by default without a
// limit (removing a large volume takes long); a D-Bus error, the limit's
// passing included, is thrown as sdbus::Error.
DbusDictionary CallRemoveWithFileDict(
    sdbus::IConnection& connection, const DbusDictionary& request,
    std::optional<std::chrono::milliseconds> limit = std::nullopt);
Dictionary CallRemoveWithFileDict(
    sdbus::IConnection& connection, const Dictionary& request,
    std::optional<std::chrono::milliseconds> limit = std::nullopt);

// The process that owns |name| on the bus, or -1 when nobody does.
pid_t OwnerPid(sdbus::IConnection& connection, const std::string& name);

}  // namespace quillfen::testing

#endif  // QUILLFEN_TESTING_TEST_BUS_H_
