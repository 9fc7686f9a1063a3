// The tick source's decisions against a model of its timer: the timer thread's
// wakes are calls to Wake(now, why), the UI thread's dispatches are TakeTick().
#include "platform/tick_schedule.h"

#include <gtest/gtest.h>

#include <cstdint>
#include <random>
#include <vector>

namespace velmora {
namespace {

using Wait = TickSchedule::Wait;
using Woke = TickSchedule::Woke;
constexpr uint64_t kPeriodUs = 10000;

// A schedule switched on at t = 1 s: the first wake arms the timer.
struct Running {
  TickSchedule schedule;
  Running() {
    schedule.SetEnabled(true);
    const TickSchedule::Step first = schedule.Wake(1000000, Woke::kEvent);
    EXPECT_TRUE(first.arm);
    EXPECT_FALSE(first.post);
    EXPECT_EQ(first.wait, Wait::kTimer);
  }
  bool Expiry(uint64_t nowUs) {
    const TickSchedule::Step step = schedule.Wake(nowUs, Woke::kTimer);
    EXPECT_FALSE(step.arm) << "armed once per start, at " << nowUs;
    EXPECT_EQ(step.wait, Wait::kTimer);
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
    if (r.Expiry(nowUs)) {
      ++ticks;
      EXPECT_TRUE(r.schedule.TakeTick());
    }
  }
}

TEST(TickSchedule, EveryGridPointTicksWhateverTheWakeLatency) {
  std::mt19937 random(7);
  std::vector<uint64_t> jitter(5000);
  for (uint64_t& us : jitter) us = random() % 15001;  // 0 to 15 ms
  std::vector<uint64_t> oneLate(1000, 0);
  oneLate[3] = 8000;
  const struct {
    const char* name;
    std::vector<uint64_t> latencyUs;
    int atLeast;
  } cases[] = {
      {"on time", {0}, 1000},
      {"one wake 8 ms late", oneLate, 1000},
      {"every wake 8 ms late", {8000}, 1000},
      {"every wake 9.9 ms late", {9900}, 1000},
      {"0 to 15 ms late at random", jitter, 990},
  };
  for (const auto& c : cases) {
    const int ticks = TicksOverModelTimer(c.latencyUs, 1000);
    EXPECT_GE(ticks, c.atLeast) << c.name;
    EXPECT_LE(ticks, 1000) << c.name;
  }
}

TEST(TickSchedule, AtMostOneTickOutstandingUntilItIsTakenOrLost) {
  Running r;
  EXPECT_TRUE(r.Expiry(1010000));
  // The UI thread is busy (a slow query, say): the next expiries post nothing.
  EXPECT_FALSE(r.Expiry(1020000));
  EXPECT_FALSE(r.Expiry(1030000));
  EXPECT_TRUE(r.schedule.TakeTick());
  EXPECT_TRUE(r.Expiry(1040000));
  // A post that failed leaves none outstanding.
  r.schedule.PostFailed();
  EXPECT_TRUE(r.Expiry(1050000));
  // This one never reaches the window procedure: after a second it counts as lost.
  EXPECT_FALSE(r.Expiry(2049000));
  EXPECT_TRUE(r.Expiry(2050000));
  EXPECT_FALSE(r.Expiry(2060000)) << "the new one is outstanding in its turn";
}

TEST(TickSchedule, StoppedItWaitsOnTheEventAndStartsAgainWithNoneOutstanding) {
  Running r;
  EXPECT_TRUE(r.Expiry(1010000));
  r.schedule.SetEnabled(false);
  const TickSchedule::Step idle = r.schedule.Wake(1012000, Woke::kEvent);
  EXPECT_FALSE(idle.post);
  EXPECT_EQ(idle.wait, Wait::kEvent);
  // The tick posted before the stop was never dispatched; started again, the
  // timer is armed anew and the first expiry ticks all the same.
  r.schedule.SetEnabled(true);
  const TickSchedule::Step restart = r.schedule.Wake(1100000, Woke::kEvent);
  EXPECT_TRUE(restart.arm);
  EXPECT_FALSE(restart.post);
  EXPECT_TRUE(r.Expiry(1110000));
  EXPECT_TRUE(r.schedule.TakeTick());
  // A tick queued before a stop does not run when it is dispatched after it.
  EXPECT_TRUE(r.Expiry(1120000));
  r.schedule.SetEnabled(false);
  EXPECT_FALSE(r.schedule.TakeTick());
}

TEST(TickSchedule, AFailedWaitPausesAPeriodInsteadOfSpinning) {
  Running r;
  const TickSchedule::Step failed = r.schedule.Wake(1005000, Woke::kFailed);
  EXPECT_FALSE(failed.post);
  EXPECT_EQ(failed.wait, Wait::kPause);
  EXPECT_TRUE(r.Expiry(1015000)) << "the period slept stands in for the timer";
  r.schedule.SetEnabled(false);
  EXPECT_EQ(r.schedule.Wake(1020000, Woke::kFailed).wait, Wait::kPause) << "stopped too";
  EXPECT_EQ(r.schedule.Wake(1030000, Woke::kTimer).wait, Wait::kEvent);
}

TEST(TickSchedule, ClosedNoTickRunsAndTheThreadEnds) {
  Running r;
  EXPECT_TRUE(r.Expiry(1010000));
  r.schedule.Close();
  EXPECT_FALSE(r.schedule.TakeTick());
  r.schedule.SetEnabled(true);  // too late: it stays closed
  EXPECT_EQ(r.schedule.Wake(1020000, Woke::kTimer).wait, Wait::kExit);
  EXPECT_EQ(r.schedule.Wake(1020000, Woke::kFailed).wait, Wait::kExit);
  EXPECT_FALSE(r.schedule.TakeTick());
  // Closed before it ever ran, too.
  TickSchedule never;
  never.Close();
  EXPECT_EQ(never.Wake(0, Woke::kEvent).wait, Wait::kExit);
}

}  // namespace
}  // namespace velmora
