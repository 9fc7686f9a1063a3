#include "platform/tick_schedule.h"

namespace velmora {

void TickSchedule::SetEnabled(bool enabled) {
  int expected = enabled ? kOff : kOn;
  // Once closed, it stays closed.
  (void)state_.compare_exchange_strong(expected, enabled ? kOn : kOff);
}

void TickSchedule::Close() { state_.store(kClosed); }

bool TickSchedule::TakeTick() {
  outstanding_.store(false);
  return state_.load() == kOn;
}

TickSchedule::Step TickSchedule::Wake(uint64_t nowUs, bool timerExpired) {
  const int state = state_.load();
  if (state == kClosed) return {false, false, Wait::kExit};
  if (state == kOff) {
    running_ = false;
    return {false, false, Wait::kEvent};
  }
  if (!running_) {
    // Counted from the moment the ticks were switched on, as a window timer is.
    running_ = true;
    startUs_ = nowUs;
    lastDue_ = 0;
    return {true, false, Wait::kTimer};
  }
  if (!timerExpired) return {false, false, Wait::kTimer};
  // Which grid point this expiry is. A quarter period of slack takes an expiry
  // that the timer's clock saw a little before ours as the one due; a late
  // wake still counts as the point it is late for.
  const uint64_t due = (nowUs - startUs_ + periodUs_ / 4) / periodUs_;
  if (due <= lastDue_) return {false, false, Wait::kTimer};
  // One tick however many grid points the wake came late for: the missed ones
  // are dropped, never delivered in a burst, and none is posted while the
  // last one still waits in the queue.
  lastDue_ = due;
  return {false, !outstanding_.exchange(true), Wait::kTimer};
}

}  // namespace velmora
