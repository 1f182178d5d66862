// Where the programs a command starts for a person write what they have to
// say: the system journal's stream under a name of the caller's choosing
// where a journal runs, and nowhere (/dev/null) where none does, so that a
// daemon's or a helper's lines never land on the person's terminal among
// the command's own. A descriptor of the caller's, to give to children as
// their standard output and error. Safe from any thread.
#ifndef QUILLFEN_PLATFORM_JOURNAL_STREAM_H_
#define QUILLFEN_PLATFORM_JOURNAL_STREAM_H_

#include <string>

#include "platform/unique_fd.h"

namespace quillfen {

// The journal's stream for lines of |identifier| at the informational
// level, or /dev/null opened for writing; invalid only when neither can be
// opened. Closed on exec: a child gets it with dup2.
UniqueFd OpenJournalStream(const std::string& identifier);

}  // namespace quillfen

#endif  // QUILLFEN_PLATFORM_JOURNAL_STREAM_H_
