#include "platform/bus_driver.h"

#include <cstdint>
#include <utility>

namespace quillfen {
namespace {

constexpr char kDriverName[] = "org.freedesktop.DBus";
constexpr char kDriverPath[] = "/org/freedesktop/DBus";
constexpr char kDriverInterface[] = "org.freedesktop.DBus";

}  // namespace

void WatchNameOwners(sdbus::IConnection& connection,
                     std::function<void(const NameOwnerChange&)> handler) {
  connection.addMatch(
      "type='signal',sender='org.freedesktop.DBus',"
      "interface='org.freedesktop.DBus',member='NameOwnerChanged'",
      [handler = std::move(handler)](sdbus::Message& message) {
        NameOwnerChange change;
        message >> change.name >> change.old_owner >> change.new_owner;
        handler(change);
      },
      sdbus::floating_slot);
}

BusDriver::BusDriver(sdbus::IConnection& connection)
    : proxy_(sdbus::createProxy(connection, kDriverName, kDriverPath)) {}

bool BusDriver::NameHasOwner(const std::string& name) {
  bool has_owner = false;
  proxy_->callMethod("NameHasOwner")
      .onInterface(kDriverInterface)
      .withArguments(name)
      .storeResultsTo(has_owner);
  return has_owner;
}

std::optional<std::string> BusDriver::NameOwner(const std::string& name) {
  std::string owner;
  try {
    proxy_->callMethod("GetNameOwner")
        .onInterface(kDriverInterface)
        .withArguments(name)
        .storeResultsTo(owner);
  } catch (const sdbus::Error&) {
    return std::nullopt;
  }
  return owner;
}

std::vector<std::string> BusDriver::ListActivatableNames() {
  std::vector<std::string> names;
  proxy_->callMethod("ListActivatableNames")
      .onInterface(kDriverInterface)
      .storeResultsTo(names);
  return names;
}

void BusDriver::ReleaseNameAsync(const std::string& name,
                                 std::function<void()> done) {
  proxy_->callMethodAsync("ReleaseName")
      .onInterface(kDriverInterface)
      .withArguments(name)
      .uponReplyInvoke(
          [done = std::move(done)](const sdbus::Error* /*error*/,
                                   std::uint32_t /*result*/) { done(); });
}

}  // namespace quillfen
