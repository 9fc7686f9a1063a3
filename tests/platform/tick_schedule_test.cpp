// The tick source's decisions: the timer thread's wakes are calls to Wake(now,
// why), the UI thread's loop's are LoopWoke(why, how long it waited), and its
// dispatches of posted ticks TakeTick(number), then TickDone once they ran.
#include "platform/tick_schedule.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cstdint>
#include <random>
#include <string>

namespace velmora {
namespace {

using Woke = TickSchedule::Woke;
constexpr uint64_t kPeriodUs = 10000;

// A step as text: "post" if it posts, then the wait.
std::string Text(const TickSchedule::Step& step) {
  const char* waits[] = {"timer", "event", "pause", "exit"};
  return std::string(step.post ? "post " : "") + waits[static_cast<int>(step.wait)];
}

// "tick", "message", both or neither: what the loop does after its wait.
std::string Text(const TickSchedule::LoopStep& step) {
  return std::string(step.tick ? "tick" : "") + (step.tick && step.message ? " " : "") +
         (step.message ? "message" : "");
}

// A schedule switched on, the tray menu open at t = 1 s: the timer thread
// wakes on its event and waits on the timer.
struct Running {
  TickSchedule schedule;
  Running() {
    schedule.SetEnabled(true);
    schedule.EnterModal();
    EXPECT_EQ(Text(schedule.Wake(1000000, Woke::kEvent)), "timer");
  }
  // The number posted at this expiry, 0 for none.
  uint32_t Expiry(uint64_t nowUs) {
    const TickSchedule::Step step = schedule.Wake(nowUs, Woke::kTimer);
    EXPECT_EQ(Text(step), step.post ? "post timer" : "timer");
    return step.post;
  }
};

// Wherever the menu's thread wakes between the grid points, early or up to
// 15 ms late, each wake posts one tick: nothing checks the clock against a grid.
TEST(TickSchedule, EachWakeOfTheMenusThreadPostsOneTickWhateverItsLatency) {
  Running r;
  std::mt19937 random(7);
  uint64_t nowUs = 1000000;
  for (uint64_t point = 1; point <= 1000; ++point) {
    nowUs = std::max(nowUs + 1, 1000000 + point * kPeriodUs + random() % 15001);
    const uint32_t number = r.Expiry(nowUs);
    ASSERT_TRUE(number && r.schedule.TakeTick(number)) << nowUs;
    EXPECT_EQ(r.schedule.TickDone(number, nowUs, false), 0u);
  }
}

// The loop runs one tick for each wake on the timer, and lets one queued message
// in after it when the timer was due before the wait began: ticks that overrun
// their period (a slow driver) must not shut out the tray menu. Its queue alone
// brings no tick; neither does anything while the ticks are off or the menu's
// loop has them. A failed wait (after a period's sleep) brings both.
TEST(TickSchedule, TheLoopTicksOnTheTimerAndLetsTheQueueInWhenTicksOverrun) {
  enum { kOn, kOff, kInMenu, kClosed };
  const struct {
    int state;
    Woke woke;
    uint64_t blockedUs;
    const char* step;
  } cases[] = {
      {kOn, Woke::kTimer, 9000, "tick"},        {kOn, Woke::kTimer, 1000, "tick"},
      {kOn, Woke::kTimer, 999, "tick message"}, {kOn, Woke::kTimer, 0, "tick message"},
      {kOn, Woke::kEvent, 0, "message"},        {kOn, Woke::kFailed, 0, "tick message"},
      {kOff, Woke::kFailed, 0, "message"},      {kInMenu, Woke::kFailed, 0, "message"},
      {kClosed, Woke::kTimer, 9000, ""},        {kOff, Woke::kEvent, 0, "message"},
  };
  for (const auto& c : cases) {
    TickSchedule schedule;
    schedule.SetEnabled(c.state != kOff);
    if (c.state == kInMenu) schedule.EnterModal();
    if (c.state == kClosed) schedule.Close();
    EXPECT_EQ(schedule.LoopWaitsOnTimer(), c.state == kOn) << c.state;
    EXPECT_EQ(Text(schedule.LoopWoke(c.woke, c.blockedUs)), c.step)
        << c.state << " " << static_cast<int>(c.woke) << " " << c.blockedUs;
  }
}

// Outside the menu the timer thread sleeps on its event; the menu hands it the
// timer, and leaving the menu hands the timer back. An expiry it took just as
// the menu closed is still posted, and runs: the loop's own wait missed it.
TEST(TickSchedule, TheMenuHandsTheTimerToTheThreadAndBack) {
  TickSchedule s;
  s.SetEnabled(true);
  EXPECT_EQ(Text(s.Wake(1000000, Woke::kEvent)), "event");
  s.EnterModal();
  EXPECT_FALSE(s.LoopWaitsOnTimer());
  EXPECT_EQ(Text(s.Wake(1001000, Woke::kEvent)), "timer");
  const TickSchedule::Step inMenu = s.Wake(1010000, Woke::kTimer);
  EXPECT_EQ(Text(inMenu), "post timer");
  EXPECT_TRUE(s.TakeTick(inMenu.post));
  EXPECT_EQ(s.TickDone(inMenu.post, 1011000, false), 0u);
  s.LeaveModal();
  EXPECT_TRUE(s.LoopWaitsOnTimer());
  const TickSchedule::Step closing = s.Wake(1020000, Woke::kTimer);
  EXPECT_EQ(Text(closing), "post event");
  EXPECT_TRUE(s.TakeTick(closing.post)) << "dispatched by the loop";
  EXPECT_EQ(s.TickDone(closing.post, 1021000, false), 0u);
  EXPECT_EQ(Text(s.Wake(1021000, Woke::kEvent)), "event");
}

// In the menu: one tick outstanding until it has run (tick_schedule.h says why),
// the one owed posted by the UI thread as the last returns if no input waits.
TEST(TickSchedule, OneTickOutstandingUntilItHasRunOrIsLost) {
  Running r;
  const uint32_t first = r.Expiry(1010000);
  // The UI thread is busy (a slow query, say): the next expiries post nothing.
  EXPECT_EQ(r.Expiry(1020000), 0u);
  EXPECT_TRUE(r.schedule.TakeTick(first));
  EXPECT_EQ(r.Expiry(1030000), 0u) << "while it runs";
  // Input waits as it returns: the owed tick is left to the next expiry.
  EXPECT_EQ(r.schedule.TickDone(first, 1035000, true), 0u);
  EXPECT_FALSE(r.schedule.TakeTick(first)) << "each number runs once";
  EXPECT_FALSE(r.schedule.TakeTick(0)) << "0 is no tick";
  const uint32_t second = r.Expiry(1040000);
  EXPECT_TRUE(r.schedule.TakeTick(second));
  EXPECT_EQ(r.Expiry(1050000), 0u) << "while it runs";
  // None waits: the owed tick is outstanding as this one returns, for the UI
  // thread to post, and the expiries meanwhile post nothing.
  const uint32_t owed = r.schedule.TickDone(second, 1055000, false);
  EXPECT_EQ(r.Expiry(1060000), 0u);
  EXPECT_TRUE(r.schedule.TakeTick(owed));
  EXPECT_EQ(r.schedule.TickDone(owed, 1061000, false), 0u) << "it ran within its period";
  // A post that failed leaves none outstanding.
  const uint32_t failed = r.Expiry(1070000);
  r.schedule.PostFailed(failed);
  const uint32_t lost = r.Expiry(1080000);
  EXPECT_NE(lost, 0u);
  EXPECT_NE(lost, failed);
  // This one never reaches the window procedure, or waits behind a stalled UI
  // thread: another is posted each second, and only the newest runs.
  EXPECT_EQ(r.Expiry(2079000), 0u);
  const uint32_t healed = r.Expiry(2080000);
  EXPECT_NE(healed, 0u);
  EXPECT_EQ(r.Expiry(2090000), 0u) << "the new one is outstanding in its turn";
  const uint32_t newest = r.Expiry(3080000);
  EXPECT_FALSE(r.schedule.TakeTick(lost) || r.schedule.TakeTick(healed));
  EXPECT_TRUE(r.schedule.TakeTick(newest));
  // So is one that runs for over a second; once it returns, the one posted
  // meanwhile runs, and nothing more is owed.
  const uint32_t meanwhile = r.Expiry(4090000);
  EXPECT_EQ(r.schedule.TickDone(newest, 4095000, false), 0u);
  EXPECT_TRUE(r.schedule.TakeTick(meanwhile));
  // Out of the menu, an expiry the thread took is posted, but none is owed.
  r.schedule.LeaveModal();
  EXPECT_EQ(Text(r.schedule.Wake(4100000, Woke::kTimer)), "event");
  EXPECT_EQ(r.schedule.TickDone(meanwhile, 4105000, false), 0u);
}

// Paused (from the menu, here), the thread sleeps, menu or not.
TEST(TickSchedule, StoppedItWaitsOnTheEventAndNoTickFromBeforeTheStopRuns) {
  Running r;
  const uint32_t stale = r.Expiry(1010000);
  r.schedule.SetEnabled(false);
  EXPECT_EQ(Text(r.schedule.Wake(1012000, Woke::kEvent)), "event");
  EXPECT_EQ(Text(r.schedule.Wake(1013000, Woke::kTimer)), "event");
  // Started again. The tick posted before the stop is dispatched only now: it
  // belongs to the last spell and does not run.
  r.schedule.SetEnabled(true);
  EXPECT_EQ(Text(r.schedule.Wake(1100000, Woke::kEvent)), "timer");
  EXPECT_FALSE(r.schedule.TakeTick(stale));
  const uint32_t fresh = r.Expiry(1110000);
  EXPECT_TRUE(r.schedule.TakeTick(fresh));
  // Nor does one dispatched while stopped.
  const uint32_t queued = r.Expiry(1120000);
  r.schedule.SetEnabled(false);
  EXPECT_FALSE(r.schedule.TakeTick(queued));
}

TEST(TickSchedule, AFailedWaitPausesAPeriodInsteadOfSpinning) {
  Running r;
  EXPECT_EQ(Text(r.schedule.Wake(1005000, Woke::kFailed)), "pause");
  EXPECT_NE(r.Expiry(1015000), 0u) << "the period slept stands in for the timer";
  r.schedule.SetEnabled(false);
  EXPECT_EQ(Text(r.schedule.Wake(1020000, Woke::kFailed)), "pause") << "stopped too";
  EXPECT_EQ(Text(r.schedule.Wake(1030000, Woke::kTimer)), "event");
}

TEST(TickSchedule, ClosedNoTickRunsAndTheThreadEnds) {
  Running r;
  const uint32_t queued = r.Expiry(1010000);
  r.schedule.Close();
  EXPECT_FALSE(r.schedule.TakeTick(queued));
  r.schedule.SetEnabled(true);  // too late: it stays closed
  EXPECT_EQ(Text(r.schedule.Wake(1020000, Woke::kTimer)), "exit");
  EXPECT_EQ(Text(r.schedule.Wake(1020000, Woke::kFailed)), "exit");
  // Closed before it ever ran, too.
  TickSchedule never;
  never.Close();
  EXPECT_EQ(Text(never.Wake(0, Woke::kEvent)), "exit");
}

}  // namespace
}  // namespace velmora
