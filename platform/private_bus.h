// PrivateBus: a session bus of our own, for the tests and for exchanges on
// a machine where no session bus runs. It starts a dbus-daemon with the
// session bus's large limits on a fresh socket folder, whose activation
// folder is the one given, and stops it, with every process it started,
// when the PrivateBus goes. The daemon's standard output and error are the
// ones the services it starts inherit, so where the daemon writes is where
// they all write. Use from one thread.
#ifndef QUILLFEN_PLATFORM_PRIVATE_BUS_H_
#define QUILLFEN_PLATFORM_PRIVATE_BUS_H_

#include <sys/types.h>

#include <memory>
#include <string>

#include "base/result.h"

namespace quillfen {

class PrivateBus {
 public:
  // Starts the daemon, or says why it can't be started. |output_fd| takes
  // the messages of the daemon and of the services it starts; -1: this
  // process's standard output and error.
  static Result<std::unique_ptr<PrivateBus>> Start(
      const std::string& service_dir, int output_fd = -1);
  ~PrivateBus();
  PrivateBus(const PrivateBus&) = delete;
  PrivateBus& operator=(const PrivateBus&) = delete;

  // The address clients connect to (DBUS_SESSION_BUS_ADDRESS).
  const std::string& address() const { return address_; }
  pid_t pid() const { return pid_; }

 private:
  PrivateBus() = default;

  std::string folder_;  // Holds the config and the socket folder.
  std::string address_;
  pid_t pid_ = -1;
};

}  // namespace quillfen

#endif  // QUILLFEN_PLATFORM_PRIVATE_BUS_H_
