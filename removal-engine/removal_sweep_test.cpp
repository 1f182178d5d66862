#include "removal-engine/removal_sweep.h"

#include <fcntl.h>
#include <gtest/gtest.h>

#include <algorithm>
#include <memory>
#include <span>
#include <stdexcept>
#include <string>
#include <vector>

#include "platform/unique_fd.h"
#include "testing/temp_tree.h"

namespace quillfen {
namespace {

using ::quillfen::testing::TempTree;
using ::quillfen::testing::TreeSnapshot;
using Strings = std::vector<std::string>;

Value Names(std::initializer_list<const char*> names) {
  Array array;
  for (const char* name : names) array.emplace_back(name);
  return Value(std::move(array));
}

// Hands the sweep the walk's entries and asks for a stop once |stop_at|
// entries have been handed over, in the middle of a batch if need be.
class StopAtEntry : public WalkVisitor {
 public:
  StopAtEntry(RemovalSweep& sweep, RemovalProgress& progress,
              std::size_t stop_at)
      : sweep_(sweep), progress_(progress), left_(stop_at) {}

  WalkAction VisitEntries(int folder_fd, std::string_view folder_path,
                          std::span<WalkEntry> entries) override {
    std::size_t before = std::min(left_, entries.size());
    left_ -= before;
    WalkAction action =
        sweep_.VisitEntries(folder_fd, folder_path, entries.first(before));
    if (action != WalkAction::kGoOn) return action;
    if (left_ == 0) progress_.RequestStop();
    return sweep_.VisitEntries(folder_fd, folder_path, entries.subspan(before));
  }
  WalkAction FinishFolder(int folder_fd,
                          std::string_view folder_path) override {
    return sweep_.FinishFolder(folder_fd, folder_path);
  }
  WalkAction EnterFolder(std::string_view folder_path, std::string_view name,
                         bool marked) override {
    return sweep_.EnterFolder(folder_path, name, marked);
  }
  WalkAction LeaveFolder(int parent_fd, std::string_view folder_path,
                         std::string_view name, bool marked) override {
    return sweep_.LeaveFolder(parent_fd, folder_path, name, marked);
  }

 private:
  RemovalSweep& sweep_;
  RemovalProgress& progress_;
  std::size_t left_;
};

class RemovalSweepTest : public ::testing::Test {
 protected:
  // A descriptor read to its end shows an empty folder: each walk opens
  // the volume afresh.
  UniqueFd OpenVolume() const {
    UniqueFd fd(
        open(volume_.path().c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC));
    EXPECT_TRUE(fd);
    return fd;
  }

  // A refusal throws: the test fails with its text instead of crashing.
  RemovalPlan PlanFor(Dictionary request) {
    request.emplace("volumePath", Value(volume_.path()));
    Result<RemovalPlan> reading = RemovalPlan::FromRequest(request);
    if (!reading) throw std::runtime_error(reading.error().message);
    return std::move(*reading);
  }

  // Walks the volume with |plan|, removing unless |preview|; answers the
  // removed paths from the volume, in the order they were recorded.
  Strings Sweep(RemovalPlan& plan, bool preview = false) {
    record_ = std::make_unique<RemovalRecord>(plan.volume_spelling());
    UniqueFd volume_fd = OpenVolume();
    ItemRemover remover(volume_fd.get());
    RemovalSweep sweep(plan, preview ? nullptr : &remover, record_.get());
    VolumeWalker().Walk(volume_fd.get(), sweep);
    return Recorded();
  }

  Strings Recorded() const {
    Strings paths;
    for (const Value& path : record_->removed) {
      paths.push_back(path.AsString()->substr(volume_.path().size() + 1));
    }
    return paths;
  }

