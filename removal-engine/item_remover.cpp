#include "removal-engine/item_remover.h"

#include <fcntl.h>
#include <linux/openat2.h>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <climits>
#include <optional>
#include <utility>
#include <vector>

#include "removal-engine/file_error.h"
#include "removal-engine/path_names.h"

namespace quillfen {
namespace {

// The removal of |item_name| failed for |error|, in the reply's words.
Error RemovalError(int error, std::string_view item_name) {
  return ErrnoError(error, RemovalErrorDescription(item_name, error));
}

bool IsPlainName(std::string_view name) {
  return !name.empty() && name != "." && name != ".." &&
         name.find('/') == std::string_view::npos;
}

// Opens the folder at |relative_path| beneath |root_fd| one component at a
// time, refusing links: for kernels without openat2.
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
    int next = openat(current ? current.get() : root_fd, component.c_str(),
                      O_PATH | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC);
    if (next < 0) return ErrnoError(errno);
    current.reset(next);
  }
  if (!current) current.reset(fcntl(root_fd, F_DUPFD_CLOEXEC, 0));
  if (!current) return ErrnoError(errno);
  return current;
}

// One openat2 call: |relative_path| fits in PATH_MAX.
Result<UniqueFd> OpenBeneathAtOnce(int root_fd,
                                   std::string_view relative_path) {
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
    if (fd >= 0) return UniqueFd(static_cast<int>(fd));
    if (errno != ENOSYS) return ErrnoError(errno);
    openat2_missing.store(true, std::memory_order_relaxed);
  }
  return OpenBeneathByComponents(root_fd, relative_path);
}

// Opens the folder at |relative_path| beneath |root_fd| without following
// any link or leaving the tree. A path too long for one call is resolved a
// part at a time, each part beneath the folder the previous one reached.
Result<UniqueFd> OpenBeneath(int root_fd, std::string_view relative_path) {
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

// Removes everything inside the walked folder: a folder's files once it has
// been read, in inode order, and each folder once its contents are gone.
// Keeps the first failure, which is what keeps the folder from going.
class ContentsRemoval : public WalkVisitor {
 public:
  // |folder_name| names the walked folder in a failure of its own.
  ContentsRemoval(std::string_view folder_name, RemovalObserver* observer)
      : folder_name_(folder_name), observer_(observer) {}

  const std::optional<Error>& first_failure() const { return first_failure_; }

  bool stopped() const { return stopped_; }

  WalkAction VisitEntries(int /*folder_fd*/, std::string_view /*folder_path*/,
                          std::span<WalkEntry> entries) override {
    if (Stopping()) return WalkAction::kStop;
    for (const WalkEntry& entry : entries) {
      if (!entry.is_directory) files_.emplace_back(entry.inode, entry.name);
    }
    return WalkAction::kGoOn;
  }

  WalkAction FinishFolder(int folder_fd,
                          std::string_view folder_path) override {
    std::sort(files_.begin(), files_.end());
    for (const auto& [inode, name] : files_) {
      if (Stopping()) {
        files_.clear();
        return WalkAction::kStop;
      }
      if (unlinkat(folder_fd, name.c_str(), 0) == 0) {
        Removed(folder_path, name);
      } else {
        Fail(errno, name);
      }
    }
    files_.clear();
    return WalkAction::kGoOn;
  }

  WalkAction LeaveFolder(int parent_fd, std::string_view folder_path,
                         std::string_view name, bool /*marked*/) override {
    if (Stopping()) return WalkAction::kStop;
    std::string owned(name);
    int done = unlinkat(parent_fd, owned.c_str(), AT_REMOVEDIR);
    // Replaced by a link or a file since it was seen as a folder: the item
    // now at this path is what goes, never what a link points to.
    if (done != 0 && errno == ENOTDIR)
      done = unlinkat(parent_fd, owned.c_str(), 0);
    if (done == 0) {
      Removed(folder_path, name);
    } else {
      Fail(errno, name);
    }
    return WalkAction::kGoOn;
  }

  WalkAction FolderFailed(std::string_view folder_path, int error) override {
    // A link in a folder's place is taken care of when it is left.
    if (error != ELOOP && error != ENOTDIR) {
      Fail(error, LastComponent(folder_path));
    }
    return WalkAction::kGoOn;
  }

 private:
  bool Stopping() {
    if (!stopped_ && observer_ != nullptr)
      stopped_ = observer_->StopRequested();
    return stopped_;
  }
  void Removed(std::string_view folder_path, std::string_view name) {
    if (observer_ != nullptr) observer_->ItemRemoved(folder_path, name);
  }
  void Fail(int error, std::string_view name) {
    if (!first_failure_) {
      first_failure_ = RemovalError(error, name.empty() ? folder_name_ : name);
    }
  }

  std::string_view folder_name_;
  RemovalObserver* observer_;
  std::optional<Error> first_failure_;
  bool stopped_ = false;
  std::vector<std::pair<std::uint64_t, std::string>> files_;
};

}  // namespace

