// When a poll tick may be posted and when a dispatched one may run: the
// decisions of the Win32 tick source (win32_tick_source.h), kept free of
// windows.h so they run against a fake clock and a model of the timer in the
// unit tests.
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
// only the points it slept through.
//
// Each posted tick carries a number, and only the newest one posted runs. A
// tick still outstanding after kLostTickUs is posted again under a new number,
// since the thread cannot tell a message that was taken off the queue by
// someone else's loop from one that waits behind a stalled UI thread. After a
// stall of several seconds the queue therefore holds one message per second
// of it; all but the newest are dropped when dispatched, so the stall ends in
// one tick, never a burst.
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
    bool arm;       // arm the periodic timer first: due in one period, then every period
    uint32_t post;  // the number of a tick to post now, 0 for none
    Wait wait;      // what to do next; kPause: sleep one period, then call Wake(kTimer)
  };

  // How long a tick may stay outstanding before another is posted. Joystick
  // drivers waking from power saving and a browser starting for About... can
  // hold the UI thread longer than this; the numbers keep that harmless.
  static constexpr uint64_t kLostTickUs = 1000000;

  TickSchedule() = default;
  TickSchedule(const TickSchedule&) = delete;
  TickSchedule& operator=(const TickSchedule&) = delete;

  // ---- UI thread. The caller wakes the timer thread after each change. ----

  // Starts or stops the ticks. Stopped, the timer thread waits on its event;
  // started, it begins with none outstanding, so a tick posted before the
  // stop never runs after it.
  void SetEnabled(bool enabled);
  // Unload has begun: no tick runs from now on and the timer thread ends.
  void Close();
  // The tick numbered `number` was dispatched. True when it should run: it is
  // the newest one posted and the ticks are on. Only that one stops being
  // outstanding.
  bool TakeTick(uint32_t number);
  // True while the ticks are on: what an unnumbered tick (the window timer's,
  // of which Windows keeps at most one pending) goes by.
  bool IsOn() const { return state_.load() == kOn; }

  // ---- timer thread ----

  // The thread's wait ended at `nowUs` (a monotonic clock in microseconds).
  Step Wake(uint64_t nowUs, Woke woke);
  // The tick numbered `number` could not be posted.
  void PostFailed(uint32_t number);

 private:
  enum State : int { kOff, kOn, kClosed };

  std::atomic<int> state_{kOff};
  // The number of the newest tick posted and not yet dispatched, 0 for none.
  // The timer thread stores it before posting; whoever clears it names the
  // number it expects, so a late clear can never drop a newer tick.
  std::atomic<uint32_t> outstanding_{0};

  // The timer thread's own: whether the timer is armed for this start, the
  // last number used, and when the outstanding tick was posted.
  bool running_ = false;
  uint32_t lastNumber_ = 0;
  uint64_t postedAtUs_ = 0;
};

}  // namespace velmora

#endif
