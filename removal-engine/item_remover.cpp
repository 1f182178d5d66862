#include "removal-engine/item_remover.h"

#include <fcntl.h>
#include <linux/openat2.h>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <utility>
#include <vector>

#include "removal-engine/path_names.h"

namespace quillfen {
namespace {

bool IsPlainName(std::string_view name) {
  return !name.empty() && name != "." && name != ".." &&
         name.find('/') == std::string_view::npos;
}

// Opens the folder at |relative_path| beneath |root_fd| one component at a
// time, refusing links: for kernels without openat2.
int OpenBeneathByComponents(int root_fd, std::string_view relative_path) {
  int fd = root_fd;
  while (!relative_path.empty()) {
    std::size_t slash = relative_path.find('/');
    std::string component(relative_path.substr(0, slash));
    relative_path = slash == std::string_view::npos
                        ? std::string_view()
                        : relative_path.substr(slash + 1);
    int next = IsPlainName(component)
                   ? openat(fd, component.c_str(),
                            O_PATH | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC)
                   : (errno = EXDEV, -1);
    int error = errno;
    if (fd != root_fd) close(fd);
    if (next < 0) return -error;
    fd = next;
  }
  return fd == root_fd ? fcntl(root_fd, F_DUPFD_CLOEXEC, 0) : fd;
}

// Opens the folder at |relative_path| beneath |root_fd| without following
// any link or leaving the tree. Answers a descriptor or -errno.
int OpenBeneath(int root_fd, std::string_view relative_path) {
  static std::atomic<bool> openat2_missing = false;
  if (!openat2_missing.load(std::memory_order_relaxed)) {
    std::string path(relative_path);
    open_how how{};
    how.flags = O_PATH | O_DIRECTORY | O_CLOEXEC;
    how.resolve = RESOLVE_BENEATH | RESOLVE_NO_SYMLINKS | RESOLVE_NO_MAGICLINKS;
    long fd;
    do {
      fd = syscall(SYS_openat2, root_fd, path.c_str(), &how, sizeof how);
    } while (fd < 0 && errno == EAGAIN);
    if (fd >= 0) return static_cast<int>(fd);
    if (errno != ENOSYS) return -errno;
    openat2_missing.store(true, std::memory_order_relaxed);
  }
  return OpenBeneathByComponents(root_fd, relative_path);
}

}  // namespace

ItemRemover::~ItemRemover() { ForgetParent(); }

void ItemRemover::ForgetParent() {
  if (parent_fd_ >= 0) close(parent_fd_);
  parent_fd_ = -1;
  parent_path_.clear();
}

int ItemRemover::ParentDescriptor(std::string_view relative_path) {
  if (relative_path.empty()) return volume_fd_;
  if (parent_fd_ >= 0 && parent_path_ == relative_path) return parent_fd_;
  ForgetParent();
  int fd = OpenBeneath(volume_fd_, relative_path);
  if (fd >= 0) {
    parent_fd_ = fd;
    parent_path_ = relative_path;
  }
  return fd;
}

std::optional<RemovalFailure> ItemRemover::Remove(
    std::string_view relative_path) {
  std::size_t slash = relative_path.rfind('/');
  std::string_view parent_path = slash == std::string_view::npos
                                     ? std::string_view()
                                     : relative_path.substr(0, slash);
  std::string name(LastComponent(relative_path));
  if (!IsPlainName(name)) return RemovalFailure{EINVAL, name};

  // A cached parent inside the item about to go would outlive it.
  if (parent_fd_ >= 0 && parent_path_.starts_with(relative_path) &&
      (parent_path_.size() == relative_path.size() ||
       parent_path_[relative_path.size()] == '/')) {
    ForgetParent();
  }

  int parent_fd = ParentDescriptor(parent_path);
  if (parent_fd < 0) return RemovalFailure{-parent_fd, name};
  return RemoveEntry(parent_fd, name);
}

bool ItemRemover::Holds(std::string_view relative_path) {
  std::size_t slash = relative_path.rfind('/');
  std::string_view parent_path = slash == std::string_view::npos
                                     ? std::string_view()
                                     : relative_path.substr(0, slash);
  std::string name(LastComponent(relative_path));
  if (!IsPlainName(name)) return false;
  int parent_fd = ParentDescriptor(parent_path);
  struct stat status;
  return parent_fd >= 0 &&
         fstatat(parent_fd, name.c_str(), &status, AT_SYMLINK_NOFOLLOW) == 0;
}

std::optional<RemovalFailure> ItemRemover::RemoveEntry(
    int parent_fd, const std::string& name) {
  // Unlinking first, folders too: where the folder itself may not be
  // removed (EACCES on its parent), nothing inside it is touched either.
  if (unlinkat(parent_fd, name.c_str(), 0) == 0) return std::nullopt;
  int error = errno;
  if (error == EPERM) {
    // POSIX lets unlink refuse a folder with EPERM; tell that apart from a
    // real refusal.
    struct stat status;
    if (fstatat(parent_fd, name.c_str(), &status, AT_SYMLINK_NOFOLLOW) == 0 &&
        S_ISDIR(status.st_mode)) {
      error = EISDIR;
    }
  }
  if (error != EISDIR) return RemovalFailure{error, name};
  return RemoveDirectory(parent_fd, name);
}

std::optional<RemovalFailure> ItemRemover::RemoveDirectory(
    int parent_fd, const std::string& name) {
  int fd = openat(parent_fd, name.c_str(),
                  O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC);
  if (fd < 0) {
    int error = errno;
    // Replaced by a link or a file since it was seen as a folder: the item
    // now at this path is what goes, never what a link points to.
    if (error == ELOOP || error == ENOTDIR) {
      if (unlinkat(parent_fd, name.c_str(), 0) == 0) return std::nullopt;
      error = errno;
    }
    return RemovalFailure{error, name};
  }
  std::optional<RemovalFailure> inner = RemoveContents(fd);
  close(fd);
  if (unlinkat(parent_fd, name.c_str(), AT_REMOVEDIR) == 0) {
    return std::nullopt;
  }
  // What kept the folder from going is what failed inside it, if anything.
  if (inner) {
    if (inner->item_name.empty()) inner->item_name = name;
    return inner;
  }
  return RemovalFailure{errno, name};
}

std::optional<RemovalFailure> ItemRemover::RemoveContents(int fd) {
  // Read the whole folder before changing it: removing entries while
  // reading may skip some.
  struct Entry {
    std::uint64_t inode;
    std::string name;
    bool is_directory;
  };
  std::vector<Entry> entries;
  {
    DirectoryReader reader(fd, &buffer_);
    DirectoryEntry entry;
    while (reader.Next(&entry)) {
      entries.push_back({entry.inode, std::string(entry.name),
                         entry.type == EntryType::kDirectory});
    }
    if (reader.error() != 0) return RemovalFailure{reader.error(), ""};
  }
  std::sort(entries.begin(), entries.end(),
            [](const Entry& a, const Entry& b) { return a.inode < b.inode; });
  std::optional<RemovalFailure> first_failure;
  for (const auto& [inode, name, is_directory] : entries) {
    std::optional<RemovalFailure> failure;
    if (!is_directory && unlinkat(fd, name.c_str(), 0) == 0) continue;
    if (is_directory || errno == EISDIR) {
      failure = RemoveDirectory(fd, name);
    } else {
      failure = RemovalFailure{errno, name};
    }
    if (failure && !first_failure) first_failure = std::move(failure);
  }
  return first_failure;
}

}  // namespace quillfen
