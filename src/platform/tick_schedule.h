// When a poll tick runs: the decisions of the Win32 tick source
// (win32_tick_source.h), kept free of windows.h so they run against a fake
// clock and a model of the timer in the unit tests.
//
// The ticks come from one periodic waitable timer, auto-reset: armed once when
// the ticks are switched on, it expires every period on its own, and expiries
// that come while nobody waits collapse into one signal instead of queueing.
// So each time a wait on it ends, one tick is owed, with no clock arithmetic:
// a late wake costs no tick, and a stall of any length ends in one tick.
//
// Who waits on it:
// - The UI thread's own message loop, most of the time: it waits on the timer
//   and its queue together and runs the tick itself when the timer is due. One
//   thread, one wake-up per tick.
// - While a modal loop that is not ours runs on the UI thread (the tray menu's,
//   the shell's for About...), that loop dispatches messages but waits on none
//   of our handles. The UI thread says so (EnterModal) and a timer thread waits
//   on the timer meanwhile and posts each tick as a message; the modal loop
//   dispatches it to the window procedure, which asks TakeTick. Outside those
//   spans the timer thread waits on its wake event alone: asleep.
//
// Each posted tick carries a number, and only the newest one posted runs. A
// tick stays outstanding from its post until it has run: expiries that come
// while it waits or runs post nothing. One that came while it ran is owed, and
// the UI thread posts it as the tick returns, unless input is waiting; then
// the next expiry brings it. The menu's loop takes posted messages before
// input, so a tick posted while one that overran its period still ran would
// always be waiting when that one returned, and the menu would see no key or
// click for as long as the driver stays slow. A tick still outstanding after
// kLostTickUs is posted again under a new number, since the thread cannot tell
// a message that was taken off the queue by someone else's loop from one that
// waits behind a stalled UI thread. After a stall of several seconds the queue
// therefore holds one message per second of it; all but the newest are
// dropped when dispatched, so the stall ends in one tick, never a burst.
#ifndef VELMORA_PLATFORM_TICK_SCHEDULE_H
#define VELMORA_PLATFORM_TICK_SCHEDULE_H

#include <atomic>
#include <cstdint>

namespace velmora {

class TickSchedule {
 public:
  // Why a wait ended: the timer thread's wake event (for the UI thread's
  // loop: its queue), the timer, or a failure of the wait itself.
  enum class Woke { kEvent, kTimer, kFailed };
  enum class Wait { kTimer, kEvent, kPause, kExit };
  // What the timer thread does after a wake.
  struct Step {
    uint32_t post;  // the number of a tick to post now, 0 for none
    Wait wait;      // then: wait for the timer, for the event alone, pause, or end.
                    // kPause: sleep one period, then call Wake(kTimer)
  };
  // What the UI thread's loop does after its wait ended, in this order.
  struct LoopStep {
    bool tick;     // run the tick
    bool message;  // take one queued message, if there is one, and dispatch it
  };

  // How long a tick may stay outstanding before another is posted. Joystick
  // drivers waking from power saving and a browser starting for About... can
  // hold the UI thread longer than this; the numbers keep that harmless.
  static constexpr uint64_t kLostTickUs = 1000000;
  // A loop's wait on the timer that ends sooner than this found the timer
  // already due: the last tick (or what came before it) took the whole
  // period, and the queue may have been passed over.
  static constexpr uint64_t kDueOnArrivalUs = 1000;

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
  // A modal loop that is not ours starts or ends on the UI thread; spans nest.
  void EnterModal() { modal_.fetch_add(1); }
  void LeaveModal() { modal_.fetch_sub(1); }
  // The tick numbered `number` was dispatched. True when it should run: it is
  // the newest one posted and the ticks are on. It stays outstanding until
  // TickDone.
  bool TakeTick(uint32_t number);
  // The tick numbered `number` has returned at `nowUs` (or was dropped). When
  // an expiry came meanwhile in someone else's modal loop and no input is
  // waiting, returns the number of the tick owed, outstanding now, for the
  // caller to post at once; else 0.
  uint32_t TickDone(uint32_t number, uint64_t nowUs, bool inputWaiting);
  // Whether an expiry has come since the outstanding tick began to run: the
  // caller need ask about input and the clock only then.
  bool Owed() const { return owed_.load(); }
  // True while the ticks are on: what an unnumbered tick (the window timer's,
  // of which Windows keeps at most one pending) goes by.
  bool IsOn() const { return state_.load() == kOn; }

  // ---- the UI thread's own message loop ----

  // Whether its wait includes the timer: the ticks are on and no modal loop
  // of someone else's has them.
  bool LoopWaitsOnTimer() const { return IsOn() && modal_.load() == 0; }
  // Its wait ended after `blockedUs`, on the queue (kEvent), the timer, or a
  // failure (after which the caller has slept one period). A timer found due
  // at once brings one queued message along after its tick, so that ticks
  // that overrun their period cannot starve the queue; a flood of messages
  // cannot starve the ticks, since the wait reports the timer first.
  LoopStep LoopWoke(Woke woke, uint64_t blockedUs) const;

  // ---- timer thread ----

  // The thread's wait ended at `nowUs` (a monotonic clock in microseconds).
  Step Wake(uint64_t nowUs, Woke woke);
  // The tick numbered `number` could not be posted.
  void PostFailed(uint32_t number);

 private:
  enum State : int { kOff, kOn, kClosed };

  std::atomic<int> state_{kOff};
  std::atomic<int> modal_{0};
  // The number of the newest tick posted and not yet dispatched, 0 for none.
  // The timer thread stores it before posting; whoever clears it names the
  // number it expects, so a late clear can never drop a newer tick.
  std::atomic<uint32_t> outstanding_{0};
  // An expiry came while the outstanding tick ran.
  std::atomic<bool> owed_{false};
  // The last number used, and when the outstanding tick was posted (the low
  // 32 bits of the clock: differences hold for over an hour).
  std::atomic<uint32_t> lastNumber_{0};
  std::atomic<uint32_t> postedAtUs_{0};

  uint32_t Post(uint64_t nowUs);
};

}  // namespace velmora

#endif
