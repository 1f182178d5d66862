// A process's sandbox: at launch a program confines its own file
// system access with Landlock to reading and writing beneath one folder
// (the shared domain's), and to nothing else of the file system: no other
// reads or writes, no execution. Bus sockets it connects to by path stay
// reachable (connecting is not a file system access). The confinement
// lasts for the life of the process and passes to its children. Call once,
// early, before other threads start.
#ifndef QUILLFEN_PLATFORM_SANDBOX_H_
#define QUILLFEN_PLATFORM_SANDBOX_H_

#include <string>

namespace quillfen {

enum class SandboxResult {
  kConfined,     // Landlock now confines the process.
  kUnsupported,  // The kernel has no Landlock: running unconfined.
  kFailed,       // Landlock is there but refused: running unconfined.
};

// Confines the process to |folder| (which must exist). When it can't, says
// so once on standard error, under the program's name, and leaves the
// process unconfined.
SandboxResult ConfineToFolder(const std::string& folder);

}  // namespace quillfen

#endif  // QUILLFEN_PLATFORM_SANDBOX_H_
