// RemovalRecord: what one request removed and what failed, in the reply's
// terms: the removed items' full paths beneath the volume's one spelling,
// the reply's words for every failure under the item's path, whether a
// failure raises "showReadMe", and whether a stop cut the work short. The
// sweep and the service write into it as the work goes, counting each
// entry into the request's progress; the reply is made from it at the end.
//
// A record belongs to the one thread that carries the request out; only
// the progress it counts into is shared with others.
#ifndef QUILLFEN_REMOVAL_ENGINE_REMOVAL_RECORD_H_
#define QUILLFEN_REMOVAL_ENGINE_REMOVAL_RECORD_H_

#include <cstddef>
#include <cstdint>
#include <functional>
#include <map>
#include <string>
#include <string_view>
#include <utility>

#include "base/result.h"
#include "protocol/removal_progress.h"
#include "protocol/value.h"
#include "removal-engine/path_index.h"

namespace quillfen {

struct RemovalRecord {
  explicit RemovalRecord(std::string volume_spelling)
      : volume(std::move(volume_spelling)) {}
  void Removed(std::string_view relative_path);
  // Removed, or failed as |removal| says; a removal a stop cut short
  // (ECANCELED) is no failure of its own: the stop's entry tells of it,
  // and the item's own entry only says how much of it went, if anything.
  void Record(std::string_view relative_path, const Result<void>& removal);
  // |failure| as the remover gave it: errno and the reply's words.
  void Failed(std::string_view relative_path, const Error& failure);
  // The item could not be matched against the wildcard |entry| in time:
  // it stays, and the reply says so.
  void Undecided(std::string_view relative_path, std::string_view name,
                 std::string_view entry);
  // The folder at |relative_path| could not be searched for |error|.
  void WalkFailed(std::string_view relative_path, int error);
  // The folder at |relative_path| was found moved out of the volume:
  // nothing more goes from it.
  void MovedAway(std::string_view relative_path);
  // A selected item in the folder at |folder_path| (or inside a folder
  // there whose name can't be carried) was left, because its path can't
  // be carried in the reply.
  void Unnameable(std::string_view folder_path);
  // Writes what is said once the work is over: how many unnameable items
  // each folder kept, under that folder's path (the volume's own under
  // |volume_path|, as the request gave it), and whether a stop cut the
  // work short, under |volume_path|.
  void Finish(const std::string& volume_path);
  // Whether the work ends here because a stop was asked for; once it has,
  // the removal is |cut_short|. A stop that comes when nothing is left to
  // do cuts nothing short, and the reply says nothing of it.
  bool StopHere() {
    if (progress == nullptr || !progress->stop_requested()) return false;
    cut_short = true;
    return true;
  }
  // Whether |relative_path| is among the removed. The first call indexes
  // what was removed until then, and each later one what was removed
  // since: "removed" only grows until the reply takes it.
  bool HasRemoved(std::string_view relative_path);

  std::string volume;  // The volume's spelling, for full paths.
  // Counted into as the record grows; may be null.
  RemovalProgress* progress = nullptr;
  Array removed;
  Dictionary errors;
  bool show_read_me = false;
  bool cut_short = false;
  // Whether some selected folder lost part of its items only: then more
  // is gone than the removed paths list.
  bool left_in_part = false;
  // Unnameable items left, by the path of the folder they are counted in.
  std::map<std::string, std::uint64_t, std::less<>> unnameable;

  // For HasRemoved(): the first |indexed| of "removed", by number.
  PathIndex removed_index;
  std::size_t indexed = 0;
};

}  // namespace quillfen

#endif  // QUILLFEN_REMOVAL_ENGINE_REMOVAL_RECORD_H_
