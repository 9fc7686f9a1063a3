// The tick source's timing against a fake clock: the timer thread's wakes are
// calls to Wake(now, timerExpired), the UI thread's dispatches are TakeTick().
#include "platform/tick_schedule.h"

#include <gtest/gtest.h>

#include <cstdint>

namespace velmora {
namespace {

using Wait = TickSchedule::Wait;

// A 10 ms schedule switched on at t = 1 s: the first wake arms the timer.
struct Running {
  TickSchedule schedule{10000};
  Running() {
    schedule.SetEnabled(true);
    const TickSchedule::Step first = schedule.Wake(1000000, false);
    EXPECT_TRUE(first.arm);
    EXPECT_EQ(first.armInUs, 10000u);
    EXPECT_FALSE(first.post);
    EXPECT_EQ(first.wait, Wait::kTimer);
  }
  bool Expiry(uint64_t nowUs) {
    const TickSchedule::Step step = schedule.Wake(nowUs, true);
    EXPECT_EQ(step.wait, Wait::kTimer);
    return step.post;
  }
};

TEST(TickSchedule, EachGridPointTicksOnceAndAStrayTimerIsArmedBackOntoTheGrid) {
  struct Case {
    uint64_t wakeUs;
    bool timer;
    bool post;
    uint64_t armInUs;  // 0: left as it is
  };
  const Case cases[] = {
      {1010000, true, true, 0},      // on time
      {1018000, false, false, 0},    // the event, not the timer, near a due time: no tick
      {1019600, true, true, 0},      // 0.4 ms early by our clock: the one due at 1.020 s
      {1030900, true, true, 0},      // 0.9 ms late
      {1038800, true, true, 11200},  // 1.2 ms early: the timer's clock runs ahead
      {1052500, true, true, 0},      // 2.5 ms late, once: a late wake
      {1056000, true, false, 4000},  // a second expiry for 1.050 s: far off
      {1060000, true, true, 0},
      {1097400, true, true, 0},  // three points late: one tick, the missed ones dropped
      {1100000, true, true, 0},
  };
  Running r;
  for (const Case& c : cases) {
    const TickSchedule::Step step = r.schedule.Wake(c.wakeUs, c.timer);
    EXPECT_EQ(step.post, c.post) << "wake at " << c.wakeUs;
    EXPECT_EQ(step.arm, c.armInUs != 0) << "wake at " << c.wakeUs;
    if (step.arm) EXPECT_EQ(step.armInUs, c.armInUs) << "wake at " << c.wakeUs;
    if (step.post) EXPECT_TRUE(r.schedule.TakeTick());
  }
}

TEST(TickSchedule, HundredTicksASecondWhateverTheTimerClockAndJitter) {
  // A periodic timer on a clock 0.5 per mille fast, right or slow; each
  // expiry seen up to 3 ms late. Arming it costs a system call, so it should
  // be armed again now and then, not for every few ticks.
  for (const double rate : {0.9995, 1.0, 1.0005}) {
    Running r;
    int posts = 0, armings = 0;
    double armedAt = 1000000, firstIn = 10000;
    int n = 0;
    for (;;) {
      const double expiry = armedAt + firstIn + n++ * 10000 * rate;
      const uint64_t seen = static_cast<uint64_t>(expiry) + (n * 7919) % 3000;
      if (seen > 61000000) break;
      const TickSchedule::Step step = r.schedule.Wake(seen, true);
      if (step.post) {
        ++posts;
        EXPECT_TRUE(r.schedule.TakeTick());
      }
      if (step.arm) {
        ++armings;
        armedAt = static_cast<double>(seen);
        firstIn = static_cast<double>(step.armInUs) * rate;
        n = 0;
      }
    }
    EXPECT_NEAR(posts, 6000, 1) << "timer clock rate " << rate;
    EXPECT_LT(armings, 60) << "timer clock rate " << rate;
  }
}

TEST(TickSchedule, AtMostOneTickOutstanding) {
  Running r;
  EXPECT_TRUE(r.Expiry(1010000));
  // The UI thread is busy (a slow query, say): the next due times post nothing.
  EXPECT_FALSE(r.Expiry(1020000));
  EXPECT_FALSE(r.Expiry(1030000));
  EXPECT_TRUE(r.schedule.TakeTick());
  EXPECT_TRUE(r.Expiry(1040000));
  // A post that failed leaves none outstanding.
  r.schedule.PostFailed();
  EXPECT_TRUE(r.Expiry(1050000));
}

TEST(TickSchedule, StoppedItWaitsOnTheEventAndDropsQueuedTicks) {
  Running r;
  EXPECT_TRUE(r.Expiry(1010000));
  r.schedule.SetEnabled(false);
  EXPECT_FALSE(r.schedule.TakeTick()) << "a tick queued before the stop ran";
  const TickSchedule::Step idle = r.schedule.Wake(1012000, false);
  EXPECT_FALSE(idle.post);
  EXPECT_EQ(idle.wait, Wait::kEvent);
  // Started again, the grid starts again from that moment.
  r.schedule.SetEnabled(true);
  const TickSchedule::Step restart = r.schedule.Wake(5000300, false);
  EXPECT_TRUE(restart.arm);
  EXPECT_EQ(restart.armInUs, 10000u);
  EXPECT_FALSE(restart.post);
  EXPECT_FALSE(r.Expiry(5006000)) << "ticked before the first due time";
  EXPECT_TRUE(r.Expiry(5010300));
  EXPECT_TRUE(r.schedule.TakeTick());
}

TEST(TickSchedule, ClosedNoTickRunsAndTheThreadEnds) {
  Running r;
  EXPECT_TRUE(r.Expiry(1010000));
  r.schedule.Close();
  EXPECT_FALSE(r.schedule.TakeTick());
  r.schedule.SetEnabled(true);  // too late: it stays closed
  EXPECT_EQ(r.schedule.Wake(1020000, true).wait, Wait::kExit);
  EXPECT_FALSE(r.schedule.TakeTick());
  // Closed before it ever ran, too.
  TickSchedule never{10000};
  never.Close();
  EXPECT_EQ(never.Wake(0, false).wait, Wait::kExit);
}

}  // namespace
}  // namespace velmora
