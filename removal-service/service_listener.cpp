#include "removal-service/service_listener.h"

#include <cstdio>
#include <vector>

#include "protocol/bus_string.h"
#include "protocol/identifiers.h"
#include "protocol/removal_keys.h"
#include "protocol/service_interface.h"

namespace quillfen {
namespace {

const char kInvalidArgs[] = "org.freedesktop.DBus.Error.InvalidArgs";
const char kAccessDenied[] = "org.freedesktop.DBus.Error.AccessDenied";
const char kFailed[] = "org.freedesktop.DBus.Error.Failed";

// The least time between two progress signals of one removal.
constexpr std::chrono::milliseconds kProgressInterval{100};

}  // namespace

// Answers |call| with an error, unless the peer or the bus is gone and
// nobody is left to tell.
void ReturnError(const sdbus::MethodCall& call, const char* name,
                 const std::string& message) {
  try {
    call.createErrorReply(sdbus::Error(name, message)).send();
  } catch (const sdbus::Error&) {
  }
}

bool ServiceConnection::Serves() const {
  return resumed_ && exported_object_ != nullptr &&
         exported_interface_ == ServiceInterface::WithProtocol().name;
}

ServiceListener::ServiceListener(Options options) : options_(options) {}

ServiceListener::~ServiceListener() {
  for (auto& [peer, connection] : connections_) {
    if (connection->worker_.joinable()) connection->worker_.join();
  }
}

int ServiceListener::resume() {
  int status = 0;
  idle_since_ = std::chrono::steady_clock::now();
  try {
    bus_ = sdbus::createSessionBusConnection();
    // The object exists before the name does: an activating call may
    // arrive as soon as the name is ours.
    object_ = sdbus::createObject(*bus_, std::string(kServiceObjectPath));
    // Registered by hand rather than through typed arguments, so that the
    // reply is written into its message straight from the engine's result.
    object_->registerMethod(
        ServiceInterface::WithProtocol().name, "RemoveWithFileDict", "a{sv}",
        {"request"}, "a{sv}", {"reply"},
        [this](sdbus::MethodCall call) { Dispatch(std::move(call)); });
    object_->registerMethod(
        ServiceInterface::WithProtocol().name, "StopRemoval", "s",
        {"volumePath"}, "u", {"stopped"},
        [this](sdbus::MethodCall call) { OnStopRemoval(std::move(call)); });
    object_->registerSignal(
        ServiceInterface::WithProtocol().name, "RemovalProgress", "stttb",
        {"volumePath", "walked", "removed", "failed", "finished"});
    object_->finishRegistration();
    WatchNameOwners(*bus_, [this](const NameOwnerChange& change) {
      OnNameOwnerChanged(change);
    });
    bus_daemon_ = std::make_unique<BusDriver>(*bus_);
    bus_->requestName(std::string(ServiceName));
    loop_.Run(*bus_, [this] { return CheckIdle(); });
  } catch (const sdbus::Error& e) {
    std::fprintf(stderr, "QuillfenRemovalService: the bus failed: %s: %s\n",
                 e.getName().c_str(), e.getMessage().c_str());
    status = 1;
  }
  // Work already under way finishes, whatever happened to the bus.
  for (auto& [peer, connection] : connections_) {
    if (connection->worker_.joinable()) connection->worker_.join();
  }
  connections_.clear();
  try {
    bus_daemon_.reset();
    object_.reset();
    bus_.reset();  // Flushes the last replies.
  } catch (const sdbus::Error&) {
    status = 1;
  }
  return status;
}

int ServiceListener::CheckIdle() {
  using Clock = std::chrono::steady_clock;
  ForgetDepartedPeers();
  int in_flight;
  Clock::time_point idle_since;
  {
    std::lock_guard lock(mutex_);
    in_flight = in_flight_;
    idle_since = idle_since_;
  }
  ReportProgress();
  // While calls run, the loop looks in at least as often as their progress
  // may be signalled.
  if (in_flight > 0) return static_cast<int>(kProgressInterval.count());
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

void ServiceListener::Dispatch(sdbus::MethodCall call) {
  try {
    Enqueue(call);
  } catch (const std::exception& e) {
    // Nothing may unwind into the bus library's C callbacks; the caller
    // hears why, unless its call was already queued.
    std::fprintf(stderr, "QuillfenRemovalService: a call was dropped: %s\n",
                 e.what());
    if (call.isValid()) ReturnError(call, kFailed, BusSafeText(e.what()));
  }
}

void ServiceListener::Enqueue(sdbus::MethodCall& message) {
  ServiceConnection* connection = ConnectionFor(message.getSender());
  if (connection == nullptr || !connection->Serves()) {
    ReturnError(message, kAccessDenied,
                "The removal service refused the call.");
    return;
  }
  DbusDictionary request;
  message >> request;
  Result<Dictionary> converted = DictionaryFromDbus(request);
  if (!converted) {
    ReturnError(message, kInvalidArgs,
                BusSafeText("The request can't be read: " +
                            converted.error().message + "."));
    return;
  }
  auto call = std::make_unique<ServiceConnection::PendingCall>(
      ServiceConnection::PendingCall{std::move(*converted),
                                     std::move(message)});
  bool start_worker = false;
  {
    std::lock_guard lock(mutex_);
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
    connection->worker_ =
        std::thread(&ServiceListener::Serve, this, connection);
  }
}

void ServiceListener::Serve(ServiceConnection* connection) {
  std::unique_lock lock(mutex_);
  while (!connection->queue_.empty()) {
    std::unique_ptr<ServiceConnection::PendingCall> call =
        std::move(connection->queue_.front());
    connection->queue_.pop_front();
    std::shared_ptr<QuillfenRemovalServiceProtocol> object =
        connection->exported_object_;
    lock.unlock();
    RunningRemoval removal;
    if (const Value* path = Find(call->request, kVolumePathKey)) {
      if (const std::string* text = path->AsString()) {
        removal.volume_path = *text;
      }
    }
    {
      std::lock_guard running_lock(running_mutex_);
      running_.push_back(&removal);
    }
    RunCall(*object, *call, removal.progress);
    call.reset();  // Before the lock: see queue_.
    FinishRemoval(removal);
    lock.lock();
    if (--in_flight_ == 0) idle_since_ = std::chrono::steady_clock::now();
    loop_.Wake();
  }
  connection->worker_running_ = false;
  loop_.Wake();
}

void ServiceListener::RunCall(QuillfenRemovalServiceProtocol& object,
                              ServiceConnection::PendingCall& call,
                              RemovalProgress& progress) {
  bool replied = false;
  auto send_reply = [&](RemovalReply reply) {
    if (replied) return;
    replied = true;
    std::string cause = DictionaryBusFault(reply);
    if (cause.empty()) {
      try {
        sdbus::MethodReply message = call.call.createReply();
        AppendDbusDictionary(reply, message);
        reply = RemovalReply();  // Its text is in the message now.
        message.send();
        return;
      } catch (const sdbus::Error& e) {
        cause = e.getMessage();
      }
    }
    // The caller hears at once why its reply can't come, rather than
    // waiting on until the service leaves. When the peer or the bus is
    // gone, nobody is left to tell.
    std::fprintf(stderr, "QuillfenRemovalService: a reply can’t be sent: %s\n",
                 cause.c_str());
    ReturnError(call.call, kFailed,
                BusSafeText("The reply can’t be sent: " + cause + "."));
  };
  try {
    object.removeReportingProgress(call.request, send_reply, progress);
  } catch (const std::exception& e) {
    if (!replied) {
      replied = true;
      ReturnError(call.call, kFailed, BusSafeText(e.what()));
    }
  }
}

void ServiceListener::OnStopRemoval(sdbus::MethodCall call) {
  try {
    // The same peers as may remove: one the delegate turned away may not
    // stop another's removal either.
    ServiceConnection* connection = ConnectionFor(call.getSender());
    if (connection == nullptr || !connection->Serves()) {
      ReturnError(call, kAccessDenied, "The removal service refused the call.");
      return;
    }
    std::string volume_path;
    call >> volume_path;
    sdbus::MethodReply reply = call.createReply();
    reply << StopRemovals(volume_path);
    reply.send();
  } catch (const std::exception& e) {
    // Nothing may unwind into the bus library's C callbacks.
    ReturnError(call, kFailed, BusSafeText(e.what()));
  }
}

std::uint32_t ServiceListener::StopRemovals(const std::string& volume_path) {
  std::uint32_t stopped = 0;
  std::lock_guard lock(running_mutex_);
  for (RunningRemoval* removal : running_) {
    if (removal->volume_path == volume_path &&
        removal->progress.RequestStop()) {
      ++stopped;
    }
  }
  return stopped;
}

void ServiceListener::ReportProgress() {
  using Clock = std::chrono::steady_clock;
  std::lock_guard signal_lock(signal_mutex_);
  std::vector<RunningRemoval*> due;
  Clock::time_point now = Clock::now();
  {
    std::lock_guard lock(running_mutex_);
    for (RunningRemoval* removal : running_) {
      if (removal->volume_path.empty()) continue;
      if (now - removal->sent_at < kProgressInterval) continue;
      RemovalProgress::Counts counts = removal->progress.counts();
      if (counts == removal->sent) continue;
      removal->sent = counts;
      removal->sent_at = now;
      due.push_back(removal);
    }
  }
  // Still running: FinishRemoval waits for signal_mutex_.
  for (RunningRemoval* removal : due) EmitProgress(*removal, false);
}

void ServiceListener::FinishRemoval(RunningRemoval& removal) {
  std::lock_guard signal_lock(signal_mutex_);
  {
    std::lock_guard lock(running_mutex_);
    running_.remove(&removal);
  }
  if (removal.volume_path.empty()) return;
  removal.sent = removal.progress.counts();
  EmitProgress(removal, true);
}

void ServiceListener::EmitProgress(const RunningRemoval& removal,
                                   bool finished) {
  try {
    object_->emitSignal("RemovalProgress")
        .onInterface(ServiceInterface::WithProtocol().name)
        .withArguments(removal.volume_path, removal.sent.walked,
                       removal.sent.removed, removal.sent.failed, finished);
  } catch (const sdbus::Error&) {
    // A signal nobody can be sent is nobody's loss: the reply still goes.
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
      std::lock_guard lock(mutex_);
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
