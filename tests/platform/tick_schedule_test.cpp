// The tick source's decisions against a model of its timer: the timer thread's
// wakes are calls to Wake(now, why), the UI thread's loop's are LoopWoke(why,
// how long it waited), and its dispatches of posted ticks TakeTick(number).
#include "platform/tick_schedule.h"

#include <gtest/gtest.h>

#include <cstdint>
#include <functional>
#include <random>
#include <string>
#include <vector>

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

// An auto-reset timer made periodic, due on the grid 1 s + n * 10 ms: an
// expiry while nobody waits leaves it signalled, and several collapse into
// one. Each wake reaches its waiter `latency` after the wait was satisfied;
// `woke(blockedUs)` is that waiter's decision, true when a tick runs (a posted
// one at once). Returns the ticks over `points` grid points.
int TicksOverModelTimer(const std::vector<uint64_t>& latencyUs, size_t points,
                        const std::function<bool(uint64_t, uint64_t)>& woke) {
  const uint64_t startUs = 1000000;
  uint64_t nextDue = startUs + kPeriodUs;
  const uint64_t endUs = startUs + points * kPeriodUs;
  bool signalled = false;
  uint64_t nowUs = startUs;
  int ticks = 0;
  for (size_t i = 0;; ++i) {
    // The wait is satisfied by a signal already there, or by the next expiry.
    uint64_t satisfied = nowUs;
    if (signalled) {
      signalled = false;
    } else {
      satisfied = nextDue;
      nextDue += kPeriodUs;
    }
    if (satisfied > endUs) return ticks;
    const uint64_t waitedFrom = nowUs;
    nowUs = satisfied + latencyUs[i % latencyUs.size()];
    while (nextDue <= nowUs) {  // expiries while the waiter is on its way
      signalled = true;
      nextDue += kPeriodUs;
    }
    ticks += woke(nowUs, nowUs - waitedFrom);
  }
}

