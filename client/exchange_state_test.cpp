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

  // |step| gives up with |message|, taking the request back or not.
  static void ExpectGaveUp(const ExchangeState::Step& step,
                           const std::string& message, bool withdraws) {
    EXPECT_EQ(step.kind, Kind::kGiveUp);
    EXPECT_EQ(step.message, message);
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

// However long the service works. Its instance gave the well-known name back
// when idle, but its connection is still there and still owes the tool its
// reply.
TEST_F(ExchangeStateTest, WaitsWhileTheServiceWorks) {
  ExchangeState state;
  StartServed(state);
  state.ServiceOwnerVanished("org.quillfen.QuillfenRemovalService");
  ExchangeState::Step step = TickUntil(state, 0s, 10min);
  EXPECT_EQ(step.kind, Kind::kWait);
  EXPECT_EQ(step.elapsed, 10min);
  EXPECT_EQ(step.until, At(10min + ExchangeState::kTick));
  EXPECT_FALSE(state.WantsToolActivity());
}

TEST_F(ExchangeStateTest, ReadsTheReplyOnceNotified) {
  ExchangeState state;
  StartServed(state);
  EXPECT_EQ(state.Next(At(300ms)).kind, Kind::kWait);
  state.NotificationArrived();
  EXPECT_EQ(state.Next(At(400ms)).kind, Kind::kReadReply);

  // The notification may follow the tool's exit within the grace.
  ExchangeState exited;
  StartServed(exited);
  exited.ToolExited(0, At(1s));
  EXPECT_EQ(exited.Next(At(1s + ExchangeState::kNotificationGrace)).kind,
            Kind::kWait);
  exited.NotificationArrived();
  EXPECT_EQ(exited.Next(At(2s + 50ms)).kind, Kind::kReadReply);

  // A reply beats every deadline.
  ExchangeState late(1s);
  late.ToolStarted(start_);
  late.ToolExited(0, At(0s));
  late.NotificationArrived();
  EXPECT_EQ(late.Next(At(1h)).kind, Kind::kReadReply);
}

TEST_F(ExchangeStateTest, GivesUpOnAToolThatEndedWithoutNotifyingOrTheBus) {
  ExchangeState state;
  StartServed(state);
  state.ToolExited(3 << 8, At(1s));  // exit(3), as waitpid reports it.
  ExchangeState::Step step = state.Next(At(1s + 950ms));
  ASSERT_EQ(step.kind, Kind::kWait);
  EXPECT_EQ(step.until, At(2s)) << "the grace's end is not overslept";
  EXPECT_EQ(state.Next(At(2s)).kind, Kind::kWait);
  step = state.Next(At(2s + 1ms));
  ExpectGaveUp(step, "the removal tool ended without replying (exit status 3)",
               /*withdraws=*/true);
  EXPECT_EQ(DescribeExit(9), "signal Killed");  // SIGKILL, as waitpid says.

  // A bus that fails gives up at once, and leaves the request.
  ExchangeState bus_failed;
  StartServed(bus_failed);
  ExpectGaveUp(bus_failed.BusFailed("Connection reset"),
               "the bus failed while waiting for the reply: Connection reset",
               /*withdraws=*/false);
}

TEST_F(ExchangeStateTest, GivesUpOnAServiceThatNeverStartsNotOnALateOne) {
  ExchangeState never, late;
  never.ToolStarted(start_);
  late.ToolStarted(start_);
  ASSERT_EQ(TickUntil(never, 0s, 15s).kind, Kind::kWait);
  ExpectGaveUp(never.Next(At(15s + 1ms)), "the removal service did not start",
               /*withdraws=*/true);

  // A tool still reading a large request hasn't called yet: the limit
  // counts from when it was last seen working.
  ExchangeState reading;
  reading.ToolStarted(start_);
  ASSERT_EQ(TickUntil(reading, 0s, 40s, {}, /*cpu_grows=*/true).kind,
            Kind::kWait);
  ASSERT_EQ(TickUntil(reading, 40s + 100ms, 55s).kind, Kind::kWait);
  ExpectGaveUp(TickUntil(reading, 55s + 100ms, 56s),
               "the removal service did not start", /*withdraws=*/true);

  EXPECT_EQ(TickUntil(late, 0s, 14s).kind, Kind::kWait);
  late.ServiceOwnerAppeared(kInstance);
  EXPECT_EQ(TickUntil(late, 14s, 60s).kind, Kind::kWait);
}

TEST_F(ExchangeStateTest, GivesUpOnAServiceGoneUnlessItComesBackInGrace) {
  ExchangeState state;
  StartServed(state);
  EXPECT_EQ(state.Next(At(500ms)).kind, Kind::kWait);
  state.ServiceOwnerVanished(kInstance);
  ASSERT_TRUE(state.WantsToolActivity());
  ExchangeState back = state;
  // Gone as of the first look at 600 ms: the grace ends at 2.6 s.
  ASSERT_EQ(TickUntil(state, 600ms, 2600ms).kind, Kind::kWait);
  state.ToolActivitySampled({});
  ExpectGaveUp(state.Next(At(2600ms + 1ms)),
               "the removal service stopped before it replied",
               /*withdraws=*/true);

  EXPECT_EQ(TickUntil(back, 600ms, 2500ms).kind, Kind::kWait);
  back.ServiceOwnerAppeared(":1.43");  // Started again for the call.
  EXPECT_EQ(TickUntil(back, 2600ms, 30s).kind, Kind::kWait);
}

TEST_F(ExchangeStateTest, WaitsForAToolStillStoringALargeReply) {
  ExchangeState state;
  StartServed(state);
  state.ServiceOwnerVanished(kInstance);
  ExchangeState stalls = state;
  // The service replied and left; the tool converts and stores a reply
  // that takes long: its CPU time grows, then it waits on the disk, then
  // it holds the domain's lock.
  EXPECT_EQ(TickUntil(state, 0s, 10s, {}, /*cpu_grows=*/true).kind,
            Kind::kWait);
  EXPECT_EQ(TickUntil(state, 10s, 20s, {.cpu_ticks = 7, .working = true}).kind,
            Kind::kWait);
  EXPECT_EQ(
      TickUntil(state, 20s, 30s, {.cpu_ticks = 7, .domain_locked = true}).kind,
      Kind::kWait);
  state.NotificationArrived();
  EXPECT_EQ(state.Next(At(30s + 50ms)).kind, Kind::kReadReply);

  // The grace counts from when it went idle: working until 10 s, idle from
  // 10.1 s on with the CPU time it had, given up after 12.1 s.
  EXPECT_EQ(TickUntil(stalls, 0s, 10s, {.working = true}).kind, Kind::kWait);
  EXPECT_EQ(TickUntil(stalls, 10100ms, 12100ms).kind, Kind::kWait);
  stalls.ToolActivitySampled({});
  ExpectGaveUp(stalls.Next(At(12100ms + 1ms)),
               "the removal service stopped before it replied",
               /*withdraws=*/true);
}

TEST_F(ExchangeStateTest, GivesUpAtTheTimeout) {
  ExchangeState state(2500ms);
  StartServed(state);
  ExchangeState::Step step = TickUntil(state, 0s, 2400ms);
  ASSERT_EQ(step.kind, Kind::kWait);
  EXPECT_EQ(step.until, At(2500ms)) << "the timeout is not overslept";
  EXPECT_EQ(state.Next(At(2500ms)).kind, Kind::kWait);
  step = state.Next(At(2501ms));
  ExpectGaveUp(step, "no reply within 2.5 s", /*withdraws=*/true);
}

TEST_F(ExchangeStateTest, InterruptAsksUntilAStopIsTakenThenASecondGivesUp) {
  ExchangeState state;
  state.ToolStarted(start_);
  // Counts from a name that isn't the service are nobody's.
  state.ProgressReported(":1.7", {5, 5, 5});
  EXPECT_FALSE(state.Next(At(10ms)).counts);
  state.Interrupted();
  // Nobody to ask yet: asking the name would start the service.
  ExchangeState::Step step = state.Next(At(20ms));
  EXPECT_EQ(step.kind, Kind::kWait);
  EXPECT_TRUE(step.stopping);
  state.ServiceOwnerAppeared(kInstance);
  state.ProgressReported(kInstance, {7, 3, 1});
  step = state.Next(At(30ms));
  EXPECT_EQ(step.kind, Kind::kAskServiceToStop);
  EXPECT_EQ(step.until, At(30ms + ExchangeState::kStopAnswerLimit));
  state.StopAnswered(0);  // The removal hadn't begun: asked again a tick on.
  EXPECT_EQ(state.Next(At(40ms)).kind, Kind::kWait);
  EXPECT_EQ(state.Next(At(130ms)).kind, Kind::kAskServiceToStop);
  state.StopAnswered(1);
  step = state.Next(At(300ms));
  EXPECT_EQ(step.kind, Kind::kWait);
  ASSERT_TRUE(step.counts);
  EXPECT_EQ(*step.counts, (RemovalProgress::Counts{7, 3, 1}));
  // The stopped removal's reply still comes and is read.
  ExchangeState replied = state;
  replied.NotificationArrived();
  EXPECT_EQ(replied.Next(At(400ms)).kind, Kind::kReadReply);
  EXPECT_TRUE(replied.interrupted());
  // Or a second interrupt gives up at once, knowing the removal stopped.
  state.Interrupted();
  ExpectGaveUp(state.Next(At(400ms)),
               "interrupted again before the stopped removal's reply was "
               "read: the removal service stopped it, but what it removed "
               "before stopping is not known here",
               true);
}

// A suspended service answers no stop request: the asks leave time between
// them to read the interrupt that gives up, and the giving up says the
// removal may go on.
TEST_F(ExchangeStateTest, UnansweredStopIsAskedAgainAfterAPauseAndSaidSo) {
  ExchangeState state;
  StartServed(state);
  EXPECT_EQ(state.Next(At(1s)).kind, Kind::kWait);
  state.Interrupted();
  ExchangeState::Step step = state.Next(At(1s + 50ms));
  ASSERT_EQ(step.kind, Kind::kAskServiceToStop);
  // The bus gave up on the answer at its |until|.
  state.StopUnanswered(At(2s + 50ms));
  step = TickUntil(state, 2s + 50ms, 3s);
  EXPECT_EQ(step.kind, Kind::kWait);
  EXPECT_TRUE(step.stopping);
  EXPECT_EQ(state.Next(At(3s + 50ms)).kind, Kind::kAskServiceToStop);
  state.StopUnanswered(At(4s + 50ms));
  ExchangeState woke = state;

  state.Interrupted();
  ExpectGaveUp(state.Next(At(4s + 60ms)),
               "interrupted again, and the removal service did not answer the "
               "request to stop: the removal may still be going on in the "
               "service, and no reply was read",
               /*withdraws=*/true);

  // A service that answers again is asked again a tick on; a second
  // interrupt before any ask went out knows nothing of the removal.
  EXPECT_EQ(woke.Next(At(5s + 50ms)).kind, Kind::kAskServiceToStop);
  woke.StopAnswered(0);
  EXPECT_EQ(woke.Next(At(5s + 60ms)).kind, Kind::kWait);
  EXPECT_EQ(woke.Next(At(5s + 150ms)).kind, Kind::kAskServiceToStop);
  ExchangeState early;
  StartServed(early);
  early.Interrupted();
  early.Interrupted();
  ExpectGaveUp(early.Next(At(10ms)),
               "interrupted before the removal service replied: the removal "
               "may still be going on in the service, and no reply was read",
               /*withdraws=*/true);
}

TEST_F(ExchangeStateTest, InterruptWhileAwaitingTheTurnGivesUpAskingNothing) {
  ExchangeState state;
  ExpectGaveUp(state.InterruptedAwaitingTurn(),
               "interrupted while waiting for another removal's exchange to "
               "end; nothing was asked of the removal service",
               /*withdraws=*/false);
  EXPECT_TRUE(state.interrupted());
}

}  // namespace
}  // namespace quillfen
