// RemovalQueue: a sweep's removals, carried out on a thread of their own
// while the walk goes on, one after another in the order they were asked
// for. Walking reads folders and removing writes them; with one thread
// for each, a second core (the one the "._" listing leaves idle once its
// find is done) or a file system that answers several calls at a time
// shortens the whole.
//
// A job is the removal of some files of one folder, by a descriptor of
// that folder the job holds, so the walk may close its own. What a job did
// comes back whole, in order, to the thread that asked for it: the outcome
// of each removal and every item one took with it (a file that was
// replaced by a folder since it was seen), so that the asking thread
// writes the reply exactly as if it had removed them itself. The asker
// checks for a stop before it asks; every job pushed is carried out, but
// for the check of the folder against the volume's bounds, which the
// worker makes as it removes (VolumeBounds, at most a batch between two
// checks): a folder found moved out of the volume loses nothing more, and
// nothing inside it is removed by a later job.
//
// Push, TakeDone and the destructor belong to the one thread that walks;
// the remover belongs to the worker from the first Push until TakeDone
// has taken every job (or the queue is gone). The worker starts with the
// first job; where no thread can be made, each job is carried out as it is
// pushed.
#ifndef QUILLFEN_REMOVAL_ENGINE_REMOVAL_QUEUE_H_
#define QUILLFEN_REMOVAL_ENGINE_REMOVAL_QUEUE_H_

#include <condition_variable>
#include <cstddef>
#include <deque>
#include <mutex>
#include <string>
#include <string_view>
#include <thread>
#include <vector>

#include "base/result.h"
#include "platform/unique_fd.h"
#include "protocol/removal_progress.h"
#include "removal-engine/item_remover.h"
#include "removal-engine/volume_bounds.h"

namespace quillfen {

struct FolderRemovals {
  // An item a folder's removal took: the |index|th name's, at |folder_path|
  // from that folder (empty for the folder itself).
  struct Taken {
    std::size_t index;
    std::string folder_path;
    std::string name;
  };

  UniqueFd folder;  // The folder the names are entries of.
  std::string folder_path;
  std::vector<std::string> names;  // Seen as files, removed in this order.
  // Filled in by the worker: one outcome for each name, in order, and what
  // a removal took with it (a name that had become a folder since).
  std::vector<Result<void>> outcomes;
  std::vector<Taken> taken;
  // The folder was found moved out of the volume before all went.
  // A folder lying in one found moved away before has no outcomes:
  // nothing was tried.
  bool moved_away = false;
};

// Whether the path |path| is the folder at |folder| or lies in it (both
// from the volume; "" is the volume itself).
bool IsWithin(std::string_view path, std::string_view folder);

class RemovalQueue {
 public:
  // |progress| (may be null) is asked for a stop inside a folder a
  // removal meets.
  RemovalQueue(ItemRemover& remover, const RemovalProgress* progress);
  ~RemovalQueue();
  RemovalQueue(const RemovalQueue&) = delete;
  RemovalQueue& operator=(const RemovalQueue&) = delete;

  // Hands over |jobs|, to be carried out in order after those before;
  // waits while many are still waiting, which keeps the descriptors held
  // few. Jobs handed over together cost the two threads one exchange.
  void Push(std::vector<FolderRemovals> jobs);
  // The jobs carried out since the last call, in the order they were
  // pushed; with |all|, waits until every job pushed is done.
  std::vector<FolderRemovals> TakeDone(bool all);

 private:
  static constexpr std::size_t kMostWaiting = 16;

  void CarryOut(FolderRemovals& job);
  void Work();

  ItemRemover& remover_;
  const RemovalProgress* progress_;
  // The worker's: its checks, and the folders it found moved away.
  VolumeBounds bounds_;
  std::vector<std::string> moved_away_;
  std::mutex mutex_;
  std::condition_variable changed_;
  std::deque<FolderRemovals> waiting_;
  std::vector<FolderRemovals> done_;
  bool busy_ = false;  // The worker holds a job.
  bool closing_ = false;
  bool inline_ = false;  // No worker could be started.
  std::thread worker_;
};

}  // namespace quillfen

#endif  // QUILLFEN_REMOVAL_ENGINE_REMOVAL_QUEUE_H_
