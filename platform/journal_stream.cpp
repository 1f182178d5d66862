#include "platform/journal_stream.h"

#include <fcntl.h>
#include <syslog.h>
#include <systemd/sd-journal.h>

namespace quillfen {

UniqueFd OpenJournalStream(const std::string& identifier) {
  // Level prefixes off: a line that happens to begin with "<3>" is text.
  int journal = sd_journal_stream_fd(identifier.c_str(), LOG_INFO, 0);
  if (journal >= 0) {
    fcntl(journal, F_SETFD, FD_CLOEXEC);
    return UniqueFd(journal);
  }
  return UniqueFd(open("/dev/null", O_WRONLY | O_CLOEXEC));
}

}  // namespace quillfen
