// The system log: one line on standard error per message, written with a
// single write so that lines from several threads never mix. Line breaks
// inside a message become spaces. Where standard error is the journal (a
// systemd unit's, which says so in JOURNAL_STREAM), each line opens with the
// journal's priority prefix, so that `journalctl -p` can tell errors from
// warnings; anywhere else the lines are plain text, as people and the
// programs reading them expect. Safe from any thread.
#ifndef QUILLFEN_PLATFORM_SYSTEM_LOG_H_
#define QUILLFEN_PLATFORM_SYSTEM_LOG_H_

#include <string_view>

namespace quillfen {

// How urgent a line is, in the journal's terms.
enum class LogPriority { kError, kWarning };

void SystemLog(std::string_view message,
               LogPriority priority = LogPriority::kError);

}  // namespace quillfen

#endif  // QUILLFEN_PLATFORM_SYSTEM_LOG_H_
