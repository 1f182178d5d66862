// DistributedNotificationCenter: notifications that reach every process of
// the user's session, as broadcast signals on the session bus: object path
// kNotificationPath, interface kNotificationInterface, member the
// notification's name, one string argument, its object. No user
// information travels. A posted notification has left the process when
// post returns, so a process may exit right after.
//
// The default center keeps one bus connection for posting; it may be used
// from any thread.
#ifndef QUILLFEN_PLATFORM_DISTRIBUTED_NOTIFICATION_CENTER_H_
#define QUILLFEN_PLATFORM_DISTRIBUTED_NOTIFICATION_CENTER_H_

#include <sdbus-c++/IConnection.h>
#include <sdbus-c++/IObject.h>
#include <sdbus-c++/Message.h>

#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <string_view>

namespace quillfen {

inline constexpr std::string_view kNotificationPath =
    "/org/quillfen/DistributedNotificationCenter";
inline constexpr std::string_view kNotificationInterface =
    "org.quillfen.DistributedNotificationCenter";

// The match rule that receives the notification |name| on a bus connection.
std::string NotificationMatchRule(std::string_view name);

// The object of a received notification: its one string argument. Nothing
// when the signal has another form (no argument, another type, more than
// one): any program on the bus may send a signal by the same name.
std::optional<std::string> NotificationObject(sdbus::Message& message);

class DistributedNotificationCenter {
 public:
  static DistributedNotificationCenter& defaultCenter();

  // Broadcasts |name| with |object|. Delivery is always immediate. False
  // when the session bus can't be reached.
  bool postNotificationName(std::string_view name, std::string_view object,
                            bool deliverImmediately = true);

 private:
  DistributedNotificationCenter() = default;

  std::mutex mutex_;
  std::unique_ptr<sdbus::IConnection> bus_;
  std::unique_ptr<sdbus::IObject> sender_;
};

}  // namespace quillfen

#endif  // QUILLFEN_PLATFORM_DISTRIBUTED_NOTIFICATION_CENTER_H_
