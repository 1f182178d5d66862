#include "removal-engine/volume_walker.h"

#include <dirent.h>
#include <fcntl.h>
#include <gtest/gtest.h>

#include <algorithm>
#include <string>

#include "platform/unique_fd.h"
#include "testing/temp_tree.h"

namespace quillfen {
namespace {

using ::quillfen::testing::TempTree;

// How many descriptors this process holds.
std::size_t OpenDescriptors() {
  std::size_t count = 0;
  DIR* dir = opendir("/proc/self/fd");
  while (dirent* entry = readdir(dir)) {
    if (entry->d_name[0] != '.') ++count;
  }
  closedir(dir);
  return count - 1;  // The listing's own.
}

// Records every file's path and the most descriptors held; stops the walk
// after |stop_after| files when that is not 0.
class Recorder : public WalkVisitor {
 public:
  WalkAction VisitEntries(int, std::string_view folder_path,
                          std::span<WalkEntry> entries) override {
    most_open = std::max(most_open, OpenDescriptors());
    for (const WalkEntry& entry : entries) {
      if (entry.is_directory) continue;
      files.push_back(ChildPath(folder_path, entry.name));
      if (files.size() == stop_after) return WalkAction::kStop;
    }
    return WalkAction::kGoOn;
  }
  WalkAction LeaveFolder(int, std::string_view, std::string_view,
                         bool) override {
    ++left;
    return WalkAction::kGoOn;
  }

  std::vector<std::string> files;
  std::size_t most_open = 0;
  std::size_t stop_after = 0;
  int left = 0;
};

TEST(VolumeWalkerTest, DeepAndBranchingTreeWithinTheBudgetAndStopsOnRequest) {
  // A chain whose every level also holds a leaf folder visited after it.
  TempTree volume;
  std::string path;
  std::vector<std::string> expected;
  for (int level = 0; level < 60; ++level) {
    path += "d/";
    volume.MakeFile(path + "f");
    volume.MakeFile(path + "z/g");
    expected.push_back(path + "f");
    expected.push_back(path + "z/g");
  }
  UniqueFd root(open(volume.path().c_str(), O_RDONLY | O_DIRECTORY));
  const std::size_t before = OpenDescriptors();
  Recorder all;
  VolumeWalker(4).Walk(root.get(), all);
  std::sort(all.files.begin(), all.files.end());
  std::sort(expected.begin(), expected.end());
  EXPECT_EQ(all.files, expected);
  EXPECT_EQ(all.left, 120);
  EXPECT_LE(all.most_open, before + 4);
  EXPECT_EQ(OpenDescriptors(), before);

  // A descriptor read to its end shows an empty folder: a fresh one.
  root.reset(open(volume.path().c_str(), O_RDONLY | O_DIRECTORY));
  Recorder stopping;
  stopping.stop_after = 7;
  VolumeWalker(4).Walk(root.get(), stopping);
  EXPECT_EQ(stopping.files.size(), 7u);
  EXPECT_EQ(OpenDescriptors(), before);
}

}  // namespace
}  // namespace quillfen
