// BusDriver: the bus's own object (org.freedesktop.DBus on
// /org/freedesktop/DBus), asked about names and told to give one back, and
// its NameOwnerChanged signal. The one place that spells the driver's
// names, methods and match rule, for the client's exchange and the service.
//
// Each call waits for the bus's answer on the calling thread, except
// ReleaseNameAsync, and throws sdbus::Error when the bus fails; a
// BusDriver is used from the thread that runs its connection.
#ifndef QUILLFEN_PLATFORM_BUS_DRIVER_H_
#define QUILLFEN_PLATFORM_BUS_DRIVER_H_

#include <sdbus-c++/sdbus-c++.h>

#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <vector>

namespace quillfen {

// One NameOwnerChanged signal: |name| passed from |old_owner| to
// |new_owner|; an empty owner is none. A connection that leaves the bus
// shows as its unique name passing to none.
struct NameOwnerChange {
  std::string name;
  std::string old_owner;
  std::string new_owner;
};

// Calls |handler| with every NameOwnerChanged signal |connection| reads,
// for as long as the connection lives.
void WatchNameOwners(sdbus::IConnection& connection,
                     std::function<void(const NameOwnerChange&)> handler);

class BusDriver {
 public:
  explicit BusDriver(sdbus::IConnection& connection);

  bool NameHasOwner(const std::string& name);
  // The unique name that owns |name|, or nothing when none does (the bus
  // then answers with an error, which is not thrown).
  std::optional<std::string> NameOwner(const std::string& name);
  std::vector<std::string> ListActivatableNames();
  // Gives |name| back without waiting; |done| runs on the connection's
  // thread once the bus has answered, whatever it answered.
  void ReleaseNameAsync(const std::string& name, std::function<void()> done);

 private:
  std::unique_ptr<sdbus::IProxy> proxy_;
};

}  // namespace quillfen

#endif  // QUILLFEN_PLATFORM_BUS_DRIVER_H_
