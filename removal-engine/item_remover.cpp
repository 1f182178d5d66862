#include "removal-engine/item_remover.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
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

// The folder part of |relative_path| (empty for an item of the volume's
// own folder).
std::string_view ParentPath(std::string_view relative_path) {
  std::size_t slash = relative_path.rfind('/');
  return slash == std::string_view::npos ? std::string_view()
                                         : relative_path.substr(0, slash);
}

}  // namespace

// Removes everything inside the walked folder: a folder's files once it has
// been read, in inode order, and each folder once its contents are gone.
// Keeps what keeps the folder from going: a mount met inside it, or else
// the first failure; and ends where a batch's check finds a folder moved
// out of the volume.
class ContentsRemoval : public WalkVisitor {
 public:
  // |folder_name| names the walked folder in a failure of its own;
  // |folder_path| is its path from the volume.
  ContentsRemoval(std::string_view folder_name, std::string folder_path,
                  VolumeBounds& bounds, RemovalObserver* observer)
      : folder_name_(folder_name),
        folder_path_(std::move(folder_path)),
        bounds_(bounds),
        observer_(observer) {}

  // Why the folder couldn't go, from what happened inside it; null when
  // nothing did.
  std::optional<Error> failure() const {
    if (moved_away_) return moved_away_;
    if (mount_path_) {
      return ErrnoError(EXDEV,
                        OtherFileSystemDescription(folder_name_, *mount_path_));
    }
    return first_failure_;
  }
  bool moved_away() const { return moved_away_.has_value(); }
  bool stopped() const { return stopped_; }
  // How many items inside the folder went.
  std::uint64_t removed() const { return removed_; }
  // What kept the rest, said after how many went: |failure|'s words, or
  // those of the mount that keeps the folder.
  std::string RestKeptBy(const Error& failure) const {
    if (moved_away_ || !mount_path_) return failure.message;
    return HeldFileSystemSentence(*mount_path_);
  }

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
    WalkAction action = WalkAction::kGoOn;
    for (const auto& [inode, name] : files_) {
      if (Stopping() || !StillInside(folder_fd, folder_path)) {
        action = WalkAction::kStop;
        break;
      }
      if (unlinkat(folder_fd, name.c_str(), 0) == 0) {
        Removed(folder_path, name);
      } else {
        Fail(errno, name);
      }
    }
    files_.clear();
    return action;
  }

  WalkAction LeaveFolder(int parent_fd, std::string_view folder_path,
                         std::string_view name, bool /*marked*/) override {
    if (Stopping()) return WalkAction::kStop;
    // A mount point stays, and so does every folder holding it.
    if (mount_point_left_) {
      mount_point_left_ = false;
      return WalkAction::kGoOn;
    }
    if (!StillInside(parent_fd, folder_path)) return WalkAction::kStop;
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
    if (error == EXDEV) {
      if (!mount_path_) mount_path_ = folder_path;
      mount_point_left_ = true;
    } else if (error != ELOOP && error != ENOTDIR) {
      // A link in a folder's place is taken care of when it is left.
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
  // Whether the folder open at |folder_fd| (at |inner_path| in the walked
  // one) may still lose items: not once it is found outside the volume.
  bool StillInside(int folder_fd, std::string_view inner_path) {
    if (bounds_.MayRemoveIn(folder_fd, folder_path_, inner_path)) return true;
    moved_away_ =
        ErrnoError(ESTALE, MovedAwayDescription(folder_name_, inner_path));
    return false;
  }
  void Removed(std::string_view folder_path, std::string_view name) {
    ++removed_;
    if (observer_ != nullptr) observer_->ItemRemoved(folder_path, name);
  }
  void Fail(int error, std::string_view name) {
    if (!first_failure_) {
      first_failure_ = RemovalError(error, name.empty() ? folder_name_ : name);
    }
  }

  std::string_view folder_name_;
  std::string folder_path_;
  VolumeBounds& bounds_;
  RemovalObserver* observer_;
  std::optional<Error> first_failure_;
  // The first mount met, from the folder.
  std::optional<std::string> mount_path_;
  std::optional<Error> moved_away_;
  bool mount_point_left_ = false;
  bool stopped_ = false;
  std::uint64_t removed_ = 0;
  std::vector<std::pair<std::uint64_t, std::string>> files_;
};

ItemRemover::~ItemRemover() = default;

void ItemRemover::ForgetParent() {
  parent_fd_.reset();
  parent_path_.clear();
}

Result<int> ItemRemover::ParentDescriptor(std::string_view relative_path) {
  if (relative_path.empty()) return volume_fd_;
  if (parent_fd_ && parent_path_ == relative_path) return parent_fd_.get();
  ForgetParent();
  Result<UniqueFd> fd = OpenFolderBeneath(volume_fd_, relative_path);
  if (!fd) return fd.error();
  parent_fd_ = std::move(*fd);
  parent_path_ = relative_path;
  return parent_fd_.get();
}

Result<void> ItemRemover::Remove(std::string_view relative_path) {
  std::string_view parent_path = ParentPath(relative_path);
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
  if (!MayRemoveIn(*parent_fd, parent_path)) {
    // The remembered parent was moved away since it was reached.
    ForgetParent();
    return RemovalError(ESTALE, name);
  }
  return RemoveEntry(*parent_fd, parent_path, name);
}

ItemPlace ItemRemover::Find(std::string_view relative_path) {
  std::string name(LastComponent(relative_path));
  if (!IsPlainName(name)) return ItemPlace::kAbsent;
  Result<int> parent_fd = ParentDescriptor(ParentPath(relative_path));
  if (!parent_fd) {
    return parent_fd.error().code == EXDEV ? ItemPlace::kOnAnotherMount
                                           : ItemPlace::kAbsent;
  }
  struct stat status;
  return fstatat(*parent_fd, name.c_str(), &status, AT_SYMLINK_NOFOLLOW) == 0
             ? ItemPlace::kThere
             : ItemPlace::kAbsent;
}

Result<void> ItemRemover::RemoveEntry(int parent_fd,
                                      std::string_view parent_path,
                                      const std::string& name,
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
  // A file with another file mounted on it.
  if (error == EBUSY && IsMountPoint(parent_fd, name.c_str())) {
    return ErrnoError(EXDEV, OtherFileSystemDescription(name, ""));
  }
  if (error != EISDIR) return RemovalError(error, name);
  return RemoveDirectory(parent_fd, parent_path, name, observer);
}

Result<void> ItemRemover::RemoveDirectory(int parent_fd,
                                          std::string_view parent_path,
                                          const std::string& name,
                                          RemovalObserver* observer) {
  Result<UniqueFd> fd = OpenFolderOnMount(parent_fd, name.c_str());
  if (!fd) {
    int error = fd.error().code;
    if (error == EXDEV) {
      return ErrnoError(EXDEV, OtherFileSystemDescription(name, ""));
    }
    // Replaced by a link or a file since it was seen as a folder: the item
    // now at this path is what goes, never what a link points to.
    if (error == ELOOP || error == ENOTDIR) {
      if (unlinkat(parent_fd, name.c_str(), 0) == 0) return {};
      error = errno;
    }
    return RemovalError(error, name);
  }
  std::string path = ChildPath(parent_path, name);
  // Before it is emptied, the folder must still be the one beneath the
  // volume; ContentsRemoval checks again a batch at a time.
  if (!bounds_.StillBeneath(fd->get(), path)) {
    return ErrnoError(ESTALE, MovedAwayDescription(name, ""));
  }
  ContentsRemoval contents(name, std::move(path), bounds_, observer);
  walker_.Walk(fd->get(), contents);
  fd->reset();
  // A folder found outside the volume is no longer at this path: whatever
  // is there now was never emptied.
  if (contents.moved_away()) return InPart(name, contents, *contents.failure());
  if (unlinkat(parent_fd, name.c_str(), AT_REMOVEDIR) == 0) return {};
  int error = errno;
  // What kept the folder from going is what happened inside it, if
  // anything.
  return InPart(name, contents,
                contents.failure().value_or(RemovalError(error, name)));
}

Error ItemRemover::InPart(const std::string& name,
                          const ContentsRemoval& contents, Error failure) {
  // Once part of the folder is gone, its failure says how much, or the
  // reply would pass over every item that went with it.
  if (contents.removed() > 0) ++left_in_part_;
  if (contents.stopped()) {
    // A stop is no failure of the folder's own: said only when it cut
    // something short here, with the failure met before it, if any.
    if (contents.removed() == 0) return ErrnoError(ECANCELED);
    std::optional<Error> inside = contents.failure();
    return ErrnoError(
        ECANCELED,
        PartlyRemovedDescription(name, contents.removed(), /*stopped=*/true,
                                 inside ? contents.RestKeptBy(*inside) : ""));
  }
  if (contents.removed() > 0) {
    failure.message = PartlyRemovedDescription(name, contents.removed(),
                                               /*stopped=*/false,
                                               contents.RestKeptBy(failure));
  }
  return failure;
}

}  // namespace quillfen
