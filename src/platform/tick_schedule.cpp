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

TickSchedule::Step TickSchedule::Wake(uint64_t nowUs, Woke woke) {
  const int state = state_.load();
  if (state == kClosed) return {false, 0, Wait::kExit};
  // A wait that fails would fail again at once: the thread sleeps a period
  // rather than spin, and the period it slept stands in for the timer.
  if (woke == Woke::kFailed) return {false, 0, Wait::kPause};
  if (state == kOff) {
    running_ = false;
    return {false, 0, Wait::kEvent};
  }
  if (!running_) {
    // Counted from the moment the ticks were switched on, as a window timer is.
    running_ = true;
    return {true, 0, Wait::kTimer};
  }
  if (woke != Woke::kTimer) return {false, 0, Wait::kTimer};
  // None is posted while the last one is outstanding, unless it has been so
  // long that it may have been lost.
  if (outstanding_.load() != 0 && nowUs - postedAtUs_ < kLostTickUs) {
    return {false, 0, Wait::kTimer};
  }
  // At 100 a second the numbers wrap after about 497 days; 0 means none.
  if (++lastNumber_ == 0) lastNumber_ = 1;
  outstanding_.store(lastNumber_);
  postedAtUs_ = nowUs;
  return {false, lastNumber_, Wait::kTimer};
}

}  // namespace velmora
