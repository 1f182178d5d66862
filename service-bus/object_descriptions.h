// ObjectDescriptions: the service's objects answer Introspect with the
// interface XML's own elements, descriptions included. sd-bus writes that
// answer itself for the objects it exports, from their members alone, with
// no place for a description; so the service answers Introspect calls for
// its own objects before sd-bus sees them (a filter on the connection),
// and leaves every other path (the folders above its objects) to sd-bus.
// The text functions are pure and safe from any thread; an
// ObjectDescriptions lives on the thread that runs its connection, and
// answers there.
#ifndef QUILLFEN_SERVICE_BUS_OBJECT_DESCRIPTIONS_H_
#define QUILLFEN_SERVICE_BUS_OBJECT_DESCRIPTIONS_H_

#include <systemd/sd-bus.h>

#include <functional>
#include <string>
#include <string_view>

namespace quillfen {

// The <interface> element named |name| in |xml|, its comments left out;
// empty when there is none.
std::string InterfaceElement(std::string_view xml, std::string_view name);

// The XML describing the service's object (the removal interface and the
// jobs interface), with a "jobs" child while any job exists.
std::string ServiceObjectXml(bool has_jobs);
// The XML describing one job's object.
std::string JobObjectXml();

class ObjectDescriptions {
 public:
  // The XML to answer Introspect with for |path|, or empty to leave the
  // call to sd-bus.
  using Describe = std::function<std::string(std::string_view path)>;

  // Answers on |bus| from now on. Throws sdbus::Error when sd-bus refuses.
  ObjectDescriptions(sd_bus* bus, Describe describe);
  ~ObjectDescriptions();
  ObjectDescriptions(const ObjectDescriptions&) = delete;
  ObjectDescriptions& operator=(const ObjectDescriptions&) = delete;

 private:
  static int OnMessage(sd_bus_message* message, void* self,
                       sd_bus_error* error);

  const Describe describe_;
  sd_bus_slot* slot_ = nullptr;
};

}  // namespace quillfen

#endif  // QUILLFEN_SERVICE_BUS_OBJECT_DESCRIPTIONS_H_
