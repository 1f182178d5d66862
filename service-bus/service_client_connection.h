// ServiceClientConnection: a client's connection to a named service on the
// session bus, made on demand. The connection runs on a thread of its own:
// it connects to the bus there, sends the calls made through its remote
// object proxy (which return at once), and delivers each reply there,
// never on the caller's thread. Calls have no timeout: a removal on a large
// volume may take long. A call the service answers with an error, or with
// a reply that can't be read, gets the refusal of its request as its
// reply. A call the service never answers (it can't be
// started, or dies first) simply gets no reply; when the service can't be
// reached at all, or the bus goes, the connection invalidates itself.
// invalidate() stops it; the invalidation handler then runs once, on the
// connection's thread.
//
// Configure it (interface, invalidation handler) before resume(); after
// that every method may be called from any thread.
#ifndef QUILLFEN_SERVICE_BUS_SERVICE_CLIENT_CONNECTION_H_
#define QUILLFEN_SERVICE_BUS_SERVICE_CLIENT_CONNECTION_H_

#include <atomic>
#include <functional>
#include <memory>
#include <mutex>
#include <string>
#include <thread>

#include "protocol/quillfen_removal_service_protocol.h"
#include "service-bus/service_interface.h"

namespace quillfen {

class ServiceClientConnection {
 public:
  explicit ServiceClientConnection(std::string service_name);
  // Stops the connection's thread; pending calls get no reply.
  ~ServiceClientConnection();
  ServiceClientConnection(const ServiceClientConnection&) = delete;
  ServiceClientConnection& operator=(const ServiceClientConnection&) = delete;

  void setRemoteObjectInterface(ServiceInterface interface);
  void setInvalidationHandler(std::function<void()> handler);
  std::function<void()> invalidationHandler() const;

  // Starts the connection's thread, which connects to the bus.
  void resume();
  // Stops the connection; the invalidation handler runs once.
  void invalidate();

  // The service's object. Its calls are queued to the connection's thread
  // and return at once; the reply block runs on that thread. A request
  // that can't cross the bus whole (bus_string.h), or is too large for one
  // bus message (kMaxBusDictionaryBytes), throws std::invalid_argument at
  // once, and nothing is sent. A reply the service hands over as a file
  // (reply_file.h) is read from it, as if it had come in the message.
  std::shared_ptr<QuillfenRemovalServiceProtocol> remoteObjectProxy();

 private:
  class RemoteObject;
  struct State;

  const std::string service_name_;
  // Shared with the connection's thread, which may outlive this object
  // when the last reference to the connection is dropped on that thread.
  std::shared_ptr<State> state_;
  std::thread thread_;
};

}  // namespace quillfen

#endif  // QUILLFEN_SERVICE_BUS_SERVICE_CLIENT_CONNECTION_H_
