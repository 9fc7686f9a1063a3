#include "platform/win32_tick_source.h"

#include <mmsystem.h>  // TIMERR_NOERROR only: winmm is looked up at run time

#include <initializer_list>

#include "platform/platform_ops.h"

namespace velmora {
namespace {

// The timer thread only waits and posts; it needs no more than a small stack.
constexpr SIZE_T kThreadStackBytes = 64 * 1024;
constexpr UINT kResolutionMs = 1;
// The window timer's id on the last fallback, carried as WM_TIMER's wParam.
constexpr UINT_PTR kTimer1Id = 1;
constexpr UINT kTimerNoError = 0;  // TIMERR_NOERROR
static_assert(kTimerNoError == TIMERR_NOERROR, "timeBeginPeriod's success");

}  // namespace

Win32TickSource::Win32TickSource() = default;

Win32TickSource::~Win32TickSource() {
  Close();
  if (thread_) {
    (void)WaitForSingleObject(thread_, INFINITE);
    (void)CloseHandle(thread_);
  }
  for (HANDLE handle : {highResolutionTimer_, plainTimer_, wake_}) {
    if (handle) (void)CloseHandle(handle);
  }
}

void Win32TickSource::Attach(HWND window, TimePeriodFn beginPeriod, TimePeriodFn endPeriod) {
  window_ = window;
  beginPeriod_ = beginPeriod;
  endPeriod_ = endPeriod;
}

// Which path times the ticks, and why:
//
// 1. Windows 10 1803 and later: a waitable timer created with
//    CREATE_WAITABLE_TIMER_HIGH_RESOLUTION, which CreateWaitableTimerExW's
//    documentation gives "for time-critical situations when short expiration
//    delays on the order of a few milliseconds are unacceptable", "supported in
//    Windows 10, version 1803, and later". It keeps the 10 ms period without
//    timeBeginPeriod: Windows raises the clock rate for such a timer only
//    while it is set, which here is while the ticks run. A window timer cannot be
//    relied on there: since Windows 10 2004 timeBeginPeriod "no longer affects
//    global timer resolution" (its documentation), and WM_TIMER has been seen
//    to stay on the default 15.6 ms tick in a process that raised it, which
//    would make the cursor a third slower than designed.
// 2. Older Windows refuse the flag, and Windows 10 1809 (LTSC 2019, Server
//    2019) creates such a timer but refuses to arm it with a period
//    (ERROR_INVALID_PARAMETER): so the path is settled when the timer is armed,
//    not when it is made. There a plain waitable timer keeps the period while
//    timeBeginPeriod(1) is held (on those versions a system-wide setting,
//    which window timers follow too); it is held only while the ticks run.
// 3. Should no waitable timer, event or thread be had, or none be armed, the
//    window timer, with timeBeginPeriod(1) held only while the ticks run, as
//    on path 2. Its WM_TIMER reaches the window in every loop, ours or not.
//
// On paths 1 and 2 the UI thread's own loop waits on the timer and runs the
// tick itself: one thread wakes once per tick. A modal loop that is not ours
// dispatches messages but waits on none of our handles, so for its span a
// thread of our own waits on the timer and posts each tick; the ticks still
// run on the UI thread, as messages, never inside one another. A second
// thread and a cross-thread message for every tick would cost several times
// the tick itself (under Wine, three times a bare poller's CPU), so it sleeps
// outside those spans.
bool Win32TickSource::SetEnabled(bool enabled) {
  if (closed_) return !enabled;
  bool on = false;
  if (enabled) {
    // From the path that last ticked down; a healthy start arms once.
    const int first = path_ == Path::kNone ? static_cast<int>(Path::kHighResolutionTimer)
                                           : static_cast<int>(path_);
    for (int path = first; !on && path <= static_cast<int>(Path::kWindowTimer); ++path) {
      path_ = static_cast<Path>(path);
      on = Start(path_);
    }
    if (!on) path_ = Path::kNone;
  } else if (path_ == Path::kWindowTimer) {
    (void)KillTimer(window_, kTimer1Id);  // fails only when it was not running: off either way
  } else if (const HANDLE timer = timer_.load()) {
    // Stopped: no timer left running, and no wake-up until it starts again.
    (void)CancelWaitableTimer(timer);
  }
  // The high-resolution timer keeps its period without it.
  HoldResolution(on && path_ != Path::kHighResolutionTimer);
  schedule_.SetEnabled(on);
  WakeThread();
  return on == enabled;
}

// Makes what `path` needs, if it is not there yet, and arms it. False, with
// nothing armed, when Windows refuses any of it.
bool Win32TickSource::Start(Path path) {
  if (path == Path::kWindowTimer) {
    timer_.store(nullptr);
    HoldResolution(true);
    // Timer1 itself: its WM_TIMER carries kTimer1Id, which IsTick knows.
    return SetTimer(window_, kTimer1Id, kPollPeriodMs, nullptr) != 0;
  }
  HANDLE& timer = path == Path::kHighResolutionTimer ? highResolutionTimer_ : plainTimer_;
  if (!timer) {
    timer = path == Path::kHighResolutionTimer
                ? CreateWaitableTimerExW(nullptr, nullptr, kHighResolutionFlag, TIMER_ALL_ACCESS)
                : CreateWaitableTimerW(nullptr, FALSE, nullptr);
  }
  if (!timer || !StartThread()) return false;
  HoldResolution(path != Path::kHighResolutionTimer);
  // Periodic, so that it is armed once per start rather than once per tick
  // (each arming is a system call, and under Wine a server round trip), and
  // counted from this moment, as a window timer is. The first due time is
  // relative (negative), in 100 ns units; the period in ms.
  LARGE_INTEGER due;
  due.QuadPart = -static_cast<LONGLONG>(kPollPeriodMs) * 10000;
  if (!SetWaitableTimer(timer, &due, kPollPeriodMs, nullptr, nullptr, FALSE)) return false;
  timer_.store(timer);
  return true;
}

bool Win32TickSource::StartThread() {
  if (thread_) return true;
  if (!wake_) wake_ = CreateEventW(nullptr, FALSE, FALSE, nullptr);
  if (frequency_.QuadPart <= 0) (void)QueryPerformanceFrequency(&frequency_);
  if (!wake_ || frequency_.QuadPart <= 0) return false;
  thread_ = CreateThread(nullptr, kThreadStackBytes, ThreadMain, this,
                         STACK_SIZE_PARAM_IS_A_RESERVATION, nullptr);
  // It does nothing but post, so letting it run first costs nothing and keeps
  // other busy threads from delaying the tick in the menu.
  if (thread_) (void)SetThreadPriority(thread_, THREAD_PRIORITY_HIGHEST);
  return thread_ != nullptr;
}

bool Win32TickSource::PumpOnce(void (*tick)(), DWORD timeoutMs) {
  using Woke = TickSchedule::Woke;
  // MWMO_INPUTAVAILABLE: messages already seen but left in the queue count
  // too, since each turn takes one message only.
  HANDLE timer = timer_.load();
  const bool onTimer = timer && schedule_.LoopWaitsOnTimer();
  const uint64_t waitedFromUs = onTimer ? NowUs() : 0;
  const DWORD result = MsgWaitForMultipleObjectsEx(onTimer ? 1 : 0, &timer, timeoutMs, QS_ALLINPUT,
                                                   MWMO_INPUTAVAILABLE);
  if (result == WAIT_TIMEOUT) return true;
  Woke woke = Woke::kEvent;
  uint64_t blockedUs = 0;
  if (result == WAIT_FAILED) {
    // It would fail again at once: a period's sleep rather than a spin, which
    // stands in for the timer if it was waited on.
    Sleep(kPollPeriodMs);
    if (onTimer) woke = Woke::kFailed;
  } else if (onTimer && result == WAIT_OBJECT_0) {
    woke = Woke::kTimer;
    blockedUs = NowUs() - waitedFromUs;
  }
  const TickSchedule::LoopStep step = schedule_.LoopWoke(woke, blockedUs);
  if (step.tick) tick();
  MSG message;
  if (step.message && PeekMessageA(&message, nullptr, 0, 0, PM_REMOVE)) {
    if (message.message == WM_QUIT) return false;
    (void)TranslateMessage(&message);
    (void)DispatchMessageA(&message);
  }
  return true;
}

Win32TickSource::ModalSpan::ModalSpan(Win32TickSource& source) : source_(source) {
  source_.schedule_.EnterModal();
  // Only a thread that has ticks to post need wake: none while they are off.
  if (source_.schedule_.IsOn()) source_.WakeThread();
}

Win32TickSource::ModalSpan::~ModalSpan() {
  source_.schedule_.LeaveModal();
  if (source_.schedule_.IsOn()) source_.WakeThread();
}

bool Win32TickSource::IsTick(UINT message, WPARAM wParam) const {
  return message == kTickMessage || (message == WM_TIMER && wParam == kTimer1Id);
}

bool Win32TickSource::TakeTick(UINT message, WPARAM wParam) {
  // The window timer's message carries its id, not a number; Windows keeps
  // at most one of them pending, so it cannot come in a burst.
  if (message == WM_TIMER) return schedule_.IsOn();
  return schedule_.TakeTick(static_cast<uint32_t>(wParam));
}

void Win32TickSource::TickDone(UINT message, WPARAM wParam) {
  if (message != kTickMessage) return;
  // An expiry came while the tick ran: posted now, the next tick waits before
  // any input the menu has (its loop takes posted messages first), so it is
  // posted only when there is none. Most ticks owe nothing, and cost no look
  // at the queue or the clock; an expiry that comes just after this look is
  // left to the next one, as if input were waiting.
  const bool owed = schedule_.Owed();
  const bool inputWaiting = !owed || HIWORD(GetQueueStatus(QS_INPUT)) != 0;
  const uint32_t next =
      schedule_.TickDone(static_cast<uint32_t>(wParam), owed ? NowUs() : 0, inputWaiting);
  if (next && !PostMessageA(window_, kTickMessage, next, 0)) schedule_.PostFailed(next);
}

void Win32TickSource::Close() {
  if (closed_) return;
  closed_ = true;
  // From here neither the loop nor TakeTick runs a tick, whatever the timer
  // thread still posts: it reads the same state the UI thread just wrote.
  schedule_.Close();
  if (path_ == Path::kWindowTimer) (void)KillTimer(window_, kTimer1Id);
  HoldResolution(false);
  WakeThread();
}

void Win32TickSource::HoldResolution(bool hold) {
  if (hold == resolutionHeld_) return;
  if (hold) {
    resolutionHeld_ = beginPeriod_ && endPeriod_ && beginPeriod_(kResolutionMs) == kTimerNoError;
  } else {
    (void)endPeriod_(kResolutionMs);
    resolutionHeld_ = false;
  }
}

void Win32TickSource::WakeThread() {
  if (wake_) (void)SetEvent(wake_);
}

uint64_t Win32TickSource::NowUs() const {
  LARGE_INTEGER counter;
  (void)QueryPerformanceCounter(&counter);
  const uint64_t ticks = static_cast<uint64_t>(counter.QuadPart);
  const uint64_t hz = static_cast<uint64_t>(frequency_.QuadPart);
  return ticks / hz * 1000000 + ticks % hz * 1000000 / hz;
}

DWORD WINAPI Win32TickSource::ThreadMain(void* self) {
  static_cast<Win32TickSource*>(self)->Run();
  return 0;
}

void Win32TickSource::Run() {
  using Woke = TickSchedule::Woke;
  using Wait = TickSchedule::Wait;
  Woke woke = Woke::kEvent;
  for (;;) {
    const TickSchedule::Step step = schedule_.Wake(NowUs(), woke);
    if (step.post && !PostMessageA(window_, kTickMessage, step.post, 0)) {
      schedule_.PostFailed(step.post);
    }
    // The timer may have changed while this thread slept (a path given up),
    // and the window timer's path has none: then only the event is waited on.
    const HANDLE handles[2] = {wake_, timer_.load()};
    DWORD result = 0;
    switch (handles[1] ? step.wait : step.wait == Wait::kTimer ? Wait::kEvent : step.wait) {
      case Wait::kExit:
        return;
      case Wait::kPause:
        // A failed wait would fail again at once, and at this thread's
        // priority a spinning loop would take a whole core.
        Sleep(kPollPeriodMs);
        woke = Woke::kTimer;
        break;
      case Wait::kEvent:
        // Asleep until the UI thread enters a modal loop or closes.
        result = WaitForSingleObject(wake_, INFINITE);
        woke = result == WAIT_FAILED ? Woke::kFailed : Woke::kEvent;
        break;
      case Wait::kTimer:
        result = WaitForMultipleObjects(2, handles, FALSE, INFINITE);
        woke = result == WAIT_FAILED     ? Woke::kFailed
               : result == WAIT_OBJECT_0 ? Woke::kEvent
                                         : Woke::kTimer;
        break;
    }
  }
}

}  // namespace velmora
