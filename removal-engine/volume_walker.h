// VolumeWalker: visits every item beneath a volume directory. A folder's
// entries are handed over in the batches the directory gives them (with
// their types, so nothing is stat'ed that the directory already tells);
// once the folder is read to its end, and before any of its subfolders is
// walked, the walker says so while the folder is open; after a subfolder
// and everything in it, it says so while the parent is still open. That
// lets a visitor remove a folder's files as soon as the folder has been
// read (never while it is being read, which may skip entries), and a
// folder once its contents are done.
//
// Hidden items are included, symbolic links are items like any other and
// never followed, folders that can't be opened or read are skipped
// silently, and an item whose type can't be told is skipped. Items whose
// names the bus can't carry (not UTF-8, or holding a noncharacter) can't
// be named in a reply: they and their contents are not visited.
//
// A walk runs on the calling thread and holds one descriptor per folder
// level while it works.
#ifndef QUILLFEN_REMOVAL_ENGINE_VOLUME_WALKER_H_
#define QUILLFEN_REMOVAL_ENGINE_VOLUME_WALKER_H_

#include <cstdint>
#include <span>
#include <string>
#include <string_view>
#include <vector>

#include "removal-engine/directory_reader.h"

namespace quillfen {

struct WalkEntry {
  std::string_view name;  // Valid during the call that hands it over.
  std::uint64_t inode;
  bool is_directory;
};

class WalkVisitor {
 public:
  virtual ~WalkVisitor() = default;
  // Some entries of the folder open at |folder_fd|, whose path from the
  // volume is |folder_path| (empty for the volume itself).
  virtual void VisitEntries(int folder_fd, std::string_view folder_path,
                            std::span<const WalkEntry> entries) = 0;
  // The folder has been read to its end: the visitor may now remove
  // entries of it that are not folders.
  virtual void FinishFolder(int /*folder_fd*/,
                            std::string_view /*folder_path*/) {}
  // The folder |name| in the folder open at |parent_fd| (path
  // |folder_path|) has been walked with everything in it, or could not be
  // opened. The visitor may remove it now.
  virtual void LeaveFolder(int /*parent_fd*/, std::string_view /*folder_path*/,
                           std::string_view /*name*/) {}
};

class VolumeWalker {
 public:
  // Walks the directory open at |volume_fd| (which stays the caller's).
  static void Walk(int volume_fd, WalkVisitor& visitor);

  // Deep folder chains hold one descriptor per level: a process that walks
  // raises its open-file limit as far as it may, once, at start.
  static void RaiseDescriptorLimit();

 private:
  explicit VolumeWalker(WalkVisitor& visitor) : visitor_(visitor) {}
  void WalkDirectory(int fd);

  WalkVisitor& visitor_;
  std::string path_;  // Path of the folder being walked.
  // Shared by every folder: each is read whole before its subfolders.
  DirectoryReader::Buffer buffer_;
};

// The path of |name| in the folder at |folder_path|.
std::string ChildPath(std::string_view folder_path, std::string_view name);

}  // namespace quillfen

#endif  // QUILLFEN_REMOVAL_ENGINE_VOLUME_WALKER_H_
