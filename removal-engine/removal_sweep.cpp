#include "removal-engine/removal_sweep.h"

#include <algorithm>
#include <cerrno>

#include "protocol/bus_string.h"
#include "removal-engine/file_error.h"
#include "removal-engine/path_names.h"

namespace quillfen {

void RemovalRecord::Removed(std::string_view relative_path) {
  removed.emplace_back(JoinVolumePath(volume, relative_path));
  if (progress != nullptr) progress->CountRemoved();
}

void RemovalRecord::Record(std::string_view relative_path,
                           const Result<void>& removal) {
  if (!removal && removal.error().code == ECANCELED) {
    cut_short = true;
    return;
  }
  if (removal) {
    Removed(relative_path);
  } else {
    Failed(relative_path, removal.error());
  }
}

void RemovalRecord::Failed(std::string_view relative_path,
                           const Error& failure) {
  errors.insert_or_assign(JoinVolumePath(volume, relative_path),
                          Value(failure.message));
  if (IsNoWritePermission(failure.code)) show_read_me = true;
  if (progress != nullptr) progress->CountFailed();
}

void RemovalRecord::Undecided(std::string_view relative_path,
                              std::string_view name, std::string_view entry) {
  errors.insert_or_assign(
      JoinVolumePath(volume, relative_path),
      Value("“" + std::string(name) + "” couldn’t be matched against “" +
            std::string(entry) + "” in time, so it was left in place."));
  if (progress != nullptr) progress->CountFailed();
}

void RemovalRecord::WalkFailed(std::string_view relative_path, int error) {
  std::string path =
      relative_path.empty() ? volume : JoinVolumePath(volume, relative_path);
  std::string description =
      FolderSearchErrorDescription(LastComponent(path), error);
  errors.insert_or_assign(std::move(path), Value(std::move(description)));
  if (progress != nullptr) progress->CountFailed();
}

void RemovalRecord::MovedAway(std::string_view relative_path) {
  errors.insert_or_assign(
      JoinVolumePath(volume, relative_path),
      Value(FolderMovedAwayDescription(LastComponent(relative_path))));
  if (progress != nullptr) progress->CountFailed();
}

void RemovalRecord::Stopped(const std::string& volume_path) {
  // The one word the caller needs: the removal is incomplete, and what
  // "pathArray" lists is all that went.
  errors.insert_or_assign(
      volume_path, Value("The removal was stopped before it finished; only the "
                         "items listed as removed are gone."));
}

bool RemovalRecord::HasRemoved(std::string_view relative_path) {
  // The length of the volume's part of a full path, as JoinVolumePath
  // writes it.
  const std::size_t prefix =
      volume.ends_with('/') ? volume.size() : volume.size() + 1;
  auto path_of = [this, prefix](std::uint32_t number) {
    return std::string_view(*removed[number].AsString()).substr(prefix);
  };
  for (; indexed < removed.size(); ++indexed) {
    removed_index.Add(static_cast<std::uint32_t>(indexed), path_of);
  }
  return removed_index.Contains(relative_path, path_of);
}

RemovalSweep::RemovalSweep(RemovalPlan& plan, ItemRemover* remover,
                           RemovalRecord* record)
    : plan_(plan),
      remover_(remover),
      record_(record),
      apple_double_(plan.apple_double()) {}

bool RemovalSweep::Selects(std::string_view name, std::string_view* undecided) {
  if (plan_.Selects(name, undecided)) return true;
  return apple_double_ && name.starts_with("._") && !plan_.Keeps(name);
}

WalkAction RemovalSweep::VisitEntries(int /*folder_fd*/,
                                      std::string_view folder_path,
                                      std::span<WalkEntry> entries) {
  for (WalkEntry& entry : entries) {
    if (record_->StopHere()) return WalkAction::kStop;
    if (record_->progress != nullptr) record_->progress->CountWalked(1);
    // A name that can't be written into a reply is never a candidate, nor
    // is anything inside such a folder (see EnterFolder).
    if (!IsBusString(entry.name)) continue;
    std::string_view undecided;
    if (!Selects(entry.name, &undecided)) {
      if (!undecided.empty()) {
        record_->Undecided(ChildPath(folder_path, entry.name), entry.name,
                           undecided);
      }
      continue;
    }
    if (entry.is_directory) {
      entry.marked = true;
      unremoved_.insert(ChildPath(folder_path, entry.name));
    } else {
      files_.emplace_back(entry.inode, entry.name);
    }
  }
  return WalkAction::kGoOn;
}

WalkAction RemovalSweep::FinishFolder(int folder_fd,
                                      std::string_view folder_path) {
  std::sort(files_.begin(), files_.end());
  WalkAction action = WalkAction::kGoOn;
  for (const auto& [inode, name] : files_) {
    if (record_->StopHere()) {
      action = WalkAction::kStop;
      break;
    }
    if (!StillInside(folder_fd, folder_path)) {
      action = WalkAction::kSkipContents;
      break;
    }
    Remove(folder_fd, folder_path, name, /*folder=*/false);
  }
  files_.clear();
  return action;
}

WalkAction RemovalSweep::EnterFolder(std::string_view folder_path,
                                     std::string_view name, bool marked) {
  if (record_->StopHere()) return WalkAction::kStop;
  if (marked && remover_ == nullptr) {
    walking_selected_.push_back({ChildPath(folder_path, name), std::nullopt});
  }
  if (!IsBusString(name)) return WalkAction::kSkipContents;
  // A selected folder is removed whole: what is inside it is reported as
  // the removal takes it.
  if (marked && remover_ != nullptr) return WalkAction::kSkipContents;
  return WalkAction::kGoOn;
}

WalkAction RemovalSweep::LeaveFolder(int parent_fd,
                                     std::string_view folder_path,
                                     std::string_view name, bool marked) {
  if (record_->StopHere()) return WalkAction::kStop;
  if (!marked) return WalkAction::kGoOn;
  if (remover_ == nullptr && !walking_selected_.empty()) {
    SelectedFolder selected = std::move(walking_selected_.back());
    walking_selected_.pop_back();
    if (selected.mount) {
      // What the removal would answer: the folder stays with the mount.
      unremoved_.insert(selected.path);
      record_->Failed(
          selected.path,
          ErrnoError(EXDEV, OtherFileSystemDescription(name, *selected.mount)));
      return WalkAction::kGoOn;
    }
  }
  if (!StillInside(parent_fd, folder_path)) return WalkAction::kSkipContents;
  Remove(parent_fd, folder_path, std::string(name), /*folder=*/true);
  return WalkAction::kGoOn;
}

bool RemovalSweep::StillInside(int folder_fd, std::string_view folder_path) {
  if (remover_ == nullptr || remover_->MayRemoveIn(folder_fd, folder_path)) {
    return true;
  }
  record_->MovedAway(folder_path);
  return false;
}

WalkAction RemovalSweep::FolderFailed(std::string_view folder_path, int error) {
  if (error == EXDEV) {
    // Another mount: never entered, and no failure of the removal's, but a
    // selected folder holding it can't go whole.
    for (SelectedFolder& selected : walking_selected_) {
      if (selected.mount) continue;
      selected.mount =
          folder_path.size() > selected.path.size()
              ? std::string(folder_path.substr(selected.path.size() + 1))
              : std::string();
    }
    return WalkAction::kGoOn;
  }
  // A folder the user may not read is passed over as it would be anywhere;
  // one that is gone has nothing left to search.
  if (error != EACCES && error != ENOENT) {
    record_->WalkFailed(folder_path, error);
  }
  return WalkAction::kGoOn;
}

bool RemovalSweep::Selected(std::string_view relative_path) {
  return unremoved_.contains(relative_path) ||
         record_->HasRemoved(relative_path);
}

void RemovalSweep::Remove(int folder_fd, std::string_view folder_path,
                          const std::string& name, bool folder) {
  std::string path = ChildPath(folder_path, name);
  Result<void> removal;
  if (remover_ != nullptr) {
    removing_ = path;
    removal = remover_->RemoveEntry(folder_fd, folder_path, name, this);
  }
  if (!removal) {
    unremoved_.insert(path);
  } else if (folder) {
    unremoved_.erase(path);
  }
  record_->Record(path, removal);
}

void RemovalSweep::ItemRemoved(std::string_view folder_path,
                               std::string_view name) {
  // The full path is made only for a name that may be selected: inside a
  // deep folder, paths are long.
  if (!IsBusString(name) || !(plan_.Selects(name) || name.starts_with("._"))) {
    return;
  }
  std::string folder = ChildPath(removing_, folder_path);
  if (folder_path.empty()) folder.pop_back();
  if (!IsBusString(folder) || !Selects(name, nullptr)) return;
  record_->Removed(ChildPath(folder, name));
}

}  // namespace quillfen
