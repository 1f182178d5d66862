#include "platform/sandbox.h"

#include <errno.h>
#include <fcntl.h>
#include <linux/landlock.h>
#include <sys/prctl.h>
#include <sys/syscall.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <cstdint>
#include <string>

#include "base/error_text.h"
#include "platform/system_log.h"
#include "platform/unique_fd.h"

namespace quillfen {
namespace {

// Rights of later ABIs than the system's <linux/landlock.h> knows.
constexpr std::uint64_t kAccessFsTruncate = 1ULL << 14;  // ABI 3
constexpr std::uint64_t kAccessFsIoctlDev = 1ULL << 15;  // ABI 5

// Every file system right the running kernel can deny: a right the ruleset
// leaves out stays allowed everywhere. Network rights (ABI 4) and scoping
// (ABI 6) stay out on purpose: a confined program must reach its bus, which may
// listen on an abstract socket.
std::uint64_t FileSystemRights(long abi) {
  std::uint64_t rights = (LANDLOCK_ACCESS_FS_MAKE_SYM << 1) - 1;  // ABI 1
  if (abi >= 2) rights |= LANDLOCK_ACCESS_FS_REFER;
  if (abi >= 3) rights |= kAccessFsTruncate;
  if (abi >= 5) rights |= kAccessFsIoctlDev;
  return rights;
}

struct Outcome {
  SandboxResult result;
  std::string why;  // Why the process stays unconfined.
};

// The one place a failed call's errno becomes an outcome. Called straight
// after the call, and it reads errno before anything can overwrite it.
Outcome Failure(const char* step) {
  const int error = errno;
  return {SandboxResult::kFailed,
          std::string(step) + ": " + SystemErrorText(error)};
}

Outcome Confine(const std::string& folder) {
  const long abi = syscall(SYS_landlock_create_ruleset, nullptr, 0,
                           LANDLOCK_CREATE_RULESET_VERSION);
  if ((abi < 0 && errno == ENOSYS) || abi == 0) {
    return {SandboxResult::kUnsupported,
            "Landlock is not available on this kernel"};
  }
  if (abi < 0 && errno == EOPNOTSUPP) {
    return {SandboxResult::kUnsupported,
            "Landlock is turned off on this kernel"};
  }
  if (abi < 0) return Failure("asking for the Landlock version");

  const std::uint64_t rights = FileSystemRights(abi);
  landlock_ruleset_attr ruleset_attr{};
  ruleset_attr.handled_access_fs = rights;
  // Both descriptors close however the attempt ends: the rule keeps its
  // own reference to the folder.
  const UniqueFd ruleset(static_cast<int>(syscall(
      SYS_landlock_create_ruleset, &ruleset_attr, sizeof ruleset_attr, 0)));
  if (!ruleset.valid()) return Failure("creating the Landlock ruleset");

  const UniqueFd dir(open(folder.c_str(), O_PATH | O_CLOEXEC | O_DIRECTORY));
  if (!dir.valid()) return Failure("opening the folder");
  // A confined program starts no programs, not even from its own folder.
  landlock_path_beneath_attr beneath{};
  beneath.allowed_access = rights & ~LANDLOCK_ACCESS_FS_EXECUTE;
  beneath.parent_fd = dir.get();
  if (syscall(SYS_landlock_add_rule, ruleset.get(), LANDLOCK_RULE_PATH_BENEATH,
              &beneath, 0) != 0) {
    return Failure("allowing the folder");
  }

  // Required of a process without CAP_SYS_ADMIN; set it as root too, so
  // the program behaves the same however it is started.
  if (prctl(PR_SET_NO_NEW_PRIVS, 1, 0, 0, 0) != 0) {
    return Failure("setting no_new_privs");
  }
  if (syscall(SYS_landlock_restrict_self, ruleset.get(), 0) != 0) {
    return Failure("restricting the process");
  }
  return {SandboxResult::kConfined, ""};
}

}  // namespace

SandboxResult ConfineToFolder(const std::string& folder) {
  const Outcome outcome = Confine(folder);
  // One line is enough to explain an unconfined process; repeating it on
  // every attempt would only bury other messages.
  static std::atomic<bool> said{false};
  if (outcome.result == SandboxResult::kConfined || said.exchange(true)) {
    return outcome.result;
  }
  const std::string program(program_invocation_short_name);
  if (outcome.result == SandboxResult::kUnsupported) {
    SystemLog(program + ": " + outcome.why + "; running unconfined.",
              LogPriority::kWarning);
  } else {
    SystemLog(program + ": Landlock could not confine the process to " +
                  folder + " (" + outcome.why + "); running unconfined.",
              LogPriority::kWarning);
  }
  return outcome.result;
}

}  // namespace quillfen
