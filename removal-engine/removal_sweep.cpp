#include "removal-engine/removal_sweep.h"

#include <algorithm>

#include "removal-engine/file_error.h"
#include "removal-engine/path_names.h"

namespace quillfen {

void RemovalRecord::Removed(std::string_view relative_path) {
  removed.emplace_back(JoinVolumePath(volume, relative_path));
}

void RemovalRecord::Failed(std::string_view relative_path,
                           const RemovalFailure& failure) {
  errors.insert_or_assign(
      JoinVolumePath(volume, relative_path),
      Value(RemovalErrorDescription(failure.item_name, failure.error)));
  if (IsNoWritePermission(failure.error)) show_read_me = true;
}

void RemovalRecord::Undecided(std::string_view relative_path,
                              std::string_view name, std::string_view entry) {
  errors.insert_or_assign(
      JoinVolumePath(volume, relative_path),
      Value("“" + std::string(name) + "” couldn’t be matched against “" +
            std::string(entry) + "” in time, so it was left in place."));
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

void RemovalSweep::VisitEntries(int /*folder_fd*/, std::string_view folder_path,
                                std::span<const WalkEntry> entries) {
  for (const WalkEntry& entry : entries) {
    std::string_view undecided;
    if (!Selects(entry.name, &undecided)) {
      if (!undecided.empty()) {
        record_->Undecided(ChildPath(folder_path, entry.name), entry.name,
                           undecided);
      }
      continue;
    }
    std::string path = ChildPath(folder_path, entry.name);
    if (entry.is_directory) {
      selected_folders_.insert(path);
    } else {
      files_.emplace_back(entry.inode, entry.name);
    }
    selected_.insert(std::move(path));
  }
}

void RemovalSweep::FinishFolder(int folder_fd, std::string_view folder_path) {
  std::sort(files_.begin(), files_.end());
  for (const auto& [inode, name] : files_) Remove(folder_fd, folder_path, name);
  files_.clear();
}

void RemovalSweep::LeaveFolder(int parent_fd, std::string_view folder_path,
                               std::string_view name) {
  auto it = selected_folders_.find(ChildPath(folder_path, name));
  if (it == selected_folders_.end()) return;
  selected_folders_.erase(it);
  Remove(parent_fd, folder_path, std::string(name));
}

void RemovalSweep::Remove(int folder_fd, std::string_view folder_path,
                          const std::string& name) {
  std::string path = ChildPath(folder_path, name);
  std::optional<RemovalFailure> failure;
  if (remover_ != nullptr) failure = remover_->RemoveEntry(folder_fd, name);
  if (failure) {
    record_->Failed(path, *failure);
  } else {
    record_->Removed(path);
  }
}

}  // namespace quillfen
