#include "service-bus/service_listener.h"

#include <deque>
#include <system_error>

#include "base/error_text.h"
#include "platform/system_log.h"
#include "protocol/bus_string.h"
#include "protocol/identifiers.h"
#include "protocol/removal_reply.h"
#include "service-bus/bus_names.h"
#include "service-bus/dbus_value.h"
#include "service-bus/progress_signal.h"
#include "service-bus/reply_writer.h"
#include "service-bus/sd_bus_access.h"

namespace quillfen {

ServiceListener::ServiceListener(Options options)
    : options_(options), running_([this](const ProgressReport& report) {
        EmitProgressSignal(*object_, report);
      }) {}

ServiceListener::~ServiceListener() {
  for (auto& [peer, connection] : connections_) {
    if (connection->worker_.joinable()) connection->worker_.join();
  }
}

int ServiceListener::resume() {
  int status = 0;
  {
    MutexLock lock(mutex_);
    idle_since_ = std::chrono::steady_clock::now();
  }
  try {
    bus_ = sdbus::createSessionBusConnection();
    // The object exists before the name does: an activating call may
    // arrive as soon as the name is ours.
    object_ = sdbus::createObject(*bus_, std::string(kServiceObjectPath));
    RegisterInterfaces();
    raw_bus_ = UnderlyingBus(*object_);
    descriptions_ = std::make_unique<ObjectDescriptions>(
        raw_bus_, [this](std::string_view path) { return Describe(path); });
    undelivered_ = std::make_unique<UndeliveredReplies>(raw_bus_);
    WatchNameOwners(*bus_, [this](const NameOwnerChange& change) {
      OnNameOwnerChanged(change);
    });
    bus_daemon_ = std::make_unique<BusDriver>(*bus_);
    bus_->requestName(std::string(ServiceName));
    loop_.Run(*bus_, [this] { return CheckIdle(); });
  } catch (const sdbus::Error& e) {
    // The bus going away (the session ending, its daemon gone) is how a
    // service's work normally ends: nothing to report. The name is the
    // bus library's for a connection the other end closed.
    if (e.getName() != "org.freedesktop.DBus.Error.Disconnected") {
      SystemLog("QuillfenRemovalService: the bus failed: " + e.getName() +
                ": " + e.getMessage());
      status = 1;
    }
  }
  // Work already under way finishes, whatever happened to the bus.
  for (auto& [peer, connection] : connections_) {
    if (connection->worker_.joinable()) connection->worker_.join();
  }
  connections_.clear();
  jobs_.clear();
  try {
    descriptions_.reset();
    undelivered_.reset();
    bus_daemon_.reset();
    object_.reset();
    bus_.reset();  // Flushes the last replies.
  } catch (const sdbus::Error&) {
    status = 1;
  }
  return status;
}

void ServiceListener::RegisterInterfaces() {
  // Registered by hand rather than through typed arguments, so that the
  // reply is written into its message straight from the engine's result.
  object_->registerMethod(bus::kInterface, bus::kRemoveMethod,
                          bus::kRemoveInSignature, {bus::kRemoveInName},
                          bus::kRemoveOutSignature, {bus::kRemoveOutName},
                          [this](sdbus::MethodCall call) {
                            Dispatch(std::move(call), Kind::kRemove);
                          });
  object_->registerMethod(bus::kJobsInterface, bus::kPreviewMethod,
                          bus::kRemoveInSignature, {bus::kRemoveInName},
                          bus::kRemoveOutSignature, {bus::kRemoveOutName},
                          [this](sdbus::MethodCall call) {
                            Dispatch(std::move(call), Kind::kPreview);
                          });
  object_->registerMethod(bus::kJobsInterface, bus::kStartMethod,
                          bus::kRemoveInSignature, {bus::kRemoveInName},
                          bus::kStartOutSignature, {bus::kStartOutName},
                          [this](sdbus::MethodCall call) {
                            Dispatch(std::move(call), Kind::kJob);
                          });
  object_->registerMethod(
      bus::kJobsInterface, bus::kStopMethod, bus::kStopInSignature,
      {bus::kStopInName}, bus::kStopOutSignature, {bus::kStopOutName},
      [this](sdbus::MethodCall call) { OnStopRemoval(std::move(call)); });
  RegisterProgressSignal(*object_);
  sdbus::Flags constant;
  constant.set(sdbus::Flags::CONST_PROPERTY_VALUE);
  object_->registerProperty(
      bus::kJobsInterface, bus::kVersionProperty, "s",
      [](sdbus::PropertyGetReply& reply) {
        reply << std::string(QUILLFEN_VERSION);
      },
      constant);
  object_->finishRegistration();
}

std::string ServiceListener::Describe(std::string_view path) const {
  if (path == kServiceObjectPath) {
    return ServiceObjectXml(!jobs_.empty());
  }
  if (jobs_.contains(path)) return JobObjectXml();
  return "";
}

void ServiceListener::Terminate() {
  terminate_requested_ = true;
  loop_.Wake();
}

int ServiceListener::CheckIdle() {
  using Clock = std::chrono::steady_clock;
  if (terminate_requested_ && !terminating_) {
    terminating_ = true;
    running_.StopAll();
    if (!release_requested_) ReleaseName();
  }
  ForgetDepartedPeers();
  int in_flight;
  Clock::time_point idle_since;
  {
    MutexLock lock(mutex_);
    in_flight = in_flight_;
    idle_since = idle_since_;
  }
  running_.ReportDue();
  const int jobs_wait = LookAfterJobs();
  // While calls run, the loop looks in at least as often as their progress
  // may be signalled.
  if (in_flight > 0) {
    return static_cast<int>(RunningRemovals::kProgressInterval.count());
  }
  // A job's object is served for its time, with or without the name,
  // unless the service is ending.
  if (!jobs_.empty() && !terminating_) return jobs_wait;
  if (name_released_) {
    loop_.Quit();
    return 0;
  }
  if (release_requested_) return -1;
  auto idle_for = Clock::now() - idle_since;
  if (idle_for >= options_.idle_timeout) {
    ReleaseName();
    return 0;
  }
  return static_cast<int>(std::chrono::ceil<std::chrono::milliseconds>(
                              options_.idle_timeout - idle_for)
                              .count());
}

int ServiceListener::LookAfterJobs() {
  if (jobs_.empty()) return -1;
  const RemovalJob::Clock::time_point now = RemovalJob::Clock::now();
  std::optional<RemovalJob::Clock::time_point> next;
  for (auto it = jobs_.begin(); it != jobs_.end();) {
    RemovalJob& job = *it->second;
    auto starter = connections_.find(job.starter());
    if (starter == connections_.end() || starter->second->departed_ ||
        job.Expired(now)) {
      job.Withdraw();  // A removal still running goes on, unreported.
      it = jobs_.erase(it);
      continue;
    }
    job.Report(now);
    if (std::optional<RemovalJob::Clock::time_point> expiry = job.ExpiresAt();
        expiry && (!next || *expiry < *next)) {
      next = expiry;
    }
    ++it;
  }
  if (jobs_.empty()) {
    MutexLock lock(mutex_);
    idle_since_ = std::chrono::steady_clock::now();
  }
  if (!next) return -1;
  return static_cast<int>(
      std::chrono::ceil<std::chrono::milliseconds>(*next - now).count());
}

void ServiceListener::ReleaseName() {
  release_requested_ = true;
  // Asynchronous, so that calls the bus routed here before it handled the
  // release are still read and served; its answer comes after all of them.
  bus_daemon_->ReleaseNameAsync(std::string(ServiceName), [this] {
    // Whatever the answer, the name is no longer this instance's to serve
    // under.
    name_released_ = true;
  });
}

ServiceConnection* ServiceListener::ConnectionFor(const std::string& peer) {
  auto it = connections_.find(peer);
  if (it != connections_.end()) return it->second.get();
  auto connection = std::make_unique<ServiceConnection>(peer);
  bool accepted =
      delegate_ != nullptr &&
      delegate_->listenerShouldAcceptNewConnection(*this, *connection);
  if (!accepted) return nullptr;
  return connections_.emplace(peer, std::move(connection)).first->second.get();
}

void ServiceListener::Dispatch(sdbus::MethodCall call, Kind kind) {
  try {
    Enqueue(call, kind);
  } catch (const std::exception& e) {
    // Nothing may unwind into the bus library's C callbacks; the caller
    // hears why, unless its call was already queued.
    SystemLog("QuillfenRemovalService: a call was dropped: " +
              std::string(e.what()));
    if (call.isValid())
      ReturnError(call, bus::kErrorFailed, BusSafeText(e.what()));
  }
}

void ServiceListener::Enqueue(sdbus::MethodCall& message, Kind kind) {
  ServiceConnection* connection = ConnectionFor(message.getSender());
  if (connection == nullptr || !connection->Serves()) {
    ReturnError(message, bus::kErrorAccessDenied,
                "The removal service refused the call.");
    return;
  }
  // Read straight from the message: a long list is never held as the
  // library's variants as well.
  Result<Dictionary> converted = DictionaryFromDbusMessage(message);
  if (!converted) {
    ReturnError(message, bus::kErrorInvalidArgs,
                BusSafeText("The request can't be read: " +
                            converted.error().message + "."));
    return;
  }
  std::shared_ptr<RemovalJob> job;
  if (kind == Kind::kJob)
    job = StartJob(connection->peer(), *converted, message);
  auto call = std::make_unique<ServiceConnection::PendingCall>(
      ServiceConnection::PendingCall{
          kind, std::move(*converted),
          job ? sdbus::MethodCall() : std::move(message), std::move(job)});
  bool start_worker = false;
  {
    MutexLock lock(mutex_);
    connection->queue_.push_back(std::move(call));
    ++in_flight_;
    if (!connection->worker_running_) {
      connection->worker_running_ = true;
      start_worker = true;
    }
  }
  if (start_worker) {
    // A finished worker may not have returned yet; it holds nothing.
    if (connection->worker_.joinable()) connection->worker_.join();
    try {
      connection->worker_ =
          std::thread(&ServiceListener::Serve, this, connection);
    } catch (const std::system_error& e) {
      RefuseQueued(*connection, e.code().value());
    }
  }
}

void ServiceListener::RefuseQueued(ServiceConnection& connection, int error) {
  std::deque<std::unique_ptr<ServiceConnection::PendingCall>> refused;
  {
    MutexLock lock(mutex_);
    refused.swap(connection.queue_);
    in_flight_ -= static_cast<int>(refused.size());
    if (in_flight_ == 0) idle_since_ = std::chrono::steady_clock::now();
    connection.worker_running_ = false;
  }
  // Outside the lock: answering and dropping a call take the bus
  // library's lock (see ServiceConnection::queue_).
  std::string message = BusSafeText(
      "The removal service can’t start the work: " + SystemErrorText(error) +
      ". Nothing was removed; try again later.");
  for (const auto& call : refused) {
    ReturnError(call->call, bus::kErrorFailed, message);
  }
}

std::shared_ptr<RemovalJob> ServiceListener::StartJob(
    const std::string& peer, const RemovalRequest& request,
    sdbus::MethodCall& call) {
  std::string token = ExchangeToken(request);
  auto job = std::make_shared<RemovalJob>(std::string(kServiceObjectPath) +
                                              bus::kJobsPathSegment +
                                              std::to_string(++jobs_started_),
                                          peer, std::move(token));
  job->Export(*bus_, raw_bus_);
  sdbus::MethodReply reply = call.createReply();
  reply << sdbus::ObjectPath(job->path());
  reply.send();
  jobs_.emplace(job->path(), job);
  return job;
}

void ServiceListener::Serve(ServiceConnection* connection) {
  mutex_.Lock();
  while (!connection->queue_.empty()) {
    std::unique_ptr<ServiceConnection::PendingCall> call =
        std::move(connection->queue_.front());
    connection->queue_.pop_front();
    std::shared_ptr<QuillfenRemovalServiceProtocol> object =
        connection->exported_object_;
    mutex_.Unlock();
    switch (call->kind) {
      case Kind::kPreview:
        AnswerPreview(*object, call->request, call->call, *undelivered_);
        call.reset();  // Before the lock: see ServiceConnection::queue_.
        break;
      case Kind::kRemove: {
        RunningRemovals::Removal removal;
        removal.token = ExchangeToken(call->request);
        running_.Add(removal);
        AnswerRemoval(*object, call->request, call->call, removal.progress,
                      *undelivered_);
        call.reset();
        running_.Finish(removal);
        break;
      }
      case Kind::kJob: {
        std::shared_ptr<RemovalJob> job = std::move(call->job);
        running_.Add(job->removal());
        job->CarryOut(*object, call->request);
        call.reset();
        running_.Finish(job->removal());
        // Announced by the event loop, which the end wakes below; its
        // object is the loop's to drop.
        break;
      }
    }
    mutex_.Lock();
    if (--in_flight_ == 0) idle_since_ = std::chrono::steady_clock::now();
    loop_.Wake();
  }
  connection->worker_running_ = false;
  mutex_.Unlock();
  loop_.Wake();
}

void ServiceListener::OnStopRemoval(sdbus::MethodCall call) {
  try {
    // The same peers as may remove: one the delegate turned away may not
    // stop another's removal either.
    ServiceConnection* connection = ConnectionFor(call.getSender());
    if (connection == nullptr || !connection->Serves()) {
      ReturnError(call, bus::kErrorAccessDenied,
                  "The removal service refused the call.");
      return;
    }
    std::string token;
    call >> token;
    sdbus::MethodReply reply = call.createReply();
    reply << running_.Stop(token);
    reply.send();
  } catch (const std::exception& e) {
    // Nothing may unwind into the bus library's C callbacks.
    ReturnError(call, bus::kErrorFailed, BusSafeText(e.what()));
  }
}

void ServiceListener::OnNameOwnerChanged(const NameOwnerChange& change) {
  if (!change.new_owner.empty()) return;
  auto it = connections_.find(change.name);
  if (it != connections_.end()) it->second->departed_ = true;
}

void ServiceListener::ForgetDepartedPeers() {
  for (auto it = connections_.begin(); it != connections_.end();) {
    ServiceConnection& connection = *it->second;
    bool idle;
    {
      MutexLock lock(mutex_);
      idle = !connection.worker_running_;
    }
    if (connection.departed_ && idle) {
      if (connection.worker_.joinable()) connection.worker_.join();
      it = connections_.erase(it);  // Drops the object exported for it.
    } else {
      ++it;
    }
  }
}

}  // namespace quillfen
