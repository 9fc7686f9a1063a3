#include "platform/tick_schedule.h"

#include <climits>

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
  if (state == kClosed) return {false, 0, false, Wait::kExit};
  if (state == kOff) {
    running_ = false;
    return {false, 0, false, Wait::kEvent};
  }
  if (!running_) {
    // Counted from the moment the ticks were switched on, as a window timer is.
    running_ = true;
    startUs_ = nowUs;
    lastDue_ = 0;
    expiriesSinceCheck_ = 0;
    minOffsetUs_ = INT64_MAX;
    return {true, periodUs_, false, Wait::kTimer};
  }
  if (!timerExpired) return {false, 0, false, Wait::kTimer};
  // Which grid point this expiry is for: up to a quarter period early (by our
  // clock) it is the coming one, and a late one is the one it is late for.
  const uint64_t elapsedUs = nowUs - startUs_;
  const uint64_t due = (elapsedUs + periodUs_ / 4) / periodUs_;
  if (due <= lastDue_) {
    // A second expiry for a point already ticked: the timer is far off the
    // grid. Back onto it, from the next point.
    return {true, (lastDue_ + 1) * periodUs_ - elapsedUs, false, Wait::kTimer};
  }
  // One tick however many points the wake came late for: the missed ones are
  // dropped, never delivered in a burst, and none is posted while the last one
  // still waits in the queue.
  lastDue_ = due;
  const bool post = !outstanding_.exchange(true);
  // An expiry early by our clock can only be the timer's clock running ahead
  // of ours; lateness, though, is mostly the wake's, so the timer counts as
  // behind only when even its most punctual expiry over a second is late.
  // Either way it is armed again on the grid, long before its expiries could
  // be taken for the next point or the last.
  const int64_t offsetUs = static_cast<int64_t>(elapsedUs - due * periodUs_);
  if (offsetUs < minOffsetUs_) minOffsetUs_ = offsetUs;
  bool stray = offsetUs < -static_cast<int64_t>(periodUs_ / 10);
  if (++expiriesSinceCheck_ == kExpiriesPerCheck) {
    stray = stray || minOffsetUs_ > static_cast<int64_t>(periodUs_ / 5);
    expiriesSinceCheck_ = 0;
    minOffsetUs_ = INT64_MAX;
  }
  if (stray) {
    expiriesSinceCheck_ = 0;
    minOffsetUs_ = INT64_MAX;
  }
  return {stray, stray ? (due + 1) * periodUs_ - elapsedUs : 0, post, Wait::kTimer};
}

}  // namespace velmora
