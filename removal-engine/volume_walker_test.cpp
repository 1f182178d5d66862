#include "removal-engine/volume_walker.h"

#include <dirent.h>
#include <fcntl.h>
#include <gtest/gtest.h>
#include <unistd.h>

#include <algorithm>
#include <string>
#include <vector>

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

// Counts the files met and the most descriptors held; stops the walk
// after |stop_after| files when that is not 0.
class Recorder : public WalkVisitor {
 public:
  WalkAction VisitEntries(int, std::string_view,
                          std::span<WalkEntry> entries) override {
    most_open = std::max(most_open, OpenDescriptors());
    for (const WalkEntry& entry : entries) {
      if (!entry.is_directory && ++files == stop_after)
        return WalkAction::kStop;
    }
    return WalkAction::kGoOn;
  }

  std::size_t files = 0;
  std::size_t most_open = 0;
  std::size_t stop_after = 0;
};

// Deep trees themselves are removed for real in tests/; here, the walk
// keeps within its descriptor budget, and releases every one it opened,
// whether it ends or is stopped.
TEST(VolumeWalkerTest, DeepTreeWithinTheBudgetAndStopsOnRequest) {
  // A chain whose every level also holds a leaf folder visited after it.
  TempTree volume;
  std::string path;
  for (int level = 0; level < 60; ++level) {
    path += "d/";
    volume.MakeFile(path + "f");
    volume.MakeFile(path + "z/g");
  }
  for (std::size_t stop_after : {0, 7}) {
    // A descriptor read to its end shows an empty folder: a fresh one.
    UniqueFd root(open(volume.path().c_str(), O_RDONLY | O_DIRECTORY));
    const std::size_t before = OpenDescriptors();
    Recorder recorder;
    recorder.stop_after = stop_after;
    VolumeWalker(4).Walk(root.get(), recorder);
    EXPECT_EQ(recorder.files, stop_after == 0 ? 120u : stop_after);
    EXPECT_LE(recorder.most_open, before + 4);
    EXPECT_EQ(OpenDescriptors(), before);
  }
}

// A file system that gives no types makes the walker look at each entry:
// enough of them to be shared among helpers, a link to a folder that must
// not count as one, and a name gone before it was looked at.
TEST(VolumeWalkerTest, LooksUpTypesTheDirectoryLeftOut) {
  TempTree volume;
  std::vector<std::string> names;
  for (int i = 0; i < 300; ++i) {
    names.push_back((i % 7 == 0 ? "folder " : "file ") + std::to_string(i));
    if (i % 7 == 0) {
      volume.MakeFile(names.back() + "/inside");
    } else {
      volume.MakeFile(names.back());
    }
  }
  ASSERT_EQ(symlink("folder 0", (volume.path() + "/link").c_str()), 0);
  names.push_back("link");
  names.push_back("gone");
  UniqueFd folder(open(volume.path().c_str(), O_RDONLY | O_DIRECTORY));
  std::vector<WalkEntry> batch;
  std::vector<std::size_t> unknown;
  for (const std::string& name : names) {
    unknown.push_back(batch.size());
    batch.push_back(WalkEntry{name, 0, /*is_directory=*/true});
  }
  std::vector<char> gone(batch.size(), 0);
  LookUpEntryTypes(folder.get(), batch, unknown, gone);
  for (std::size_t i = 0; i < batch.size(); ++i) {
    SCOPED_TRACE(names[i]);
    EXPECT_EQ(gone[i] != 0, names[i] == "gone");
    if (names[i] != "gone") {
      EXPECT_EQ(batch[i].is_directory, names[i].starts_with("folder"));
    }
  }
}

}  // namespace
}  // namespace quillfen
