#include "service-bus/running_removals.h"

#include <vector>

namespace quillfen {

void RunningRemovals::Add(Removal& removal) {
  MutexLock lock(running_mutex_);
  running_.push_back(&removal);
  if (stopping_all_) removal.progress.RequestStop();
}

void RunningRemovals::Finish(Removal& removal) {
  MutexLock signal_lock(signal_mutex_);
  {
    MutexLock lock(running_mutex_);
    running_.remove(&removal);
  }
  if (removal.token.empty()) return;
  removal.sent = removal.progress.counts();
  emit_({removal.token, removal.sent, /*finished=*/true});
}

std::uint32_t RunningRemovals::Stop(const std::string& token) {
  std::uint32_t stopped = 0;
  if (token.empty()) return stopped;
  MutexLock lock(running_mutex_);
  for (Removal* removal : running_) {
    if (removal->token == token && removal->progress.RequestStop()) {
      ++stopped;
    }
  }
  return stopped;
}

void RunningRemovals::StopAll() {
  MutexLock lock(running_mutex_);
  stopping_all_ = true;
  for (Removal* removal : running_) removal->progress.RequestStop();
}

void RunningRemovals::ReportDue() {
  using Clock = std::chrono::steady_clock;
  MutexLock signal_lock(signal_mutex_);
  std::vector<ProgressReport> due;
  Clock::time_point now = Clock::now();
  {
    MutexLock lock(running_mutex_);
    for (Removal* removal : running_) {
      if (removal->token.empty()) continue;
      if (now - removal->sent_at < kProgressInterval) continue;
      RemovalProgress::Counts counts = removal->progress.counts();
      if (counts == removal->sent) continue;
      removal->sent = counts;
      removal->sent_at = now;
      due.push_back({removal->token, counts, /*finished=*/false});
    }
  }
  for (const ProgressReport& report : due) emit_(report);
}

}  // namespace quillfen
