#include "service-bus/sd_bus_access.h"

#include <cstring>
#include <exception>
#include <utility>

#include "base/error_text.h"
#include "service-bus/bus_names.h"

namespace quillfen {
namespace {

// sdbus::Message keeps its sd_bus_message in a protected member; a pointer
// to it formed through a derived class reads it from any message.
struct MessageInternals : sdbus::Message {
  static sd_bus_message* Raw(const sdbus::Message& message) {
    return static_cast<sd_bus_message*>(message.*(&MessageInternals::msg_));
  }
};

using RefusedCallback = std::function<void(std::uint64_t)>;

// The bus daemon's own name, which it sends its answers from.
constexpr char kBusDaemonName[] = "org.freedesktop.DBus";

int OnMessage(sd_bus_message* message, void* callback, sd_bus_error*) {
  std::uint64_t cookie = 0;
  const char* sender = sd_bus_message_get_sender(message);
  if (sd_bus_message_is_method_error(message, bus::kErrorNotSupported) &&
      sender != nullptr && std::strcmp(sender, kBusDaemonName) == 0 &&
      sd_bus_message_get_reply_cookie(message, &cookie) >= 0 && cookie != 0) {
    try {
      (*static_cast<RefusedCallback*>(callback))(cookie);
    } catch (const std::exception&) {
      // Nothing unwinds into sd-bus; the message goes on as it would.
    }
  }
  return 0;  // sd-bus and the library see every message as before.
}

void DeleteCallback(void* callback) {
  delete static_cast<RefusedCallback*>(callback);
}

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

std::uint64_t SentCookie(const sdbus::Message& message) {
  std::uint64_t cookie = 0;
  if (sd_bus_message_get_cookie(MessageInternals::Raw(message), &cookie) < 0) {
    return 0;
  }
  return cookie;
}

BusSlot WatchDescriptorRefusals(sd_bus* bus, RefusedCallback refused) {
  auto callback = std::make_unique<RefusedCallback>(std::move(refused));
  sd_bus_slot* slot = nullptr;
  int r = sd_bus_add_filter(bus, &slot, &OnMessage, callback.get());
  if (r < 0) {
    throw sdbus::Error(bus::kErrorFailed,
                       "sd_bus_add_filter: " + SystemErrorText(-r));
  }
  BusSlot owned(slot);
  // The slot owns the callback from here on, and deletes it when it goes.
  sd_bus_slot_set_destroy_callback(slot, &DeleteCallback);
  callback.release();
  return owned;
}

}  // namespace quillfen
