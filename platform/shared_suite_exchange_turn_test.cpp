#include "platform/shared_suite_exchange_turn.h"

#include <gtest/gtest.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <cstdlib>
#include <string>
#include <thread>

#include "platform/unique_fd.h"
#include "protocol/identifiers.h"
#include "testing/temp_tree.h"

namespace quillfen {
namespace {

using ::quillfen::testing::TempTree;

const std::string kName(SharedSuiteName);

// Points the config folder, not made yet, into a fresh tree.
class SharedSuiteExchangeTurnTest : public ::testing::Test {
 protected:
  void SetUp() override {
    setenv("XDG_CONFIG_HOME", tree_.PathOf("config").c_str(), 1);
  }
  void TearDown() override { unsetenv("XDG_CONFIG_HOME"); }

  TempTree tree_;
};

unsigned Mode(const std::string& path) {
  struct stat info {};
  return stat(path.c_str(), &info) == 0 ? info.st_mode & 0777 : 0;
}

TEST_F(SharedSuiteExchangeTurnTest, OneAskerAtATimeInAFolderOnlyTheUsersOwn) {
  // The second asker is started first, so that it shares no descriptor of
  // the first one's lock, and asks once told the first holds the turn.
  Result<Pipe> go = OpenPipe();
  ASSERT_TRUE(go);
  const pid_t second = fork();
  ASSERT_GE(second, 0);
  if (second == 0) {
    go->write.reset();
    char byte;
    while (read(go->read.get(), &byte, 1) < 0 && errno == EINTR) {
    }
    _exit(SharedSuiteExchangeTurn::Take(SharedSuiteName) ? 0 : 1);
  }
  {
    Result<SharedSuiteExchangeTurn> turn =
        SharedSuiteExchangeTurn::Take(SharedSuiteName);
    ASSERT_TRUE(turn) << turn.error().message;
    // The domain's folder is made as a flush makes it, missing parents too.
    EXPECT_EQ(Mode(tree_.PathOf("config")), 0700u);
    EXPECT_EQ(Mode(tree_.PathOf("config/" + kName)), 0700u);
    EXPECT_EQ(Mode(tree_.PathOf("config/" + kName + "/exchange.lock")), 0600u);

    ASSERT_EQ(write(go->write.get(), "!", 1), 1);
    std::this_thread::sleep_for(std::chrono::milliseconds(300));
    int status = 0;
    EXPECT_EQ(waitpid(second, &status, WNOHANG), 0)
        << "a second asker got the turn while the first held it";
  }
  int status = 0;
  ASSERT_EQ(waitpid(second, &status, 0), second);
  EXPECT_EQ(status, 0);
}

// A dangling link, where opening the lock would make a file elsewhere.
TEST_F(SharedSuiteExchangeTurnTest, LinkInPlaceOfTheLockIsRefused) {
  tree_.MakeSymlink("config/" + kName + "/exchange.lock",
                    tree_.PathOf("outside/nothing"));
  const std::string before = testing::TreeSnapshot(tree_.path());
  Result<SharedSuiteExchangeTurn> turn =
      SharedSuiteExchangeTurn::Take(SharedSuiteName);
  ASSERT_FALSE(turn);
  EXPECT_NE(turn.error().message.find("symbolic link"), std::string::npos)
      << turn.error().message;
  EXPECT_EQ(testing::TreeSnapshot(tree_.path()), before);
}

}  // namespace
}  // namespace quillfen
