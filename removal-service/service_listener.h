// ServiceListener: the service's end of the bus. It exports the removal
// object, then owns ServiceName, and offers every new client peer to its
// delegate as a ServiceConnection. A peer is known from its first call; it
// is forgotten, with the object exported for it, when the bus says it left
// (NameOwnerChanged). One peer's calls run one after another on a thread of
// the peer's own; different peers' calls run side by side.
//
// When no call has been in flight for the idle period, the listener gives
// its name back and keeps serving until the bus has answered: every call
// the bus routed here before that is still served, and later ones start a
// new instance of the service. Then resume() returns.
//
// While a removal runs, its counts go out as the RemovalProgress signal at
// most ten times a second (from the event-loop thread), and once more with
// finished true after its reply; StopRemoval asks every running removal of
// a volume to stop.
//
// Bus library exceptions stop here: neither the delegate nor an exported
// object ever sees one. Every call is answered: a reply that can't be
// sent becomes a D-Bus error that says why. resume() runs the bus on the
// calling thread; ServiceConnection's setters are for the delegate, during the
// offer.
#ifndef QUILLFEN_REMOVAL_SERVICE_SERVICE_LISTENER_H_
#define QUILLFEN_REMOVAL_SERVICE_SERVICE_LISTENER_H_

#include <sdbus-c++/sdbus-c++.h>

#include <chrono>
#include <deque>
#include <list>
#include <map>
#include <memory>
#include <mutex>
#include <string>
#include <thread>

#include "platform/bus_driver.h"
#include "platform/bus_event_loop.h"
#include "protocol/dbus_value.h"
#include "protocol/quillfen_removal_service_protocol.h"
#include "protocol/removal_progress.h"
#include "protocol/service_interface.h"

namespace quillfen {

class ServiceListener;

// One client peer, as the listener offers it to its delegate.
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
    RemovalRequest request;
    sdbus::MethodCall call;  // Answered by a reply made from it.
  };

  // Whether the delegate set the connection up to serve the protocol.
  bool Serves() const;

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

class ServiceListener {
 public:
  struct Options {
    std::chrono::milliseconds idle_timeout{10000};
  };

  explicit ServiceListener(Options options);
  ~ServiceListener();
  ServiceListener(const ServiceListener&) = delete;
  ServiceListener& operator=(const ServiceListener&) = delete;

  void setDelegate(ServiceListenerDelegate* delegate) { delegate_ = delegate; }

  // Connects to the session bus and serves until idle. Answers the process
  // exit status: 0 after an idle stop, 1 when the bus failed.
  int resume();

 private:
  // One call being carried out, for its signals and for StopRemoval.
  struct RunningRemoval {
    std::string volume_path;  // As the request gave it; empty: none.
    RemovalProgress progress;
    RemovalProgress::Counts sent;
    std::chrono::steady_clock::time_point sent_at;
  };

  void Dispatch(sdbus::MethodCall call);
  // Queues |call| (taking it) or answers it at once.
  void Enqueue(sdbus::MethodCall& call);
  ServiceConnection* ConnectionFor(const std::string& peer);
  void OnNameOwnerChanged(const NameOwnerChange& change);
  void Serve(ServiceConnection* connection);
  // Runs one call on |object| and answers it, whatever happens.
  static void RunCall(QuillfenRemovalServiceProtocol& object,
                      ServiceConnection::PendingCall& call,
                      RemovalProgress& progress);
  // Answers a StopRemoval call.
  void OnStopRemoval(sdbus::MethodCall call);
  // Asks the running removals of |volume_path| to stop; answers how many.
  std::uint32_t StopRemovals(const std::string& volume_path);
  // Signals the counts of every running removal due for it.
  void ReportProgress();
  // Drops |removal| from the running ones and signals its last counts.
  void FinishRemoval(RunningRemoval& removal);
  void EmitProgress(const RunningRemoval& removal, bool finished);
  // Before each wait of the event loop: tidies up, and stops the loop or
  // gives the name back once idle. Answers how long the loop may sleep.
  int CheckIdle();
  void ForgetDepartedPeers();
  void ReleaseName();

  const Options options_;
  ServiceListenerDelegate* delegate_ = nullptr;
  std::unique_ptr<sdbus::IConnection> bus_;
  std::unique_ptr<sdbus::IObject> object_;
  std::unique_ptr<BusDriver> bus_daemon_;
  BusEventLoop loop_;

  // The event-loop thread's own.
  std::map<std::string, std::unique_ptr<ServiceConnection>> connections_;
  bool release_requested_ = false;
  bool name_released_ = false;

  // Held while a progress signal goes out, so that none follows a
  // removal's last; never taken by a thread that holds the bus library's
  // lock or running_mutex_.
  std::mutex signal_mutex_;
  std::mutex running_mutex_;  // Guards running_.
  std::list<RunningRemoval*> running_;

  std::mutex mutex_;  // Guards the queues, in_flight_ and idle_since_.
  int in_flight_ = 0;
  std::chrono::steady_clock::time_point idle_since_;
};

}  // namespace quillfen

#endif  // QUILLFEN_REMOVAL_SERVICE_SERVICE_LISTENER_H_
