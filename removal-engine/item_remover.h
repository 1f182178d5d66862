// ItemRemover: removes items beneath a volume directory by descriptor. Every
// item is reached from the volume's descriptor without following a symbolic
// link and without leaving the volume, so a tree that changes between the
// walk and the removal can neither lead a removal outside the volume nor
// through a link; a link at a selected path is removed itself, never its
// target. A folder goes with everything in it, but never what another
// mount holds: a folder where one is mounted, or that holds one, is left
// with the mount and what leads to it, and the failure says so. Removals
// inside a folder are checked, a batch at a time, against the folder having
// been moved out of the volume meanwhile (VolumeBounds); one found outside
// is left. The volume directory itself is never removed. The one place
// where removal meets errno.
//
// A folder's contents go in inode order, which some file systems delete
// much faster than name order, walked without recursion and with few
// descriptors whatever the depth. A path longer than the system takes in
// one call is resolved beneath the volume a part at a time. A remover keeps
// a descriptor of the last parent folder it used, so that siblings are
// removed without resolving their path again; it belongs to one thread at a
// time.
#ifndef QUILLFEN_REMOVAL_ENGINE_ITEM_REMOVER_H_
#define QUILLFEN_REMOVAL_ENGINE_ITEM_REMOVER_H_

#include <cstdint>
#include <string>
#include <string_view>

#include "base/result.h"
#include "platform/unique_fd.h"
#include "removal-engine/volume_bounds.h"
#include "removal-engine/volume_walker.h"

namespace quillfen {

class ContentsRemoval;

// Told of every item that a folder's removal takes with it.
class RemovalObserver {
 public:
  virtual ~RemovalObserver() = default;
  // The item |name| of the folder at |folder_path| (from the removed
  // folder; empty for that folder itself) is gone.
  virtual void ItemRemoved(std::string_view folder_path,
                           std::string_view name) = 0;
  // Asked before each item: true ends the folder's removal where it is,
  // and the removal fails with ECANCELED.
  virtual bool StopRequested() { return false; }
};

// Where an item is, as far as a remover may reach.
enum class ItemPlace { kThere, kAbsent, kOnAnotherMount };

class ItemRemover {
 public:
  // |volume_fd| stays the caller's and must outlive the remover.
  explicit ItemRemover(int volume_fd)
      : volume_fd_(volume_fd), bounds_(volume_fd) {}
  ~ItemRemover();
  ItemRemover(const ItemRemover&) = delete;
  ItemRemover& operator=(const ItemRemover&) = delete;

  // Removes the item at |relative_path| (from the volume, no leading
  // slash); a folder with its contents. A failure carries the errno of the
  // first thing that failed and the reply's words for it, which name the
  // item that failed: the selected one, or an item inside a selected folder.
  // A folder that loses some of its items but not all fails with words that
  // say how many went; one that a stop cut short fails with ECANCELED
  // (with those words when anything inside it went).
  Result<void> Remove(std::string_view relative_path);

  // Whether an item is at |relative_path| (from the volume, no leading
  // slash), reached, itself included, without following a link; or
  // whether the way to it leads onto another mount.
  ItemPlace Find(std::string_view relative_path);

  // Removes the entry |name| of the folder open at |folder_fd|, whose path
  // from the volume is |folder_path|, a folder with its contents, for a
  // caller that reached that folder safely itself and asked MayRemoveIn
  // first. |observer|, if any, is told of each item removed inside the
  // folder.
  Result<void> RemoveEntry(int folder_fd, std::string_view folder_path,
                           const std::string& name,
                           RemovalObserver* observer = nullptr);

  // To be asked before each removal in a folder a caller reached itself
  // (see VolumeBounds::MayRemoveIn): false when that folder was found moved
  // out of the volume, and nothing may be removed from it.
  bool MayRemoveIn(int folder_fd, std::string_view folder_path) {
    return bounds_.MayRemoveIn(folder_fd, folder_path);
  }

  // How many folders this remover failed to remove whole after taking some
  // of their items: their failures (or stops) say how many items went, and
  // those items are reported nowhere else unless selected by themselves.
  std::uint64_t folders_left_in_part() const { return left_in_part_; }

  int volume_fd() const { return volume_fd_; }

 private:
  // A descriptor of the folder at |relative_path|, held by this remover.
  Result<int> ParentDescriptor(std::string_view relative_path);
  void ForgetParent();
  Result<void> RemoveDirectory(int parent_fd, std::string_view parent_path,
                               const std::string& name,
                               RemovalObserver* observer);

  // The failure of the folder |name| whose contents' removal ended as
  // |contents| says, |failure| being what kept it from going: told in part
  // when items inside it went.
  Error InPart(const std::string& name, const ContentsRemoval& contents,
               Error failure);

  int volume_fd_;
  VolumeBounds bounds_;
  std::string parent_path_;
  UniqueFd parent_fd_;
  VolumeWalker walker_;
  std::uint64_t left_in_part_ = 0;
};

}  // namespace quillfen

#endif  // QUILLFEN_REMOVAL_ENGINE_ITEM_REMOVER_H_
