// When the poll tick is due, and whether one may be posted: the decisions of
// the Win32 tick source (win32_tick_source.h), kept free of windows.h so they
// run against a fake clock in the unit tests.
//
// Two threads share it. The UI thread switches the ticks on and off, takes
// each tick message as it is dispatched, and closes the schedule when the
// program unloads. The timer thread calls Wake() each time its wait ends and
// does what the returned step says: arm its periodic timer, post a tick, then
// wait for the timer, for the wake event alone, or end.
//
// The due times are start + n * 10 ms on the clock Wake is given. A periodic
// timer keeps to them without being armed for every tick; Wake counts each
// expiry against the grid and has the timer armed again only when it strays
// from it, as it does when its clock runs at another rate than ours.
#ifndef VELMORA_PLATFORM_TICK_SCHEDULE_H
#define VELMORA_PLATFORM_TICK_SCHEDULE_H

#include <atomic>
#include <cstdint>

namespace velmora {

class TickSchedule {
 public:
  enum class Wait { kTimer, kEvent, kExit };
  struct Step {
    bool arm;          // arm the timer first: due in armInUs, then every period
    uint64_t armInUs;  // from the time given to Wake
    bool post;         // post one tick message now
    Wait wait;         // what to wait for next
  };

  explicit TickSchedule(uint64_t periodUs) : periodUs_(periodUs) {}
  TickSchedule(const TickSchedule&) = delete;
  TickSchedule& operator=(const TickSchedule&) = delete;

  // ---- UI thread. The caller wakes the timer thread after each change. ----

  // Starts or stops the ticks. Stopped, the timer thread waits on its event.
  void SetEnabled(bool enabled);
  // Unload has begun: no tick runs from now on and the timer thread ends.
  void Close();
  // A tick message was dispatched: it is no longer outstanding. True when the
  // tick should run, false once the ticks were stopped or the schedule closed.
  bool TakeTick();

  // ---- timer thread ----

  // The thread's wait ended at `nowUs` (a monotonic clock in microseconds),
  // because the timer expired or, if not, because the event was set.
  Step Wake(uint64_t nowUs, bool timerExpired);
  // The tick Wake asked for could not be posted: none is outstanding.
  void PostFailed() { outstanding_.store(false); }

 private:
  enum State : int { kOff, kOn, kClosed };

  const uint64_t periodUs_;
  std::atomic<int> state_{kOff};
  // Set by the timer thread when it posts, cleared by the UI thread when the
  // tick is dispatched: at most one tick waits in the queue.
  std::atomic<bool> outstanding_{false};

  // How many expiries the punctuality of the timer is judged over.
  static constexpr int kExpiriesPerCheck = 100;

  // The timer thread's own: the grid's start, the last grid point ticked, and
  // the earliest expiry (against its point) since the last check.
  bool running_ = false;
  uint64_t startUs_ = 0;
  uint64_t lastDue_ = 0;
  int expiriesSinceCheck_ = 0;
  int64_t minOffsetUs_ = 0;
};

}  // namespace velmora

#endif
