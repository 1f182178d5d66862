#include "platform/system_log.h"

#include <unistd.h>

#include <cerrno>
#include <string>

namespace quillfen {

void SystemLog(std::string_view message) {
  std::string line(message);
  for (char& c : line) {
    if (c == '\n' || c == '\r') c = ' ';
  }
  line.push_back('\n');
  std::size_t written = 0;
  while (written < line.size()) {
    ssize_t n =
        write(STDERR_FILENO, line.data() + written, line.size() - written);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) return;
    written += static_cast<std::size_t>(n);
  }
}

}  // namespace quillfen
