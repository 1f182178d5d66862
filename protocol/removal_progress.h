// RemovalProgress: one running removal's counts and its stop request, shared
// between the thread that carries the removal out and those that report on
// it or stop it. The counts are atomics the removal bumps as it goes, cheap
// enough for every entry; a stop is a flag the removal looks at before each
// entry, plus an optional hook that cuts short whatever the removal waits on
// meanwhile (a child process). Every member is safe from any thread.
#ifndef QUILLFEN_PROTOCOL_REMOVAL_PROGRESS_H_
#define QUILLFEN_PROTOCOL_REMOVAL_PROGRESS_H_

#include <atomic>
#include <cstdint>
#include <functional>
#include <mutex>

namespace quillfen {

class RemovalProgress {
 public:
  struct Counts {
    std::uint64_t walked = 0;
    std::uint64_t removed = 0;
    std::uint64_t failed = 0;
    bool operator==(const Counts&) const = default;
  };

  void CountWalked(std::uint64_t n) {
    walked_.fetch_add(n, std::memory_order_relaxed);
  }
  void CountRemoved() { removed_.fetch_add(1, std::memory_order_relaxed); }
  void CountFailed() { failed_.fetch_add(1, std::memory_order_relaxed); }
  Counts counts() const;

  bool stop_requested() const { return stop_.load(std::memory_order_relaxed); }
  // Asks the removal to stop; runs the hook, if any. Answers false when a
  // stop had already been asked for.
  bool RequestStop();

  // Sets the hook a stop runs (empty: none). When a stop was asked for
  // already, runs the new hook at once. A hook must not call back in.
  void SetStopHook(std::function<void()> hook);

 private:
  std::atomic<std::uint64_t> walked_ = 0;
  std::atomic<std::uint64_t> removed_ = 0;
  std::atomic<std::uint64_t> failed_ = 0;
  std::atomic<bool> stop_ = false;
  std::mutex mutex_;  // Guards hook_ and orders it with stop_.
  std::function<void()> hook_;
};

}  // namespace quillfen

#endif  // QUILLFEN_PROTOCOL_REMOVAL_PROGRESS_H_
