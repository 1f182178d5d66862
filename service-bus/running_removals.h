// RunningRemovals: the removals a service is carrying out, for their
// progress signals and for StopRemoval. Each removal's worker thread adds
// it before it starts and finishes it after its reply; the event loop asks
// for the signals that are due, at most ten a second per removal; a stop
// reaches the running removal whose request carries its token. No progress
// signal ever follows a removal's last one.
//
// Every method may be called from any thread. Lock order: signal_mutex_
// before running_mutex_; neither is taken while the bus library's lock is
// held by the same thread, except where emitting a signal takes it.
#ifndef QUILLFEN_SERVICE_BUS_RUNNING_REMOVALS_H_
#define QUILLFEN_SERVICE_BUS_RUNNING_REMOVALS_H_

#include <chrono>
#include <cstdint>
#include <functional>
#include <list>
#include <string>

#include "base/mutex.h"
#include "protocol/removal_progress.h"
#include "service-bus/progress_signal.h"

namespace quillfen {

class RunningRemovals {
 public:
  // One removal being carried out.
  struct Removal {
    // The request's exchange token; empty: none, and then neither
    // progress signals nor stops from outside.
    std::string token;
    RemovalProgress progress;
    RemovalProgress::Counts sent;
    std::chrono::steady_clock::time_point sent_at;
  };

  // The least time between two progress signals of one removal.
  static constexpr std::chrono::milliseconds kProgressInterval{100};

  // |emit| sends one report; it is called with no lock of this held but
  // signal_mutex_.
  explicit RunningRemovals(std::function<void(const ProgressReport&)> emit)
      : emit_(std::move(emit)) {}

  // |removal| runs from now until Finish(); it must live that long.
  void Add(Removal& removal) QUILLFEN_EXCLUDES(running_mutex_);
  // |removal| has replied: its last counts go out, marked finished.
  void Finish(Removal& removal)
      QUILLFEN_EXCLUDES(signal_mutex_, running_mutex_);
  // Asks the running removal of |token| to stop; answers how many did.
  std::uint32_t Stop(const std::string& token)
      QUILLFEN_EXCLUDES(running_mutex_);
  // Asks every running removal to stop, and every one added from now on
  // as it starts: the service is ending.
  void StopAll() QUILLFEN_EXCLUDES(running_mutex_);
  // Signals the counts of every removal due for a report.
  void ReportDue() QUILLFEN_EXCLUDES(signal_mutex_, running_mutex_);

 private:
  const std::function<void(const ProgressReport&)> emit_;
  // Held while a report goes out, so that none follows a removal's last.
  Mutex signal_mutex_ QUILLFEN_ACQUIRED_BEFORE(running_mutex_);
  Mutex running_mutex_;
  std::list<Removal*> running_ QUILLFEN_GUARDED_BY(running_mutex_);
  bool stopping_all_ QUILLFEN_GUARDED_BY(running_mutex_) = false;
};

}  // namespace quillfen

#endif  // QUILLFEN_SERVICE_BUS_RUNNING_REMOVALS_H_
