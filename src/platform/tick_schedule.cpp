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

TickSchedule::Step TickSchedule::Wake(uint64_t nowUs) {
  const int state = state_.load();
  if (state == kClosed) return {false, Wait::kExit, 0};
  if (state == kOff) {
    running_ = false;
    return {false, Wait::kEvent, 0};
  }
  if (!running_) {
    // Counted from the moment the ticks were switched on, as a window timer is.
    running_ = true;
    startUs_ = nowUs;
    dueUs_ = nowUs + periodUs_;
    return {false, Wait::kTimer, periodUs_};
  }
  bool post = false;
  if (nowUs >= dueUs_) {
    // One tick however late the wake: the due times it slept through are
    // dropped, and the next one stays on the start + n * period grid, so a
    // late wake never shifts the ticks after it.
    post = !outstanding_.exchange(true);
    dueUs_ = startUs_ + ((nowUs - startUs_) / periodUs_ + 1) * periodUs_;
  }
  return {post, Wait::kTimer, dueUs_ - nowUs};
}

}  // namespace velmora
