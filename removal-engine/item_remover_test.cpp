#include "removal-engine/item_remover.h"

#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>

#include "testing/temp_tree.h"

namespace quillfen {
namespace {

using ::quillfen::testing::TempTree;

class ItemRemoverTest : public ::testing::Test {
 protected:
  void SetUp() override {
    fd_ = open(volume_.path().c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    ASSERT_GE(fd_, 0);
  }
  void TearDown() override { close(fd_); }

  TempTree volume_;
  TempTree outside_;
  int fd_ = -1;
};

TEST_F(ItemRemoverTest, NeverResolvesThroughALinkOrOutOfTheVolume) {
  outside_.MakeFile("victim.tmp");
  // A folder on the path was swapped for a link after the walk saw it.
  volume_.MakeSymlink("swapped", outside_.path());
  ItemRemover remover(fd_);
  Result<void> removal = remover.Remove("swapped/victim.tmp");
  ASSERT_FALSE(removal);
  EXPECT_EQ(removal.error().code, ELOOP);
  for (const char* path :
       {"../victim.tmp", "a/../../victim.tmp", "/etc/passwd", ""}) {
    EXPECT_FALSE(remover.Remove(path)) << path;
  }
  EXPECT_TRUE(outside_.Exists("victim.tmp"));
  EXPECT_TRUE(volume_.Exists("swapped"));
}

TEST_F(ItemRemoverTest, CachedParentDoesNotOutliveItsFolder) {
  volume_.MakeFile("p/a");
  volume_.MakeFile("p/b");
  ItemRemover remover(fd_);
  EXPECT_TRUE(remover.Remove("p/a"));
  EXPECT_TRUE(remover.Remove("p"));
  volume_.MakeFile("p/b");  // A new folder at the old path.
  EXPECT_TRUE(remover.Remove("p/b"));
  EXPECT_EQ(volume_.Listing(), (std::vector<std::string>{"p/"}));
  // Gone already, or never there.
  for (const char* missing : {"p/b", "no/such/parent"}) {
    Result<void> removal = remover.Remove(missing);
    ASSERT_FALSE(removal) << missing;
    EXPECT_EQ(removal.error().code, ENOENT) << missing;
  }
}

TEST_F(ItemRemoverTest, RefusalInsideAFolderNamesTheItemThatFailed) {
  volume_.MakeFile("d/locked/inner.txt");
  volume_.MakeFile("d/free.txt");
  chmod(volume_.PathOf("d/locked").c_str(), 0555);
  // Everyone may write in the volume and in "d", so only "locked" refuses.
  chmod(volume_.path().c_str(), 0777);
  chmod(volume_.PathOf("d").c_str(), 0777);
  std::string result = quillfen::testing::RunUnprivileged([&] {
    ItemRemover remover(fd_);
    Result<void> removal = remover.Remove("d");
    if (removal) return std::string("removed");
    return std::to_string(removal.error().code) + " " + removal.error().message;
  });
  // What went is said too: "free.txt" went, and nothing else tells.
  EXPECT_EQ(result, std::to_string(EACCES) +
                        " “d” couldn’t be removed whole: 1 of the items in "
                        "it was removed, but not the rest. “inner.txt” "
                        "couldn’t be removed because you don’t have "
                        "permission to access it.");
  EXPECT_TRUE(volume_.Exists("d/locked/inner.txt"));
  EXPECT_FALSE(volume_.Exists("d/free.txt"));  // The rest still goes.
}

// A stop asked midway ends a folder's removal where it is: what was
// reported removed is gone, the rest stays, and the removal is no failure
// of its own but a stopped one, which says how much went.
TEST_F(ItemRemoverTest, AStopEndsAFoldersRemovalWhereItIs) {
  for (int i = 0; i < 50; ++i) volume_.MakeFile("d/f" + std::to_string(i));
  volume_.MakeFile("d/sub/x");
  struct StopAfterTen : RemovalObserver {
    void ItemRemoved(std::string_view, std::string_view) override { ++removed; }
    bool StopRequested() override { return removed >= 10; }
    int removed = 0;
  } observer;
  ItemRemover remover(fd_);
  Result<void> removal = remover.RemoveEntry(fd_, "", "d", &observer);
  ASSERT_FALSE(removal);
  EXPECT_EQ(removal.error().code, ECANCELED);
  EXPECT_EQ(removal.error().message,
            "“d” couldn’t be removed whole: 10 of the items in it were "
            "removed before the removal was stopped; the rest are still "
            "there.");
  EXPECT_EQ(observer.removed, 10);
  EXPECT_TRUE(volume_.Exists("d"));
  EXPECT_EQ(volume_.Listing().size(), 52u - 10u + 1u);  // "d/" itself too.
}

// A folder moved out of the volume before its turn: the descriptor the
// caller holds now leads outside, and nothing goes. A move while it is
// emptied is checked live, with the service, in tests/.
TEST_F(ItemRemoverTest, AFolderMovedOutOfTheVolumeLosesNothing) {
  volume_.MakeFile("mv/proj/kept.txt");
  UniqueFd mv(open(volume_.PathOf("mv").c_str(), O_RDONLY | O_DIRECTORY));
  ASSERT_EQ(rename(volume_.PathOf("mv").c_str(), outside_.PathOf("mv").c_str()),
            0);
  ItemRemover remover(fd_);
  Result<void> removal = remover.RemoveEntry(mv.get(), "mv", "proj");
  ASSERT_FALSE(removal);
  EXPECT_EQ(removal.error().code, ESTALE);
  EXPECT_TRUE(outside_.Exists("mv/proj/kept.txt"));
  EXPECT_FALSE(remover.MayRemoveIn(mv.get(), "mv"));
}

}  // namespace
}  // namespace quillfen
