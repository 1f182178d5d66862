#include "testing/test_bus.h"

#include <gtest/gtest.h>

#include <cstdlib>
#include <stdexcept>

#include "protocol/identifiers.h"
#include "protocol/quillfen_removal_service_protocol.h"
#include "service-bus/bus_names.h"

namespace quillfen::testing {

std::string BuildServiceDir() { return QUILLFEN_BUILD_SERVICE_DIR; }

TestBus::TestBus(const std::string& service_dir) {
  Result<std::unique_ptr<PrivateBus>> bus = PrivateBus::Start(service_dir);
  if (!bus) throw std::runtime_error("private bus: " + bus.error().message);
  bus_ = std::move(*bus);
  setenv("DBUS_SESSION_BUS_ADDRESS", bus_->address().c_str(), 1);
  unsetenv("DBUS_STARTER_ADDRESS");
  unsetenv("DBUS_STARTER_BUS_TYPE");
  unsetenv("SYSTEMD_BUS_TIMEOUT");
}

TestBus::~TestBus() { unsetenv("DBUS_SESSION_BUS_ADDRESS"); }

std::unique_ptr<sdbus::IConnection> TestBus::Connect() const {
  return sdbus::createSessionBusConnectionWithAddress(bus_->address());
}

DbusDictionary CallRemoveWithFileDict(
    sdbus::IConnection& connection, const DbusDictionary& request,
    std::optional<std::chrono::milliseconds> limit) {
  auto proxy = sdbus::createProxy(connection, std::string(ServiceName),
                                  std::string(kServiceObjectPath));
  DbusDictionary reply;
  proxy->callMethod(bus::kRemoveMethod)
      .onInterface(bus::kInterface)
      .withTimeout(limit ? static_cast<std::uint64_t>(
                               std::chrono::microseconds(*limit).count())
                         : UINT64_MAX)
      .withArguments(request)
      .storeResultsTo(reply);
  return reply;
}

Dictionary CallRemoveWithFileDict(
    sdbus::IConnection& connection, const Dictionary& request,
    std::optional<std::chrono::milliseconds> limit) {
  Result<DbusDictionary> wire = DbusFromDictionary(request);
  if (!wire) throw std::invalid_argument(wire.error().message);
  Result<Dictionary> reply =
      DictionaryFromDbus(CallRemoveWithFileDict(connection, *wire, limit));
  if (!reply) throw std::runtime_error(reply.error().message);
  return *reply;
}

pid_t OwnerPid(sdbus::IConnection& connection, const std::string& name) {
  auto bus = sdbus::createProxy(connection, "org.freedesktop.DBus",
                                "/org/freedesktop/DBus");
  std::uint32_t pid = 0;
  try {
    bus->callMethod("GetConnectionUnixProcessID")
        .onInterface("org.freedesktop.DBus")
        .withArguments(name)
        .storeResultsTo(pid);
  } catch (const sdbus::Error&) {
    return -1;
  }
  return static_cast<pid_t>(pid);
}

}  // namespace quillfen::testing
