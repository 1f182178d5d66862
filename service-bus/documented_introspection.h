// DocumentedIntrospection: the service's objects answer Introspect with the
// interface XML's own elements, descriptions included. sd-bus writes the
// introspection of the objects it exports itself, from their members
// alone, with no place for a description; so the service answers the
// Introspect calls for its own objects before sd-bus sees them (a filter
// on the connection), and leaves every other path (the folders above its
// objects) to sd-bus. The text functions are pure and safe from any
// thread; a DocumentedIntrospection lives on the thread that runs its
// connection, and answers there.
#ifndef QUILLFEN_SERVICE_BUS_DOCUMENTED_INTROSPECTION_H_
#define QUILLFEN_SERVICE_BUS_DOCUMENTED_INTROSPECTION_H_

#include <systemd/sd-bus.h>

#include <functional>
#include <string>
#include <string_view>

namespace quillfen {

// The <interface> element named |name| in |xml|, its comments left out;
// empty when there is none.
std::string InterfaceElement(std::string_view xml, std::string_view name);

// The introspection of the service's object (the contract's interface and
// the jobs interface), with a "jobs" child while any job exists.
std::string ServiceObjectIntrospection(bool has_jobs);
// The introspection of one job's object.
std::string JobObjectIntrospection();

class DocumentedIntrospection {
 public:
  // The introspection to answer for |path|, or empty to leave the call to
  // sd-bus.
  using Describe = std::function<std::string(std::string_view path)>;

  // Answers on |bus| from now on. Throws sdbus::Error when sd-bus refuses.
  DocumentedIntrospection(sd_bus* bus, Describe describe);
  ~DocumentedIntrospection();
  DocumentedIntrospection(const DocumentedIntrospection&) = delete;
  DocumentedIntrospection& operator=(const DocumentedIntrospection&) = delete;

 private:
  static int OnMessage(sd_bus_message* message, void* self,
                       sd_bus_error* error);

  const Describe describe_;
  sd_bus_slot* slot_ = nullptr;
};

}  // namespace quillfen

#endif  // QUILLFEN_SERVICE_BUS_DOCUMENTED_INTROSPECTION_H_
