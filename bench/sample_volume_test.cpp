#include "bench/sample_volume.h"

#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <filesystem>
#include <span>
#include <string>
#include <string_view>
#include <vector>

#include "removal-engine/path_names.h"
#include "removal-engine/volume_walker.h"
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
  for (std::size_t entries : {0, 1, 99, 100, 999, 1000, 5000, 123457}) {
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
  std::size_t apple_double_files = 0, ds_store = 0, thumbs = 0, temporary = 0,
              non_ascii = 0, spaced = 0, near_misses = 0, regular_folders = 0;
  std::size_t apple_double_folders_with_files = 0;
  std::size_t temporary_folders_with_files = 0;
  std::size_t deepest = 0;
  for (std::size_t i = 0; i < volume.folders().size(); ++i) {
    const SampleFolder& folder = volume.folders()[i];
    deepest = std::max(deepest, Depth(folder.relative_path));
    std::vector<std::string> files = volume.FileNames(i);
    if (folder.kind == Kind::kRegular) ++regular_folders;
    if (folder.kind == Kind::kAppleDouble && !files.empty()) {
      EXPECT_TRUE(folder.name.starts_with("._"));
      ++apple_double_folders_with_files;
    }
    if (folder.kind == Kind::kTemporary && !files.empty()) {
      EXPECT_TRUE(folder.name.ends_with(".tmp"));
      ++temporary_folders_with_files;
    }
    for (const std::string& name : files) {
      apple_double_files += name.starts_with("._");
      ds_store += name == ".DS_Store";
      thumbs += name == "Thumbs.db";
      temporary += name.ends_with(".tmp") && name != ".tmp";
      non_ascii += !IsAscii(name);
      spaced += name.find(' ') != std::string::npos;
      near_misses += name == ".tmp" || name == "thumbs.db" ||
                     name == "Thumbs.db.bak" || name.ends_with(".TMP");
    }
  }
  double files = static_cast<double>(volume.file_count());
  EXPECT_GT(apple_double_files / files, 0.04);
  EXPECT_LT(apple_double_files / files, 0.06);
  EXPECT_GT(ds_store, regular_folders / 2);
  EXPECT_GT(thumbs, 10u);
  EXPECT_GT(temporary / files, 0.01);
  EXPECT_GT(non_ascii / files, 0.1);
  EXPECT_GT(spaced / files, 0.3);
  EXPECT_GT(near_misses, 10u);
  EXPECT_GT(apple_double_folders_with_files, 5u);
  EXPECT_GT(temporary_folders_with_files, 0u);
  EXPECT_GE(deepest, 40u);
  EXPECT_LE(deepest, 140u);
}

