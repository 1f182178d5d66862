#include "removal-engine/removal_sweep.h"

#include <fcntl.h>
#include <gtest/gtest.h>

#include <algorithm>
#include <span>
#include <string>
#include <vector>

#include "platform/unique_fd.h"
#include "testing/temp_tree.h"

namespace quillfen {
namespace {

using ::quillfen::testing::TempTree;

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
  void WalkDone() override { sweep_.WalkDone(); }

 private:
  RemovalSweep& sweep_;
  RemovalProgress& progress_;
  std::size_t left_;
};

// What the sweep selects and the order it reports in are checked through
// the service; here, only what a stop between two entries of one batch
// leaves: the next entry is neither counted nor selected, and nothing more
// is removed.
TEST(RemovalSweepTest, StopAskedMidwayEndsBeforeTheNextEntry) {
  TempTree volume;
  for (const char* file : {"a.tmp", "sub/b.tmp", "sub/c.tmp"}) {
    volume.MakeFile(file);
  }
  Result<RemovalPlan> plan = RemovalPlan::FromRequest(
      {{"volumePath", Value(volume.path())},
       {"extensionsArray", Value(Array{Value("tmp")})}});
  ASSERT_TRUE(plan) << plan.error().message;
  RemovalRecord record(plan->volume_spelling());
  RemovalProgress progress;
  record.progress = &progress;
  UniqueFd volume_fd(
      open(volume.path().c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC));
  ItemRemover remover(volume_fd.get());
  RemovalSweep sweep(*plan, &remover, &record);
  // The volume's two entries, then one of "sub"'s two.
  StopAtEntry stopping(sweep, progress, 3);
  VolumeWalker().Walk(volume_fd.get(), stopping);
  EXPECT_TRUE(record.cut_short);
  EXPECT_EQ(progress.counts(),
            (RemovalProgress::Counts{.walked = 3, .removed = 1}));
  EXPECT_EQ(record.removed, Array{Value(volume.PathOf("a.tmp"))});
  EXPECT_TRUE(record.errors.empty());
  EXPECT_EQ(volume.Listing(),
            (std::vector<std::string>{"sub/", "sub/b.tmp", "sub/c.tmp"}));
}

}  // namespace
}  // namespace quillfen
