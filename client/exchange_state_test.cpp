// The exchange's deadlines, driven with a clock of the test's making: no
// bus, no tool, no waiting.
#include "client/exchange_state.h"

#include <gtest/gtest.h>

namespace quillfen {
namespace {

using namespace std::chrono_literals;
using Kind = ExchangeState::Step::Kind;

constexpr char kInstance[] = ":1.42";

class ExchangeStateTest : public ::testing::Test {
 protected:
  // A start far from the clock's epoch, so that nothing is zero by chance.
  const ExchangeState::TimePoint start_ = ExchangeState::TimePoint() + 1h;

  ExchangeState::TimePoint At(ExchangeState::Duration offset) const {
    return start_ + offset;
  }

  // An exchange whose tool has started and whose service is on the bus.
  void StartServed(ExchangeState& state) {
    state.ServiceOwnerAppeared(kInstance);
    state.ToolStarted(start_);
  }

  // |step| gives up with a message holding |words|, taking the request
  // back or not.
  static void ExpectGaveUp(const ExchangeState::Step& step,
                           const std::string& words, bool withdraws) {
    EXPECT_EQ(step.kind, Kind::kGiveUp);
    EXPECT_NE(step.message.find(words), std::string::npos) << step.message;
    EXPECT_EQ(step.withdraw_request, withdraws);
  }

