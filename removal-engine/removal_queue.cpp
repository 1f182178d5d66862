#include "removal-engine/removal_queue.h"

#include <system_error>
#include <utility>

namespace quillfen {
namespace {

// Keeps what a folder's removal takes, for the asking thread to report.
class TakenList : public RemovalObserver {
 public:
  TakenList(FolderRemovals& job, std::size_t index,
            const RemovalProgress* progress)
      : job_(job), index_(index), progress_(progress) {}

  void ItemRemoved(std::string_view folder_path,
                   std::string_view name) override {
    job_.taken.push_back({index_, std::string(folder_path), std::string(name)});
  }
  bool StopRequested() override {
    return progress_ != nullptr && progress_->stop_requested();
  }

 private:
  FolderRemovals& job_;
  std::size_t index_;
  const RemovalProgress* progress_;
};

}  // namespace

bool IsWithin(std::string_view path, std::string_view folder) {
  return folder.empty() ||
         (path.starts_with(folder) &&
          (path.size() == folder.size() || path[folder.size()] == '/'));
}

RemovalQueue::RemovalQueue(ItemRemover& remover,
                           const RemovalProgress* progress)
    : remover_(remover), progress_(progress), bounds_(remover.volume_fd()) {}

RemovalQueue::~RemovalQueue() {
  if (!worker_.joinable()) return;
  {
    std::lock_guard lock(mutex_);
    closing_ = true;
  }
  changed_.notify_all();
  worker_.join();
}

void RemovalQueue::CarryOut(FolderRemovals& job) {
  for (const std::string& moved : moved_away_) {
    if (IsWithin(job.folder_path, moved)) {
      job.folder.reset();
      return;
    }
  }
  job.outcomes.reserve(job.names.size());
  for (std::size_t i = 0; i < job.names.size(); ++i) {
    if (!bounds_.MayRemoveIn(job.folder.get(), job.folder_path)) {
      job.moved_away = true;
      moved_away_.push_back(job.folder_path);
      break;
    }
    TakenList taken(job, i, progress_);
    job.outcomes.push_back(remover_.RemoveEntry(
        job.folder.get(), job.folder_path, job.names[i], &taken));
  }
  job.folder.reset();
}

void RemovalQueue::Push(std::vector<FolderRemovals> jobs) {
  // The worker starts with the first job: a volume with nothing to remove
  // costs no thread.
  if (!worker_.joinable() && !inline_) {
    try {
      worker_ = std::thread([this] { Work(); });
    } catch (const std::system_error&) {
      inline_ = true;  // No thread to spare: each job is carried out here.
    }
  }
  if (inline_) {
    for (FolderRemovals& job : jobs) {
      CarryOut(job);
      done_.push_back(std::move(job));
    }
    return;
  }
  std::unique_lock lock(mutex_);
  changed_.wait(lock, [this] { return waiting_.size() < kMostWaiting; });
  for (FolderRemovals& job : jobs) waiting_.push_back(std::move(job));
  lock.unlock();
  changed_.notify_all();
}

std::vector<FolderRemovals> RemovalQueue::TakeDone(bool all) {
  std::unique_lock lock(mutex_);
  if (all) {
    changed_.wait(lock, [this] { return waiting_.empty() && !busy_; });
  }
  std::vector<FolderRemovals> done = std::move(done_);
  done_.clear();
  return done;
}

void RemovalQueue::Work() {
  std::unique_lock lock(mutex_);
  for (;;) {
    changed_.wait(lock, [this] { return closing_ || !waiting_.empty(); });
    if (waiting_.empty()) return;
    // All that waits is taken at once: one exchange for many jobs.
    std::deque<FolderRemovals> jobs = std::move(waiting_);
    waiting_.clear();
    busy_ = true;
    lock.unlock();
    changed_.notify_all();
    for (FolderRemovals& job : jobs) CarryOut(job);
    lock.lock();
    for (FolderRemovals& job : jobs) done_.push_back(std::move(job));
    busy_ = false;
    changed_.notify_all();
  }
}

}  // namespace quillfen
