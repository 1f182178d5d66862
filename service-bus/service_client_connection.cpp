#include "service-bus/service_client_connection.h"

#include <sdbus-c++/sdbus-c++.h>

#include <cstddef>
#include <stdexcept>
#include <string>

#include "platform/bus_event_loop.h"
#include "protocol/identifiers.h"
#include "protocol/removal_reply.h"
#include "service-bus/bus_names.h"
#include "service-bus/dbus_value.h"
#include "service-bus/reply_file.h"

namespace quillfen {
namespace {

// Whether |name| is an error the service itself answers with, rather than
// one the bus gives when the service can't be reached or went away.
bool IsServiceAnswer(const std::string& name) {
  return name == bus::kErrorFailed || name == bus::kErrorInvalidArgs ||
         name == bus::kErrorAccessDenied;
}

}  // namespace

struct ServiceClientConnection::State {
  BusEventLoop loop;
  // The connection's thread's own, once it runs.
  std::unique_ptr<sdbus::IConnection> bus;
  std::unique_ptr<sdbus::IProxy> proxy;

  mutable std::mutex mutex;  // Guards the two below.
  std::string interface_name;
  std::function<void()> invalidation_handler;

  std::atomic<bool> invalidated = false;
  std::once_flag handler_ran;

  // On the connection's thread: stops serving and tells the owner, once.
  void Invalidate() {
    invalidated = true;
    loop.Quit();
    std::call_once(handler_ran, [this] {
      std::function<void()> handler;
      {
        std::lock_guard lock(mutex);
        handler = invalidation_handler;
      }
      if (handler) handler();
    });
  }
};

// Forwards removeWithFileDict to the service, from the connection's thread.
class ServiceClientConnection::RemoteObject
    : public QuillfenRemovalServiceProtocol {
 public:
  explicit RemoteObject(std::shared_ptr<State> state)
      : state_(std::move(state)) {}

  void removeWithFileDict(const RemovalRequest& request,
                          const ReplyBlock& withReply) override {
    // The bus would drop the message, or the library refuse to make it:
    // the caller hears so at once.
    if (std::size_t size = DbusEncodedSize(request);
        size > kMaxBusDictionaryBytes) {
      throw std::invalid_argument(
          "the request is too large for one bus message (" +
          MebibytesText(size) + "; at most " +
          MebibytesText(kMaxBusDictionaryBytes) + ")");
    }
    Result<DbusDictionary> wire = DbusFromDictionary(request);
    if (!wire) {
      throw std::invalid_argument("the request can’t be sent: " +
                                  wire.error().message);
    }
    std::weak_ptr<State> weak = state_;
    state_->loop.Post([weak, arguments = std::move(*wire), request, withReply] {
      std::shared_ptr<State> state = weak.lock();
      if (!state || state->invalidated || !state->proxy) return;
      std::string interface;
      {
        std::lock_guard lock(state->mutex);
        interface = state->interface_name;
      }
      sdbus::MethodCall call;
      try {
        call = state->proxy->createMethodCall(interface, bus::kRemoveMethod);
        call << arguments;
      } catch (const sdbus::Error& e) {
        // Nothing was sent: the request is refused, as one the bus can't
        // carry is, rather than left without a reply.
        state.reset();  // The reply block may drop the connection.
        withReply(RefusedRequestReply(
            request, "The request couldn’t be sent to the removal service: " +
                         e.getMessage() + "."));
        return;
      }
      try {
        // The reply is read from its message straight into values, rather
        // than as the library's variants first.
        state->proxy->callMethod(
            call,
            [weak, request, withReply](sdbus::MethodReply& reply,
                                       const sdbus::Error* error) {
              OnReply(weak, request, withReply, reply, error);
            },
            UINT64_MAX);
      } catch (const sdbus::Error&) {
        state->Invalidate();
      }
    });
  }

 private:
  static void OnReply(const std::weak_ptr<State>& weak,
                      const RemovalRequest& request,
                      const ReplyBlock& withReply, sdbus::MethodReply& reply,
                      const sdbus::Error* error) {
    std::shared_ptr<State> alive = weak.lock();
    if (!alive) return;
    if (error != nullptr) {
      const std::string& name = error->getName();
      if (IsServiceAnswer(name)) {
        // The service answered, only not with a reply: the caller hears
        // it as the request's refusal.
        alive.reset();
        withReply(RefusedRequestReply(
            request,
            "The removal service couldn’t answer: " + error->getMessage()));
        return;
      }
      // No error handler: nobody hears of it. A service that can't be
      // reached leaves the connection unusable.
      if (name == bus::kErrorServiceUnknown ||
          name.starts_with(bus::kErrorSpawnPrefix)) {
        alive->Invalidate();
      }
      return;
    }
    Result<Dictionary> converted = ReplyFromMessage(reply);
    alive.reset();  // The reply block may drop the connection.
    if (!converted) {
      withReply(RefusedRequestReply(
          request, "The removal service’s reply can’t be read: " +
                       converted.error().message + "."));
      return;
    }
    withReply(std::move(*converted));
  }

  std::shared_ptr<State> state_;
};

ServiceClientConnection::ServiceClientConnection(std::string service_name)
    : service_name_(std::move(service_name)),
      state_(std::make_shared<State>()) {}

ServiceClientConnection::~ServiceClientConnection() {
  state_->invalidated = true;
  state_->loop.Quit();
  if (!thread_.joinable()) return;
  if (state_->loop.IsLoopThread() ||
      thread_.get_id() == std::this_thread::get_id()) {
    // Dropped from within a reply: the thread ends by itself, and keeps
    // its state alive until then.
    thread_.detach();
  } else {
    thread_.join();
  }
}

void ServiceClientConnection::setRemoteObjectInterface(
    ServiceInterface interface) {
  std::lock_guard lock(state_->mutex);
  state_->interface_name = std::move(interface.name);
}

void ServiceClientConnection::setInvalidationHandler(
    std::function<void()> handler) {
  {
    std::lock_guard lock(state_->mutex);
    std::swap(state_->invalidation_handler, handler);
  }
  // The old handler goes here, outside the lock: what it holds may take
  // the connection with it.
}

std::function<void()> ServiceClientConnection::invalidationHandler() const {
  std::lock_guard lock(state_->mutex);
  return state_->invalidation_handler;
}

void ServiceClientConnection::resume() {
  if (thread_.joinable()) return;
  thread_ = std::thread([state = state_, name = service_name_] {
    try {
      state->bus = sdbus::createSessionBusConnection();
      state->proxy = sdbus::createProxy(*state->bus, name,
                                        std::string(kServiceObjectPath));
      if (!state->invalidated) state->loop.Run(*state->bus);
    } catch (const sdbus::Error&) {
      // No bus, or the bus went away.
    }
    state->Invalidate();
    state->proxy.reset();
    state->bus.reset();
  });
}

void ServiceClientConnection::invalidate() {
  std::weak_ptr<State> weak = state_;
  state_->invalidated = true;
  // Asynchronous: whoever invalidates (a reply block, say) has finished
  // with the connection before its handler runs.
  state_->loop.Post([weak] {
    if (auto state = weak.lock()) state->Invalidate();
  });
  if (!thread_.joinable()) state_->Invalidate();
}

std::shared_ptr<QuillfenRemovalServiceProtocol>
ServiceClientConnection::remoteObjectProxy() {
  return std::make_shared<RemoteObject>(state_);
}

}  // namespace quillfen
