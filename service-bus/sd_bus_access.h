// Where the service reaches beneath sdbus-c++ to sd-bus, for what the
// library (1.2) doesn't offer: the connection's sd_bus itself, to answer a
// message before the library's objects do (documented_introspection.h),
// and the sender of the message being handled inside a property getter,
// which the library doesn't pass. Nothing else in the system touches
// sd-bus directly. The functions run on the thread that runs the
// connection, as the library's own callbacks do.
#ifndef QUILLFEN_SERVICE_BUS_SD_BUS_ACCESS_H_
#define QUILLFEN_SERVICE_BUS_SD_BUS_ACCESS_H_

#include <sdbus-c++/sdbus-c++.h>
#include <systemd/sd-bus.h>

#include <string>

namespace quillfen {

// The sd_bus of the connection |object| is exported on. Throws
// sdbus::Error when the library can't make a message there.
sd_bus* UnderlyingBus(sdbus::IObject& object);

// The unique name of whoever sent the message |bus| is handling now;
// empty outside the handling of a message (while the service emits a
// signal of its own, say).
std::string CurrentSender(sd_bus* bus);

}  // namespace quillfen

#endif  // QUILLFEN_SERVICE_BUS_SD_BUS_ACCESS_H_
