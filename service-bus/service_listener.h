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
// The object carries the contract's interface (RemoveWithFileDict alone)
// and the jobs interface beside it: Preview, Start, StopRemoval, the
// RemovalProgress signal and Version. A preview runs on the peer's worker
// like a removal. Start answers at once with a job object (removal_job.h),
// whose removal waits its turn among the peer's calls; the event-loop
// thread paces and announces every job, and drops its object when its
// starter leaves the bus or a minute after it ended. The service doesn't
// go idle while any job object stays.
//
// While a removal runs, its counts go out as the RemovalProgress signal at
// most ten times a second (from the event-loop thread), and once more with
// finished true after its reply; StopRemoval asks the running removal of an
// exchange token to stop. Both go by the request's token: a request without
// one is neither reported nor stopped from outside.
//
// Bus library exceptions stop here: neither the delegate nor an exported
// object ever sees one. Every call is answered (reply_writer.h). resume()
// runs the bus on the calling thread; ServiceConnection's setters are for
// the delegate, during the offer. Lock order: the bus library's lock, then
// mutex_; the running removals' locks are never held with mutex_.
#ifndef QUILLFEN_SERVICE_BUS_SERVICE_LISTENER_H_
#define QUILLFEN_SERVICE_BUS_SERVICE_LISTENER_H_

#include <sdbus-c++/sdbus-c++.h>

#include <atomic>
#include <chrono>
#include <map>
#include <memory>
#include <string>

#include "base/mutex.h"
#include "platform/bus_driver.h"
#include "platform/bus_event_loop.h"
#include "service-bus/object_descriptions.h"
#include "service-bus/removal_job.h"
#include "service-bus/running_removals.h"
#include "service-bus/service_connection.h"
#include "service-bus/undelivered_replies.h"

namespace quillfen {

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

  // Asks the service to end soon, as on SIGTERM: every removal running or
  // still queued is stopped, so that its caller hears what went, the name
  // is given back and resume() returns once every call is answered. Only
  // stores a flag and wakes the loop, so a signal handler may call it.
  void Terminate();

  // Connects to the session bus and serves until idle. Answers the process
  // exit status: 0 after an idle stop, 1 when the bus failed.
  int resume();

 private:
  using Kind = ServiceConnection::PendingCall::Kind;

  void RegisterInterfaces();
  void Dispatch(sdbus::MethodCall call, Kind kind);
  // Queues |call| (taking it) or answers it at once; a Start is answered
  // at once with its job, and the job queued.
  void Enqueue(sdbus::MethodCall& call, Kind kind);
  // Makes and exports a job for |peer|'s |request|, and answers |call|
  // with its path.
  std::shared_ptr<RemovalJob> StartJob(const std::string& peer,
                                       const RemovalRequest& request,
                                       sdbus::MethodCall& call);
  // The XML the service answers Introspect with for |path| (see
  // object_descriptions.h).
  std::string Describe(std::string_view path) const;
  ServiceConnection* ConnectionFor(const std::string& peer);
  // Answers every call queued for |connection| with an error, when its
  // worker can't be started (|error|, an errno: at the system's limit of
  // threads): the callers hear it, and the service can still go idle.
  void RefuseQueued(ServiceConnection& connection, int error)
      QUILLFEN_EXCLUDES(mutex_);
  void OnNameOwnerChanged(const NameOwnerChange& change);
  // A peer's worker: runs its queued calls one after another.
  void Serve(ServiceConnection* connection) QUILLFEN_EXCLUDES(mutex_);
  // Answers a StopRemoval call.
  void OnStopRemoval(sdbus::MethodCall call);
  // Before each wait of the event loop: tidies up, and stops the loop or
  // gives the name back once idle. Answers how long the loop may sleep.
  int CheckIdle() QUILLFEN_EXCLUDES(mutex_);
  void ForgetDepartedPeers() QUILLFEN_EXCLUDES(mutex_);
  // Announces what the jobs did, drops those whose time is up, and answers
  // how long the loop may sleep for their sake (-1: no limit).
  int LookAfterJobs() QUILLFEN_EXCLUDES(mutex_);
  void ReleaseName();

  const Options options_;
  ServiceListenerDelegate* delegate_ = nullptr;
  std::unique_ptr<sdbus::IConnection> bus_;
  std::unique_ptr<sdbus::IObject> object_;
  std::unique_ptr<ObjectDescriptions> descriptions_;
  std::unique_ptr<UndeliveredReplies> undelivered_;
  sd_bus* raw_bus_ = nullptr;
  std::unique_ptr<BusDriver> bus_daemon_;
  BusEventLoop loop_;
  RunningRemovals running_;

  // The event-loop thread's own.
  std::map<std::string, std::unique_ptr<ServiceConnection>> connections_;
  // By object path.
  std::map<std::string, std::shared_ptr<RemovalJob>, std::less<>> jobs_;
  std::uint64_t jobs_started_ = 0;
  std::atomic<bool> terminate_requested_ = false;
  bool terminating_ = false;
  bool release_requested_ = false;
  bool name_released_ = false;

  // Guards the connections' queues and worker_running_ flags too.
  Mutex mutex_;
  int in_flight_ QUILLFEN_GUARDED_BY(mutex_) = 0;
  std::chrono::steady_clock::time_point idle_since_ QUILLFEN_GUARDED_BY(mutex_);
};

}  // namespace quillfen

#endif  // QUILLFEN_SERVICE_BUS_SERVICE_LISTENER_H_
