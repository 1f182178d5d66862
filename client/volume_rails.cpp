#include "client/volume_rails.h"

#include <fcntl.h>
#include <pwd.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdlib>
#include <optional>
#include <vector>

#include "platform/mount_table.h"
#include "platform/unique_fd.h"

namespace quillfen {
namespace {

struct Identity {
  dev_t device;
  ino_t inode;
  bool operator==(const Identity&) const = default;
};

std::optional<Identity> IdentityOf(int fd) {
  struct stat status;
  if (fstat(fd, &status) != 0) return std::nullopt;
  return Identity{status.st_dev, status.st_ino};
}

std::optional<Identity> IdentityAt(const std::string& path) {
  struct stat status;
  if (stat(path.c_str(), &status) != 0) return std::nullopt;
  return Identity{status.st_dev, status.st_ino};
}

// Whether the folder |outer| holds |inner|: |inner|'s ".." chain is
// followed up to the root, across mounts.
bool Holds(const Identity& outer, const std::string& inner) {
  UniqueFd folder(open(inner.c_str(), O_PATH | O_DIRECTORY | O_CLOEXEC));
  std::optional<Identity> here =
      folder ? IdentityOf(folder.get()) : std::nullopt;
  while (here) {
    UniqueFd parent(
        openat(folder.get(), "..", O_PATH | O_DIRECTORY | O_CLOEXEC));
    std::optional<Identity> above =
        parent ? IdentityOf(parent.get()) : std::nullopt;
    if (!above || *above == *here) return false;  // The root.
    if (*above == outer) return true;
    folder = std::move(parent);
    here = above;
  }
  return false;
}

// The user's home folders: $HOME, and the account's own where it differs
// (sudo may keep the caller's $HOME).
std::vector<std::string> HomeFolders() {
  std::vector<std::string> homes;
  if (const char* home = std::getenv("HOME");
      home != nullptr && *home != '\0') {
    homes.emplace_back(home);
  }
  if (const passwd* account = getpwuid(getuid());
      account != nullptr && account->pw_dir != nullptr &&
      account->pw_dir[0] != '\0' &&
      (homes.empty() || homes.front() != account->pw_dir)) {
    homes.emplace_back(account->pw_dir);
  }
  return homes;
}

}  // namespace

Result<void> CheckVolumeChoice(const std::string& volume_path, bool force) {
  std::optional<Identity> volume = IdentityAt(volume_path);
  if (!volume) return {};
  if (volume == IdentityAt("/")) {
    return ErrorMessage(volume_path +
                        " is the root of the system, which is never cleaned "
                        "as a volume");
  }
  if (force) return {};
  for (const std::string& home : HomeFolders()) {
    if (volume == IdentityAt(home)) {
      return ErrorMessage(volume_path +
                          " is your home folder; give --force to clean it "
                          "all the same");
    }
    if (Holds(*volume, home)) {
      return ErrorMessage(volume_path + " holds your home folder " + home +
                          "; give --force to clean it all the same");
    }
  }
  return {};
}

std::string OtherFileSystemsNote(const std::string& volume_path) {
  Result<std::vector<MountPoint>> mounts = MountsBeneath(volume_path);
  if (!mounts || mounts->empty()) return "";
  std::string note = "Other file systems are mounted beneath " + volume_path +
                     "; nothing on them is removed:\n";
  for (const MountPoint& mount : *mounts) {
    note += "  " + mount.path + " (" + mount.type + ")\n";
  }
  return note;
}

}  // namespace quillfen
