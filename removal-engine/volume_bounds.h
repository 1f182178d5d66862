// The volume's bounds: a volume is one folder on one mount, and a removal
// never reaches past either. Folders are opened only on the mount of the
// folder they are opened from (never where another file system, or another
// mount of the same one, is mounted: a second card, a bind mount of a home
// folder, an encrypted container) and never through a symbolic link; a path
// from the volume is resolved beneath it the same way.
//
// A folder can still be moved out of the volume after it was opened, and
// its descriptor follows it. VolumeBounds tells, by identity, whether a
// folder open by descriptor is still the one at its path beneath the
// volume; checking costs one path resolution, so a removal checks before
// the first item it takes and then once a batch, not before every item.
//
// The free functions are safe from any thread; a VolumeBounds belongs to
// the one thread that removes.
#ifndef QUILLFEN_REMOVAL_ENGINE_VOLUME_BOUNDS_H_
#define QUILLFEN_REMOVAL_ENGINE_VOLUME_BOUNDS_H_

#include <cstddef>
#include <string_view>

#include "base/result.h"
#include "platform/unique_fd.h"

namespace quillfen {

// Opens the folder |name| (a plain name or "..") of the folder open at
// |folder_fd| for reading, on the same mount and without following a link.
// Fails with EXDEV where another mount covers it, ELOOP for a link.
Result<UniqueFd> OpenFolderOnMount(int folder_fd, const char* name);

// Opens the folder at |relative_path| (no leading slash; empty for the
// root itself) beneath the folder open at |root_fd| as an O_PATH
// descriptor: without a link, without "..", on |root_fd|'s mount (EXDEV
// otherwise). A path too long for one call is resolved a part at a time.
Result<UniqueFd> OpenFolderBeneath(int root_fd, std::string_view relative_path);

// Whether another mount covers the item |name| of the folder open at
// |folder_fd| (a file may have another mounted on it as well as a folder).
bool IsMountPoint(int folder_fd, const char* name);

// Whether the folder open at |fd| is the root folder of this process's
// file system, whatever path reached it ("/", "//", "/tmp/..").
bool IsSystemRoot(int fd);

class VolumeBounds {
 public:
  // Removals between two checks, at most: what a folder moved out of the
  // volume can lose before its move is seen.
  static constexpr std::size_t kRemovalsPerCheck = 32;

  // |volume_fd| stays the caller's and must outlive this.
  explicit VolumeBounds(int volume_fd) : volume_fd_(volume_fd) {}

  // Whether the folder open at |folder_fd| is still the folder at the path
  // |folder_path| + "/" + |inner_path| beneath the volume (either part may
  // be empty), reached without links and on the volume's mount.
  bool StillBeneath(int folder_fd, std::string_view folder_path,
                    std::string_view inner_path = {}) const;

  // To be asked before each removal inside the folder open at |folder_fd|
  // (its path as for StillBeneath): answers false when a check falls due
  // and finds the folder outside the volume. The first removal is checked,
  // then one in every kRemovalsPerCheck, and each after a check that
  // failed, until one passes.
  bool MayRemoveIn(int folder_fd, std::string_view folder_path,
                   std::string_view inner_path = {});

 private:
  int volume_fd_;
  std::size_t since_check_ = kRemovalsPerCheck;
};

}  // namespace quillfen

#endif  // QUILLFEN_REMOVAL_ENGINE_VOLUME_BOUNDS_H_
