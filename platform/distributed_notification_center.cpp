#include "platform/distributed_notification_center.h"

#include <sdbus-c++/sdbus-c++.h>

namespace quillfen {

std::string NotificationMatchRule(std::string_view name) {
  return "type='signal',path='" + std::string(kNotificationPath) +
         "',interface='" + std::string(kNotificationInterface) + "',member='" +
         std::string(name) + "'";
}

std::optional<std::string> NotificationObject(sdbus::Message& message) {
  // The type of the next argument; past the last one the bus library
  // answers a NUL type (reading there would throw, as for a wrong type).
  auto next_type = [&message] {
    std::string type, contents;
    message.peekType(type, contents);
    return type.empty() ? '\0' : type[0];
  };
  try {
    if (next_type() != 's') return std::nullopt;
    std::string object;
    message >> object;
    if (next_type() != '\0') return std::nullopt;
    return object;
  } catch (const sdbus::Error&) {
    return std::nullopt;
  }
}

DistributedNotificationCenter& DistributedNotificationCenter::defaultCenter() {
  static DistributedNotificationCenter* center =
      new DistributedNotificationCenter;
  return *center;
}

bool DistributedNotificationCenter::postNotificationName(
    std::string_view name, std::string_view object,
    bool /*deliverImmediately*/) {
  std::lock_guard lock(mutex_);
  // A connection kept from earlier may be unusable (the bus restarted, or
  // this is a forked child): one fresh try.
  for (int attempt = 0; attempt < 2; ++attempt) {
    try {
      if (!bus_) {
        bus_ = sdbus::createSessionBusConnection();
        sender_ = sdbus::createObject(*bus_, std::string(kNotificationPath));
      }
      // The bus library writes a sent message out before returning.
      const std::string member(name);
      const std::string interface(kNotificationInterface);
      sender_->emitSignal(member).onInterface(interface).withArguments(
          std::string(object));
      return true;
    } catch (const sdbus::Error&) {
      sender_.reset();
      bus_.reset();
    }
  }
  return false;
}

}  // namespace quillfen
