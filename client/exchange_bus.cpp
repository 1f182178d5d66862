#include "client/exchange_bus.h"

#include <poll.h>
#include <sdbus-c++/sdbus-c++.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <optional>
#include <vector>

#include "base/error_text.h"
#include "platform/bus_driver.h"
#include "platform/distributed_notification_center.h"
#include "protocol/identifiers.h"
#include "service-bus/progress_signal.h"
#include "service-bus/stop_request.h"

namespace quillfen {

Result<std::unique_ptr<ExchangeBus>> ExchangeBus::Connect(
    const std::string& service_dir, int output_fd) {
  std::unique_ptr<ExchangeBus> bus(new ExchangeBus());
  bus->service_dir_ = service_dir;
  try {
    bus->connection_ = sdbus::createSessionBusConnection();
    return bus;
  } catch (const sdbus::Error&) {
    // No session bus: a bare machine, a CI job, an ssh login.
  }
  Result<std::unique_ptr<PrivateBus>> private_bus =
      PrivateBus::Start(service_dir, output_fd);
  if (!private_bus) {
    return ErrorMessage(
        "there is no session bus, and a private one could not be started: " +
        private_bus.error().message);
  }
  bus->private_bus_ = std::move(*private_bus);
  try {
    bus->connection_ = sdbus::createSessionBusConnectionWithAddress(
        bus->private_bus_->address());
  } catch (const sdbus::Error& e) {
    return ErrorMessage("can't connect to the private bus: " + e.getMessage());
  }
  return bus;
}

std::string ExchangeBus::PrivateAddress() const {
  return private_bus_ ? private_bus_->address() : std::string();
}

Result<void> ExchangeBus::Listen(ExchangeState& state) {
  try {
    connection_->addMatch(
        NotificationMatchRule(kReplySentNotification),
        [&state](sdbus::Message& message) {
          if (NotificationObject(message) == ToolIdentifier) {
            state.NotificationArrived();
          }
        },
        sdbus::floating_slot);
  } catch (const sdbus::Error& e) {
    return ErrorMessage("can't listen for the reply: " + e.getMessage());
  }
  try {
    WatchNameOwners(*connection_, [&state](const NameOwnerChange& change) {
      if (change.new_owner.empty()) {
        state.ServiceOwnerVanished(change.name);
      } else if (change.name == ServiceName) {
        state.ServiceOwnerAppeared(change.new_owner);
      }
    });
  } catch (const sdbus::Error& e) {
    return ErrorMessage("can't watch the removal service: " + e.getMessage());
  }
  return {};
}

void ExchangeBus::ListenForProgress(ExchangeState& state,
                                    const std::string& token) {
  try {
    ListenForProgressSignals(*connection_,
                             [&state, token](const std::string& sender,
                                             const ProgressReport& report) {
                               if (report.token == token) {
                                 state.ProgressReported(sender, report.counts);
                               }
                             });
  } catch (const sdbus::Error&) {
  }
}

Result<void> ExchangeBus::ServiceReachable() const {
  const std::string name(ServiceName);
  try {
    BusDriver driver(*connection_);
    if (driver.NameHasOwner(name)) return {};
    std::vector<std::string> activatable = driver.ListActivatableNames();
    if (std::find(activatable.begin(), activatable.end(), name) !=
        activatable.end()) {
      return {};
    }
  } catch (const sdbus::Error& e) {
    return ErrorMessage("can't ask the bus about the removal service: " +
                        e.getMessage());
  }
  if (private_bus_) {
    return ErrorMessage("the removal service is not in " + service_dir_);
  }
  return ErrorMessage(
      "the session bus can't start the removal service. Install the "
      "removal system (the .deb, or cmake --install) so that " +
      name +
      ".service is in a dbus-1/services folder the bus reads, such as "
      "/usr/share/dbus-1/services or ~/.local/share/dbus-1/services, "
      "then try again");
}

void ExchangeBus::NoteRunningInstance(ExchangeState& state) {
  try {
    if (std::optional<std::string> owner =
            BusDriver(*connection_).NameOwner(std::string(ServiceName))) {
      state.ServiceOwnerAppeared(*owner);
    }
  } catch (const sdbus::Error&) {
  }
}

std::optional<std::uint32_t> ExchangeBus::AskServiceToStop(
    const std::string& token, ExchangeState::Clock::time_point until) {
  // At least a millisecond: a limit of nought is the bus's own default.
  auto limit = std::max<std::chrono::microseconds>(
      std::chrono::ceil<std::chrono::microseconds>(until -
                                                   ExchangeState::Clock::now()),
      std::chrono::milliseconds(1));
  return quillfen::AskServiceToStop(*connection_, token, limit);
}

Result<void> ExchangeBus::ProcessPending() {
  try {
    while (connection_->processPendingRequest()) {
    }
  } catch (const sdbus::Error& e) {
    return ErrorMessage(e.getMessage());
  }
  return {};
}

Result<void> ExchangeBus::Wait(ExchangeState::Clock::time_point until,
                               int interrupt_fd, ExchangeState& state) {
  sdbus::IConnection::PollData poll_data;
  try {
    poll_data = connection_->getEventLoopPollData();
  } catch (const sdbus::Error& e) {
    return ErrorMessage(e.getMessage());
  }
  pollfd fds[2] = {{poll_data.fd, poll_data.events, 0},
                   {interrupt_fd, POLLIN, 0}};
  auto left = std::chrono::ceil<std::chrono::milliseconds>(
      until - ExchangeState::Clock::now());
  int limit = static_cast<int>(std::max<long long>(left.count(), 0));
  int timeout = poll_data.getPollTimeout();
  if (timeout < 0 || timeout > limit) timeout = limit;
  int ready = poll(fds, interrupt_fd >= 0 ? 2 : 1, timeout);
  if (ready < 0 && errno != EINTR) {
    // Out of memory, say: waiting on would spin without ever waiting.
    return ErrorMessage("can't wait for the bus: " + SystemErrorText(errno));
  }
  if (ready > 0 && (fds[1].revents & POLLIN) != 0) {
    char bytes[16];
    ssize_t n = read(interrupt_fd, bytes, sizeof bytes);
    for (ssize_t i = 0; i < n; ++i) state.Interrupted();
  }
  return {};
}

}  // namespace quillfen
