#include "platform/tick_schedule.h"

namespace velmora {

void TickSchedule::SetEnabled(bool enabled) {
  int expected = enabled ? kOff : kOn;
  // Once closed, it stays closed.
  if (state_.compare_exchange_strong(expected, enabled ? kOn : kOff) && enabled) {
    outstanding_.store(0);
    owed_.store(false);
  }
}

void TickSchedule::Close() { state_.store(kClosed); }

bool TickSchedule::TakeTick(uint32_t number) {
  // Only the newest number runs; an older message in the queue is one that was
  // given up for lost, or one posted before a stop.
  if (number == 0 || outstanding_.load() != number) return false;
  // Only expiries from here on are owed: one that came while this tick waited
  // in the queue is paid by this tick itself.
  owed_.store(false);
  if (IsOn()) return true;
  (void)TickDone(number, 0, true);
  return false;
}

uint32_t TickSchedule::TickDone(uint32_t number, uint64_t nowUs, bool inputWaiting) {
  const bool owed = owed_.exchange(false);
  // The owed tick takes over from this one in a single step, so the timer
  // thread cannot post one of its own in between. A newer number means the
  // thread gave this one up for lost meanwhile: that one is queued already.
  if (owed && !inputWaiting && IsOn() && modal_.load() > 0) {
    const uint32_t next = Post(nowUs);
    return outstanding_.compare_exchange_strong(number, next) ? next : 0;
  }
  (void)outstanding_.compare_exchange_strong(number, 0);
  return 0;
}

uint32_t TickSchedule::Post(uint64_t nowUs) {
  // At 100 a second the numbers wrap after about 497 days; 0 means none.
  uint32_t number = lastNumber_.fetch_add(1) + 1;
  if (number == 0) number = lastNumber_.fetch_add(1) + 1;
  postedAtUs_.store(static_cast<uint32_t>(nowUs));
  return number;
}

void TickSchedule::PostFailed(uint32_t number) {
  (void)outstanding_.compare_exchange_strong(number, 0);
}

TickSchedule::LoopStep TickSchedule::LoopWoke(Woke woke, uint64_t blockedUs) const {
  switch (woke) {
    case Woke::kEvent:
      return {false, true};
    case Woke::kTimer:
      return {LoopWaitsOnTimer(), blockedUs < kDueOnArrivalUs};
    case Woke::kFailed:
      // The period slept stands in for the timer; the queue is served too.
      break;
  }
  return {LoopWaitsOnTimer(), true};
}

TickSchedule::Step TickSchedule::Wake(uint64_t nowUs, Woke woke) {
  const int state = state_.load();
  if (state == kClosed) return {0, Wait::kExit};
  // A wait that fails would fail again at once: the thread sleeps a period
  // rather than spin, and the period it slept stands in for the timer.
  if (woke == Woke::kFailed) return {0, Wait::kPause};
  if (state == kOff) return {0, Wait::kEvent};
  // Outside modal loops the UI thread waits on the timer itself.
  const Wait next = modal_.load() > 0 ? Wait::kTimer : Wait::kEvent;
  // An expiry this thread took is a tick owed, even if the modal loop ended
  // just before: the UI thread's own wait will not see that one. None is
  // posted while the last one is outstanding (queued or running), unless it
  // has been so long that it may have been lost; one that came while it ran
  // is owed, and the UI thread posts it as that one returns.
  if (woke != Woke::kTimer) return {0, next};
  if (outstanding_.load() != 0 && static_cast<uint32_t>(nowUs) - postedAtUs_.load() < kLostTickUs) {
    owed_.store(true);
    return {0, next};
  }
  const uint32_t number = Post(nowUs);
  outstanding_.store(number);
  return {number, next};
}

}  // namespace velmora
