// Where the service reaches beneath sdbus-c++ to sd-bus, for what the
// library (1.2) doesn't offer: the connection's sd_bus itself, to answer a
// message before the library's objects do (object_descriptions.h),
// the sender of the message being handled inside a property getter, which
// the library doesn't pass, and the bus daemon's word that a message sent
// could not be delivered, which the library drops (undelivered_replies.h).
// Only this and the filters built on its sd_bus (object_descriptions.*,
// undelivered_replies.*) touch sd-bus directly. The functions run on
// the thread that runs the connection, as the library's own callbacks do,
// except SentCookie, which reads the message its caller holds.
#ifndef QUILLFEN_SERVICE_BUS_SD_BUS_ACCESS_H_
#define QUILLFEN_SERVICE_BUS_SD_BUS_ACCESS_H_

#include <sdbus-c++/sdbus-c++.h>
#include <systemd/sd-bus.h>

#include <cstdint>
#include <functional>
#include <memory>
#include <string>

namespace quillfen {

// The sd_bus of the connection |object| is exported on. Throws
// sdbus::Error when the library can't make a message there.
sd_bus* UnderlyingBus(sdbus::IObject& object);

// The unique name of whoever sent the message |bus| is handling now;
// empty outside the handling of a message (while the service emits a
// signal of its own, say).
std::string CurrentSender(sd_bus* bus);

// The cookie |message| went out with, by which the bus daemon names it in
// its answers; 0 before it was sent.
std::uint64_t SentCookie(const sdbus::Message& message);

struct BusSlotRelease {
  void operator()(sd_bus_slot* slot) const { sd_bus_slot_unref(slot); }
};
// A callback's hold on its connection: the callback is called until the
// slot goes, which must be on the connection's thread or after it stopped.
using BusSlot = std::unique_ptr<sd_bus_slot, BusSlotRelease>;

// Calls |refused| with the cookie of every message this connection sent
// that the bus daemon refused to forward because its recipient takes no
// descriptors (the daemon answers the message itself, with a NotSupported
// error from its own name). |refused| runs while the bus library holds its
// lock. Throws sdbus::Error when sd-bus can't add the watch.
BusSlot WatchDescriptorRefusals(
    sd_bus* bus, std::function<void(std::uint64_t cookie)> refused);

}  // namespace quillfen

#endif  // QUILLFEN_SERVICE_BUS_SD_BUS_ACCESS_H_
