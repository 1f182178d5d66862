#include "client/removal_exchange.h"

#include <poll.h>
#include <sdbus-c++/sdbus-c++.h>
#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <memory>
#include <optional>
#include <sstream>
#include <vector>

#include "base/error_text.h"
#include "client/exchange_state.h"
#include "platform/bus_driver.h"
#include "platform/child_exit.h"
#include "platform/distributed_notification_center.h"
#include "platform/private_bus.h"
#include "platform/shared_suite.h"
#include "platform/shared_suite_exchange_turn.h"
#include "platform/unique_fd.h"
#include "protocol/identifiers.h"
#include "protocol/service_interface.h"

extern char** environ;

namespace quillfen {
namespace {

using Clock = ExchangeState::Clock;
using Step = ExchangeState::Step;
using namespace std::chrono_literals;

std::string ExecutableDir() {
  std::error_code ignored;
  return std::filesystem::read_symlink("/proc/self/exe", ignored)
      .parent_path()
      .string();
}

// The bus the exchange runs on: the session bus, or a private one where
// none can be reached.
struct ExchangeBus {
  std::unique_ptr<PrivateBus> private_bus;
  std::unique_ptr<sdbus::IConnection> connection;
};

Result<void> ConnectBus(const std::string& service_dir, ExchangeBus* bus) {
  try {
    bus->connection = sdbus::createSessionBusConnection();
    return {};
  } catch (const sdbus::Error&) {
    // No session bus: a bare machine, a CI job, an ssh login.
  }
  Result<std::unique_ptr<PrivateBus>> private_bus =
      PrivateBus::Start(service_dir, PrivateBus::Output::kDiscard);
  if (!private_bus) {
    return ErrorMessage(
        "there is no session bus, and a private one could not be started: " +
        private_bus.error().message);
  }
  bus->private_bus = std::move(*private_bus);
  try {
    bus->connection = sdbus::createSessionBusConnectionWithAddress(
        bus->private_bus->address());
  } catch (const sdbus::Error& e) {
    return ErrorMessage("can't connect to the private bus: " + e.getMessage());
  }
  return {};
}

// Listens, before anything can be said, for the tool's notification and
// for instances of the service coming and going, and tells |state|.
Result<void> Listen(sdbus::IConnection& connection, ExchangeState& state) {
  try {
    connection.addMatch(
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
    WatchNameOwners(connection, [&state](const NameOwnerChange& change) {
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

// Passes the service's progress reports for |volume_path| on to |state|.
// No report is worth failing the exchange for.
void ListenForProgress(sdbus::IConnection& connection, ExchangeState& state,
                       const std::string& volume_path) {
  const std::string rule = "type='signal',interface='" +
                           ServiceInterface::WithProtocol().name +
                           "',member='RemovalProgress',path='" +
                           std::string(kServiceObjectPath) + "'";
  try {
    connection.addMatch(
        rule,
        [&state, volume_path](sdbus::Message& message) {
          std::string volume;
          RemovalProgress::Counts counts;
          bool finished = false;
          try {
            message >> volume >> counts.walked >> counts.removed >>
                counts.failed >> finished;
          } catch (const sdbus::Error&) {
            return;
          }
          if (volume == volume_path) {
            state.ProgressReported(message.getSender(), counts);
          }
        },
        sdbus::floating_slot);
  } catch (const sdbus::Error&) {
  }
}

// Asks the service's current instance to stop the removals of
// |volume_path|; answers how many it stopped (0 when it can't be asked).
std::uint32_t AskServiceToStop(sdbus::IConnection& connection,
                               const std::string& volume_path) {
  std::uint32_t stopped = 0;
  try {
    sdbus::createProxy(connection, std::string(ServiceName),
                       std::string(kServiceObjectPath))
        ->callMethod("StopRemoval")
        .onInterface(ServiceInterface::WithProtocol().name)
        .withArguments(volume_path)
        .storeResultsTo(stopped);
  } catch (const sdbus::Error&) {
  }
  return stopped;
}

// Whether the bus runs the service or knows how to start it: a bus that
// can't is reported at once instead of waited on (the tool would wait
// without end). Nothing is started here, so the service's idle period
// counts from the tool's call.
Result<void> ServiceReachable(sdbus::IConnection& connection,
                              const ExchangeBus& bus,
                              const std::string& service_dir) {
  const std::string name(ServiceName);
  try {
    BusDriver driver(connection);
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
  if (bus.private_bus) {
    return ErrorMessage("the removal service is not in " + service_dir);
  }
  return ErrorMessage(
      "the session bus can't start the removal service. Install the "
      "removal system (the .deb, or cmake --install) so that " +
      name +
      ".service is in a dbus-1/services folder the bus reads, such as "
      "/usr/share/dbus-1/services or ~/.local/share/dbus-1/services, "
      "then try again");
}

// Tells |state| of the service's current instance, if it has one.
void NoteRunningInstance(sdbus::IConnection& connection, ExchangeState& state) {
  try {
    if (std::optional<std::string> owner =
            BusDriver(connection).NameOwner(std::string(ServiceName))) {
      state.ServiceOwnerAppeared(*owner);
    }
  } catch (const sdbus::Error&) {
  }
}

// The fields of a /proc stat file after the program's name, which may hold
// anything but ends at the last parenthesis: the state comes first.
std::vector<std::string> StatFields(const std::string& path) {
  // The process or the thread may end while it is read: no fields then.
  Result<std::string> text = ReadWholeFile(path);
  if (!text) return {};
  const std::string& stat = *text;
  std::vector<std::string> fields;
  std::size_t name_end = stat.rfind(')');
  if (name_end == std::string::npos) return fields;
  std::istringstream rest(stat.substr(name_end + 1));
  for (std::string field; rest >> field;) fields.push_back(field);
  return fields;
}

// What the tool |tool| is seen doing: its CPU time, whether a thread of it
// runs or waits on the disk, and whether someone holds the shared domain's
// lock, which every flush holds (the tool may be storing its reply, or
// waiting to).
ExchangeState::ToolActivity SampleTool(pid_t tool) {
  ExchangeState::ToolActivity activity;
  const std::string folder = "/proc/" + std::to_string(tool);
  std::vector<std::string> fields = StatFields(folder + "/stat");
  if (fields.size() > 12) {  // utime and stime.
    activity.cpu_ticks = std::strtoull(fields[11].c_str(), nullptr, 10) +
                         std::strtoull(fields[12].c_str(), nullptr, 10);
  }
  std::error_code ignored;
  for (const auto& thread :
       std::filesystem::directory_iterator(folder + "/task", ignored)) {
    fields = StatFields(thread.path().string() + "/stat");
    if (!fields.empty() && (fields[0] == "R" || fields[0] == "D")) {
      activity.working = true;
    }
  }
  activity.domain_locked = SharedSuite(SharedSuiteName).FlushUnderWay();
  return activity;
}

// The removal tool's process, from its start until it is waited for.
class ToolProcess {
 public:
  // Starts |tool_path| with this process's environment, on |bus|.
  Result<void> Start(const std::string& tool_path, const ExchangeBus& bus);
  pid_t pid() const { return pid_; }
  // Its waitpid status, once, when it has ended.
  std::optional<int> PollExit();
  // Ends it unless it has ended: waits |patience| for it to quit by
  // itself, then kills it.
  void Stop(Clock::duration patience);

 private:
  pid_t pid_ = -1;
  bool reaped_ = false;
};

Result<void> ToolProcess::Start(const std::string& tool_path,
                                const ExchangeBus& bus) {
  std::vector<std::string> environment;
  for (char** entry = environ; *entry != nullptr; ++entry) {
    if (bus.private_bus &&
        std::string_view(*entry).starts_with("DBUS_SESSION_BUS_ADDRESS=")) {
      continue;
    }
    environment.emplace_back(*entry);
  }
  if (bus.private_bus) {
    environment.push_back("DBUS_SESSION_BUS_ADDRESS=" +
                          bus.private_bus->address());
  }
  std::vector<char*> envp;
  for (std::string& entry : environment) envp.push_back(entry.data());
  envp.push_back(nullptr);
  std::string program = tool_path;
  char* argv[] = {program.data(), nullptr};
  // A group of its own: Ctrl-C is for the client, which asks the service
  // to stop; the tool must live on to store the stopped removal's reply.
  posix_spawnattr_t attributes;
  posix_spawnattr_init(&attributes);
  posix_spawnattr_setpgroup(&attributes, 0);
  posix_spawnattr_setflags(&attributes, POSIX_SPAWN_SETPGROUP);
  int spawn_error = posix_spawn(&pid_, tool_path.c_str(), nullptr, &attributes,
                                argv, envp.data());
  posix_spawnattr_destroy(&attributes);
  if (spawn_error != 0) {
    return ErrnoError(spawn_error, "can't start the removal tool " + tool_path +
                                       ": " + SystemErrorText(spawn_error));
  }
  return {};
}

std::optional<int> ToolProcess::PollExit() {
  int status = 0;
  if (reaped_ || waitpid(pid_, &status, WNOHANG) != pid_) return std::nullopt;
  reaped_ = true;
  return status;
}

void ToolProcess::Stop(Clock::duration patience) {
  if (reaped_) return;
  if (!AwaitChildEnd(
          pid_,
          std::chrono::duration_cast<std::chrono::milliseconds>(patience))) {
    kill(pid_, SIGKILL);
  }
  waitpid(pid_, nullptr, 0);
  reaped_ = true;
}

// Leaves the request in the shared domain, with no stale reply to mistake.
Result<void> LeaveRequest(const std::string& request_json) {
  SharedSuite suite(SharedSuiteName);
  suite.setObject(Value(request_json), kMessageKey);
  suite.removeObjectForKey(kReplyKey);
  if (!suite.synchronize()) {
    return ErrorMessage("can't leave the request: " + suite.lastError());
  }
  return {};
}

// Takes our message back out when the tool never did, so that a later
// launch doesn't act on a request whose asker has given up.
void WithdrawMessage(const std::string& request_json) {
  SharedSuite suite(SharedSuiteName);
  std::optional<Value> message = suite.objectForKey(kMessageKey);
  if (message && message->AsString() && *message->AsString() == request_json) {
    suite.removeObjectForKey(kMessageKey);
    suite.synchronize();
  }
}

// Reads the bus until |until| at the latest, or until it or the interrupt
// descriptor has something; tells |state| of each interrupt.
void WaitForBus(sdbus::IConnection& connection, Clock::time_point until,
                int interrupt_fd, ExchangeState& state) {
  sdbus::IConnection::PollData poll_data = connection.getEventLoopPollData();
  pollfd fds[2] = {{poll_data.fd, poll_data.events, 0},
                   {interrupt_fd, POLLIN, 0}};
  auto left =
      std::chrono::ceil<std::chrono::milliseconds>(until - Clock::now());
  int limit = static_cast<int>(std::max<long long>(left.count(), 0));
  int timeout = poll_data.getPollTimeout();
  if (timeout < 0 || timeout > limit) timeout = limit;
  if (poll(fds, interrupt_fd >= 0 ? 2 : 1, timeout) > 0 &&
      (fds[1].revents & POLLIN) != 0) {
    char bytes[16];
    ssize_t n = read(interrupt_fd, bytes, sizeof bytes);
    for (ssize_t i = 0; i < n; ++i) state.Interrupted();
  }
}

// Tells |state| what the bus, the tool and the clock say until it answers
// other than "wait"; that answer.
Step AwaitReply(sdbus::IConnection& connection, ToolProcess& tool,
                ExchangeState& state, const ExchangeSettings& settings) {
  try {
    for (;;) {
      while (connection.processPendingRequest()) {
      }
      Clock::time_point now = Clock::now();
      if (std::optional<int> status = tool.PollExit()) {
        state.ToolExited(*status, now);
      }
      if (state.WantsToolActivity()) {
        state.ToolActivitySampled(SampleTool(tool.pid()));
      }
      Step step = state.Next(now);
      if (step.kind == Step::Kind::kAskServiceToStop) {
        state.StopAnswered(AskServiceToStop(connection, settings.volume_path));
        continue;
      }
      if (step.kind != Step::Kind::kWait) return step;
      if (settings.progress) {
        settings.progress({step.elapsed, step.counts, step.stopping});
      }
      WaitForBus(connection, step.until, settings.interrupt_fd, state);
    }
  } catch (const sdbus::Error& e) {
    return state.BusFailed(e.getMessage());
  }
}

// The reply the tool stored.
Result<std::string> ReadStoredReply() {
  std::optional<Value> reply =
      SharedSuite(SharedSuiteName).objectForKey(kReplyKey);
  if (!reply || !reply->AsString()) {
    return ErrorMessage("the removal tool replied but stored no reply");
  }
  return std::move(*reply->AsString());
}

}  // namespace

std::string LocateRemovalTool() {
  std::string dir = ExecutableDir();
  std::string installed = dir + "/../libexec/quillfen/QuillfenRemovalTool";
  if (access(installed.c_str(), X_OK) == 0) return installed;
  return dir + "/../removal-tool/QuillfenRemovalTool";  // The build tree.
}

std::string LocateServiceDir() {
  // Installed and built alike: <prefix>/bin and build/client both sit one
  // level below the folder that holds share/dbus-1/services.
  return ExecutableDir() + "/../share/dbus-1/services";
}

ExchangeOutcome RunRemovalExchange(const std::string& request_json,
                                   const ExchangeSettings& settings) {
  auto failed = [](const Error& error) { return ExchangeOutcome{error}; };
  Result<SharedSuiteExchangeTurn> turn =
      SharedSuiteExchangeTurn::Take(SharedSuiteName);
  if (!turn) return failed(turn.error());
  ExchangeState state(settings.timeout);  // Outlives the bus's handlers.
  ExchangeBus bus;
  Result<void> ready = ConnectBus(settings.service_dir, &bus);
  if (ready) ready = Listen(*bus.connection, state);
  if (ready)
    ready = ServiceReachable(*bus.connection, bus, settings.service_dir);
  if (!ready) return failed(ready.error());
  NoteRunningInstance(*bus.connection, state);
  ListenForProgress(*bus.connection, state, settings.volume_path);
  if (Result<void> left = LeaveRequest(request_json); !left) {
    return failed(left.error());
  }

  ToolProcess tool;
  if (Result<void> started = tool.Start(settings.tool_path, bus); !started) {
    WithdrawMessage(request_json);
    return failed(started.error());
  }
  state.ToolStarted(Clock::now());
  Step step = AwaitReply(*bus.connection, tool, state, settings);
  if (step.kind == Step::Kind::kGiveUp) {
    tool.Stop(0s);
    if (step.withdraw_request) WithdrawMessage(request_json);
    return ExchangeOutcome{ErrorMessage(step.message), state.interrupted()};
  }
  tool.Stop(5s);  // It quits once its notification is out.
  return ExchangeOutcome{ReadStoredReply(), state.interrupted()};
}

}  // namespace quillfen
