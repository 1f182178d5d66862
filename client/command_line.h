// The command line of quillfen-remove: its options, their help text and
// how what was typed becomes a CommandLine, kept apart from carrying the
// removal out so that the options can be read, documented and completed in
// one place. ReadCommandLine prints help, the version and usage errors
// (one line on standard error, after the program's name) itself; otherwise
// it has no effect. Safe from any thread.
#ifndef QUILLFEN_CLIENT_COMMAND_LINE_H_
#define QUILLFEN_CLIENT_COMMAND_LINE_H_

#include <string>

#include "base/result.h"
#include "client/removal_options.h"

namespace quillfen {

// What a person asked quillfen-remove to do.
struct CommandLine {
  RemovalOptions options;      // Empty when the request comes from a file.
  std::string request_file;    // "-": standard input; empty: from options.
  bool preview = false;        // Select only; the tool never runs.
  bool json = false;           // The reply's JSON instead of a summary.
  bool verbose = false;        // Each removed path on a line, then the summary.
  bool print0 = false;         // Only the removed paths, NUL-terminated.
  bool quiet = false;          // No progress line, even on a terminal.
  bool force = false;          // The home folder, or one holding it, too.
  double timeout_seconds = 0;  // 0: wait as long as the removal takes.
};

// When there is nothing to run, the error's code is the status to exit
// with: 0 after --help or --version, kExitUsageOrExchangeError after a
// usage error (already printed).
Result<CommandLine> ReadCommandLine(int argc, const char* const* argv);

}  // namespace quillfen

#endif  // QUILLFEN_CLIENT_COMMAND_LINE_H_
