#include "platform/system_log.h"

#include <gtest/gtest.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdlib>
#include <string>

namespace quillfen {
namespace {

enum class Stream { kThisPipe, kAnother, kNone };

// What a child whose standard error is a pipe logs, with JOURNAL_STREAM
// naming that pipe, another file, or nothing.
std::string LoggedWith(Stream journal_stream) {
  int fds[2];
  if (pipe(fds) != 0) return "pipe failed";
  pid_t pid = fork();
  if (pid == 0) {
    dup2(fds[1], STDERR_FILENO);
    close(fds[0]);
    close(fds[1]);
    struct stat status {};
    if (journal_stream == Stream::kThisPipe) {
      fstat(STDERR_FILENO, &status);
    } else {
      stat("/dev/null", &status);
    }
    std::string named =
        std::to_string(status.st_dev) + ":" + std::to_string(status.st_ino);
    if (journal_stream == Stream::kNone) {
      unsetenv("JOURNAL_STREAM");
    } else {
      setenv("JOURNAL_STREAM", named.c_str(), 1);
    }
    SystemLog("the bus failed:\nbadly");
    SystemLog("running unconfined.", LogPriority::kWarning);
    _exit(0);
  }
  close(fds[1]);
  std::string logged;
  char buffer[4096];
  for (ssize_t n; (n = read(fds[0], buffer, sizeof buffer)) > 0;) {
    logged.append(buffer, static_cast<std::size_t>(n));
  }
  close(fds[0]);
  waitpid(pid, nullptr, 0);
  return logged;
}

TEST(SystemLogTest, LinesCarryPrioritiesOnlyWhereStandardErrorIsTheJournal) {
  EXPECT_EQ(LoggedWith(Stream::kThisPipe),
            "<3>the bus failed: badly\n<4>running unconfined.\n");
  // A child of a journal-logged program that sends its standard error
  // elsewhere keeps the variable, and plain lines.
  EXPECT_EQ(LoggedWith(Stream::kAnother),
            "the bus failed: badly\nrunning unconfined.\n");
  EXPECT_EQ(LoggedWith(Stream::kNone),
            "the bus failed: badly\nrunning unconfined.\n");
}

}  // namespace
}  // namespace quillfen
