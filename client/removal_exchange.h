// RemovalExchange: Quillfen's part of a removal, played by the client. It
// leaves the request in the shared domain, starts the removal tool, waits
// for the tool's notification and reads the reply the tool stored.
//
// Two exchanges never overlap: each holds an exclusive lock on the shared
// domain's exchange.lock for its whole length, so a second one waits its
// turn instead of overwriting the first one's message. Where no session bus
// runs, the exchange starts a private one whose activation folder holds the
// service. The run happens on the calling thread.
//
// While the removal runs, the service's progress reports for this
// exchange's own token are passed on, and a stored reply carrying another
// exchange's token is passed over. A byte on the interrupt descriptor (one
// per Ctrl-C) asks the service to stop the removal and waits on for its
// reply, which then lists what was removed; a second gives up at once. The
// time limit, if any, stops the removal in the same way. One that comes
// while the exchange waits for its turn gives up before anything is asked.
// The tool runs in a process group of its own, so that Ctrl-C on the
// terminal reaches only the client.
#ifndef QUILLFEN_CLIENT_REMOVAL_EXCHANGE_H_
#define QUILLFEN_CLIENT_REMOVAL_EXCHANGE_H_

#include <chrono>
#include <functional>
#include <optional>
#include <string>

#include "base/result.h"
#include "protocol/removal_progress.h"

namespace quillfen {

struct ExchangeProgress {
  std::chrono::milliseconds elapsed{0};  // Since the tool's start.
  // The service's last counts, once it has reported any.
  std::optional<RemovalProgress::Counts> counts;
  bool stopping = false;  // Interrupted: the stopped removal's reply is due.
};

struct ExchangeSettings {
  std::string tool_path;    // The removal tool to start.
  std::string service_dir;  // Activation folder for a private bus.
  std::optional<std::chrono::milliseconds> timeout;
  // The request's exchange token: only the reply, progress and stop of
  // this exchange's own removal carry it.
  std::string token;
  // Readable when the person interrupts; -1: never.
  int interrupt_fd = -1;
  // Standard output and error of the programs the exchange starts: the
  // tool, and a private bus with the services it starts; -1: this
  // process's own.
  int companion_output_fd = -1;
  // Called at least ten times a second while waiting for the reply, but
  // for the short waits of stop requests.
  std::function<void(const ExchangeProgress& progress)> progress;
};

struct ExchangeOutcome {
  Result<std::string> reply_json;  // The stored reply, or what went wrong.
  bool interrupted = false;        // The person interrupted the wait.
  bool timed_out = false;          // The time limit passed.
};

ExchangeOutcome RunRemovalExchange(const std::string& request_json,
                                   const ExchangeSettings& settings);

// Where the installed (or built) programs lie, relative to the running
// executable: the tool, and the activation folder.
std::string LocateRemovalTool();
std::string LocateServiceDir();

}  // namespace quillfen

#endif  // QUILLFEN_CLIENT_REMOVAL_EXCHANGE_H_
