// The removal tool as the client runs it: a child process in a process
// group of its own (Ctrl-C is for the client, which asks the service to
// stop; the tool must live on to store the stopped removal's reply), on
// the exchange's bus, from its start until it is waited for; and what it
// is seen doing meanwhile, from /proc and the shared domain's lock.
// Belongs to the one thread that runs the exchange.
#ifndef QUILLFEN_CLIENT_TOOL_PROCESS_H_
#define QUILLFEN_CLIENT_TOOL_PROCESS_H_

#include <sys/types.h>

#include <optional>
#include <string>

#include "base/result.h"
#include "client/exchange_state.h"

namespace quillfen {

class ToolProcess {
 public:
  // Starts |tool_path| with this process's environment; on the bus at
  // |private_bus_address| instead of the session bus when that isn't
  // empty. Its standard output and error are |output_fd|: what it logs is
  // not for the person's terminal.
  Result<void> Start(const std::string& tool_path,
                     const std::string& private_bus_address, int output_fd);
  pid_t pid() const { return pid_; }
  // Its waitpid status, once, when it has ended.
  std::optional<int> PollExit();
  // Ends it unless it has ended: waits |patience| for it to quit by
  // itself, then kills it.
  void Stop(ExchangeState::Clock::duration patience);

 private:
  pid_t pid_ = -1;
  bool reaped_ = false;
};

// What the tool |tool| is seen doing: its CPU time, whether a thread of it
// runs or waits on the disk, and whether someone holds the shared domain's
// lock, which every flush holds (the tool may be storing its reply, or
// waiting to).
ExchangeState::ToolActivity SampleTool(pid_t tool);

}  // namespace quillfen

#endif  // QUILLFEN_CLIENT_TOOL_PROCESS_H_
