// VolumeWalker: visits every item beneath a directory, at any depth and
// width, without recursion. A folder's entries are handed over in the
// batches the directory gives them (with their types, so nothing is stat'ed
// that the directory already tells); once the folder is read to its end,
// and before any of its subfolders is walked, the walker says so while the
// folder is open; after a subfolder and everything in it, it says so while
// the parent is open. That lets a visitor remove a folder's files as soon
// as the folder has been read (never while it is being read, which may
// skip entries), and a folder once its contents are done.
//
// Symbolic links are items like any other and never followed; an item
// whose type can't be told is skipped. The walk stays on the walked
// directory's mount: a folder where another file system (or another mount
// of the same one) is mounted is never entered, and is reported to the
// visitor as failing with EXDEV. Every name is handed over as the
// directory holds it; which names a visitor can use is its own business.
//
// Open descriptors stay within a small budget whatever the depth: folders
// used least recently are closed and opened again when they are needed,
// from their subfolder's ".." or by name from the nearest folder still
// open, never through a link and only if they are still the folder that
// was walked. A folder that can't be opened, read or reached again is
// reported to the visitor, never skipped in silence; running short of
// descriptors or memory first closes folders and tries again.
//
// A walker and its visitor belong to the one thread that walks; a walker
// may walk any number of times, one walk after another. Where a file
// system gives no entry types, the walker looks at each entry once (a stat
// apiece, never more), sharing a large folder's stats out among a few
// short-lived helper threads that are done before the visitor is called.
#ifndef QUILLFEN_REMOVAL_ENGINE_VOLUME_WALKER_H_
#define QUILLFEN_REMOVAL_ENGINE_VOLUME_WALKER_H_

#include <sys/types.h>

#include <cstddef>
#include <cstdint>
#include <deque>
#include <span>
#include <string>
#include <string_view>
#include <vector>

#include "base/result.h"
#include "platform/unique_fd.h"
#include "removal-engine/directory_reader.h"

namespace quillfen {

// What the walk does after a visitor's call. kSkipContents leaves what is
// left of the folder concerned unwalked: the folder being read (from
// VisitEntries and FinishFolder), the subfolder about to be entered (from
// EnterFolder), the parent's remaining subfolders (from LeaveFolder).
enum class WalkAction { kGoOn, kSkipContents, kStop };

struct WalkEntry {
  std::string_view name;  // Valid during the call that hands it over.
  std::uint64_t inode;
  bool is_directory;
  // A visitor may mark a folder; the mark comes back with the folder's
  // EnterFolder and LeaveFolder, so no path needs looking up.
  bool marked = false;
};

class WalkVisitor {
 public:
  virtual ~WalkVisitor() = default;
  // Some entries of the folder open at |folder_fd|, whose path from the
  // walked directory is |folder_path| (empty for that directory itself).
  virtual WalkAction VisitEntries(int folder_fd, std::string_view folder_path,
                                  std::span<WalkEntry> entries) = 0;
  // The folder has been read to its end: the visitor may now remove
  // entries of it that are not folders.
  virtual WalkAction FinishFolder(int /*folder_fd*/,
                                  std::string_view /*folder_path*/) {
    return WalkAction::kGoOn;
  }
  // The subfolder |name| of the folder at |folder_path| is about to be
  // walked.
  virtual WalkAction EnterFolder(std::string_view /*folder_path*/,
                                 std::string_view /*name*/, bool /*marked*/) {
    return WalkAction::kGoOn;
  }
  // The subfolder |name| of the folder open at |parent_fd| (path
  // |folder_path|) has been walked with everything in it, skipped, or could
  // not be opened. The visitor may remove it now. Not called when the
  // parent itself could not be reached again (that is reported instead).
  virtual WalkAction LeaveFolder(int /*parent_fd*/,
                                 std::string_view /*folder_path*/,
                                 std::string_view /*name*/, bool /*marked*/) {
    return WalkAction::kGoOn;
  }
  // The folder at |folder_path| could not be opened, read to its end or
  // reached again (ESTALE: it was moved or replaced meanwhile), for
  // |error|; what the walk could not reach of it is left unvisited. EXDEV:
  // another mount covers it, and the walk never enters it.
  virtual WalkAction FolderFailed(std::string_view /*folder_path*/,
                                  int /*error*/) {
    return WalkAction::kGoOn;
  }
  // The walk is over, to its end or stopped.
  virtual void WalkDone() {}
};

class VolumeWalker {
 public:
  // |descriptor_budget| 0 takes a share of the process's open-file limit,
  // at most 64.
  explicit VolumeWalker(std::size_t descriptor_budget = 0);

