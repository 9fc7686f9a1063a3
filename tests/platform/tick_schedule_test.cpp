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
    EXPECT_FALSE(first.post);
    EXPECT_EQ(first.wait, Wait::kTimer);
  }
  bool Expiry(uint64_t nowUs) {
    const TickSchedule::Step step = schedule.Wake(nowUs, true);
    EXPECT_FALSE(step.arm) << "re-armed at " << nowUs;
    EXPECT_EQ(step.wait, Wait::kTimer);
    return step.post;
  }
};

TEST(TickSchedule, EachGridPointTicksOnceWhateverTheWakeTime) {
  struct Case {
    uint64_t wakeUs;
    bool timer;
    bool post;
  };
  const Case cases[] = {
      {1010000, true, true},    // on time
      {1018000, false, false},  // the event, not the timer, near a due time: no tick
      {1019000, true, true},    // 1 ms early by our clock: the one due at 1.020 s
      {1020100, true, false},   // a second expiry for the same point
      {1037400, true, true},    // 7.4 ms late: still the point due at 1.030 s
      {1040000, true, true},
      {1095000, true, true},  // five points late: one tick, the missed ones dropped
      {1100000, true, true},
  };
  Running r;
  for (const Case& c : cases) {
    const TickSchedule::Step step = r.schedule.Wake(c.wakeUs, c.timer);
    EXPECT_EQ(step.post, c.post) << "wake at " << c.wakeUs;
    EXPECT_FALSE(step.arm) << "wake at " << c.wakeUs;
    if (step.post) EXPECT_TRUE(r.schedule.TakeTick());
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

TEST(TickSchedule, HundredTicksASecondUnderJitter) {
  Running r;
  int posts = 0;
  for (uint64_t due = 1010000; due <= 11000000; due += 10000) {
    // Each expiry seen up to 1 ms early or 6 ms late.
    const uint64_t seen = due - 1000 + (due / 10000 * 7919) % 7000;
    if (r.Expiry(seen)) {
      ++posts;
      EXPECT_TRUE(r.schedule.TakeTick());
    }
  }
  EXPECT_EQ(posts, 1000);
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
