#include "removal-engine/removal_sweep.h"

#include <fcntl.h>
#include <sys/resource.h>

#include <algorithm>
#include <cerrno>
#include <climits>

#include "protocol/bus_string.h"
#include "removal-engine/file_error.h"

namespace quillfen {

namespace {

// A quarter of the process's open-file limit: the walk takes an eighth.
int HandedDescriptorCeiling() {
  rlimit limit;
  if (getrlimit(RLIMIT_NOFILE, &limit) != 0 ||
      limit.rlim_cur == RLIM_INFINITY || limit.rlim_cur / 4 > INT_MAX) {
    return INT_MAX;
  }
  return static_cast<int>(limit.rlim_cur / 4);
}

}  // namespace

RemovalSweep::RemovalSweep(RemovalPlan& plan, ItemRemover* remover,
                           RemovalRecord* record)
    : plan_(plan),
      remover_(remover),
      record_(record),
      handed_descriptor_ceiling_(HandedDescriptorCeiling()) {
  if (remover_ != nullptr) {
    bounds_.emplace(remover_->volume_fd());
    queue_.emplace(*remover_, record_->progress);
  }
}

bool RemovalSweep::InUnnameable(std::string_view folder_path) {
  if (unnameable_root_.empty()) return false;
  if (folder_path.starts_with(unnameable_root_) &&
      (folder_path.size() == unnameable_root_.size() ||
       folder_path[unnameable_root_.size()] == '/')) {
    return true;
  }
  unnameable_root_.clear();  // The walk has left it.
  return false;
}

void RemovalSweep::CountUnnameable(std::string_view folder_path,
                                   const WalkEntry& entry, bool inside) {
  // Inside a selected folder a preview walks, it goes with the folder.
  if (!walking_selected_.empty()) return;
  if (plan_.Selects(entry.name)) {
    record_->Unnameable(inside ? std::string_view(nearest_nameable_)
                               : folder_path);
  }
}

WalkAction RemovalSweep::VisitEntries(int /*folder_fd*/,
                                      std::string_view folder_path,
                                      std::span<WalkEntry> entries) {
  const bool inside_unnameable = InUnnameable(folder_path);
  for (WalkEntry& entry : entries) {
    if (record_->StopHere()) return WalkAction::kStop;
    if (record_->progress != nullptr) record_->progress->CountWalked(1);
    // An item whose path can't be written into a reply is never removed:
    // the reply couldn't say so. If selected, it is only counted.
    if (inside_unnameable || !IsBusString(entry.name)) {
      CountUnnameable(folder_path, entry, inside_unnameable);
      continue;
    }
    std::string_view undecided;
    if (!plan_.Selects(entry.name, &undecided)) {
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
  // A stop may have cut the last entry's match short.
  if (record_->StopHere()) return WalkAction::kStop;
  return WalkAction::kGoOn;
}

WalkAction RemovalSweep::FinishFolder(int folder_fd,
                                      std::string_view folder_path) {
  std::sort(files_.begin(), files_.end());
  WalkAction action = WalkAction::kGoOn;
  if (queue_) {
    // The queue checks the folder against the volume's bounds as it
    // removes; what it found so far is known here.
    RecordDone(/*all=*/false);
    if (InMovedAway(folder_path)) action = WalkAction::kSkipContents;
  }
  std::vector<std::string> names;
  for (auto& [inode, name] : files_) {
    if (action != WalkAction::kGoOn) break;
    if (record_->StopHere()) {
      action = WalkAction::kStop;
    } else if (queue_) {
      names.push_back(std::move(name));
    } else if (!StillInside(folder_fd, folder_path)) {
      action = WalkAction::kSkipContents;
    } else {
      Remove(folder_fd, folder_path, name, /*folder=*/false);
    }
  }
  files_.clear();
  if (!names.empty()) Queue(folder_fd, folder_path, std::move(names));
  return action;
}

WalkAction RemovalSweep::EnterFolder(std::string_view folder_path,
                                     std::string_view name, bool marked) {
  if (record_->StopHere()) return WalkAction::kStop;
  // Inside a folder found moved out of the volume, nothing more is done.
  if (InMovedAway(folder_path)) return WalkAction::kSkipContents;
  if (marked && remover_ == nullptr) {
    walking_selected_.push_back({ChildPath(folder_path, name), std::nullopt});
  }
  if (!InUnnameable(folder_path) && !IsBusString(name)) {
    // Walked only to count what is selected inside it; in a selected
    // folder a preview walks, it goes with that folder.
    if (!walking_selected_.empty()) return WalkAction::kSkipContents;
    unnameable_root_ = ChildPath(folder_path, name);
    nearest_nameable_ = folder_path;
  }
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
  // A folder goes here, once what is queued is done: what it takes is
  // counted into the progress as it goes, and a stop asked for meanwhile
  // cuts it short.
  RecordDone(/*all=*/true);
  if (InMovedAway(folder_path)) return WalkAction::kSkipContents;
  Remove(parent_fd, folder_path, std::string(name), /*folder=*/true);
  return WalkAction::kGoOn;
}

void RemovalSweep::WalkDone() { RecordDone(/*all=*/true); }

bool RemovalSweep::StillInside(int folder_fd, std::string_view folder_path) {
  if (!bounds_ || bounds_->MayRemoveIn(folder_fd, folder_path)) return true;
  record_->MovedAway(folder_path);
  return false;
}

WalkAction RemovalSweep::FolderFailed(std::string_view folder_path, int error) {
  // Its path can't be told; what it holds stays uncounted.
  if (InUnnameable(folder_path)) return WalkAction::kGoOn;
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
  RecordOutcome(path, folder, removal);
}

void RemovalSweep::RecordOutcome(const std::string& path, bool folder,
                                 const Result<void>& removal) {
  if (!removal) {
    unremoved_.insert(path);
  } else if (folder) {
    unremoved_.erase(path);
  }
  record_->Record(path, removal);
}

void RemovalSweep::Queue(int folder_fd, std::string_view folder_path,
                         std::vector<std::string> names) {
  FolderRemovals job;
  // The walk may close its descriptor before the job is done.
  job.folder.reset(fcntl(folder_fd, F_DUPFD_CLOEXEC, 0));
  // Descriptors come lowest first, so a high one means few are left.
  if (job.folder && job.folder.get() >= handed_descriptor_ceiling_) {
    job.folder.reset();
  }
  if (!job.folder) {
    // No descriptor to spare: removed here, once what is queued is done,
    // when the remover is this thread's again.
    RecordDone(/*all=*/true);
    for (const std::string& name : names) {
      Remove(folder_fd, folder_path, name, /*folder=*/false);
    }
    return;
  }
  job.folder_path = folder_path;
  pending_names_ += names.size();
  job.names = std::move(names);
  pending_.push_back(std::move(job));
  // Handed over a few folders at a time: each exchange between the
  // threads may cost both a wake-up.
  if (pending_names_ >= kNamesPerHandOver ||
      pending_.size() >= kFoldersPerHandOver) {
    HandOver();
  }
  RecordDone(/*all=*/false);
}

void RemovalSweep::HandOver() {
  if (pending_.empty()) return;
  queue_->Push(std::move(pending_));
  pending_.clear();
  pending_names_ = 0;
}

bool RemovalSweep::InMovedAway(std::string_view folder_path) const {
  return std::any_of(moved_away_.begin(), moved_away_.end(),
                     [folder_path](const std::string& moved) {
                       return IsWithin(folder_path, moved);
                     });
}

void RemovalSweep::RecordDone(bool all) {
  if (!queue_) return;
  if (all) HandOver();
  for (const FolderRemovals& job : queue_->TakeDone(all)) {
    std::size_t next_taken = 0;
    for (std::size_t i = 0; i < job.outcomes.size(); ++i) {
      removing_ = ChildPath(job.folder_path, job.names[i]);
      // What a folder's removal took is told before the folder itself.
      for (; next_taken < job.taken.size() && job.taken[next_taken].index == i;
           ++next_taken) {
        ItemRemoved(job.taken[next_taken].folder_path,
                    job.taken[next_taken].name);
      }
      RecordOutcome(removing_, /*folder=*/false, job.outcomes[i]);
    }
    if (job.moved_away) {
      record_->MovedAway(job.folder_path);
      moved_away_.push_back(job.folder_path);
    }
  }
}

void RemovalSweep::ItemRemoved(std::string_view folder_path,
                               std::string_view name) {
  // The full path is made only for a name that is selected: inside a deep
  // folder, paths are long.
  if (!IsBusString(name) || !plan_.Selects(name)) return;
  std::string folder = ChildPath(removing_, folder_path);
  if (folder_path.empty()) folder.pop_back();
  if (!IsBusString(folder)) return;
  record_->Removed(ChildPath(folder, name));
}

}  // namespace quillfen