  TempTree volume_;
  std::unique_ptr<RemovalRecord> record_;
};

Strings Sorted(Strings paths) {
  std::sort(paths.begin(), paths.end());
  return paths;
}

// A selected folder goes in one removal, its contents unwalked; what the
// rules select inside it is reported as it goes, before the folder.
TEST_F(RemovalSweepTest, SelectedFolderGoesWholeAfterTheSelectedItemsInIt) {
  for (const char* file :
       {"cache.tmp/a.tmp", "cache.tmp/deep/b.tmp", "cache.tmp/deep/c.txt",
        "cache.tmp/._y", "cache.tmp/notes.txt", "plain.txt"}) {
    volume_.MakeFile(file);
  }
  RemovalPlan plan = PlanFor(
      {{"appleDouble", Value(true)}, {"extensionsArray", Names({"tmp"})}});
  Strings removed = Sweep(plan);
  ASSERT_EQ(removed.size(), 4u);
  EXPECT_EQ(removed.back(), "cache.tmp");
  EXPECT_EQ(Sorted(removed),
            (Strings{"cache.tmp", "cache.tmp/._y", "cache.tmp/a.tmp",
                     "cache.tmp/deep/b.tmp"}));
  EXPECT_TRUE(record_->errors.empty());
  EXPECT_EQ(volume_.Listing(), Strings{"plain.txt"});
}

// The keep list protects "._" items and exact names alike, walked or
// taken with a selected folder (they go with it, unreported); "._" items
// are selected only when asked for.
TEST_F(RemovalSweepTest, KeepListWinsOverAppleDoubleAndNames) {
  for (bool apple_double : {true, false}) {
    SCOPED_TRACE(apple_double);
    for (const char* file :
         {"._go", "._kept", "go.tmp", "kept.tmp", "Thumbs.db", "junk/._go",
          "junk/._kept", "junk/kept.tmp", "junk/Thumbs.db"}) {
      volume_.MakeFile(file);
    }
    RemovalPlan plan = PlanFor(
        {{"appleDouble", Value(apple_double)},
         {"fileRemovalArray", Names({"Thumbs.db", "junk"})},
         {"extensionsArray", Names({"tmp"})},
         {"fileKeepArray", Names({"._kept", "kept.tmp", "Thumbs.db"})}});
    Strings removed = Sorted(Sweep(plan));
    Strings expected = {"go.tmp", "junk"};
    if (apple_double) {
      expected = {"._go", "go.tmp", "junk", "junk/._go"};
    }
    EXPECT_EQ(removed, expected);
    Strings left = {"._kept", "Thumbs.db", "kept.tmp"};
    if (!apple_double) left.insert(left.begin(), "._go");
    EXPECT_EQ(volume_.Listing(), left);
    EXPECT_TRUE(record_->errors.empty());
  }
}

// A preview walks into selected folders instead of removing them, and
// records what the removal then takes, in an order the removal could
// report it: everything inside a folder before the folder.
TEST_F(RemovalSweepTest, PreviewRecordsWhatTheRemovalTakesAndRemovesNothing) {
  for (const char* file :
       {"cache.tmp/a.tmp", "cache.tmp/sub.tmp/b.tmp", "cache.tmp/sub.tmp/c",
        "cache.tmp/._y", "._dir/._inner", "._dir/x", "d/e.tmp", "d/f"}) {
    volume_.MakeFile(file);
  }
  RemovalPlan plan = PlanFor(
      {{"appleDouble", Value(true)}, {"extensionsArray", Names({"tmp"})}});
  const std::string before = TreeSnapshot(volume_.path());
  Strings previewed = Sweep(plan, /*preview=*/true);
  EXPECT_EQ(TreeSnapshot(volume_.path()), before);
  for (std::size_t i = 0; i < previewed.size(); ++i) {
    for (std::size_t j = i + 1; j < previewed.size(); ++j) {
      EXPECT_FALSE(previewed[j].starts_with(previewed[i] + "/"))
          << previewed[j] << " after its folder " << previewed[i];
    }
  }
  Strings removed = Sweep(plan);
  EXPECT_EQ(Sorted(previewed), Sorted(removed));
  EXPECT_EQ(Sorted(removed),
            (Strings{"._dir", "._dir/._inner", "cache.tmp", "cache.tmp/._y",
                     "cache.tmp/a.tmp", "cache.tmp/sub.tmp",
                     "cache.tmp/sub.tmp/b.tmp", "d/e.tmp"}));
}

// A stop asked between two entries of one batch: the next entry is neither
// counted nor selected, and nothing more is removed.
TEST_F(RemovalSweepTest, StopAskedMidwayEndsBeforeTheNextEntry) {
  for (const char* file : {"a.tmp", "sub/b.tmp", "sub/c.tmp"}) {
    volume_.MakeFile(file);
  }
  RemovalPlan plan = PlanFor({{"extensionsArray", Names({"tmp"})}});
  RemovalRecord record(plan.volume_spelling());
  RemovalProgress progress;
  record.progress = &progress;
  UniqueFd volume_fd = OpenVolume();
  ItemRemover remover(volume_fd.get());
  RemovalSweep sweep(plan, &remover, &record);
  // The volume's two entries, then one of "sub"'s two.
  StopAtEntry stopping(sweep, progress, 3);
  VolumeWalker().Walk(volume_fd.get(), stopping);
  EXPECT_TRUE(record.cut_short);
  EXPECT_EQ(progress.counts(),
            (RemovalProgress::Counts{.walked = 3, .removed = 1}));
  EXPECT_EQ(record.removed, Array{Value(volume_.PathOf("a.tmp"))});
  EXPECT_TRUE(record.errors.empty());
  EXPECT_EQ(volume_.Listing(), (Strings{"sub/", "sub/b.tmp", "sub/c.tmp"}));
}

}  // namespace
}  // namespace quillfen
