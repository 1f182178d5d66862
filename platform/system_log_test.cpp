#include "platform/system_log.h"

#include <gtest/gtest.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdlib>
#include <string>

namespace quillfen {
namespace {

// What a child whose standard error is a pipe logs, with JOURNAL_STREAM
// naming that pipe or another file.
std::string LoggedWith(bool journal_stream_is_the_pipe) {
  int fds[2];
  if (pipe(fds) != 0) return "pipe failed";
  pid_t pid = fork();
  if (pid == 0) {
    dup2(fds[1], STDERR_FILENO);
    close(fds[0]);
    close(fds[1]);
    struct stat status {};
    journal_stream_is_the_pipe ? fstat(STDERR_FILENO, &status)
                               : stat("/dev/null", &status);
    setenv("JOURNAL_STREAM",
           (std::to_string(status.st_dev) + ":" + std::to_string(status.st_ino))
               .c_str(),
           1);
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
  EXPECT_EQ(LoggedWith(true),
            "<3>the bus failed: badly\n<4>running unconfined.\n");
  // A child of a journal-logged program that sends its standard error
  // elsewhere keeps the variable, and plain lines.
  EXPECT_EQ(LoggedWith(false), "the bus failed: badly\nrunning unconfined.\n");
}

}  // namespace
}  // namespace quillfen
