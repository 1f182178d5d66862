// The system log: one line on standard error per message, written with a
// single write so that lines from several threads never mix. Line breaks
// inside a message become spaces. Safe from any thread.
#ifndef QUILLFEN_PLATFORM_SYSTEM_LOG_H_
#define QUILLFEN_PLATFORM_SYSTEM_LOG_H_

#include <string_view>

namespace quillfen {

void SystemLog(std::string_view message);

}  // namespace quillfen

#endif  // QUILLFEN_PLATFORM_SYSTEM_LOG_H_
