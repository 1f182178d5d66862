#include "client/tool_process.h"

#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdlib>
#include <filesystem>
#include <sstream>
#include <vector>

#include "base/error_text.h"
#include "platform/child_exit.h"
#include "platform/shared_suite.h"
#include "platform/unique_fd.h"
#include "protocol/identifiers.h"

extern char** environ;

namespace quillfen {
namespace {

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

}  // namespace

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

Result<void> ToolProcess::Start(const std::string& tool_path,
                                const std::string& private_bus_address,
                                int output_fd) {
  std::vector<std::string> environment;
  for (char** entry = environ; *entry != nullptr; ++entry) {
    if (!private_bus_address.empty() &&
        std::string_view(*entry).starts_with("DBUS_SESSION_BUS_ADDRESS=")) {
      continue;
    }
    environment.emplace_back(*entry);
  }
  if (!private_bus_address.empty()) {
    environment.push_back("DBUS_SESSION_BUS_ADDRESS=" + private_bus_address);
  }
  std::vector<char*> envp;
  for (std::string& entry : environment) envp.push_back(entry.data());
  envp.push_back(nullptr);
  std::string program = tool_path;
  char* argv[] = {program.data(), nullptr};
  posix_spawn_file_actions_t actions;
  posix_spawn_file_actions_init(&actions);
  if (output_fd >= 0) {
    posix_spawn_file_actions_adddup2(&actions, output_fd, STDOUT_FILENO);
    posix_spawn_file_actions_adddup2(&actions, output_fd, STDERR_FILENO);
  }
  posix_spawnattr_t attributes;
  posix_spawnattr_init(&attributes);
  posix_spawnattr_setpgroup(&attributes, 0);
  posix_spawnattr_setflags(&attributes, POSIX_SPAWN_SETPGROUP);
  int spawn_error = posix_spawn(&pid_, tool_path.c_str(), &actions, &attributes,
                                argv, envp.data());
  posix_spawnattr_destroy(&attributes);
  posix_spawn_file_actions_destroy(&actions);
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

void ToolProcess::Stop(ExchangeState::Clock::duration patience) {
  if (reaped_) return;
  if (!AwaitChildEnd(
          pid_,
          std::chrono::duration_cast<std::chrono::milliseconds>(patience))) {
    kill(pid_, SIGKILL);
  }
  waitpid(pid_, nullptr, 0);
  reaped_ = true;
}

}  // namespace quillfen
