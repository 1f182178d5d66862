// The mount table as this process sees it (/proc/self/mountinfo): which
// file systems are mounted beneath a folder. Read afresh on every call, so
// what it answers is what was mounted at that moment. Safe from any thread.
#ifndef QUILLFEN_PLATFORM_MOUNT_TABLE_H_
#define QUILLFEN_PLATFORM_MOUNT_TABLE_H_

#include <string>
#include <string_view>
#include <vector>

#include "base/result.h"

namespace quillfen {

struct MountPoint {
  std::string path;  // Where it is mounted, without links.
  std::string type;  // The file system's type ("tmpfs", "fuse.sshfs", ...).
};

// The mounts whose mount point lies strictly beneath |folder| (which may be
// spelt with links or "..": it is resolved first), in the table's order.
Result<std::vector<MountPoint>> MountsBeneath(const std::string& folder);

// One line of /proc/self/mountinfo as a MountPoint; false when it isn't
// one. Octal escapes ("\040" for a space) are undone.
bool ParseMountInfoLine(std::string_view line, MountPoint* mount);

}  // namespace quillfen

#endif  // QUILLFEN_PLATFORM_MOUNT_TABLE_H_
