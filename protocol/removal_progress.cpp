#include "protocol/removal_progress.h"

#include <utility>

namespace quillfen {

RemovalProgress::Counts RemovalProgress::counts() const {
  return Counts{walked_.load(std::memory_order_relaxed),
                removed_.load(std::memory_order_relaxed),
                failed_.load(std::memory_order_relaxed)};
}

bool RemovalProgress::RequestStop() {
  std::lock_guard lock(mutex_);
  if (stop_.exchange(true)) return false;
  if (hook_) hook_();
  return true;
}

void RemovalProgress::SetStopHook(std::function<void()> hook) {
  std::lock_guard lock(mutex_);
  hook_ = std::move(hook);
  if (hook_ && stop_.load()) hook_();
}

}  // namespace quillfen
