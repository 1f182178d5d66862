#include "bench/sample_volume.h"

#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <filesystem>
#include <string>
#include <string_view>
#include <vector>

#include "removal-engine/path_names.h"
#include "testing/temp_tree.h"

namespace quillfen::bench {
namespace {

using Kind = SampleFolder::Kind;

bool IsAscii(const std::string& text) {
  return std::all_of(text.begin(), text.end(), [](char c) {
    return static_cast<unsigned char>(c) < 128;
  });
}

std::size_t Depth(const std::string& path) {
  return 1 +
         static_cast<std::size_t>(std::count(path.begin(), path.end(), '/'));
}

TEST(SampleVolumeTest, SameSeedAndSizeGiveTheSameTreeOfExactlyThatSize) {
  for (std::size_t entries : {0, 1, 999, 123457}) {
    SampleVolume volume = SampleVolume::Plan(7, entries);
    EXPECT_EQ(volume.entry_count(), entries);
    std::size_t files = 0;
    for (std::size_t i = 0; i < volume.folders().size(); ++i) {
      files += volume.FileNames(i).size();
    }
    EXPECT_EQ(files, volume.file_count()) << entries;
  }
  EXPECT_EQ(SampleVolume::Plan(7, 5000).SortedPaths(),
            SampleVolume::Plan(7, 5000).SortedPaths());
  EXPECT_NE(SampleVolume::Plan(7, 5000).SortedPaths(),
            SampleVolume::Plan(8, 5000).SortedPaths());
  // About a hundred entries per regular folder, at any size.
  SampleVolume large = SampleVolume::Plan(1, 200'000);
  std::size_t regular = std::count_if(
      large.folders().begin(), large.folders().end(),
      [](const SampleFolder& f) { return f.kind == Kind::kRegular; });
  EXPECT_EQ(regular, 2000u);
}

TEST(SampleVolumeTest, HoldsEveryShapeTheRemovalHandles) {
  SampleVolume volume = SampleVolume::Plan(1, 100'000);
  std::size_t apple_double = 0, ds_store = 0, thumbs = 0, temporary = 0,
              non_ascii = 0, near_misses = 0, special_folders = 0, deepest = 0;
  for (std::size_t i = 0; i < volume.folders().size(); ++i) {
    const SampleFolder& folder = volume.folders()[i];
    deepest = std::max(deepest, Depth(folder.relative_path));
    std::vector<std::string> files = volume.FileNames(i);
    if (folder.kind == Kind::kAppleDouble && !files.empty()) {
      EXPECT_TRUE(folder.name.starts_with("._")) << folder.name;
      ++special_folders;
    }
    if (folder.kind == Kind::kTemporary && !files.empty()) {
      EXPECT_TRUE(folder.name.ends_with(".tmp")) << folder.name;
      ++special_folders;
    }
    for (const std::string& name : files) {
      apple_double += name.starts_with("._");
      ds_store += name == ".DS_Store";
      thumbs += name == "Thumbs.db";
      temporary += name.ends_with(".tmp") && name != ".tmp";
      non_ascii += !IsAscii(name);
      near_misses += name == ".tmp" || name == "thumbs.db" ||
                     name == "Thumbs.db.bak" || name.ends_with(".TMP");
    }
  }
  double files = static_cast<double>(volume.file_count());
  EXPECT_GT(apple_double / files, 0.04);
  EXPECT_LT(apple_double / files, 0.06);
  EXPECT_GT(ds_store, 400u);
  EXPECT_GT(thumbs, 10u);
  EXPECT_GT(temporary / files, 0.01);
  EXPECT_GT(non_ascii / files, 0.1);
  EXPECT_GT(near_misses, 10u);
  EXPECT_GT(special_folders, 5u);
  EXPECT_GE(deepest, 40u);
  EXPECT_LE(deepest, 140u);
}

// The made tree, as the plan lists it; every file must be empty.
std::vector<std::string> MadePaths(const std::string& directory) {
  std::vector<std::string> paths;
  for (const auto& entry :
       std::filesystem::recursive_directory_iterator(directory)) {
    paths.push_back(
        std::filesystem::relative(entry.path(), directory).string());
    if (entry.is_regular_file()) {
      EXPECT_EQ(entry.file_size(), 0u) << paths.back();
    }
  }
  std::sort(paths.begin(), paths.end());
  return paths;
}

TEST(SampleVolumeTest, MaterializeAndRestoreMakeThePlannedTree) {
  testing::TempTree tree;
  SampleVolume volume = SampleVolume::Plan(5, 4000);
  std::string directory = tree.PathOf("volume");
  SampleVolume::Made made = volume.Materialize(directory);
  ASSERT_EQ(made.error, "");
  EXPECT_EQ(made.files, volume.file_count());
  EXPECT_EQ(made.folders, volume.folders().size());
  EXPECT_EQ(MadePaths(directory), volume.SortedPaths());
  const std::string made_whole = testing::TreeSnapshot(directory);

  // Take away what a removal would: a whole "._" folder and a .DS_Store;
  // what stays is kept as it is, not made again.
  std::size_t removed = 0;
  bool folder_gone = false, file_gone = false;
  std::string kept;
  for (std::size_t i = 0; i < volume.folders().size(); ++i) {
    const SampleFolder& folder = volume.folders()[i];
    std::string path = directory + "/" + folder.relative_path + "/";
    std::vector<std::string> names = volume.FileNames(i);
    if (folder.kind == Kind::kAppleDouble && !folder_gone && !names.empty()) {
      removed += std::filesystem::remove_all(path);
      folder_gone = true;
    } else if (folder.kind == Kind::kRegular && !file_gone &&
               names.size() > 1 && names[0] == ".DS_Store") {
      ASSERT_EQ(unlink((path + names[0]).c_str()), 0);
      ++removed;
      kept = path + names[1];
      file_gone = true;
    }
  }
  ASSERT_TRUE(folder_gone && file_gone);
  struct stat before, after;
  ASSERT_EQ(stat(kept.c_str(), &before), 0);
  made = volume.Restore(directory);
  ASSERT_EQ(made.error, "");
  EXPECT_EQ(made.files + made.folders, removed);
  EXPECT_EQ(testing::TreeSnapshot(directory), made_whole);
  ASSERT_EQ(stat(kept.c_str(), &after), 0);
  EXPECT_EQ(after.st_ino, before.st_ino);
}

TEST(SampleVolumeTest, NeverLandsOnWhatItDidNotMake) {
  testing::TempTree tree;
  tree.MakeFile("busy/already here");
  SampleVolume volume = SampleVolume::Plan(5, 200);
  SampleVolume::Made made = volume.Materialize(tree.PathOf("busy"));
  EXPECT_NE(made.error.find("isn't an empty folder"), std::string::npos);
  EXPECT_EQ(made.files + made.folders, 0u);
  EXPECT_EQ(tree.Listing(),
            (std::vector<std::string>{"busy/", "busy/already here"}));

  // Restoring, an entry of the wrong kind is refused.
  std::string directory = tree.PathOf("volume");
  ASSERT_EQ(volume.Materialize(directory).error, "");
  const std::string file =
      volume.folders()[0].relative_path + "/" + volume.FileNames(0).back();
  ASSERT_EQ(unlink(tree.PathOf("volume/" + file).c_str()), 0);
  tree.MakeDir("volume/" + file);
  made = volume.Restore(directory);
  EXPECT_NE(made.error.find("is there, but not as a file"), std::string::npos);
}

}  // namespace
}  // namespace quillfen::bench
