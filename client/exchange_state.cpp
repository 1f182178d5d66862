#include "client/exchange_state.h"

#include <sys/wait.h>

#include <algorithm>
#include <cstdio>
#include <cstring>
#include <utility>

namespace quillfen {

ExchangeState::ExchangeState(std::optional<std::chrono::milliseconds> timeout)
    : timeout_(timeout) {}

void ExchangeState::ToolStarted(TimePoint now) {
  start_ = now;
  awaiting_service_since_ = now;
}

void ExchangeState::NotificationArrived() { notified_ = true; }

void ExchangeState::AnothersReplyRead() {
  notified_ = false;
  done_ = false;
  anothers_reply_read_ = true;
}

void ExchangeState::ToolExited(int status, TimePoint now) {
  if (tool_ended_) return;
  tool_ended_ = now;
  tool_status_ = status;
}

void ExchangeState::ServiceOwnerAppeared(const std::string& owner) {
  instances_.insert(owner);
  service_seen_ = true;
}

void ExchangeState::ServiceOwnerVanished(const std::string& name) {
  instances_.erase(name);
}

void ExchangeState::ProgressReported(const std::string& sender,
                                     const RemovalProgress::Counts& counts) {
  if (instances_.contains(sender)) counts_ = counts;
}

void ExchangeState::Interrupted() { ++interrupts_; }

ExchangeState::Step ExchangeState::InterruptedAwaitingTurn() {
  ++interrupts_;
  Step step = GiveUp(
      "interrupted while waiting for another removal's exchange to end; "
      "nothing was asked of the removal service");
  step.withdraw_request = false;
  return step;
}

void ExchangeState::StopAnswered(std::uint32_t stopped) {
  stop_unanswered_ = false;
  if (stopped > 0) stop_confirmed_ = true;
}

void ExchangeState::StopUnanswered(TimePoint now) {
  stop_unanswered_ = true;
  next_stop_ask_ = now + kStopAnswerLimit;
}

void ExchangeState::ToolActivitySampled(const ToolActivity& activity) {
  // A tool that has its reply converts and stores it without a pause, then
  // quits, even when the service has left meanwhile; one whose call will
  // never be answered sits idle for good.
  tool_busy_ = activity.working ||
               activity.cpu_ticks != last_activity_.cpu_ticks ||
               activity.domain_locked;
  last_activity_ = activity;
}

ExchangeState::Step ExchangeState::BusFailed(const std::string& what) {
  Step step = GiveUp("the bus failed while waiting for the reply: " + what);
  step.withdraw_request = false;
  return step;
}

bool ExchangeState::WantsToolActivity() const {
  return !service_seen_ || instances_.empty();
}

ExchangeState::Step ExchangeState::Next(TimePoint now) {
  if (!start_) start_ = now;
  if (notified_) {
    done_ = true;
    Step step;
    step.kind = Step::Kind::kReadReply;
    step.elapsed = Elapsed(now);
    return step;
  }
  if (tool_ended_ && now - *tool_ended_ > kNotificationGrace) {
    return GiveUpWaiting("the removal tool ended without replying (" +
                         DescribeExit(tool_status_) + ")");
  }
  // The service having left is no failure while the tool still works: it
  // may be storing a reply the service gave before leaving.
  bool tool_busy = std::exchange(tool_busy_, false);
  if (!instances_.empty() || tool_busy) {
    service_gone_since_.reset();
  } else if (service_seen_ && !service_gone_since_) {
    service_gone_since_ = now;
  }
  // Nor is a service not yet seen while the tool still works: a large
  // request takes it a while to read and check before it calls.
  if (!awaiting_service_since_ || (tool_busy && !service_seen_)) {
    awaiting_service_since_ = now;
  }
  if (!service_seen_ && now - *awaiting_service_since_ > kServiceStartLimit) {
    return GiveUpWaiting("the removal service did not start");
  }
  if (service_gone_since_ && now - *service_gone_since_ > kServiceGoneGrace) {
    return GiveUpWaiting("the removal service stopped before it replied");
  }
  if (timeout_ && !timed_out_at_ && Elapsed(now) > *timeout_) {
    timed_out_at_ = now;
  }
  if (timed_out_at_ && !stop_confirmed_ &&
      now - *timed_out_at_ > kTimeoutStopLimit) {
    return GiveUpAfterTimeout();
  }
  if (interrupts_ > 1) return GiveUp(AbandonedMessage());
  const bool stop_wanted = interrupts_ > 0 || timed_out_at_;
  Step step;
  // Only an instance on the bus is asked: asking the name would start the
  // service anew.
  if (stop_wanted && !stop_confirmed_ && !instances_.empty() &&
      (!next_stop_ask_ || now >= *next_stop_ask_)) {
    next_stop_ask_ = now + kTick;
    step.kind = Step::Kind::kAskServiceToStop;
    step.until = now + kStopAnswerLimit;
    step.elapsed = Elapsed(now);
    return step;
  }
  step.counts = counts_;
  step.stopping = stop_wanted;
  step.kind = Step::Kind::kWait;
  step.until = std::min(now + kTick, NearestDeadline());
  step.elapsed = Elapsed(now);
  return step;
}

ExchangeState::TimePoint ExchangeState::NearestDeadline() const {
  TimePoint nearest = TimePoint::max();
  if (tool_ended_) {
    nearest = std::min(nearest, *tool_ended_ + kNotificationGrace);
  }
  if (!service_seen_ && awaiting_service_since_) {
    nearest = std::min(nearest, *awaiting_service_since_ + kServiceStartLimit);
  }
  if (service_gone_since_) {
    nearest = std::min(nearest, *service_gone_since_ + kServiceGoneGrace);
  }
  if (timed_out_at_) {
    if (!stop_confirmed_) {
      nearest = std::min(nearest, *timed_out_at_ + kTimeoutStopLimit);
    }
  } else if (timeout_) {
    nearest = std::min(nearest, *start_ + *timeout_);
  }
  return nearest;
}

ExchangeState::Step ExchangeState::GiveUpWaiting(std::string message) {
  // Another program's reply in the shared domain says more than any sign
  // of the tool or the service: its request may have replaced this one
  // before the tool took it, leaving the tool with nothing to do.
  if (anothers_reply_read_) {
    message =
        "another program used the shared domain meanwhile: the reply "
        "stored there is another removal's, and this one's isn't there";
  }
  return GiveUp(std::move(message));
}

ExchangeState::Step ExchangeState::GiveUp(std::string message) {
  gave_up_ = true;
  Step step;
  step.kind = Step::Kind::kGiveUp;
  step.message = std::move(message);
  step.withdraw_request = true;
  return step;
}

std::chrono::milliseconds ExchangeState::Elapsed(TimePoint now) const {
  return std::chrono::duration_cast<std::chrono::milliseconds>(now - *start_);
}

ExchangeState::Step ExchangeState::GiveUpAfterTimeout() {
  char seconds[32];
  std::snprintf(seconds, sizeof seconds, "%.1f",
                static_cast<double>(timeout_->count()) / 1000);
  std::string message = std::string("no reply within ") + seconds + " s";
  if (!service_seen_) {
    // The tool goes with the give-up, before any removal began.
    return GiveUpWaiting(message +
                         ", and the removal service never started: nothing "
                         "was removed");
  }
  if (stop_unanswered_) {
    return GiveUp(message +
                  ", and the removal service did not answer the request to "
                  "stop: the removal may still be going on in the service");
  }
  return GiveUp(message +
                ", and the removal service had no running removal of this "
                "request to stop: it may have finished, but no reply was "
                "read");
}

std::string ExchangeState::AbandonedMessage() const {
  if (stop_confirmed_) {
    return "interrupted again before the stopped removal's reply was read: "
           "the removal service stopped it, but what it removed before "
           "stopping is not known here";
  }
  if (stop_unanswered_) {
    return "interrupted again, and the removal service did not answer the "
           "request to stop: the removal may still be going on in the "
           "service, and no reply was read";
  }
  return "interrupted before the removal service replied: the removal may "
         "still be going on in the service, and no reply was read";
}

std::string DescribeExit(int status) {
  if (WIFEXITED(status)) {
    return "exit status " + std::to_string(WEXITSTATUS(status));
  }
  if (WIFSIGNALED(status)) {
    return std::string("signal ") + strsignal(WTERMSIG(status));
  }
  return "status " + std::to_string(status);
}

}  // namespace quillfen
