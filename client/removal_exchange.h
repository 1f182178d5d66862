// RemovalExchange: Quillfen's part of a removal, played by the client. It
// leaves the request in the shared domain, starts the removal tool, waits
// for the tool's notification and reads the reply the tool stored.
//
// Two exchanges never overlap: each holds an exclusive lock on the shared
// domain's exchange.lock for its whole length, so a second one waits its
// turn instead of overwriting the first one's message. Where no session bus
// runs, the exchange starts a private one whose activation folder holds the
// service. The run happens on the calling thread.
#ifndef QUILLFEN_CLIENT_REMOVAL_EXCHANGE_H_
#define QUILLFEN_CLIENT_REMOVAL_EXCHANGE_H_

#include <chrono>
#include <functional>
#include <optional>
#include <string>

namespace quillfen {

struct ExchangeSettings {
  std::string tool_path;    // The removal tool to start.
  std::string service_dir;  // Activation folder for a private bus.
  std::optional<std::chrono::milliseconds> timeout;
  // Called about ten times a second while waiting for the reply.
  std::function<void(std::chrono::milliseconds elapsed)> progress;
};

struct ExchangeOutcome {
  std::optional<std::string> reply_json;  // The stored reply, on success.
  std::string error;                      // What went wrong, otherwise.
};

ExchangeOutcome RunRemovalExchange(const std::string& request_json,
                                   const ExchangeSettings& settings);

// Where the installed (or built) programs lie, relative to the running
// executable: the tool, and the activation folder.
std::string LocateRemovalTool();
std::string LocateServiceDir();

}  // namespace quillfen

#endif  // QUILLFEN_CLIENT_REMOVAL_EXCHANGE_H_
