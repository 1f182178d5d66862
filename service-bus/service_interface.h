// ServiceInterface: the removal service's bus interface, built from the
// protocol alone. The service's connections export it and the tool's
// connection calls through it; both take its name from the interface's
// introspection XML. A plain value: safe from any thread.
#ifndef QUILLFEN_SERVICE_BUS_SERVICE_INTERFACE_H_
#define QUILLFEN_SERVICE_BUS_SERVICE_INTERFACE_H_

#include <string>

namespace quillfen {

struct ServiceInterface {
  // The interface of QuillfenRemovalServiceProtocol.
  static ServiceInterface WithProtocol();

  std::string name;  // The D-Bus interface name.
};

}  // namespace quillfen

#endif  // QUILLFEN_SERVICE_BUS_SERVICE_INTERFACE_H_
