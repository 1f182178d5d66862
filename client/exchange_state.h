// ExchangeState: when the client's exchange waits, reads the reply or gives
// up, as a machine of events and answers with no system calls inside and no
// clock of its own: every time comes in with an event, so a test drives
// each deadline with a clock of its own making.
//
// The exchange feeds it what it sees: the tool's start, the reply
// notification, the tool's exit, instances of the service coming and going
// on the bus, samples of the tool's activity, and time passing (Next). Next
// answers what to do now. The deadlines:
//  - a tool that ended may take kNotificationGrace for its notification;
//  - the service must appear within kServiceStartLimit of the tool's start,
//    or of when the tool was last seen working (reading a large request);
//  - once every instance of the service has gone, with the tool idle, the
//    reply is given up after kServiceGoneGrace (a tool still working may be
//    storing a reply the service gave before it left, however large);
//  - the whole wait may be limited (--timeout): when the limit passes, the
//    removal is stopped as an interrupt stops it, and its reply awaited;
//    one whose stop isn't confirmed within kTimeoutStopLimit is given up.
//
// The service's progress reports, from an instance of it, are kept and
// carried by each kWait. An interrupt makes Next answer kAskServiceToStop,
// again each tick until the service says it stopped a removal (the removal
// may not have begun when the first ask went out), while the wait for the
// reply goes on. Each ask waits for its answer no longer than
// kStopAnswerLimit, and one left unanswered (a suspended service) is
// repeated only after as long again, so that interrupts are read between
// asks; a second interrupt gives up at once, saying what is known of the
// removal. An interrupt while waiting for the exchange's turn gives up
// before anything was asked.
//
// A new event is one more method, a new answer one more Step::Kind. One
// thread.
#ifndef QUILLFEN_CLIENT_EXCHANGE_STATE_H_
#define QUILLFEN_CLIENT_EXCHANGE_STATE_H_

#include <chrono>
#include <optional>
#include <set>
#include <string>

#include "protocol/removal_progress.h"

namespace quillfen {

class ExchangeState {
 public:
  using Clock = std::chrono::steady_clock;
  using TimePoint = Clock::time_point;
  using Duration = Clock::duration;

  static constexpr Duration kNotificationGrace = std::chrono::seconds(1);
  static constexpr Duration kServiceGoneGrace = std::chrono::seconds(2);
  // Activation after an idle stop takes milliseconds; an activation file
  // whose program can't run never gets there.
  static constexpr Duration kServiceStartLimit = std::chrono::seconds(15);
  // The longest wait between two answers: how often the tool is sampled
  // and the progress line redrawn.
  static constexpr Duration kTick = std::chrono::milliseconds(100);
  // The longest a stop request waits for the service's answer: far above
  // a working service's round trip, short for a person waiting.
  static constexpr Duration kStopAnswerLimit = std::chrono::seconds(1);
  // How long after the time limit the service has to confirm the stop:
  // time for an instance still being started to come and be asked. Nobody
  // is there to interrupt a second time.
  static constexpr Duration kTimeoutStopLimit = std::chrono::seconds(3);

  // What the tool is seen doing, from outside (a /proc sample).
  struct ToolActivity {
    unsigned long long cpu_ticks = 0;  // CPU time used so far.
    bool working = false;        // A thread of it runs or waits on the disk.
    bool domain_locked = false;  // The shared domain's lock is held: the
                                 // tool may be storing its reply.
  };

  struct Step {
    enum class Kind {
      kWait,       // Keep waiting for events until |until|.
      kReadReply,  // The notification came: read the stored reply.
      kGiveUp,     // Stop the tool and fail with |message|.
      // Ask the service to stop the removal, tell StopAnswered, and go on
      // waiting.
      kAskServiceToStop,
    };
    Kind kind = Kind::kWait;
    // kWait; kAskServiceToStop: the latest to wait for the answer.
    TimePoint until;
    std::chrono::milliseconds elapsed{0};  // Since the tool's start.
    std::string message;                   // kGiveUp.
    bool withdraw_request = false;         // kGiveUp: take the request back.
    // kWait: the service's last counts, once it has reported any.
    std::optional<RemovalProgress::Counts> counts;
    bool stopping = false;  // An interrupt came: the reply is awaited.
  };