ItemRemover::~ItemRemover() = default;

void ItemRemover::ForgetParent() {
  parent_fd_.reset();
  parent_path_.clear();
}

Result<int> ItemRemover::ParentDescriptor(std::string_view relative_path) {
  if (relative_path.empty()) return volume_fd_;
  if (parent_fd_ && parent_path_ == relative_path) return parent_fd_.get();
  ForgetParent();
  Result<UniqueFd> fd = OpenBeneath(volume_fd_, relative_path);
  if (!fd) return fd.error();
  parent_fd_ = std::move(*fd);
  parent_path_ = relative_path;
  return parent_fd_.get();
}

Result<void> ItemRemover::Remove(std::string_view relative_path) {
  std::size_t slash = relative_path.rfind('/');
  std::string_view parent_path = slash == std::string_view::npos
                                     ? std::string_view()
                                     : relative_path.substr(0, slash);
  std::string name(LastComponent(relative_path));
  if (!IsPlainName(name)) return RemovalError(EINVAL, name);

  // A cached parent inside the item about to go would outlive it.
  if (parent_fd_ && parent_path_.starts_with(relative_path) &&
      (parent_path_.size() == relative_path.size() ||
       parent_path_[relative_path.size()] == '/')) {
    ForgetParent();
  }

  Result<int> parent_fd = ParentDescriptor(parent_path);
  if (!parent_fd) return RemovalError(parent_fd.error().code, name);
  return RemoveEntry(*parent_fd, name);
}

bool ItemRemover::Holds(std::string_view relative_path) {
  std::size_t slash = relative_path.rfind('/');
  std::string_view parent_path = slash == std::string_view::npos
                                     ? std::string_view()
                                     : relative_path.substr(0, slash);
  std::string name(LastComponent(relative_path));
  if (!IsPlainName(name)) return false;
  Result<int> parent_fd = ParentDescriptor(parent_path);
  struct stat status;
  return parent_fd.ok() &&
         fstatat(*parent_fd, name.c_str(), &status, AT_SYMLINK_NOFOLLOW) == 0;
}

Result<void> ItemRemover::RemoveEntry(int parent_fd, const std::string& name,
                                      RemovalObserver* observer) {
  // Unlinking first, folders too: where the folder itself may not be
  // removed (EACCES on its parent), nothing inside it is touched either.
  if (unlinkat(parent_fd, name.c_str(), 0) == 0) return {};
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
  if (error != EISDIR) return RemovalError(error, name);
  return RemoveDirectory(parent_fd, name, observer);
}

Result<void> ItemRemover::RemoveDirectory(int parent_fd,
                                          const std::string& name,
                                          RemovalObserver* observer) {
  UniqueFd fd(openat(parent_fd, name.c_str(),
                     O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC));
  if (!fd) {
    int error = errno;
    // Replaced by a link or a file since it was seen as a folder: the item
    // now at this path is what goes, never what a link points to.
    if (error == ELOOP || error == ENOTDIR) {
      if (unlinkat(parent_fd, name.c_str(), 0) == 0) return {};
      error = errno;
    }
    return RemovalError(error, name);
  }
  ContentsRemoval contents(name, observer);
  walker_.Walk(fd.get(), contents);
  fd.reset();
  if (unlinkat(parent_fd, name.c_str(), AT_REMOVEDIR) == 0) return {};
  int error = errno;
  if (contents.stopped()) return ErrnoError(ECANCELED);
  // What kept the folder from going is what failed inside it, if anything.
  if (contents.first_failure()) return *contents.first_failure();
  return RemovalError(error, name);
}

}  // namespace quillfen