  // Ticks every 100 ms from |from| to |to|, feeding |activity| whenever a
  // sample is asked for; the last answer, or the first that isn't a wait.
  ExchangeState::Step TickUntil(ExchangeState& state,
                                ExchangeState::Duration from,
                                ExchangeState::Duration to,
                                ExchangeState::ToolActivity activity = {},
                                bool cpu_grows = false) {
    ExchangeState::Step step;
    for (auto now = from; now <= to; now += 100ms) {
      if (state.WantsToolActivity()) {
        if (cpu_grows) ++activity.cpu_ticks;
        state.ToolActivitySampled(activity);
      }
      step = state.Next(At(now));
      if (step.kind != Kind::kWait) return step;
    }
    return step;
  }
};

// However long the service works: its instance may have given the
// well-known name back when idle and still owe the tool its reply. A
// notification may follow the tool's exit within the grace, and a reply
// beats every deadline.
TEST_F(ExchangeStateTest,
       WaitsWhileTheServiceWorksAndReadsTheReplyOnceNotified) {
  ExchangeState state;
  StartServed(state);
  state.ServiceOwnerVanished("org.quillfen.QuillfenRemovalService");
  ExchangeState::Step step = TickUntil(state, 0s, 10min);
  EXPECT_EQ(step.kind, Kind::kWait);
  EXPECT_EQ(step.elapsed, 10min);
  EXPECT_FALSE(state.WantsToolActivity());
  state.NotificationArrived();
  EXPECT_EQ(state.Next(At(10min + 50ms)).kind, Kind::kReadReply);

  ExchangeState exited(2s);
  StartServed(exited);
  exited.ToolExited(0, At(1s));
  EXPECT_EQ(exited.Next(At(1s + ExchangeState::kNotificationGrace)).kind,
            Kind::kWait);
  exited.NotificationArrived();
  EXPECT_EQ(exited.Next(At(1h)).kind, Kind::kReadReply);
}

// A tool ended without notifying, and the timeout: the end of each is
// neither overslept nor anticipated. A bus that fails gives up at once and
// leaves the request.
TEST_F(ExchangeStateTest, GivesUpOnASilentToolTheTimeoutOrAFailedBus) {
  ExchangeState state;
  StartServed(state);
  state.ToolExited(3 << 8, At(1s));  // exit(3), as waitpid reports it.
  ExchangeState::Step step = state.Next(At(1s + 950ms));
  ASSERT_EQ(step.kind, Kind::kWait);
  EXPECT_EQ(step.until, At(2s));
  EXPECT_EQ(state.Next(At(2s)).kind, Kind::kWait);
  ExpectGaveUp(state.Next(At(2s + 1ms)), "(exit status 3)", true);

  // The time limit stops the removal as an interrupt does, and the
  // stopped removal's reply is awaited; a stop never confirmed is given up.
  ExchangeState timed(2500ms);
  StartServed(timed);
  step = TickUntil(timed, 0s, 2400ms);
  ASSERT_EQ(step.kind, Kind::kWait);
  EXPECT_EQ(step.until, At(2500ms));
  EXPECT_EQ(timed.Next(At(2500ms)).kind, Kind::kWait);
  EXPECT_EQ(timed.Next(At(2501ms)).kind, Kind::kAskServiceToStop);
  EXPECT_TRUE(timed.timed_out());
  ExchangeState unconfirmed = timed;
  timed.StopAnswered(1);
  step = TickUntil(timed, 2600ms, 1min);
  EXPECT_EQ(step.kind, Kind::kWait);
  EXPECT_TRUE(step.stopping);
  timed.NotificationArrived();
  EXPECT_EQ(timed.Next(At(1min + 1ms)).kind, Kind::kReadReply);
  auto limit = 2501ms + ExchangeState::kTimeoutStopLimit;
  for (auto now = 2600ms; now <= limit; now += 100ms) {
    step = unconfirmed.Next(At(now));
    ASSERT_NE(step.kind, Kind::kGiveUp);
    if (step.kind == Kind::kAskServiceToStop) unconfirmed.StopAnswered(0);
  }
  ExpectGaveUp(unconfirmed.Next(At(limit + 100ms)), "no reply within 2.5 s",
               true);

  ExchangeState bus_failed;
  StartServed(bus_failed);
  ExpectGaveUp(bus_failed.BusFailed("Connection reset"), "Connection reset",
               false);
}

// The service must appear within its limit of the tool's start, or of
// when the tool was last seen working (reading a large request).
TEST_F(ExchangeStateTest, GivesUpOnAServiceThatNeverStartsNotOnALateOne) {
  ExchangeState never;
  never.ToolStarted(start_);
  ExchangeState late = never, reading = never;
  ASSERT_EQ(TickUntil(never, 0s, 15s).kind, Kind::kWait);
  ExpectGaveUp(never.Next(At(15s + 1ms)), "service did not start", true);

  EXPECT_EQ(TickUntil(late, 0s, 14s).kind, Kind::kWait);
  late.ServiceOwnerAppeared(kInstance);
  EXPECT_EQ(TickUntil(late, 14s, 60s).kind, Kind::kWait);

  ASSERT_EQ(TickUntil(reading, 0s, 40s, {}, /*cpu_grows=*/true).kind,
            Kind::kWait);
  ASSERT_EQ(TickUntil(reading, 40s + 100ms, 55s).kind, Kind::kWait);
  ExpectGaveUp(TickUntil(reading, 55s + 100ms, 56s), "service did not start",
               true);
}

// Once every instance has gone, the reply is given up after a grace that
// counts from when the tool went idle: a tool still working may be storing
// a reply the service gave before it left. An instance back within the
// grace serves on.
TEST_F(ExchangeStateTest, GivesUpOnAServiceGoneOnlyWhileTheToolIsIdle) {
  ExchangeState gone;
  StartServed(gone);
  gone.ServiceOwnerVanished(kInstance);
  ASSERT_TRUE(gone.WantsToolActivity());
  ExchangeState back = gone, storing = gone, replaced = gone;
  // Working until 10 s, idle from 10.1 s with the CPU time it had.
  EXPECT_EQ(TickUntil(gone, 0s, 10s, {.working = true}).kind, Kind::kWait);
  EXPECT_EQ(TickUntil(gone, 10100ms, 12100ms).kind, Kind::kWait);
  gone.ToolActivitySampled({});
  ExpectGaveUp(gone.Next(At(12100ms + 1ms)), "stopped before it replied", true);

  EXPECT_EQ(TickUntil(back, 0s, 1900ms).kind, Kind::kWait);
  back.ServiceOwnerAppeared(":1.43");  // Started again for the call.
  EXPECT_EQ(TickUntil(back, 2s, 30s).kind, Kind::kWait);

  // Another program's reply was read meanwhile: its request may have
  // replaced this one before the tool took it, and that is what is said.
  replaced.NotificationArrived();
  ASSERT_EQ(replaced.Next(At(0s)).kind, Kind::kReadReply);
  replaced.AnothersReplyRead();
  ExpectGaveUp(TickUntil(replaced, 100ms, 3s), "another program used", true);

  // Converting a large reply, then waiting on the disk, then storing it
  // under the domain's lock.
  EXPECT_EQ(TickUntil(storing, 0s, 10s, {}, /*cpu_grows=*/true).kind,
            Kind::kWait);
  EXPECT_EQ(
      TickUntil(storing, 10s, 20s, {.cpu_ticks = 7, .working = true}).kind,
      Kind::kWait);
  EXPECT_EQ(
      TickUntil(storing, 20s, 30s, {.cpu_ticks = 7, .domain_locked = true})
          .kind,
      Kind::kWait);
}

// An interrupt asks an instance of the service (never the name, which
// would start one) to stop, a tick apart until a stop is taken, while the
// reply is still awaited; a second interrupt gives up, saying what is
// known of the removal.
TEST_F(ExchangeStateTest, InterruptAsksUntilAStopIsTakenThenASecondGivesUp) {
  ExchangeState state;
  state.ToolStarted(start_);
  state.ProgressReported(":1.7", {5, 5, 5});  // Not the service: nobody's.
  EXPECT_FALSE(state.Next(At(10ms)).counts);
  state.Interrupted();
  ExchangeState::Step step = state.Next(At(20ms));
  EXPECT_EQ(step.kind, Kind::kWait);
  EXPECT_TRUE(step.stopping);
  state.ServiceOwnerAppeared(kInstance);
  state.ProgressReported(kInstance, {7, 3, 1});
  step = state.Next(At(30ms));
  EXPECT_EQ(step.kind, Kind::kAskServiceToStop);
  EXPECT_EQ(step.until, At(30ms + ExchangeState::kStopAnswerLimit));
  state.StopAnswered(0);  // The removal hadn't begun.
  EXPECT_EQ(state.Next(At(40ms)).kind, Kind::kWait);
  EXPECT_EQ(state.Next(At(130ms)).kind, Kind::kAskServiceToStop);
  state.StopAnswered(1);
  EXPECT_EQ(state.Next(At(300ms)).counts,
            std::optional(RemovalProgress::Counts{7, 3, 1}));
  ExchangeState replied = state;
  replied.NotificationArrived();
  EXPECT_EQ(replied.Next(At(400ms)).kind, Kind::kReadReply);
  EXPECT_TRUE(replied.interrupted());
  state.Interrupted();
  ExpectGaveUp(state.Next(At(400ms)), "stopped it, but what it removed", true);

  ExchangeState early;
  StartServed(early);
  early.Interrupted();
  early.Interrupted();
  ExpectGaveUp(early.Next(At(10ms)), "interrupted before the removal service",
               true);
}

// A suspended service answers no stop request: the asks leave time between
// them to read the interrupt that gives up, and the giving up says the
// removal may go on. One that answers again is asked a tick on.
TEST_F(ExchangeStateTest, UnansweredStopIsAskedAgainAfterAPauseAndSaidSo) {
  ExchangeState state;
  StartServed(state);
  state.Interrupted();
  ASSERT_EQ(state.Next(At(1s)).kind, Kind::kAskServiceToStop);
  state.StopUnanswered(At(2s));  // At the ask's |until|.
  ExchangeState::Step step = TickUntil(state, 2s, 2900ms);
  EXPECT_EQ(step.kind, Kind::kWait);
  EXPECT_TRUE(step.stopping);
  EXPECT_EQ(state.Next(At(3s)).kind, Kind::kAskServiceToStop);
  state.StopUnanswered(At(4s));
  ExchangeState woke = state;
  state.Interrupted();
  ExpectGaveUp(state.Next(At(4s + 10ms)), "did not answer the request to stop",
               true);

  EXPECT_EQ(woke.Next(At(5s)).kind, Kind::kAskServiceToStop);
  woke.StopAnswered(0);
  EXPECT_EQ(woke.Next(At(5s + 10ms)).kind, Kind::kWait);
  EXPECT_EQ(woke.Next(At(5s + 100ms)).kind, Kind::kAskServiceToStop);
}

}  // namespace
}  // namespace quillfen
