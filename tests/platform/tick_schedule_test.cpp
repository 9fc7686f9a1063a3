// The tick source's timing against a fake clock: the timer thread's wakes are
// calls to Wake(now), the UI thread's dispatches are calls to TakeTick().
#include "platform/tick_schedule.h"

#include <gtest/gtest.h>

#include <cstdint>

namespace velmora {
namespace {

using Wait = TickSchedule::Wait;

// A 10 ms schedule switched on at t = 1 s; the first wake starts the grid.
struct Running {
  TickSchedule schedule{10000};
  Running() {
    schedule.SetEnabled(true);
    const TickSchedule::Step first = schedule.Wake(1000000);
    EXPECT_FALSE(first.post);
    EXPECT_EQ(first.wait, Wait::kTimer);
    EXPECT_EQ(first.waitUs, 10000u);
  }
};

TEST(TickSchedule, DueTimesStayOnTheGridWhateverTheWakeTimes) {
  struct Case {
    uint64_t wakeUs;
    bool post;
    uint64_t waitUs;
  };
  const Case cases[] = {
      {1010000, true, 10000},  // on time
      {1019990, false, 10},    // a wake 10 us early posts nothing and waits out the rest
      {1023500, true, 6500},   // 3.5 ms late: the next one is still due at 1.030 s
      {1030000, true, 10000},
      {1085000, true, 5000},  // five periods late: one tick, the missed ones are dropped
      {1090000, true, 10000},
  };
  Running r;
  for (const Case& c : cases) {
    const TickSchedule::Step step = r.schedule.Wake(c.wakeUs);
    EXPECT_EQ(step.post, c.post) << "wake at " << c.wakeUs;
    EXPECT_EQ(step.waitUs, c.waitUs) << "wake at " << c.wakeUs;
    EXPECT_EQ(step.wait, Wait::kTimer);
    if (step.post) EXPECT_TRUE(r.schedule.TakeTick());
  }
}

TEST(TickSchedule, AtMostOneTickOutstanding) {
  Running r;
  EXPECT_TRUE(r.schedule.Wake(1010000).post);
  // The UI thread is busy (a slow query, say): the next due times post nothing.
  EXPECT_FALSE(r.schedule.Wake(1020000).post);
  EXPECT_FALSE(r.schedule.Wake(1030000).post);
  EXPECT_TRUE(r.schedule.TakeTick());
  EXPECT_TRUE(r.schedule.Wake(1040000).post);
  // A post that failed leaves none outstanding.
  r.schedule.PostFailed();
  EXPECT_TRUE(r.schedule.Wake(1050000).post);
}

TEST(TickSchedule, HundredTicksASecondUnderJitter) {
  Running r;
  int posts = 0;
  uint64_t now = 1000000;
  for (int i = 0; i < 5000 && now < 11000000; ++i) {
    const TickSchedule::Step step = r.schedule.Wake(now);
    if (step.post) {
      ++posts;
      EXPECT_TRUE(r.schedule.TakeTick());
    }
    now += step.waitUs + (i * 7919) % 3000;  // each wake 0 to 3 ms late
  }
  EXPECT_GE(posts, 999);
  EXPECT_LE(posts, 1000);
}

TEST(TickSchedule, StoppedItWaitsOnTheEventAndDropsQueuedTicks) {
  Running r;
  EXPECT_TRUE(r.schedule.Wake(1010000).post);
  r.schedule.SetEnabled(false);
  EXPECT_FALSE(r.schedule.TakeTick()) << "a tick queued before the stop ran";
  const TickSchedule::Step idle = r.schedule.Wake(1012000);
  EXPECT_FALSE(idle.post);
  EXPECT_EQ(idle.wait, Wait::kEvent);
  EXPECT_FALSE(r.schedule.Open());
  // Started again, the grid starts again from that moment.
  r.schedule.SetEnabled(true);
  EXPECT_TRUE(r.schedule.Open());
  const TickSchedule::Step restart = r.schedule.Wake(5000300);
  EXPECT_FALSE(restart.post);
  EXPECT_EQ(restart.waitUs, 10000u);
  EXPECT_TRUE(r.schedule.Wake(5010300).post);
  EXPECT_TRUE(r.schedule.TakeTick());
}

TEST(TickSchedule, ClosedNoTickRunsAndTheThreadEnds) {
  Running r;
  EXPECT_TRUE(r.schedule.Wake(1010000).post);
  r.schedule.Close();
  EXPECT_FALSE(r.schedule.TakeTick());
  r.schedule.SetEnabled(true);  // too late: it stays closed
  EXPECT_FALSE(r.schedule.Open());
  EXPECT_EQ(r.schedule.Wake(1020000).wait, Wait::kExit);
  EXPECT_FALSE(r.schedule.TakeTick());
  // Closed before it ever ran, too.
  TickSchedule never{10000};
  never.Close();
  EXPECT_EQ(never.Wake(0).wait, Wait::kExit);
}

}  // namespace
}  // namespace velmora
