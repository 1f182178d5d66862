#include "service-bus/sd_bus_access.h"

namespace quillfen {
namespace {

// sdbus::Message keeps its sd_bus_message in a protected member; a pointer
// to it formed through a derived class reads it from any message.
struct MessageInternals : sdbus::Message {
  static sd_bus_message* Raw(const sdbus::Message& message) {
    return static_cast<sd_bus_message*>(message.*(&MessageInternals::msg_));
  }
};

}  // namespace

sd_bus* UnderlyingBus(sdbus::IObject& object) {
  // Any message made on the connection knows its bus; a signal is made
  // without sending anything.
  sdbus::Signal probe =
      object.createSignal("org.freedesktop.DBus.Peer", "UnderlyingBusProbe");
  return sd_bus_message_get_bus(MessageInternals::Raw(probe));
}

std::string CurrentSender(sd_bus* bus) {
  sd_bus_message* message = sd_bus_get_current_message(bus);
  if (message == nullptr) return "";
  const char* sender = sd_bus_message_get_sender(message);
  return sender != nullptr ? sender : "";
}

}  // namespace quillfen
