#include "client/removal_exchange.h"

#include <fcntl.h>
#include <poll.h>
#include <sdbus-c++/sdbus-c++.h>
#include <signal.h>
#include <spawn.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <memory>
#include <optional>
#include <set>
#include <sstream>
#include <thread>
#include <vector>

#include "platform/distributed_notification_center.h"
#include "platform/private_bus.h"
#include "platform/shared_suite.h"
#include "protocol/identifiers.h"

extern char** environ;

namespace quillfen {
namespace {

using Clock = std::chrono::steady_clock;
using namespace std::chrono_literals;

constexpr std::string_view kMessageKey = "message";
constexpr std::string_view kReplyKey = "reply";
// How long the service may be gone, with the tool idle, while a reply is
// awaited before the exchange gives up on it: activation after an idle stop
// takes milliseconds.
constexpr auto kServiceGoneGrace = 2s;
// How long a tool that ended may take for its notification to arrive.
constexpr auto kNotificationGrace = 1s;
// How long the bus may take to start the service for the tool's call; an
// activation file whose program can't run never gets there.
constexpr auto kServiceStartLimit = 15s;

std::string ExecutableDir() {
  std::error_code ignored;
  return std::filesystem::read_symlink("/proc/self/exe", ignored)
      .parent_path()
      .string();
}

std::string SystemError(const std::string& what) {
  return what + ": " + std::strerror(errno);
}

// Holds the exchange lock of the shared domain while it lives.
class ExchangeLock {
 public:
  ~ExchangeLock() {
    if (fd_ >= 0) close(fd_);
  }
  bool Take(const std::string& folder, std::string* error) {
    std::error_code ignored;
    std::filesystem::create_directories(folder, ignored);
    std::string path = folder + "/exchange.lock";
    // Never through a link: the lock would be created wherever it points.
    fd_ = open(path.c_str(), O_RDWR | O_CREAT | O_NOFOLLOW | O_CLOEXEC, 0600);
    if (fd_ < 0 && errno == ELOOP) {
      *error = "can't open " + path +
               ": it is a symbolic link, which this system never follows; "
               "remove it";
      return false;
    }
    if (fd_ < 0) {
      *error = SystemError("can't open " + path);
      return false;
    }
    while (flock(fd_, LOCK_EX) != 0) {
      if (errno != EINTR) {
        *error = SystemError("can't lock " + path);
        return false;
      }
    }
    return true;
  }

