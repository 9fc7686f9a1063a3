// The tick source's decisions against a model of its timer: the timer thread's
// wakes are calls to Wake(now, why), the UI thread's dispatches are
// TakeTick(number).
#include "platform/tick_schedule.h"

#include <gtest/gtest.h>

#include <cstdint>
#include <random>
#include <string>
#include <vector>

namespace velmora {
namespace {

using Woke = TickSchedule::Woke;
constexpr uint64_t kPeriodUs = 10000;

// A step as text: "arm" first if it arms, "post" if it posts, then the wait.
std::string Text(const TickSchedule::Step& step) {
  const char* waits[] = {"timer", "event", "pause", "exit"};
  return std::string(step.arm ? "arm " : "") + (step.post ? "post " : "") +
         waits[static_cast<int>(step.wait)];
}

// A schedule switched on at t = 1 s: the first wake arms the timer.
struct Running {
  TickSchedule schedule;
  Running() {
    schedule.SetEnabled(true);
    EXPECT_EQ(Text(schedule.Wake(1000000, Woke::kEvent)), "arm timer");
  }
  // The number posted at this expiry, 0 for none.
  uint32_t Expiry(uint64_t nowUs) {
    const TickSchedule::Step step = schedule.Wake(nowUs, Woke::kTimer);
    EXPECT_EQ(Text(step), step.post ? "post timer" : "timer") << "armed once per start";
    return step.post;
  }
};

// An auto-reset timer made periodic, due on the grid 1 s + n * 10 ms: an
// expiry while the thread is busy leaves it signalled, and several collapse
// into one. Each wake reaches the thread `latency` after the wait was
// satisfied; the UI thread dispatches each tick at once. Returns the ticks
// posted over `points` grid points.
int TicksOverModelTimer(const std::vector<uint64_t>& latencyUs, size_t points) {
  Running r;
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
    nowUs = satisfied + latencyUs[i % latencyUs.size()];
    while (nextDue <= nowUs) {  // expiries while the thread is on its way
      signalled = true;
      nextDue += kPeriodUs;
    }
    if (const uint32_t number = r.Expiry(nowUs)) {
      ++ticks;
      EXPECT_TRUE(r.schedule.TakeTick(number));
    }
  }
}

TEST(TickSchedule, EveryGridPointTicksWhateverTheWakeLatency) {
  std::mt19937 random(7);
  std::vector<uint64_t> jitter(5000);
  for (uint64_t& us : jitter) us = random() % 15001;  // 0 to 15 ms
  // On time, every wake 8 or 9.9 ms late, or 0 to 15 ms late at random.
  const std::pair<std::vector<uint64_t>, int> cases[] = {
      {{0}, 1000}, {{8000}, 1000}, {{9900}, 1000}, {jitter, 990}};
  for (const auto& [latencyUs, atLeast] : cases) {
    const int ticks = TicksOverModelTimer(latencyUs, 1000);
    EXPECT_GE(ticks, atLeast) << latencyUs[0];
    EXPECT_LE(ticks, 1000) << latencyUs[0];
  }
}

TEST(TickSchedule, OneTickOutstandingUntilItIsTakenOrLost) {
  Running r;
  const uint32_t first = r.Expiry(1010000);
  EXPECT_NE(first, 0u);
  // The UI thread is busy (a slow query, say): the next expiries post nothing.
  EXPECT_EQ(r.Expiry(1020000), 0u);
  EXPECT_EQ(r.Expiry(1030000), 0u);
  EXPECT_TRUE(r.schedule.TakeTick(first));
  EXPECT_FALSE(r.schedule.TakeTick(first)) << "each number runs once";
  EXPECT_FALSE(r.schedule.TakeTick(0)) << "0 is no tick";
  // A wake on the event while the ticks run (SetEvent coming after the thread
  // armed its timer, as at most starts) neither posts nor arms again.
  EXPECT_EQ(Text(r.schedule.Wake(1035000, Woke::kEvent)), "timer");
  // A post that failed leaves none outstanding.
  const uint32_t failed = r.Expiry(1040000);
  r.schedule.PostFailed(failed);
  const uint32_t lost = r.Expiry(1050000);
  EXPECT_NE(lost, 0u);
  EXPECT_NE(lost, failed);
  // This one never reaches the window procedure: after a second it counts as
  // lost and another is posted, which runs.
  EXPECT_EQ(r.Expiry(2049000), 0u);
  const uint32_t healed = r.Expiry(2050000);
  EXPECT_NE(healed, 0u);
  EXPECT_EQ(r.Expiry(2060000), 0u) << "the new one is outstanding in its turn";
  EXPECT_TRUE(r.schedule.TakeTick(healed));
  EXPECT_NE(r.Expiry(2070000), 0u);
}

TEST(TickSchedule, ALongStallEndsInOneTickThenThePaceResumes) {
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
    for (const uint32_t number : queue) ran += r.schedule.TakeTick(number);
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
  // Started again, the timer is armed anew. The tick posted before the stop is
  // dispatched only now: it belongs to the last spell and does not run.
  r.schedule.SetEnabled(true);
  EXPECT_EQ(Text(r.schedule.Wake(1100000, Woke::kEvent)), "arm timer");
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
