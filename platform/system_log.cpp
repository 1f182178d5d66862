#include "platform/system_log.h"

#include <sys/stat.h>
#include <systemd/sd-daemon.h>
#include <unistd.h>

#include <cerrno>
#include <charconv>
#include <cstdlib>
#include <string>

namespace quillfen {
namespace {

// Whether standard error is the stream the journal handed this process.
// JOURNAL_STREAM ("device:inode") is inherited by children whose standard
// error went elsewhere, so it counts only while the two still match.
bool StandardErrorIsTheJournal() {
  const char* stream = std::getenv("JOURNAL_STREAM");
  if (stream == nullptr) return false;
  std::string_view text(stream);
  std::size_t colon = text.find(':');
  if (colon == std::string_view::npos) return false;
  auto parse = [](std::string_view digits, unsigned long long& number) {
    auto [end, error] =
        std::from_chars(digits.data(), digits.data() + digits.size(), number);
    return error == std::errc() && end == digits.data() + digits.size();
  };
  unsigned long long device = 0, inode = 0;
  if (!parse(text.substr(0, colon), device) ||
      !parse(text.substr(colon + 1), inode)) {
    return false;
  }
  struct stat status;
  if (fstat(STDERR_FILENO, &status) != 0) return false;
  return status.st_dev == device && status.st_ino == inode;
}

const char* JournalPrefix(LogPriority priority) {
  switch (priority) {
    case LogPriority::kError:
      return SD_ERR;
    case LogPriority::kWarning:
      return SD_WARNING;
  }
  return SD_ERR;
}

}  // namespace

void SystemLog(std::string_view message, LogPriority priority) {
  // Looked at for every line: it costs two calls, and a line is rare.
  std::string line = StandardErrorIsTheJournal() ? JournalPrefix(priority) : "";
  line.append(message);
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