 private:
  int fd_ = -1;
};

// The bus the exchange runs on: the session bus, or a private one where
// none can be reached.
struct ExchangeBus {
  std::unique_ptr<PrivateBus> private_bus;
  std::unique_ptr<sdbus::IConnection> connection;
};

bool ConnectBus(const std::string& service_dir, ExchangeBus* bus,
                std::string* error) {
  try {
    bus->connection = sdbus::createSessionBusConnection();
    return true;
  } catch (const sdbus::Error&) {
    // No session bus: a bare machine, a CI job, an ssh login.
  }
  bus->private_bus =
      PrivateBus::Start(service_dir, error, PrivateBus::Output::kDiscard);
  if (!bus->private_bus) {
    *error =
        "there is no session bus, and a private one could not be "
        "started: " +
        *error;
    return false;
  }
  try {
    bus->connection = sdbus::createSessionBusConnectionWithAddress(
        bus->private_bus->address());
  } catch (const sdbus::Error& e) {
    *error = "can't connect to the private bus: " + e.getMessage();
    return false;
  }
  return true;
}

// Whether the bus runs the service or knows how to start it: a bus that
// can't is reported at once instead of waited on (the tool would wait
// without end). Nothing is started here, so the service's idle period
// counts from the tool's call.
bool ServiceReachable(sdbus::IConnection& connection, const ExchangeBus& bus,
                      const std::string& service_dir, std::string* error) {
  const std::string name(ServiceName);
  try {
    auto daemon = sdbus::createProxy(connection, "org.freedesktop.DBus",
                                     "/org/freedesktop/DBus");
    bool running = false;
    daemon->callMethod("NameHasOwner")
        .onInterface("org.freedesktop.DBus")
        .withArguments(name)
        .storeResultsTo(running);
    std::vector<std::string> activatable;
    if (!running) {
      daemon->callMethod("ListActivatableNames")
          .onInterface("org.freedesktop.DBus")
          .storeResultsTo(activatable);
    }
    if (running || std::find(activatable.begin(), activatable.end(), name) !=
                       activatable.end()) {
      return true;
    }
  } catch (const sdbus::Error& e) {
    *error = "can't ask the bus about the removal service: " + e.getMessage();
    return false;
  }
  if (bus.private_bus) {
    *error = "the removal service is not in " + service_dir;
  } else {
    *error =
        "the session bus can't start the removal service. Install the "
        "removal system (the .deb, or cmake --install) so that " +
        name +
        ".service is in a dbus-1/services folder the bus reads, such as "
        "/usr/share/dbus-1/services or ~/.local/share/dbus-1/services, "
        "then try again";
  }
  return false;
}

// The unique bus name of the service's current instance, if it has one.
std::optional<std::string> ServiceOwner(sdbus::IConnection& connection) {
  try {
    auto daemon = sdbus::createProxy(connection, "org.freedesktop.DBus",
                                     "/org/freedesktop/DBus");
    std::string owner;
    daemon->callMethod("GetNameOwner")
        .onInterface("org.freedesktop.DBus")
        .withArguments(std::string(ServiceName))
        .storeResultsTo(owner);
    return owner;
  } catch (const sdbus::Error&) {
    return std::nullopt;
  }
}

// The fields of a /proc stat file after the program's name, which may hold
// anything but ends at the last parenthesis: the state comes first.
std::vector<std::string> StatFields(const std::string& path) {
  std::ifstream file(path);
  std::string stat((std::istreambuf_iterator<char>(file)), {});
  std::vector<std::string> fields;
  std::size_t name_end = stat.rfind(')');
  if (name_end == std::string::npos) return fields;
  std::istringstream rest(stat.substr(name_end + 1));
  for (std::string field; rest >> field;) fields.push_back(field);
  return fields;
}

// What the tool is seen doing. Once it has its reply it converts it and
// stores it without a pause, then quits, even when the service has left
// meanwhile; a tool whose call will never be answered sits idle for good.
struct ToolActivity {
  unsigned long long cpu_ticks = 0;
  bool working = false;  // A thread of it runs or waits on the disk.
};

ToolActivity ReadToolActivity(pid_t tool) {
  ToolActivity activity;
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
  return activity;
}

// Whether someone holds the shared domain's lock, which every flush holds:
// the tool may be storing its reply, or waiting to.
bool DomainLocked() {
  std::string path =
      SharedSuite::FolderFor(SharedSuiteName) + "/preferences.lock";
  int fd = open(path.c_str(), O_RDONLY | O_NOFOLLOW | O_CLOEXEC);
  if (fd < 0) return false;
  bool locked = flock(fd, LOCK_SH | LOCK_NB) != 0 && errno == EWOULDBLOCK;
  close(fd);
  return locked;
}

pid_t StartTool(const std::string& tool_path, const ExchangeBus& bus,
                std::string* error) {
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
  pid_t pid;
  int spawn_error =
      posix_spawn(&pid, tool_path.c_str(), nullptr, nullptr, argv, envp.data());
  if (spawn_error != 0) {
    *error = "can't start the removal tool " + tool_path + ": " +
             std::strerror(spawn_error);
    return -1;
  }
  return pid;
}

std::string DescribeExit(int status) {
  if (WIFEXITED(status))
    return "exit status " + std::to_string(WEXITSTATUS(status));
  if (WIFSIGNALED(status))
    return std::string("signal ") + strsignal(WTERMSIG(status));
  return "status " + std::to_string(status);
}

// Ends the tool: waits a little for it to quit by itself, then kills it.
void ReapTool(pid_t pid, Clock::duration patience) {
  auto deadline = Clock::now() + patience;
  while (Clock::now() < deadline) {
    if (waitpid(pid, nullptr, WNOHANG) == pid) return;
    std::this_thread::sleep_for(5ms);
  }
  kill(pid, SIGKILL);
  waitpid(pid, nullptr, 0);
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
  ExchangeOutcome outcome;
  ExchangeLock lock;
  if (!lock.Take(SharedSuite::FolderFor(SharedSuiteName), &outcome.error)) {
    return outcome;
  }
  ExchangeBus bus;
  if (!ConnectBus(settings.service_dir, &bus, &outcome.error)) return outcome;
  sdbus::IConnection& connection = *bus.connection;

  // Listen before anything can be said.
  bool notified = false;
  try {
    connection.addMatch(
        NotificationMatchRule("replySentNotification"),
        [&notified](sdbus::Message& message) {
          if (NotificationObject(message) == ToolIdentifier) notified = true;
        },
        sdbus::floating_slot);
  } catch (const sdbus::Error& e) {
    outcome.error = "can't listen for the reply: " + e.getMessage();
    return outcome;
  }
  // Every instance of the service since the exchange began, by unique
  // name, for as long as it is on the bus: one that gave its name back
  // when idle still serves the calls it had, and one that lives only for
  // a moment is still seen to come and go.
  std::set<std::string> instances;
  bool service_seen = false;
  try {
    connection.addMatch(
        "type='signal',sender='org.freedesktop.DBus',"
        "interface='org.freedesktop.DBus',member='NameOwnerChanged'",
        [&instances, &service_seen](sdbus::Message& message) {
          std::string name, old_owner, new_owner;
          message >> name >> old_owner >> new_owner;
          if (new_owner.empty()) {
            instances.erase(name);
          } else if (name == ServiceName) {
            instances.insert(new_owner);
            service_seen = true;
          }
        },
        sdbus::floating_slot);
  } catch (const sdbus::Error& e) {
    outcome.error = "can't watch the removal service: " + e.getMessage();
    return outcome;
  }
  if (!ServiceReachable(connection, bus, settings.service_dir,
                        &outcome.error)) {
    return outcome;
  }
  if (std::optional<std::string> owner = ServiceOwner(connection)) {
    instances.insert(*owner);
    service_seen = true;
  }

  {
    SharedSuite suite(SharedSuiteName);
    suite.setObject(Value(request_json), kMessageKey);
    suite.removeObjectForKey(kReplyKey);  // No stale reply to mistake.
    if (!suite.synchronize()) {
      outcome.error = "can't leave the request: " + suite.lastError();
      return outcome;
    }
  }
  pid_t tool = StartTool(settings.tool_path, bus, &outcome.error);
  if (tool < 0) {
    WithdrawMessage(request_json);
    return outcome;
  }

  const Clock::time_point start = Clock::now();
  // Clock::time_point::max() stands for "not yet".
  constexpr Clock::time_point kNever = Clock::time_point::max();
  Clock::time_point tool_ended = kNever, service_gone_since = kNever;
  int tool_status = 0;
  ToolActivity tool_activity;
  try {
    for (;;) {
      while (connection.processPendingRequest()) {
      }
      if (notified) break;
      Clock::time_point now = Clock::now();
      if (tool_ended == kNever &&
          waitpid(tool, &tool_status, WNOHANG) == tool) {
        tool_ended = now;
      }
      if (tool_ended != kNever && now - tool_ended > kNotificationGrace) {
        outcome.error = "the removal tool ended without replying (" +
                        DescribeExit(tool_status) + ")";
        WithdrawMessage(request_json);
        return outcome;
      }
      // The service having left is no failure while the tool still
      // works: it may be storing a reply the service gave before leaving.
      bool tool_busy = false;
      if (service_seen && instances.empty()) {
        ToolActivity activity = ReadToolActivity(tool);
        tool_busy = activity.working ||
                    activity.cpu_ticks != tool_activity.cpu_ticks ||
                    DomainLocked();
        tool_activity = activity;
      }
      if (!instances.empty() || tool_busy) {
        service_gone_since = kNever;
      } else if (service_seen && service_gone_since == kNever) {
        service_gone_since = now;
      }
      if (!service_seen && now - start > kServiceStartLimit) {
        outcome.error = "the removal service did not start";
        ReapTool(tool, 0s);
        WithdrawMessage(request_json);
        return outcome;
      }
      if (service_gone_since != kNever &&
          now - service_gone_since > kServiceGoneGrace) {
        outcome.error = "the removal service stopped before it replied";
        ReapTool(tool, 0s);
        WithdrawMessage(request_json);
        return outcome;
      }
      auto elapsed =
          std::chrono::duration_cast<std::chrono::milliseconds>(now - start);
      if (settings.timeout && elapsed > *settings.timeout) {
        char seconds[32];
        std::snprintf(seconds, sizeof seconds, "%.1f",
                      static_cast<double>(settings.timeout->count()) / 1000);
        outcome.error = std::string("no reply within ") + seconds + " s";
        ReapTool(tool, 0s);
        WithdrawMessage(request_json);
        return outcome;
      }
      if (settings.progress) settings.progress(elapsed);
      sdbus::IConnection::PollData poll_data =
          connection.getEventLoopPollData();
      pollfd fd = {poll_data.fd, poll_data.events, 0};
      int timeout = poll_data.getPollTimeout();
      if (timeout < 0 || timeout > 100) timeout = 100;
      poll(&fd, 1, timeout);
    }
  } catch (const sdbus::Error& e) {
    outcome.error =
        "the bus failed while waiting for the reply: " + e.getMessage();
    ReapTool(tool, 0s);
    return outcome;
  }

  if (tool_ended == kNever) ReapTool(tool, 5s);
  std::optional<Value> reply =
      SharedSuite(SharedSuiteName).objectForKey(kReplyKey);
  if (!reply || !reply->AsString()) {
    outcome.error = "the removal tool replied but stored no reply";
    return outcome;
  }
  outcome.reply_json = std::move(*reply->AsString());
  return outcome;
}

}  // namespace quillfen
