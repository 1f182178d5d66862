// Volumes of extreme shapes, removed for real: chains of folders far deeper
// than the descriptor limit and PATH_MAX allow to hold or name at once, a
// folder of hundreds of thousands of entries, and a removal run with only
// a few descriptors to spare. Every selected item must go and be reported,
// nothing else may go, and nothing may be skipped without a word.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <fstream>
#include <functional>
#include <set>
#include <string>

#include "platform/unique_fd.h"
#include "protocol/json_form.h"
#include "protocol/removal_keys.h"
#include "removal-engine/quillfen_removal_service.h"
#include "testing/program.h"
#include "testing/support.h"
#include "testing/temp_tree.h"
#include "testing/test_bus.h"

namespace quillfen {
namespace {

using namespace std::chrono_literals;
using testing::TempTree;

constexpr int kFolderFlags = O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC;

// Makes a chain of |depth| folders |name| beneath the folder at |root|,
// each made from its parent's descriptor (the paths outgrow PATH_MAX), and
// calls |each| with every folder of the chain and its level.
void MakeChain(const std::string& root, const std::string& name, int depth,
               const std::function<void(int fd, int level)>& each) {
  UniqueFd folder(open(root.c_str(), kFolderFlags));
  ASSERT_TRUE(folder);
  for (int level = 1; level <= depth; ++level) {
    ASSERT_EQ(mkdirat(folder.get(), name.c_str(), 0755), 0) << level;
    folder.reset(openat(folder.get(), name.c_str(), kFolderFlags));
    ASSERT_TRUE(folder) << level;
    each(folder.get(), level);
  }
}

// The relative path of level |level| of a chain of |name| folders.
std::string ChainPath(const std::string& name, int level) {
  std::string path;
  for (int i = 0; i < level; ++i) path += name + "/";
  return path;
}

// Whether |item| exists in level |level| of the chain beneath |root|.
bool ExistsInChain(const std::string& root, const std::string& name, int level,
                   const std::string& item) {
  UniqueFd folder(open(root.c_str(), kFolderFlags));
  for (int i = 0; i < level && folder; ++i) {
    folder.reset(openat(folder.get(), name.c_str(), kFolderFlags));
  }
  struct stat status;
  return folder &&
         fstatat(folder.get(), item.c_str(), &status, AT_SYMLINK_NOFOLLOW) == 0;
}

RemovalRequest Request(const std::string& volume, bool apple_double,
                       std::initializer_list<const char*> names = {}) {
  RemovalRequest request = {
      {std::string(kVolumePathKey), Value(volume)},
      {std::string(kAppleDoubleKey), Value(apple_double)},
      {std::string(kExtensionsArrayKey), Value(Array{Value("tmp")})}};
  if (names.size() > 0) {
    request[std::string(kFileRemovalArrayKey)] =
        Value(Array(names.begin(), names.end()));
  }
  return request;
}

bool NoErrors(const Dictionary& reply) {
  return Find(reply, kErrorDictKey)->AsDictionary()->empty();
}

TEST(TreeShapeTest, ChainsDeeperThanAnyLimitThroughTheService) {
  constexpr int kDepth = 100000;
  // Past the depth where a recursive walk ran out of stack and past the
  // descriptor limit; find, which runs alongside, takes time quadratic in
  // a chain's depth, so the second chain is shallower.
  constexpr int kSelectedDepth = 30000;
  const std::set<int> kLevels = {1, 50000, kDepth};
  TempTree volume, other;
  volume.MakeFile("._top");
  volume.MakeFile("keep.txt");
  std::set<std::string> expected = {volume.PathOf("._top"),
                                    volume.PathOf("._deep")};
  MakeChain(volume.path(), "d", kDepth, [&](int fd, int level) {
    if (!kLevels.contains(level)) return;
    for (const char* item : {"._a", "x.tmp", "keep.txt", ".DS_Store"}) {
      testing::MakeFileAt(fd, item);
      if (item[0] == '.' || item[0] == 'x') {
        expected.insert(volume.PathOf(ChainPath("d", level) + item));
      }
    }
  });
  // A selected folder holding a chain as deep goes whole; the selected
  // item inside it is reported on its own.
  volume.MakeDir("._deep");
  MakeChain(
      volume.PathOf("._deep"), "c", kSelectedDepth, [&](int fd, int level) {
        testing::MakeFileAt(fd, level == kSelectedDepth / 2 ? "._inner" : "f");
      });
  expected.insert(volume.PathOf("._deep/" + ChainPath("c", kSelectedDepth / 2) +
                                "._inner"));

  testing::TestBus bus;
  auto connection = bus.Connect();
  Dictionary reply = testing::CallRemoveWithFileDict(
      *connection, Request(volume.path(), true, {".DS_Store"}));
  std::set<std::string> removed = testing::RemovedPaths(reply);
  EXPECT_EQ(removed.size(), expected.size());
  EXPECT_TRUE(removed == expected) << "the removed paths differ";
  EXPECT_TRUE(NoErrors(reply));
  EXPECT_TRUE(volume.Exists("keep.txt"));
  EXPECT_FALSE(volume.Exists("._deep"));
  for (int level : kLevels) {
    EXPECT_TRUE(ExistsInChain(volume.path(), "d", level, "keep.txt")) << level;
    EXPECT_FALSE(ExistsInChain(volume.path(), "d", level, "._a")) << level;
  }

  // The service is still there for the next caller.
  other.MakeFile("._x");
  EXPECT_EQ(testing::RemovedPaths(testing::CallRemoveWithFileDict(
                *connection, Request(other.path(), true))),
            std::set<std::string>{other.PathOf("._x")});
}

TEST(TreeShapeTest, TwoHundredThousandEntriesInOneFolder) {
  TempTree volume;
  testing::MakeManyFiles(volume.path(), 1, 100000, ".tmp");
  testing::MakeManyFiles(volume.path(), 1, 100000, ".keep");
  ASSERT_EQ(testing::EntryCount(volume.PathOf("d000")), 200000);
  Dictionary reply;
  QuillfenRemovalService().removeWithFileDict(
      Request(volume.path(), false),
      [&](RemovalReply r) { reply = std::move(r); });
  EXPECT_EQ(testing::RemovedPaths(reply).size(), 100000u);
  EXPECT_TRUE(NoErrors(reply));
  EXPECT_EQ(testing::EntryCount(volume.PathOf("d000")), 100000);
  EXPECT_TRUE(volume.Exists("d000/f000007.keep"));
}

TEST(TreeShapeTest, EngineWithThirtyTwoDescriptors) {
  constexpr int kDepth = 400;
  TempTree volume, files;
  std::set<std::string> expected = {volume.PathOf("cache.tmp")};
  MakeChain(volume.path(), "d", kDepth, [&](int fd, int level) {
    testing::MakeFileAt(fd, "keep.txt");
    if (level % 40 != 0) return;
    // Siblings to come back to after the chain below them.
    mkdirat(fd, "side", 0755);
    for (const char* item : {"._a", "x.tmp", "side/y.tmp"}) {
      testing::MakeFileAt(fd, item);
      expected.insert(volume.PathOf(ChainPath("d", level) + item));
    }
  });
  volume.MakeDir("cache.tmp");
  MakeChain(volume.PathOf("cache.tmp"), "c", kDepth,
            [&](int fd, int) { testing::MakeFileAt(fd, "f"); });
  for (int i = 0; i < 100; ++i) {
    std::string wide = "w" + std::to_string(i) + "/sub/";
    volume.MakeFile(wide + "z.tmp");
    volume.MakeFile(wide + "keep.txt");
    expected.insert(volume.PathOf(wide + "z.tmp"));
  }
  std::string request = files.PathOf("request.json");
  std::ofstream(request) << JsonTextFromValue(
      Value(Request(volume.path(), true)));

  testing::ProgramSetup setup({request});
  setup.descriptor_limit = 32;
  testing::Program engine(QUILLFEN_ENGINE_PATH, setup);
  ASSERT_TRUE(engine.WaitFor(120s));
  ASSERT_EQ(engine.exit_status(), 0) << engine.err();
  Dictionary reply = testing::DictionaryFromJson(engine.out());
  EXPECT_TRUE(NoErrors(reply)) << engine.out().substr(0, 2000);
  EXPECT_TRUE(testing::RemovedPaths(reply) == expected)
      << testing::RemovedPaths(reply).size() << " removed, " << expected.size()
      << " expected";
  EXPECT_TRUE(ExistsInChain(volume.path(), "d", kDepth, "keep.txt"));
  EXPECT_TRUE(volume.Exists("w99/sub/keep.txt"));
}

}  // namespace
}  // namespace quillfen
