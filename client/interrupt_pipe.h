// InterruptPipe: Ctrl-C (SIGINT), termination requests (SIGTERM) and a
// closed terminal (SIGHUP) turned into bytes on a pipe, one a signal, so that a
// wait on descriptors sees them as it sees the bus, and what to do about them
// is decided there rather than in a signal handler. One per process, made on
// the main thread before others start; while it lives, those signals no longer
// end the process.
#ifndef QUILLFEN_CLIENT_INTERRUPT_PIPE_H_
#define QUILLFEN_CLIENT_INTERRUPT_PIPE_H_

#include "platform/unique_fd.h"

namespace quillfen {

class InterruptPipe {
 public:
  InterruptPipe();
  ~InterruptPipe();
  InterruptPipe(const InterruptPipe&) = delete;
  InterruptPipe& operator=(const InterruptPipe&) = delete;

  // Readable once a signal came; -1 when the pipe could not be made (the
  // signals then keep their usual effect).
  int fd() const { return read_.get(); }

 private:
  UniqueFd read_;
  UniqueFd write_;  // Written by the signal handler, through a copy.
};

}  // namespace quillfen

#endif  // QUILLFEN_CLIENT_INTERRUPT_PIPE_H_