// Each wake of the timer is one tick, whoever waits on it: the UI thread's loop,
// or the timer thread in the menu, whose ticks the menu's loop dispatches at once.
TEST(TickSchedule, EveryGridPointTicksWhateverTheWakeLatency) {
  std::mt19937 random(7);
  std::vector<uint64_t> jitter(5000);
  for (uint64_t& us : jitter) us = random() % 15001;  // 0 to 15 ms
  // On time, every wake 8 or 9.9 ms late, or 0 to 15 ms late at random.
  const std::pair<std::vector<uint64_t>, int> cases[] = {
      {{0}, 1000}, {{8000}, 1000}, {{9900}, 1000}, {jitter, 990}};
  for (const auto& [latencyUs, atLeast] : cases) {
    TickSchedule loop;
    loop.SetEnabled(true);
    Running menu;
    const int loopTicks = TicksOverModelTimer(latencyUs, 1000, [&](uint64_t, uint64_t blockedUs) {
      return loop.LoopWoke(Woke::kTimer, blockedUs).tick;
    });
    const int menuTicks = TicksOverModelTimer(latencyUs, 1000, [&](uint64_t nowUs, uint64_t) {
      const uint32_t number = menu.Expiry(nowUs);
      const bool ran = number && menu.schedule.TakeTick(number);
      return ran && !menu.schedule.TickDone(number, nowUs, false);
    });
    for (const int ticks : {loopTicks, menuTicks}) {
      EXPECT_GE(ticks, atLeast) << latencyUs[0];
      EXPECT_LE(ticks, 1000) << latencyUs[0];
    }
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
  s.EnterModal();  // spans nest
  s.LeaveModal();
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
  // Paused from the menu: the thread sleeps, menu or not.
  s.EnterModal();
  s.SetEnabled(false);
  EXPECT_EQ(Text(s.Wake(1030000, Woke::kEvent)), "event");
  EXPECT_EQ(Text(s.Wake(1040000, Woke::kTimer)), "event");
}

// A UI thread that stalls (a joystick query that hangs, say) while its loop has
// the timer finds it signalled once: one tick, and the pace resumes on the grid.
TEST(TickSchedule, AStallInTheLoopEndsInOneTick) {
  for (const uint64_t stallUs : {1000000, 3500000, 60000000}) {
    TickSchedule loop;
    loop.SetEnabled(true);
    std::vector<uint64_t> latencyUs(1000, 0);
    latencyUs[10] = stallUs;
    const uint64_t points = stallUs / kPeriodUs + 200;
    const int ticks = TicksOverModelTimer(latencyUs, points, [&](uint64_t, uint64_t blockedUs) {
      return loop.LoopWoke(Woke::kTimer, blockedUs).tick;
    });
    // The grid points slept through are gone; the one after the stall ticks.
    EXPECT_EQ(ticks, static_cast<int>(points - stallUs / kPeriodUs) + 1) << stallUs;
  }
}

TEST(TickSchedule, OneTickOutstandingUntilItHasRunOrIsLost) {
  Running r;
  const uint32_t first = r.Expiry(1010000);
  EXPECT_NE(first, 0u);
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
  EXPECT_NE(owed, 0u);
  EXPECT_EQ(r.Expiry(1060000), 0u);
  EXPECT_TRUE(r.schedule.TakeTick(owed));
  EXPECT_EQ(r.schedule.TickDone(owed, 1061000, false), 0u) << "it ran within its period";
  // A post that failed leaves none outstanding.
  const uint32_t failed = r.Expiry(1070000);
  r.schedule.PostFailed(failed);
  const uint32_t lost = r.Expiry(1080000);
  EXPECT_NE(lost, 0u);
  EXPECT_NE(lost, failed);
  // This one never reaches the window procedure: after a second it counts as
  // lost and another is posted, which runs.
  EXPECT_EQ(r.Expiry(2079000), 0u);
  const uint32_t healed = r.Expiry(2080000);
  EXPECT_NE(healed, 0u);
  EXPECT_EQ(r.Expiry(2090000), 0u) << "the new one is outstanding in its turn";
  EXPECT_TRUE(r.schedule.TakeTick(healed));
  // So is one that runs for over a second; once it returns, the one posted
  // meanwhile runs, and nothing more is owed.
  const uint32_t meanwhile = r.Expiry(3090000);
  EXPECT_NE(meanwhile, 0u);
  EXPECT_EQ(r.schedule.TickDone(healed, 3095000, false), 0u);
  EXPECT_TRUE(r.schedule.TakeTick(meanwhile));
  // Out of the menu, an expiry the thread took is posted, but none is owed.
  r.schedule.LeaveModal();
  EXPECT_EQ(Text(r.schedule.Wake(3100000, Woke::kTimer)), "event");
  EXPECT_EQ(r.schedule.TickDone(meanwhile, 3105000, false), 0u);
}

// In the menu, with a joystick driver that takes 15 ms a query: a tick posted
// while one runs would be waiting when it returns, before any input, so the
// menu would never see a key or a click. Only ticks the UI thread asks for
// after one returns (none when input is waiting) may be.
TEST(TickSchedule, TicksThatOverrunInTheMenuLeaveTheQueueEmptyWhenTheyReturn) {
  for (const bool inputWaits : {false, true}) {
    Running r;
    std::vector<uint32_t> queue;
    uint32_t running = 0;
    uint64_t doneAtUs = 0;
    int ticks = 0;
    for (uint64_t nowUs = 1001000; nowUs < 2001000; nowUs += 1000) {
      if (nowUs % kPeriodUs == 0) {
        if (const uint32_t number = r.Expiry(nowUs)) queue.push_back(number);
      }
      if (running && nowUs >= doneAtUs) {
        EXPECT_TRUE(queue.empty()) << "at " << nowUs;
        if (const uint32_t owed = r.schedule.TickDone(running, nowUs, inputWaits)) {
          queue.push_back(owed);
        }
        running = 0;
      }
      if (!running && !queue.empty()) {
        if (r.schedule.TakeTick(queue.front())) running = queue.front(), doneAtUs = nowUs + 15000;
        ticks += running != 0;
        queue.erase(queue.begin());
      }
    }
    // As often as the driver allows, or every other period while input waits.
    EXPECT_GE(ticks, inputWaits ? 49 : 66) << inputWaits;
  }
}

TEST(TickSchedule, ALongStallInTheMenuEndsInOneTickThenThePaceResumes) {
  for (const uint64_t stallUs : {1000000, 3500000, 60000000}) {
    Running r;
    // The UI thread stalls from t = 1.01 s (a joystick query that hangs, say);
    // the timer thread goes on waking every period, and whatever it posts
    // waits in the queue, in order.
    std::vector<uint32_t> queue;
    uint64_t nowUs = 1010000;
    for (; nowUs <= 1010000 + stallUs; nowUs += kPeriodUs) {
      if (const uint32_t number = r.Expiry(nowUs)) queue.push_back(number);
    }
    EXPECT_LE(queue.size(), stallUs / 1000000 + 1) << stallUs;
    int ran = 0;
    for (const uint32_t number : queue) {
      ran += r.schedule.TakeTick(number);
      EXPECT_EQ(r.schedule.TickDone(number, nowUs, false), 0u) << "a stall owes nothing";
    }
    EXPECT_EQ(ran, 1) << "after a stall of " << stallUs << " us";
    const uint32_t next = r.Expiry(nowUs);
    EXPECT_NE(next, 0u);
    EXPECT_TRUE(r.schedule.TakeTick(next));
  }
}

TEST(TickSchedule, StoppedItWaitsOnTheEventAndNoTickFromBeforeTheStopRuns) {
  Running r;
  const uint32_t stale = r.Expiry(1010000);
  r.schedule.SetEnabled(false);
  EXPECT_EQ(Text(r.schedule.Wake(1012000, Woke::kEvent)), "event");
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