  // |timeout|: the longest the whole wait may take, if limited.
  explicit ExchangeState(
      std::optional<std::chrono::milliseconds> timeout = std::nullopt);

  // Events.
  void ToolStarted(TimePoint now);
  void NotificationArrived();
  // The reply the notification led to was another exchange's: this one's
  // is still awaited, until its tool has ended.
  void AnothersReplyRead();
  // |status| as waitpid gives it.
  void ToolExited(int status, TimePoint now);
  // |owner|: the unique name of an instance of the service.
  void ServiceOwnerAppeared(const std::string& owner);
  // Any name that left the bus; those of instances are struck off.
  void ServiceOwnerVanished(const std::string& name);
  // A progress report from the bus name |sender|; only an instance's
  // counts are kept.
  void ProgressReported(const std::string& sender,
                        const RemovalProgress::Counts& counts);
  // Ctrl-C or a termination request.
  void Interrupted();
  // The same, while waiting for the exchange's turn: give up at once, with
  // nothing asked of anyone and no request to take back.
  Step InterruptedAwaitingTurn();
  // What the service answered to the last kAskServiceToStop: how many
  // removals it stopped.
  void StopAnswered(std::uint32_t stopped);
  // The last kAskServiceToStop got no answer by its |until| (|now|).
  void StopUnanswered(TimePoint now);
  // Only asked for while WantsToolActivity().
  void ToolActivitySampled(const ToolActivity& activity);
  // The bus itself failed: give up at once, leaving the request.
  Step BusFailed(const std::string& what);

  // Time passed: what to do at |now|.
  Step Next(TimePoint now);

  // Whether the next Next() wants a sample of the tool first: only while
  // the service is away, or not yet seen.
  bool WantsToolActivity() const;
  bool interrupted() const { return interrupts_ > 0; }
  // The time limit passed.
  bool timed_out() const { return timed_out_at_.has_value(); }

 private:
  // The earliest time at which a deadline passes, so that none is
  // overslept.
  TimePoint NearestDeadline() const;
  Step GiveUp(std::string message);
  // Gives up on a reply that hasn't come, for |message|'s reason.
  Step GiveUpWaiting(std::string message);
  std::chrono::milliseconds Elapsed(TimePoint now) const;
  // Gives up on a removal whose time limit passed and whose stop wasn't
  // confirmed: what is known of it.
  Step GiveUpAfterTimeout();
  // What a second interrupt leaves the person knowing.
  std::string AbandonedMessage() const;

  std::optional<std::chrono::milliseconds> timeout_;
  std::optional<TimePoint> start_;
  bool notified_ = false;
  bool anothers_reply_read_ = false;
  std::optional<TimePoint> tool_ended_;
  int tool_status_ = 0;
  // Every instance of the service since the exchange began, by unique
  // name, for as long as it is on the bus: one that gave its name back
  // when idle still serves the calls it had, and one that lives only for
  // a moment is still seen to come and go.
  std::set<std::string> instances_;
  bool service_seen_ = false;
  std::optional<TimePoint> service_gone_since_;
  // Since when the service is awaited with the tool idle.
  std::optional<TimePoint> awaiting_service_since_;
  ToolActivity last_activity_;
  bool tool_busy_ = false;  // From the sample taken since the last Next.
  bool done_ = false;
  bool gave_up_ = false;
  std::optional<RemovalProgress::Counts> counts_;
  int interrupts_ = 0;
  bool stop_confirmed_ = false;
  bool stop_unanswered_ = false;  // The last ask got no answer.
  std::optional<TimePoint> next_stop_ask_;
  std::optional<TimePoint> timed_out_at_;
};

// "exit status 3", "signal Killed": how a tool's waitpid status reads.
std::string DescribeExit(int status);

}  // namespace quillfen

#endif  // QUILLFEN_CLIENT_EXCHANGE_STATE_H_
