// ServiceConnection: one client peer of the removal service, as the
// listener offers it to its delegate, and the delegate that decides. The
// delegate sets the connection up (the interface and object it exports)
// and resumes it during the offer, on the listener's event-loop thread;
// after that the listener alone touches it (see the members' notes).
#ifndef QUILLFEN_SERVICE_BUS_SERVICE_CONNECTION_H_
#define QUILLFEN_SERVICE_BUS_SERVICE_CONNECTION_H_

#include <sdbus-c++/sdbus-c++.h>

#include <deque>
#include <memory>
#include <string>
#include <thread>

#include "protocol/quillfen_removal_service_protocol.h"
#include "service-bus/removal_job.h"
#include "service-bus/service_interface.h"

namespace quillfen {

class ServiceListener;

class ServiceConnection {
 public:
  explicit ServiceConnection(std::string peer) : peer_(std::move(peer)) {}

  // The peer's unique bus name.
  const std::string& peer() const { return peer_; }

  void setExportedInterface(ServiceInterface interface) {
    exported_interface_ = std::move(interface.name);
  }
  void setExportedObject(
      std::shared_ptr<QuillfenRemovalServiceProtocol> object) {
    exported_object_ = std::move(object);
  }
  // Lets the peer's calls through to the exported object.
  void resume() { resumed_ = true; }

 private:
  friend class ServiceListener;

  struct PendingCall {
    enum class Kind { kRemove, kPreview, kJob };
    Kind kind;
    RemovalRequest request;
    // Answered by a reply made from it; none for a job (Start answered at
    // once).
    sdbus::MethodCall call;
    std::shared_ptr<RemovalJob> job;  // A job's.
  };

  // Whether the delegate set the connection up to serve the protocol.
  bool Serves() const {
    return resumed_ && exported_object_ != nullptr &&
           exported_interface_ == ServiceInterface::WithProtocol().name;
  }

  const std::string peer_;
  std::string exported_interface_;
  std::shared_ptr<QuillfenRemovalServiceProtocol> exported_object_;
  bool resumed_ = false;

  // Guarded by the listener's mutex. Held by pointer: the bus library
  // locks when its messages are made, moved or destroyed, which must never
  // happen under the listener's mutex (its event loop holds the library's
  // lock while it takes the listener's).
  std::deque<std::unique_ptr<PendingCall>> queue_;
  bool worker_running_ = false;
  // The event-loop thread's own.
  bool departed_ = false;
  std::thread worker_;
};

class ServiceListenerDelegate {
 public:
  virtual ~ServiceListenerDelegate() = default;
  // Sets the new connection up and answers whether to accept it.
  virtual bool listenerShouldAcceptNewConnection(
      ServiceListener& listener, ServiceConnection& newConnection) = 0;
};

}  // namespace quillfen

#endif  // QUILLFEN_SERVICE_BUS_SERVICE_CONNECTION_H_
