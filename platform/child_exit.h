// Waiting for a child process to end without polling on a timer: the wait
// wakes the moment the child ends, through a process descriptor. The
// functions keep no state; any thread may call them for its own children.
#ifndef QUILLFEN_PLATFORM_CHILD_EXIT_H_
#define QUILLFEN_PLATFORM_CHILD_EXIT_H_

#include <sys/types.h>

#include <chrono>

namespace quillfen {

// Waits at most |patience| for the child |pid| to end, without reaping it;
// true once it has ended (or can no longer be watched: it is gone).
bool AwaitChildEnd(pid_t pid, std::chrono::milliseconds patience);

}  // namespace quillfen

#endif  // QUILLFEN_PLATFORM_CHILD_EXIT_H_
