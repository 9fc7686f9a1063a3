// When a poll tick may be posted: the decisions of the Win32 tick source
// (win32_tick_source.h), kept free of windows.h so they run against a fake
// clock and a model of the timer in the unit tests.
//
// Two threads share it. The UI thread switches the ticks on and off, takes
// each tick message as it is dispatched, and closes the schedule when the
// program unloads. The timer thread calls Wake() each time its wait ends and
// does what the returned step says: arm its periodic timer, post a tick, then
// wait for the timer, for the wake event alone, pause, or end.
//
// The timer is an auto-reset waitable timer made periodic: armed once per
// start, it expires every period on its own, and expiries that come while the
// thread is still busy collapse into one signal instead of queueing. So each
// wake on the timer is worth one tick, with no clock arithmetic: a late wake
// costs no tick, and a wake that comes more than a whole period late costs
// only the points it slept through, never a burst afterwards.
#ifndef VELMORA_PLATFORM_TICK_SCHEDULE_H
#define VELMORA_PLATFORM_TICK_SCHEDULE_H

#include <atomic>
#include <cstdint>

namespace velmora {

class TickSchedule {
 public:
  // Why the timer thread's wait ended.
  enum class Woke { kEvent, kTimer, kFailed };
  enum class Wait { kTimer, kEvent, kPause, kExit };
  struct Step {
    bool arm;   // arm the periodic timer first: due in one period, then every period
    bool post;  // post one tick message now
    Wait wait;  // what to do next; kPause: sleep one period, then call Wake(kTimer)
  };

  // A tick that has waited this long in the queue was lost on the way (taken
  // off by some other component's message loop, say): no real stall is that
  // long, and waiting for it would stop the ticks for good.
  static constexpr uint64_t kLostTickUs = 1000000;

  TickSchedule() = default;
  TickSchedule(const TickSchedule&) = delete;
  TickSchedule& operator=(const TickSchedule&) = delete;

  // ---- UI thread. The caller wakes the timer thread after each change. ----

  // Starts or stops the ticks. Stopped, the timer thread waits on its event;
  // started, it begins with no tick outstanding.
  void SetEnabled(bool enabled);
  // Unload has begun: no tick runs from now on and the timer thread ends.
  void Close();
  // A tick message was dispatched: it is no longer outstanding. True when the
  // tick should run, false once the ticks were stopped or the schedule closed.
  bool TakeTick();

  // ---- timer thread ----

  // The thread's wait ended at `nowUs` (a monotonic clock in microseconds).
  Step Wake(uint64_t nowUs, Woke woke);
  // The tick Wake asked for could not be posted: none is outstanding.
  void PostFailed() { outstanding_.store(false); }

 private:
  enum State : int { kOff, kOn, kClosed };

  std::atomic<int> state_{kOff};
  // Set by the timer thread when it posts, cleared by the UI thread when the
  // tick is dispatched: at most one tick waits in the queue.
  std::atomic<bool> outstanding_{false};

  // The timer thread's own: whether the timer is armed for this start, and
  // when the outstanding tick was posted.
  bool running_ = false;
  uint64_t postedAtUs_ = 0;
};

}  // namespace velmora

#endif
