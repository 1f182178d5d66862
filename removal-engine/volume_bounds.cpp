#include "removal-engine/volume_bounds.h"

#include <fcntl.h>
#include <linux/openat2.h>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <climits>
#include <string>

namespace quillfen {
namespace {

constexpr std::uint64_t kNoLinks = RESOLVE_NO_SYMLINKS | RESOLVE_NO_MAGICLINKS;

// Set once a kernel without openat2 answered ENOSYS.
std::atomic<bool> openat2_missing = false;

// openat2, retried where the kernel asks for it; ENOSYS where there is none.
Result<UniqueFd> OpenHow(int dir_fd, const char* path, std::uint64_t flags,
                         std::uint64_t resolve) {
  if (openat2_missing.load(std::memory_order_relaxed)) {
    return ErrnoError(ENOSYS);
  }
  open_how how{};
  how.flags = flags;
  how.resolve = resolve;
  long fd;
  do {
    fd = syscall(SYS_openat2, dir_fd, path, &how, sizeof how);
  } while (fd < 0 && (errno == EAGAIN || errno == EINTR));
  if (fd >= 0) return UniqueFd(static_cast<int>(fd));
  if (errno == ENOSYS) openat2_missing.store(true, std::memory_order_relaxed);
  return ErrnoError(errno);
}

// Which mount the item open at |fd| lies on: the mount ID where the kernel
// gives one, the device otherwise (which can't tell bind mounts of one file
// system apart).
Result<std::uint64_t> MountOf(int fd) {
  struct statx status;
  if (statx(fd, "", AT_EMPTY_PATH | AT_SYMLINK_NOFOLLOW, STATX_MNT_ID,
            &status) != 0) {
    return ErrnoError(errno);
  }
  if ((status.stx_mask & STATX_MNT_ID) != 0) return status.stx_mnt_id;
  return (std::uint64_t{status.stx_dev_major} << 32) | status.stx_dev_minor;
}

bool SameItem(int a, int b) {
  struct stat first, second;
  return fstat(a, &first) == 0 && fstat(b, &second) == 0 &&
         first.st_dev == second.st_dev && first.st_ino == second.st_ino;
}

bool IsPlainName(std::string_view name) {
  return !name.empty() && name != "." && name != ".." &&
         name.find('/') == std::string_view::npos;
}

// For kernels without openat2: one component at a time, each a plain name
// on the same mount.
Result<UniqueFd> OpenBeneathByComponents(int root_fd,
                                         std::string_view relative_path) {
  UniqueFd current;
  while (!relative_path.empty()) {
    std::size_t slash = relative_path.find('/');
    std::string component(relative_path.substr(0, slash));
    relative_path = slash == std::string_view::npos
                        ? std::string_view()
                        : relative_path.substr(slash + 1);
    if (!IsPlainName(component)) return ErrnoError(EXDEV);
    Result<UniqueFd> next =
        OpenFolderOnMount(current ? current.get() : root_fd, component.c_str());
    if (!next) return next;
    current = std::move(*next);
  }
  if (!current) current.reset(fcntl(root_fd, F_DUPFD_CLOEXEC, 0));
  if (!current) return ErrnoError(errno);
  return current;
}

// One resolution: |relative_path| fits in PATH_MAX.
Result<UniqueFd> OpenBeneathAtOnce(int root_fd,
                                   std::string_view relative_path) {
  std::string path(relative_path.empty() ? "." : relative_path);
  Result<UniqueFd> fd =
      OpenHow(root_fd, path.c_str(), O_PATH | O_DIRECTORY | O_CLOEXEC,
              RESOLVE_BENEATH | RESOLVE_NO_XDEV | kNoLinks);
  if (fd || fd.error().code != ENOSYS) return fd;
  return OpenBeneathByComponents(root_fd, relative_path);
}

}  // namespace

Result<UniqueFd> OpenFolderOnMount(int folder_fd, const char* name) {
  constexpr int kFlags = O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC;
  Result<UniqueFd> fd =
      OpenHow(folder_fd, name, kFlags, RESOLVE_NO_XDEV | kNoLinks);
  if (fd || fd.error().code != ENOSYS) return fd;
  UniqueFd opened;
  do {
    opened.reset(openat(folder_fd, name, kFlags));
  } while (!opened && errno == EINTR);
  if (!opened) return ErrnoError(errno);
  Result<std::uint64_t> inside = MountOf(folder_fd);
  Result<std::uint64_t> found = MountOf(opened.get());
  if (!inside || !found)
    return ErrnoError(!inside ? inside.error().code : found.error().code);
  if (*inside != *found) return ErrnoError(EXDEV);
  return opened;
}

Result<UniqueFd> OpenFolderBeneath(int root_fd,
                                   std::string_view relative_path) {
  UniqueFd reached;
  while (relative_path.size() >= PATH_MAX) {
    std::size_t cut = relative_path.rfind('/', PATH_MAX - 1);
    if (cut == std::string_view::npos || cut == 0) {
      return ErrnoError(ENAMETOOLONG);
    }
    Result<UniqueFd> part = OpenBeneathAtOnce(reached ? reached.get() : root_fd,
                                              relative_path.substr(0, cut));
    if (!part) return part;
    reached = std::move(*part);
    relative_path.remove_prefix(cut + 1);
  }
  return OpenBeneathAtOnce(reached ? reached.get() : root_fd, relative_path);
}

bool IsMountPoint(int folder_fd, const char* name) {
  struct statx status;
  return statx(folder_fd, name, AT_SYMLINK_NOFOLLOW, 0, &status) == 0 &&
         (status.stx_attributes_mask & STATX_ATTR_MOUNT_ROOT) != 0 &&
         (status.stx_attributes & STATX_ATTR_MOUNT_ROOT) != 0;
}

bool IsSystemRoot(int fd) {
  UniqueFd root(open("/", O_PATH | O_DIRECTORY | O_CLOEXEC));
  return root && SameItem(fd, root.get());
}

bool VolumeBounds::StillBeneath(int folder_fd, std::string_view folder_path,
                                std::string_view inner_path) const {
  std::string path(folder_path);
  if (!path.empty() && !inner_path.empty()) path.push_back('/');
  path.append(inner_path);
  Result<UniqueFd> there = OpenFolderBeneath(volume_fd_, path);
  return there && SameItem(there->get(), folder_fd);
}

bool VolumeBounds::MayRemoveIn(int folder_fd, std::string_view folder_path,
                               std::string_view inner_path) {
  if (since_check_ < kRemovalsPerCheck) {
    ++since_check_;
    return true;
  }
  // After a failed check the count stays where it is: the next removal
  // checks again.
  if (!StillBeneath(folder_fd, folder_path, inner_path)) return false;
  since_check_ = 1;
  return true;
}

}  // namespace quillfen
