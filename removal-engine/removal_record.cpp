#include "removal-engine/removal_record.h"

#include <cerrno>
#include <cstdint>

#include "protocol/removal_reply.h"
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
    if (!removal.error().message.empty()) {
      errors.insert_or_assign(JoinVolumePath(volume, relative_path),
                              Value(removal.error().message));
    }
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

void RemovalRecord::Unnameable(std::string_view folder_path) {
  auto counted = unnameable.find(folder_path);
  if (counted == unnameable.end()) {
    counted = unnameable.emplace(std::string(folder_path), 0).first;
  }
  ++counted->second;
  if (progress != nullptr) progress->CountFailed();
}

void RemovalRecord::Finish(const std::string& volume_path) {
  // Said after what an entry already holds: a folder may both fail and
  // keep unnameable items.
  auto say = [this](std::string path, std::string words) {
    auto [entry, added] = errors.try_emplace(std::move(path), Value(words));
    if (added) return;
    const std::string* before = entry->second.AsString();
    entry->second = Value((before != nullptr ? *before + " " : "") + words);
  };
  for (const auto& [folder, count] : unnameable) {
    say(folder.empty() ? volume_path : JoinVolumePath(volume, folder),
        UnnameableItemsDescription(count));
  }
  if (!cut_short) return;
  // The one word the caller needs: the removal is incomplete, and what
  // "pathArray" lists is all that went, but for the folders that say how
  // much of them went.
  say(volume_path,
      std::string(kRemovalStoppedWords) +
          (left_in_part
               ? " the items listed as removed are gone, and so are the "
                 "items counted as removed in folders that couldn’t be "
                 "removed whole."
               : " only the items listed as removed are gone."));
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
