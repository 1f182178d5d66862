#include "platform/private_bus.h"

#include <poll.h>
#include <signal.h>
#include <spawn.h>
#include <sys/prctl.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <string>
#include <string_view>
#include <thread>
#include <utility>

#include "base/error_text.h"
#include "base/result.h"
#include "platform/child_exit.h"
#include "platform/private_bus_config.h"
#include "platform/unique_fd.h"

extern char** environ;

namespace quillfen {
namespace {

// The daemon's configuration for one bus: the template that scripts/bench
// starts its daemon from too, with its placeholders filled in. One pass
// over the template, so that a folder's name is never taken for a
// placeholder.
std::string Config(const std::string& socket_dir,
                   const std::string& service_dir) {
  const std::pair<std::string_view, std::string_view> values[] = {
      {"@SOCKET_DIR@", socket_dir}, {"@SERVICE_DIR@", service_dir}};
  std::string config;
  std::string_view rest = kPrivateBusConfigTemplate;
  for (std::size_t at = rest.find('@'); at != std::string_view::npos;
       at = rest.find('@')) {
    config.append(rest.substr(0, at));
    rest.remove_prefix(at);
    std::size_t taken = 1;
    std::string_view value = "@";
    for (const auto& [placeholder, filled] : values) {
      if (rest.starts_with(placeholder)) {
        taken = placeholder.size();
        value = filled;
        break;
      }
    }
    config.append(value);
    rest.remove_prefix(taken);
  }
  config.append(rest);
  return config;
}

// Whether any process of the group |pgid| is left.
bool GroupAlive(pid_t pgid) { return kill(-pgid, 0) == 0 || errno == EPERM; }

// Starts dbus-daemon on |config_path|, printing its address to
// |address_fd|, in a process group of its own so that the services it
// starts go with it.
Result<pid_t> SpawnDaemon(const std::string& config_path, int address_fd,
                          int output_fd) {
  std::string config_option = "--config-file=" + config_path;
  std::string address_option = "--print-address=" + std::to_string(address_fd);
  const char* argv[] = {"dbus-daemon", config_option.c_str(), "--nofork",
                        address_option.c_str(), nullptr};
  posix_spawn_file_actions_t actions;
  posix_spawn_file_actions_init(&actions);
  // Keep the write end open across exec, under its own number.
  posix_spawn_file_actions_adddup2(&actions, address_fd, address_fd);
  if (output_fd >= 0) {
    posix_spawn_file_actions_adddup2(&actions, output_fd, STDOUT_FILENO);
    posix_spawn_file_actions_adddup2(&actions, output_fd, STDERR_FILENO);
  }
  posix_spawnattr_t attributes;
  posix_spawnattr_init(&attributes);
  posix_spawnattr_setpgroup(&attributes, 0);
  posix_spawnattr_setflags(&attributes, POSIX_SPAWN_SETPGROUP);
  pid_t pid = -1;
  int spawn_error = posix_spawnp(&pid, "dbus-daemon", &actions, &attributes,
                                 const_cast<char**>(argv), environ);
  posix_spawn_file_actions_destroy(&actions);
  posix_spawnattr_destroy(&attributes);
  if (spawn_error != 0) return ErrnoError(spawn_error);
  return pid;
}

// The daemon prints its address, one line, once it listens; nothing else
// is written to the pipe, so it is read in as few calls as it takes. Empty
// when the daemon ended or stayed silent first.
std::string ReadAddress(int fd) {
  std::string address;
  pollfd ready = {fd, POLLIN, 0};
  while (address.find('\n') == std::string::npos &&
         poll(&ready, 1, 10000) > 0) {
    char chunk[256];
    ssize_t n = read(fd, chunk, sizeof chunk);
    if (n <= 0) break;
    address.append(chunk, static_cast<std::size_t>(n));
  }
  return address.substr(0, address.find('\n'));
}

}  // namespace

Result<std::unique_ptr<PrivateBus>> PrivateBus::Start(
    const std::string& service_dir, int output_fd) {
  std::unique_ptr<PrivateBus> bus(new PrivateBus);
  // The daemon starts services detached from itself; where the system's
  // first process doesn't reap orphans, they would linger as zombies. As
  // their subreaper this process reaps them when the bus goes.
  prctl(PR_SET_CHILD_SUBREAPER, 1);
  const char* tmp = std::getenv("TMPDIR");
  std::string pattern = std::string(tmp ? tmp : "/tmp") + "/private-bus-XXXXXX";
  if (mkdtemp(pattern.data()) == nullptr) {
    return ErrnoError(errno, std::string("can't make a folder for the bus: ") +
                                 SystemErrorText(errno));
  }
  bus->folder_ = pattern;
  std::string socket_dir = bus->folder_ + "/socket";
  std::string config_path = bus->folder_ + "/bus.conf";
  mkdir(socket_dir.c_str(), 0700);
  std::ofstream(config_path) << Config(socket_dir, service_dir);

  Result<Pipe> address_pipe = OpenPipe();
  if (!address_pipe) {
    return ErrnoError(
        address_pipe.error().code,
        std::string("pipe: ") + SystemErrorText(address_pipe.error().code));
  }
  Result<pid_t> pid =
      SpawnDaemon(config_path, address_pipe->write.get(), output_fd);
  address_pipe->write.reset();  // The daemon has its own copy.
  if (!pid) {
    return ErrnoError(pid.error().code,
                      std::string("can't start dbus-daemon: ") +
                          SystemErrorText(pid.error().code));
  }
  bus->pid_ = *pid;
  bus->address_ = ReadAddress(address_pipe->read.get());
  if (bus->address_.empty()) return ErrorMessage("dbus-daemon did not start");
  return bus;
}

PrivateBus::~PrivateBus() {
  if (pid_ > 0) {
    kill(-pid_, SIGTERM);
    // A service may take a moment to end; don't leave it behind.
    auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(5);
    // The daemon takes longest, shutting down: wake the moment it ends
    // rather than at the next tick of the loop below.
    AwaitChildEnd(pid_, std::chrono::seconds(5));
    for (;;) {
      while (waitpid(-pid_, nullptr, WNOHANG) > 0) {
      }
      if (!GroupAlive(pid_) || std::chrono::steady_clock::now() > deadline) {
        break;
      }
      std::this_thread::sleep_for(std::chrono::milliseconds(2));
    }
    if (GroupAlive(pid_)) kill(-pid_, SIGKILL);
    while (waitpid(-pid_, nullptr, 0) > 0) {
    }
  }
  if (!folder_.empty()) {
    std::error_code ignored;
    std::filesystem::remove_all(folder_, ignored);
  }
}

}  // namespace quillfen
