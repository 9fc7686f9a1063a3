#include "platform/tick_schedule.h"

namespace velmora {

void TickSchedule::SetEnabled(bool enabled) {
  int expected = enabled ? kOff : kOn;
  // Once closed, it stays closed.
  if (state_.compare_exchange_strong(expected, enabled ? kOn : kOff) && enabled) {
    outstanding_.store(0);
  }
}

void TickSchedule::Close() { state_.store(kClosed); }

bool TickSchedule::TakeTick(uint32_t number) {
  // Only the newest number clears the slot; an older message in the queue is
  // one that was given up for lost, or one posted before a stop.
  if (number == 0 || !outstanding_.compare_exchange_strong(number, 0)) return false;
  return IsOn();
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
  // posted while the last one is outstanding, unless it has been so long
  // that it may have been lost.
  if (woke != Woke::kTimer || (outstanding_.load() != 0 && nowUs - postedAtUs_ < kLostTickUs)) {
    return {0, next};
  }
  // At 100 a second the numbers wrap after about 497 days; 0 means none.
  if (++lastNumber_ == 0) lastNumber_ = 1;
  outstanding_.store(lastNumber_);
  postedAtUs_ = nowUs;
  return {lastNumber_, next};
}

}  // namespace velmora
