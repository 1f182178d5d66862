// RemovalSweep: selects items by a request's rules while the volume is
// walked, and removes them as soon as they can go: a folder's selected
// files once the folder has been read (in inode order, by descriptor), a
// selected folder whole, its contents unwalked, by the remover, which
// reports back each item it takes, so a selected item inside a selected
// folder is reported on its own, before its folder. Without a remover it
// only records what it would remove (a preview), walking selected folders
// too. A folder the walk can't search is reported, unless the user may not
// read it.
//
// Removals are checked, a batch at a time, against the folder having been
// moved out of the volume meanwhile: one found outside loses nothing more.
// The walk never enters another mount; a selected folder that holds one
// is not removed whole (the remover says so, and so does a preview).
//
// An item whose path a reply can't carry (a name that isn't UTF-8, in it
// or in a folder above it) is never removed, for the reply couldn't say
// so: a selected one is counted under the nearest folder the reply can
// name. Folders with such names are walked for that alone.
//
// The plan's rules include the AppleDouble one, so the walk selects "._"
// items too: one inside a selected folder is also removed before its
// folder, and one whose path find can't print on one line is found at all.
// Every entry walked is counted into the record's progress, and a stop
// asked for there ends the walk before the next entry.
//
// A folder's selected files are removed on a thread of their own
// (RemovalQueue) while the walk goes on; the sweep checks the folder
// against the volume's bounds and for a stop before it hands them over,
// and writes what came of them into the record in the order it asked, so
// the record reads as if one thread had done it all. A selected folder is
// removed by the walking thread once what is queued is done, so that what
// it takes is counted as it goes and a stop cuts it short. When a walk is
// done, everything it asked for is done and recorded. Belongs to the one
// thread that walks.
#ifndef QUILLFEN_REMOVAL_ENGINE_REMOVAL_SWEEP_H_
#define QUILLFEN_REMOVAL_ENGINE_REMOVAL_SWEEP_H_

#include <cstdint>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "removal-engine/item_remover.h"
#include "removal-engine/removal_plan.h"
#include "removal-engine/removal_queue.h"
#include "removal-engine/removal_record.h"
#include "removal-engine/volume_walker.h"

namespace quillfen {

class RemovalSweep : public WalkVisitor, private RemovalObserver {
 public:
  // |remover| may be null: then nothing is removed, all is recorded as if.
  RemovalSweep(RemovalPlan& plan, ItemRemover* remover, RemovalRecord* record);

  // Whether the sweep selected the item at |relative_path| (before a
  // stop): the record has it as removed, or it is still there, failed or a
  // folder the walk never came back to.
  bool Selected(std::string_view relative_path);

  WalkAction VisitEntries(int folder_fd, std::string_view folder_path,
                          std::span<WalkEntry> entries) override;
  WalkAction FinishFolder(int folder_fd, std::string_view folder_path) override;
  WalkAction EnterFolder(std::string_view folder_path, std::string_view name,
                         bool marked) override;
  WalkAction LeaveFolder(int parent_fd, std::string_view folder_path,
                         std::string_view name, bool marked) override;
  WalkAction FolderFailed(std::string_view folder_path, int error) override;
  void WalkDone() override;

 private:
  void Remove(int folder_fd, std::string_view folder_path,
              const std::string& name, bool folder);
  // Hands the removal of the files |names| of the folder open at
  // |folder_fd| over to the queue.
  void Queue(int folder_fd, std::string_view folder_path,
             std::vector<std::string> names);
  // Hands the jobs not yet handed over to the queue.
  void HandOver();
  // Writes what the queue did into the record; with |all|, once every
  // removal asked for is done.
  void RecordDone(bool all);
  // Whether the folder at |folder_path| lies in one the queue found moved
  // out of the volume.
  bool InMovedAway(std::string_view folder_path) const;
  // What came of the removal of the item at |path| (a folder when
  // |folder|).
  void RecordOutcome(const std::string& path, bool folder,
                     const Result<void>& removal);
  void ItemRemoved(std::string_view folder_path,
                   std::string_view name) override;
  bool StopRequested() override { return record_->StopHere(); }
  // Whether the folder at |folder_path| lies in the unnameable folder the
  // walk is in; once the walk is found elsewhere, it has left that folder.
  bool InUnnameable(std::string_view folder_path);
  // Counts |entry| of the folder at |folder_path|, whose path can't be
  // carried, if it is selected.
  void CountUnnameable(std::string_view folder_path, const WalkEntry& entry,
                       bool inside_unnameable);
  // Whether removals may go on in the folder open at |folder_fd|; when it
  // was moved out of the volume, the record says so.
  bool StillInside(int folder_fd, std::string_view folder_path);

  // A selected folder a preview walks, and the first mount met inside it
  // (from the folder; empty when it is a mount point itself).
  struct SelectedFolder {
    std::string path;
    std::optional<std::string> mount;
  };

  RemovalPlan& plan_;
  ItemRemover* remover_;
  RemovalRecord* record_;
  // The sweep's own check of the volume's bounds: the remover's is the
  // queue's while it removes.
  std::optional<VolumeBounds> bounds_;
  std::optional<RemovalQueue> queue_;
  static constexpr std::size_t kNamesPerHandOver = 64;
  static constexpr std::size_t kFoldersPerHandOver = 8;
  // A folder's descriptor handed over must come below this: the
  // descriptors the queue holds never take what the walk, the bounds
  // checks and the removals inside selected folders need. Above it, the
  // folder's files are removed on the walking thread.
  int handed_descriptor_ceiling_;
  std::vector<FolderRemovals> pending_;  // Not handed over yet.
  std::size_t pending_names_ = 0;
  // The folders the queue found moved out of the volume.
  std::vector<std::string> moved_away_;
  // The selected items that are not recorded as removed: folders until
  // their turn comes, and items that failed. What was removed is known
  // from the record.
  NameSet unremoved_;
  std::string removing_;  // The path of the folder being removed whole.
  // The current folder's selected files, by inode.
  std::vector<std::pair<std::uint64_t, std::string>> files_;
  // The outermost folder the walk is in whose name can't be carried (empty
  // when none), and the folder holding it, where what it holds is counted.
  std::string unnameable_root_;
  std::string nearest_nameable_;
  // For a preview: the selected folders the walk is in, outermost first.
  std::vector<SelectedFolder> walking_selected_;
};

}  // namespace quillfen

#endif  // QUILLFEN_REMOVAL_ENGINE_REMOVAL_SWEEP_H_
