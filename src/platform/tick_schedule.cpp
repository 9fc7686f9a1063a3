#include "platform/tick_schedule.h"

namespace velmora {

void TickSchedule::SetEnabled(bool enabled) {
  int expected = enabled ? kOff : kOn;
  // Once closed, it stays closed.
  if (state_.compare_exchange_strong(expected, enabled ? kOn : kOff) && enabled) {
    outstanding_.store(false);
  }
}

void TickSchedule::Close() { state_.store(kClosed); }

bool TickSchedule::TakeTick() {
  outstanding_.store(false);
  return state_.load() == kOn;
}

TickSchedule::Step TickSchedule::Wake(uint64_t nowUs, Woke woke) {
  const int state = state_.load();
  if (state == kClosed) return {false, false, Wait::kExit};
  // A wait that fails would fail again at once: the thread sleeps a period
  // rather than spin, and the period it slept stands in for the timer.
  if (woke == Woke::kFailed) return {false, false, Wait::kPause};
  if (state == kOff) {
    running_ = false;
    return {false, false, Wait::kEvent};
  }
  if (!running_) {
    // Counted from the moment the ticks were switched on, as a window timer is.
    running_ = true;
    return {true, false, Wait::kTimer};
  }
  if (woke != Woke::kTimer) return {false, false, Wait::kTimer};
  // None is posted while the last one still waits in the queue, unless it has
  // waited so long that it must have been lost.
  bool post = !outstanding_.exchange(true);
  if (!post && nowUs - postedAtUs_ >= kLostTickUs) post = true;
  if (post) postedAtUs_ = nowUs;
  return {false, post, Wait::kTimer};
}

}  // namespace velmora