TEST(SampleVolumeTest, MaterializeMakesThePlannedTreeOfEmptyFiles) {
  testing::TempTree tree;
  SampleVolume volume = SampleVolume::Plan(5, 4000);
  std::string directory = tree.PathOf("volume");
  SampleVolume::Made made = volume.Materialize(directory);
  ASSERT_EQ(made.error, "");
  EXPECT_EQ(made.files, volume.file_count());
  EXPECT_EQ(made.folders, volume.folders().size());

  // Only names in valid UTF-8 are recorded, so an equal listing also says
  // every name is (the engine could not report others).
  int fd = open(directory.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
  ASSERT_GE(fd, 0);
  struct Recorder : WalkVisitor {
    WalkAction VisitEntries(int folder_fd, std::string_view folder_path,
                            std::span<WalkEntry> entries) override {
      for (const WalkEntry& entry : entries) {
        if (IsValidUtf8(entry.name)) {
          walked.push_back(ChildPath(folder_path, entry.name));
        }
        struct stat status;
        std::string name(entry.name);
        if (!entry.is_directory &&
            (fstatat(folder_fd, name.c_str(), &status, AT_SYMLINK_NOFOLLOW) !=
                 0 ||
             !S_ISREG(status.st_mode) || status.st_size != 0)) {
          ++nonempty_files;
        }
      }
      return WalkAction::kGoOn;
    }
    std::vector<std::string> walked;
    std::size_t nonempty_files = 0;
  } recorder;
  VolumeWalker().Walk(fd, recorder);
  std::vector<std::string>& walked = recorder.walked;
  std::size_t nonempty_files = recorder.nonempty_files;
  close(fd);
  std::sort(walked.begin(), walked.end());
  EXPECT_EQ(walked, volume.SortedPaths());
  EXPECT_EQ(nonempty_files, 0u);
}

TEST(SampleVolumeTest, MaterializeRefusesAFolderThatHoldsAnything) {
  testing::TempTree tree;
  tree.MakeFile("volume/already here");
  SampleVolume::Made made =
      SampleVolume::Plan(5, 200).Materialize(tree.PathOf("volume"));
  EXPECT_NE(made.error.find("isn't an empty folder"), std::string::npos);
  EXPECT_EQ(made.files + made.folders, 0u);
  EXPECT_EQ(tree.Listing(),
            (std::vector<std::string>{"volume/", "volume/already here"}));

  tree.MakeFile("plain file");
  made = SampleVolume::Plan(5, 200).Materialize(tree.PathOf("plain file"));
  EXPECT_NE(made.error, "");
}

TEST(SampleVolumeTest, RestoreMakesWhatWasRemovedAndKeepsTheRest) {
  testing::TempTree tree;
  SampleVolume volume = SampleVolume::Plan(5, 4000);
  std::string directory = tree.PathOf("volume");
  ASSERT_EQ(volume.Materialize(directory).error, "");
  const std::string made_whole = testing::TreeSnapshot(directory);

  // Take away what a removal would: whole "._" and ".tmp" folders and
  // every .DS_Store, and note an item that stays.
  std::size_t removed_folders = 0, removed_files = 0;
  std::string kept;
  for (std::size_t i = 0; i < volume.folders().size(); ++i) {
    const SampleFolder& folder = volume.folders()[i];
    std::string path = directory + "/" + folder.relative_path;
    if (folder.parent >= 0 &&
        volume.folders()[static_cast<std::size_t>(folder.parent)].kind !=
            Kind::kRegular) {
      continue;  // Goes with its holder.
    }
    if (folder.kind == Kind::kAppleDouble || folder.kind == Kind::kTemporary) {
      std::size_t gone = std::filesystem::remove_all(path);
      ASSERT_GT(gone, 0u);
      ++removed_folders;
      removed_files += folder.file_count;
      for (const SampleFolder& inner : volume.folders()) {
        if (inner.parent == static_cast<std::ptrdiff_t>(i)) {
          ++removed_folders;
          removed_files += inner.file_count;
        }
      }
      continue;
    }
    for (const std::string& name : volume.FileNames(i)) {
      if (name == ".DS_Store") {
        ASSERT_EQ(unlink((path + "/" + name).c_str()), 0);
        ++removed_files;
      } else if (kept.empty()) {
        kept = path + "/" + name;
      }
    }
  }
  ASSERT_GT(removed_folders, 0u);
  ASSERT_FALSE(kept.empty());
  struct stat before;
  ASSERT_EQ(stat(kept.c_str(), &before), 0);

  SampleVolume::Made made = volume.Restore(directory);
  ASSERT_EQ(made.error, "");
  EXPECT_EQ(made.folders, removed_folders);
  EXPECT_EQ(made.files, removed_files);
  EXPECT_EQ(testing::TreeSnapshot(directory), made_whole);
  struct stat after;
  ASSERT_EQ(stat(kept.c_str(), &after), 0);
  EXPECT_EQ(after.st_ino, before.st_ino);

  // A whole volume restores to itself, making nothing.
  made = volume.Restore(directory);
  EXPECT_EQ(made.error, "");
  EXPECT_EQ(made.files + made.folders, 0u);
}

TEST(SampleVolumeTest, RestoreRefusesAnEntryOfTheWrongKind) {
  testing::TempTree tree;
  SampleVolume volume = SampleVolume::Plan(5, 200);
  std::string directory = tree.PathOf("volume");
  ASSERT_EQ(volume.Materialize(directory).error, "");
  const std::string file =
      volume.folders()[0].relative_path + "/" + volume.FileNames(0).back();

  ASSERT_EQ(unlink(tree.PathOf("volume/" + file).c_str()), 0);
  tree.MakeDir("volume/" + file);
  SampleVolume::Made made = volume.Restore(directory);
  EXPECT_NE(made.error.find("is there, but not as a file"), std::string::npos);

  ASSERT_EQ(rmdir(tree.PathOf("volume/" + file).c_str()), 0);
  const std::string folder = volume.folders().back().relative_path;
  std::filesystem::remove_all(tree.PathOf("volume/" + folder));
  tree.MakeFile("volume/" + folder);
  made = volume.Restore(directory);
  EXPECT_NE(made.error.find("is there, but not as a folder"),
            std::string::npos);

  // Without --restore, a volume never lands on top of another.
  EXPECT_NE(volume.Materialize(directory).error, "");
}

}  // namespace
}  // namespace quillfen::bench