  // Walks the directory open at |root_fd| (which stays the caller's).
  void Walk(int root_fd, WalkVisitor& visitor);

 private:
  struct Frame {
    UniqueFd fd;                  // Closed while the budget needs it elsewhere.
    std::size_t name_begin = 0;   // This folder's name in path_.
    std::size_t path_end = 0;     // path_ up to here is this folder's path.
    std::size_t pending_end = 0;  // Its subfolders' names in pending_ end here.
    std::size_t next_pending = 0;  // The next of them to walk.
    std::uint64_t last_use = 0;
    dev_t device = 0;  // Taken when the descriptor is closed, to tell
    ino_t inode = 0;   // the folder again when it is reopened.
    bool identified = false;
    bool marked = false;
  };

  // Reads the top folder whole. Answers false when the walk must stop.
  bool ReadTop(WalkVisitor& visitor);
  // Goes into the top folder's next pending subfolder (or, when the
  // visitor passes it over, leaves it at once). False: the walk stops.
  bool EnterNext(WalkVisitor& visitor);
  // The top folder is done: leaves it from its parent. False: the walk
  // stops.
  bool LeaveTop(WalkVisitor& visitor);
  // Opens the folder |name| in the folder open at |folder_fd|, making room
  // within the budget without closing frame |keep| or the top one. Answers
  // the descriptor.
  Result<UniqueFd> OpenAt(int folder_fd, const char* name, std::size_t keep);
  // Makes sure frame |index| is open again; answers its descriptor, which
  // the frame holds.
  Result<int> Reopen(std::size_t index);
  int Fd(std::size_t index) const;
  void Use(std::size_t index) { frames_[index].last_use = ++clock_; }
  // Closes the open folder used least recently, other than the top one and
  // |keep|. Answers false when there is none.
  bool CloseOne(std::size_t keep);
  void Close(std::size_t index);
  void Adopt(std::size_t index, UniqueFd fd);
  std::string_view PathOf(std::size_t index) const {
    return std::string_view(path_).substr(0, frames_[index].path_end);
  }

  std::size_t budget_;
  int root_fd_ = -1;
  std::uint64_t clock_ = 0;
  // frames_[0] is the walked directory. A deque grows without copying:
  // a deep chain holds many frames.
  std::deque<Frame> frames_;
  std::vector<std::size_t> open_;  // Frames holding a descriptor.
  std::string path_;               // The top folder's path.
  // Names of the subfolders still to walk, each frame's after its
  // parent's: a mark byte, the name, a NUL.
  std::string pending_;
  std::vector<WalkEntry> batch_;
  // The batch's entries whose type must be looked up, and which of the
  // batch were gone by then.
  std::vector<std::size_t> unknown_;
  std::vector<char> gone_;
  DirectoryReader::Buffer buffer_;
};

// What the walker does for entries whose type the directory doesn't give:
// sets the type of the entries of |batch| at the positions |unknown|, in
// the folder open at |folder_fd|, by one stat each that follows no link,
// and marks in |gone| (as long as |batch|) those that could not be looked
// at. Every name must end in a NUL.
void LookUpEntryTypes(int folder_fd, std::span<WalkEntry> batch,
                      std::span<const std::size_t> unknown,
                      std::vector<char>& gone);

// The path of |name| in the folder at |folder_path|.
std::string ChildPath(std::string_view folder_path, std::string_view name);

}  // namespace quillfen

#endif  // QUILLFEN_REMOVAL_ENGINE_VOLUME_WALKER_H_
