#include "removal-engine/removal_record.h"

#include <cerrno>
#include <cstdint>

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

}  // namespace quillfen
