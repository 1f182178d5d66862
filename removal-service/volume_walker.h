// VolumeWalker: visits every item beneath a volume directory, each folder
// before its contents. Hidden items are included, symbolic links are items
// like any other and never followed, folders that can't be opened or read
// are skipped silently, and an item whose type can't be told is skipped.
// Items whose names are not valid UTF-8 can't be named in a reply: they and
// their contents are not visited.
//
// A walk runs on the calling thread; the walker holds one descriptor per
// folder level while it works.
#ifndef QUILLFEN_REMOVAL_SERVICE_VOLUME_WALKER_H_
#define QUILLFEN_REMOVAL_SERVICE_VOLUME_WALKER_H_

#include <functional>
#include <string>
#include <string_view>

#include "removal-service/directory_reader.h"

namespace quillfen {

struct WalkedItem {
  std::string_view relative_path;  // From the volume, no leading slash.
  std::string_view name;           // The last component of relative_path.
  bool is_directory;
};

class VolumeWalker {
 public:
  using Visitor = std::function<void(const WalkedItem&)>;

  // Walks the directory open at |volume_fd| (which stays the caller's).
  static void Walk(int volume_fd, const Visitor& visit);

  // Deep folder chains hold one descriptor per level: a process that walks
  // raises its open-file limit as far as it may, once, at start.
  static void RaiseDescriptorLimit();

 private:
  VolumeWalker(const Visitor& visit) : visit_(visit) {}
  void WalkDirectory(int fd);

  const Visitor& visit_;
  std::string path_;  // Relative path of the folder being walked.
  // Shared by every folder: each is read whole before its subfolders.
  DirectoryReader::Buffer buffer_;
};

}  // namespace quillfen

#endif  // QUILLFEN_REMOVAL_SERVICE_VOLUME_WALKER_H_
