#include "platform/system_log.h"

#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdlib>
#include <string>

#include "testing/program.h"
#include "testing/temp_tree.h"

namespace quillfen {
namespace {

// What a child whose standard error is a file logs, with JOURNAL_STREAM
// naming that file or another one.
std::string LoggedWith(bool journal_stream_is_standard_error) {
  testing::TempTree tree;
  const std::string log = tree.PathOf("log");
  return testing::RunInChild([&] {
    dup2(open(log.c_str(), O_WRONLY | O_CREAT | O_CLOEXEC, 0600),
         STDERR_FILENO);
    struct stat status {};
    journal_stream_is_standard_error ? fstat(STDERR_FILENO, &status)
                                     : stat("/dev/null", &status);
    setenv("JOURNAL_STREAM",
           (std::to_string(status.st_dev) + ":" + std::to_string(status.st_ino))
               .c_str(),
           1);
    SystemLog("the bus failed:\nbadly");
    SystemLog("running unconfined.", LogPriority::kWarning);
    return testing::FileContent(log);
  });
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
