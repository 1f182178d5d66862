// RemovalJob: one removal begun with the jobs interface's Start, and the
// bus object that follows it (org.quillfen.QuillfenRemovalJob). While the
// removal runs its counts are the properties Walked, Removed and Failed,
// announced by PropertiesChanged at most ten times a second; at its end
// Finished and Reply change, and Completed carries the reply to the job's
// starter alone. Only the starter may stop the job or read its reply: it
// names paths.
//
// Threads: the peer's worker carries the removal out (CarryOut); the
// listener's event-loop thread does everything else, the object's getters
// and Stop included. The reply crosses between them under mutex_, which is
// taken after the bus library's lock, never before it.
#ifndef QUILLFEN_SERVICE_BUS_REMOVAL_JOB_H_
#define QUILLFEN_SERVICE_BUS_REMOVAL_JOB_H_

#include <sdbus-c++/sdbus-c++.h>
#include <systemd/sd-bus.h>

#include <chrono>
#include <memory>
#include <optional>
#include <string>

#include "base/mutex.h"
#include "protocol/quillfen_removal_service_protocol.h"
#include "protocol/value.h"
#include "service-bus/reply_writer.h"
#include "service-bus/running_removals.h"

namespace quillfen {

class RemovalJob {
 public:
  using Clock = std::chrono::steady_clock;

  // How long a finished job's object stays for its starter to read.
  static constexpr std::chrono::seconds kKeptAfterFinish{60};

  // A job at |path| for the peer |starter|, whose request carries |token|
  // (empty: none).
  RemovalJob(std::string path, std::string starter, std::string token);
  RemovalJob(const RemovalJob&) = delete;
  RemovalJob& operator=(const RemovalJob&) = delete;

  const std::string& path() const { return path_; }
  const std::string& starter() const { return starter_; }
  RunningRemovals::Removal& removal() { return removal_; }

  // Exports the object on |bus|, whose sd_bus is |raw_bus|. Throws
  // sdbus::Error.
  void Export(sdbus::IConnection& bus, sd_bus* raw_bus);
  // Takes the object off the bus; a removal still running goes on.
  void Withdraw() { object_.reset(); }

  // Carries |request| out on |object|, counting into removal().progress,
  // and keeps its reply. Called once, by the worker; the next Report()
  // announces the end.
  void CarryOut(QuillfenRemovalServiceProtocol& object,
                const RemovalRequest& request) QUILLFEN_EXCLUDES(mutex_);

  // Announces what changed since the last look: the counts, when a tenth
  // of a second has passed since they last went out; once finished, the
  // end. A signal that can't be sent is dropped.
  void Report(Clock::time_point now) QUILLFEN_EXCLUDES(mutex_);
  // Whether the object has been kept its time after the end.
  bool Expired(Clock::time_point now) const {
    return announced_at_ && now - *announced_at_ >= kKeptAfterFinish;
  }
  // When it will be, if it has ended.
  std::optional<Clock::time_point> ExpiresAt() const {
    if (!announced_at_) return std::nullopt;
    return *announced_at_ + kKeptAfterFinish;
  }

 private:
  void Finish(const RemovalRequest& request, RemovalReply reply)
      QUILLFEN_EXCLUDES(mutex_);
  void OnStop(sdbus::MethodCall call);
  void GetReply(sdbus::PropertyGetReply& reply) QUILLFEN_EXCLUDES(mutex_);
  // Sends Completed to the starter.
  void SendCompleted() QUILLFEN_EXCLUDES(mutex_);
  bool finished() QUILLFEN_EXCLUDES(mutex_);

  const std::string path_;
  const std::string starter_;
  RunningRemovals::Removal removal_;

  // The event-loop thread's own.
  std::unique_ptr<sdbus::IObject> object_;
  sd_bus* raw_bus_ = nullptr;
  RemovalProgress::Counts sent_;
  Clock::time_point sent_at_;
  std::optional<Clock::time_point> announced_at_;

  Mutex mutex_;
  // Set once, when the job finishes; null until then.
  std::shared_ptr<const BusReply> reply_ QUILLFEN_GUARDED_BY(mutex_);
};

}  // namespace quillfen

#endif  // QUILLFEN_SERVICE_BUS_REMOVAL_JOB_H_
