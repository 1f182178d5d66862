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
// calls |each| with every folder of the chain, its level and its path
// relative to |root| (ending in "/").
void MakeChain(
    const std::string& root, const std::string& name, int depth,
    const std::function<void(int fd, int level, const std::string&)>& each) {
  UniqueFd folder(open(root.c_str(), kFolderFlags));
  ASSERT_TRUE(folder);
  std::string path;
  for (int level = 1; level <= depth; ++level) {
    ASSERT_EQ(mkdirat(folder.get(), name.c_str(), 0755), 0) << level;
    folder.reset(openat(folder.get(), name.c_str(), kFolderFlags));
    ASSERT_TRUE(folder) << level;
    path += name + "/";
    each(folder.get(), level, path);
  }
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

TEST(TreeShapeTest, ChainsDeeperThanAnyLimitThroughTheService) {
  constexpr int kDepth = 100000;
  // Past the depth where a recursive walk ran out of stack and past the
  // descriptor limit; find, which runs alongside, takes time quadratic in
  // a chain's depth, so the second chain is shallower.
  constexpr int kSelectedDepth = 30000;
  const std::set<int> kLevels = {1, 50000, kDepth};
  TempTree volume;
  volume.MakeFile("._top");
  volume.MakeFile("keep.txt");
  std::set<std::string> expected = {volume.PathOf("._top"),
                                    volume.PathOf("._deep")};
  MakeChain(volume.path(), "d", kDepth,
            [&](int fd, int level, const std::string& path) {
              if (!kLevels.contains(level)) return;
              for (const char* item : {"._a", "x.tmp", ".DS_Store"}) {
                testing::MakeFileAt(fd, item);
                expected.insert(volume.PathOf(path + item));
              }
              testing::MakeFileAt(fd, "keep.txt");
            });
  // A selected folder holding a chain as deep goes whole; the selected
  // item inside it is reported on its own.
  volume.MakeDir("._deep");
  MakeChain(volume.PathOf("._deep"), "c", kSelectedDepth,
            [&](int fd, int level, const std::string& path) {
              const bool inner = level == kSelectedDepth / 2;
              testing::MakeFileAt(fd, inner ? "._inner" : "f");
              if (inner)
                expected.insert(volume.PathOf("._deep/" + path + "._inner"));
            });

  testing::TestBus bus;
  Dictionary reply = testing::CallRemoveWithFileDict(
      *bus.Connect(),
      testing::RemovalRequestFor(volume.path(), true, {"tmp"}, {".DS_Store"}));
  std::set<std::string> removed = testing::RemovedPaths(reply);
  EXPECT_EQ(removed.size(), expected.size());
  EXPECT_TRUE(removed == expected) << "the removed paths differ";
  EXPECT_TRUE(testing::ErrorPaths(reply).empty());
  EXPECT_TRUE(volume.Exists("keep.txt"));
  EXPECT_FALSE(volume.Exists("._deep"));
  for (int level : kLevels) {
    EXPECT_TRUE(ExistsInChain(volume.path(), "d", level, "keep.txt")) << level;
    EXPECT_FALSE(ExistsInChain(volume.path(), "d", level, "._a")) << level;
  }
}

// A chain deeper than the descriptors allow, siblings to come back to,
// and a folder of two hundred thousand entries, half of them selected.
TEST(TreeShapeTest, EngineWithThirtyTwoDescriptors) {
  constexpr int kDepth = 400;
  TempTree volume, files;
  std::set<std::string> expected = {volume.PathOf("cache.tmp")};
  MakeChain(volume.path(), "d", kDepth,
            [&](int fd, int level, const std::string& path) {
              testing::MakeFileAt(fd, "keep.txt");
              if (level % 40 != 0) return;
              // Siblings to come back to after the chain below them.
              mkdirat(fd, "side", 0755);
              for (const char* item : {"._a", "x.tmp", "side/y.tmp"}) {
                testing::MakeFileAt(fd, item);
                expected.insert(volume.PathOf(path + item));
              }
            });
  volume.MakeDir("cache.tmp");
  MakeChain(
      volume.PathOf("cache.tmp"), "c", kDepth,
      [&](int fd, int, const std::string&) { testing::MakeFileAt(fd, "f"); });
  for (int i = 0; i < 100; ++i) {
    std::string wide = "w" + std::to_string(i) + "/sub/";
    volume.MakeFile(wide + "z.tmp");
    volume.MakeFile(wide + "keep.txt");
    expected.insert(volume.PathOf(wide + "z.tmp"));
  }
  for (const std::string& file :
       testing::MakeManyFiles(volume.PathOf("many"), 1, 100000, ".tmp")) {
    expected.insert(volume.PathOf("many/" + file));
  }
  testing::MakeManyFiles(volume.PathOf("many"), 1, 100000, ".keep");
  testing::ProgramSetup setup({files.PathOf("request.json")});
  std::ofstream(setup.args[0]) << JsonTextFromValue(
      Value(testing::RemovalRequestFor(volume.path(), true, {"tmp"})));
  setup.descriptor_limit = 32;
  testing::Program engine(QUILLFEN_ENGINE_PATH, setup);
  ASSERT_TRUE(engine.WaitFor(120s));
  ASSERT_EQ(engine.exit_status(), 0) << engine.err();
  Dictionary reply = testing::DictionaryFromJson(engine.out());
  EXPECT_TRUE(testing::ErrorPaths(reply).empty())
      << engine.out().substr(0, 2000);
  EXPECT_TRUE(testing::RemovedPaths(reply) == expected)
      << testing::RemovedPaths(reply).size() << " removed, " << expected.size()
      << " expected";
  EXPECT_TRUE(ExistsInChain(volume.path(), "d", kDepth, "keep.txt"));
  EXPECT_TRUE(volume.Exists("w99/sub/keep.txt"));
  EXPECT_EQ(testing::EntryCount(volume.PathOf("many/d000")), 100000);
}

}  // namespace
}  // namespace quillfen
