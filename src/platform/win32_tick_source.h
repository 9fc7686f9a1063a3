// The poll tick on Win32: every kPollPeriodMs, on the UI thread. Its own
// message loop (PumpOnce) waits on a periodic waitable timer and its queue and
// runs the tick when the timer is due; inside modal loops that are not its own
// (ModalSpan) a timer thread posts the tick as a private message
// (kTickMessage) instead. On the last fallback the window timer's WM_TIMER
// carries every tick. tick_schedule.h says why.
#ifndef VELMORA_PLATFORM_WIN32_TICK_SOURCE_H
#define VELMORA_PLATFORM_WIN32_TICK_SOURCE_H

#include <windows.h>

#include <atomic>

#include "platform/tick_schedule.h"

namespace velmora {

// The message a posted tick arrives as, its number in wParam. Private to the
// main window's class.
constexpr UINT kTickMessage = WM_APP + 1;

class Win32TickSource {
 public:
  // How the ticks are timed; see the comment at Win32TickSource::SetEnabled.
  enum class Path { kNone, kHighResolutionTimer, kWaitableTimer, kWindowTimer };
  using TimePeriodFn = UINT(WINAPI*)(UINT);
  // CREATE_WAITABLE_TIMER_HIGH_RESOLUTION, which these headers lack (so it has
  // nothing to be checked against): 0x00000002 in the Windows 10 SDK's synchapi.h.
  static constexpr DWORD kHighResolutionFlag = 0x00000002;

  // Marks a modal loop that is not the program's own (TrackPopupMenu,
  // ShellExecute's) for as long as it lives: the ticks go on meanwhile.
  class ModalSpan {
   public:
    explicit ModalSpan(Win32TickSource& source);
    ~ModalSpan();
    ModalSpan(const ModalSpan&) = delete;
    ModalSpan& operator=(const ModalSpan&) = delete;

   private:
    Win32TickSource& source_;
  };

  Win32TickSource();
  ~Win32TickSource();
  Win32TickSource(const Win32TickSource&) = delete;
  Win32TickSource& operator=(const Win32TickSource&) = delete;

  // The window the ticks go to, and winmm's timeBeginPeriod and timeEndPeriod
  // (either may be null). Call once, on the UI thread, before SetEnabled.
  void Attach(HWND window, TimePeriodFn beginPeriod, TimePeriodFn endPeriod);

  // UI thread only, like everything below. Starts or stops the ticks. Each
  // start keeps the path that last ticked, or takes the next one down when
  // Windows refuses to arm it; false when no path could start them (the next
  // start tries them all again).
  bool SetEnabled(bool enabled);
  // One turn of the UI thread's message loop: waits up to `timeoutMs` for the
  // timer or a message, then runs `tick` when a tick is due and dispatches one
  // message when one is there. False once WM_QUIT has been taken; the
  // caller's loop ends there. A wait that fails costs a period's sleep.
  bool PumpOnce(void (*tick)(), DWORD timeoutMs);
  // True when `message` is a tick, as this source delivers it.
  bool IsTick(UINT message, WPARAM wParam) const;
  // The tick `message` was dispatched; true when it should run. Then, once
  // it has run, TickDone.
  bool TakeTick(UINT message, WPARAM wParam);
  void TickDone(UINT message, WPARAM wParam);
  // Unload has begun: no tick runs after this call returns.
  void Close();

  Path path() const { return path_; }

 private:
  static DWORD WINAPI ThreadMain(void* self);
  void Run();
  bool Start(Path path);
  bool StartThread();
  void HoldResolution(bool hold);
  void WakeThread();
  uint64_t NowUs() const;

  TickSchedule schedule_;
  Path path_ = Path::kNone;
  HWND window_ = nullptr;
  TimePeriodFn beginPeriod_ = nullptr;
  TimePeriodFn endPeriod_ = nullptr;
  bool resolutionHeld_ = false;
  bool closed_ = false;
  // Each kind of waitable timer is made once and kept until the end: the
  // timer thread may still be waiting on one that was given up.
  HANDLE highResolutionTimer_ = nullptr;
  HANDLE plainTimer_ = nullptr;
  std::atomic<HANDLE> timer_{nullptr};  // the one that ticks, if any
  HANDLE wake_ = nullptr;
  HANDLE thread_ = nullptr;
  LARGE_INTEGER frequency_ = {};
};

}  // namespace velmora

#endif
