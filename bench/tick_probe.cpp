// tick_probe.exe [SECONDS]: how regular a 10 ms tick is on this machine.
//
// From a hidden window, for SECONDS each (10 by default), it times three
// sources of a 10 ms tick and prints one table row for each (mean, median,
// p99 and max of the period, and ticks per second):
//   - SetTimer(10), the window timer alone;
//   - SetTimer(10) with timeBeginPeriod(1) held;
//   - Velmora's own tick source (the same code as the program's), which says
//     which of its paths it took: in its own message loop, then inside a
//     plain message loop standing for the tray menu's.
// Above the table it says whether this Windows makes and arms the timer that
// Velmora's first path needs, so a user can tell why it took another.
// Nothing is installed or changed; the timer resolution is given back at once.
// clang-format off
#include <windows.h>
#include <mmsystem.h>  // after windows.h, whose types it uses
// clang-format on

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <vector>

#include "platform/platform_ops.h"
#include "platform/win32_tick_source.h"

namespace {

constexpr UINT_PTR kProbeTimerId = 2;
LARGE_INTEGER g_frequency;
std::vector<LONGLONG> g_stamps;
velmora::Win32TickSource* g_source = nullptr;

void Stamp() {
  LARGE_INTEGER now;
  (void)QueryPerformanceCounter(&now);
  g_stamps.push_back(now.QuadPart);
}

LRESULT CALLBACK WindowProc(HWND window, UINT message, WPARAM wParam, LPARAM lParam) {
  if (message == WM_TIMER && wParam == kProbeTimerId) {
    Stamp();
    return 0;
  }
  if (g_source && g_source->IsTick(message, wParam)) {
    if (g_source->TakeTick(message, wParam)) {
      Stamp();
      g_source->TickDone(message, wParam);
    }
    return 0;
  }
  return DefWindowProcA(window, message, wParam, lParam);
}

// Dispatches messages for `seconds`, as a message loop would: Velmora's own
// when `own`, or one that knows nothing of its timer, as the menu's.
bool g_own = false;
void Pump(double seconds) {
  const DWORD start = GetTickCount();
  const DWORD span = static_cast<DWORD>(seconds * 1000);
  for (DWORD elapsed = 0; elapsed < span; elapsed = GetTickCount() - start) {
    if (g_own) {
      (void)g_source->PumpOnce(Stamp, span - elapsed);
      continue;
    }
    (void)MsgWaitForMultipleObjects(0, nullptr, FALSE, span - elapsed, QS_ALLINPUT);
    MSG message;
    while (PeekMessageA(&message, nullptr, 0, 0, PM_REMOVE)) (void)DispatchMessageA(&message);
  }
}

// What this Windows grants of the first path, and so why Velmora's source
// took the path it did: Windows 10 1809 makes the high-resolution timer but
// refuses to arm it with a period; Windows before 1803 refuses to make it.
void ReportHighResolutionTimer() {
  const HANDLE timer = CreateWaitableTimerExW(
      nullptr, nullptr, velmora::Win32TickSource::kHighResolutionFlag, TIMER_ALL_ACCESS);
  if (!timer) {
    std::printf("High-resolution waitable timer: not made (error %lu)\n\n", GetLastError());
    return;
  }
  LARGE_INTEGER due;
  due.QuadPart = -static_cast<LONGLONG>(velmora::kPollPeriodMs) * 10000;  // 100 ns units
  if (SetWaitableTimer(timer, &due, velmora::kPollPeriodMs, nullptr, nullptr, FALSE)) {
    std::printf("High-resolution waitable timer: made and armed with a period\n\n");
    (void)CancelWaitableTimer(timer);
  } else {
    std::printf(
        "High-resolution waitable timer: made, but arming it with a period refused "
        "(error %lu)\n\n",
        GetLastError());
  }
  (void)CloseHandle(timer);
}

// Times the ticks over `seconds`, after a second past start-up.
void Measure(double seconds) {
  Pump(1.0);
  g_stamps.clear();
  Pump(seconds);
}

void Report(const char* source, double seconds) {
  const int n = static_cast<int>(g_stamps.size()) - 1;
  if (n < 2) {
    std::printf("| %-44s | %8s | %8s | %8s | %8s | %7d |\n", source, "-", "-", "-", "-", n + 1);
    return;
  }
  std::vector<double> periods(n);
  double sum = 0;
  for (int i = 0; i < n; ++i) {
    periods[i] = static_cast<double>(g_stamps[i + 1] - g_stamps[i]) * 1000.0 /
                 static_cast<double>(g_frequency.QuadPart);
    sum += periods[i];
  }
  std::sort(periods.begin(), periods.end());
  const double median = n % 2 ? periods[n / 2] : (periods[n / 2 - 1] + periods[n / 2]) / 2;
  const double p99 = periods[std::min(n - 1, (n - 1) * 99 / 100)];
  std::printf("| %-44s | %8.2f | %8.2f | %8.2f | %8.2f | %7.1f |\n", source, sum / n, median, p99,
              periods[n - 1], (n + 1) / seconds);
  std::fflush(stdout);
}

const char* PathName(velmora::Win32TickSource::Path path) {
  switch (path) {
    case velmora::Win32TickSource::Path::kHighResolutionTimer:
      return "Velmora: high-resolution waitable timer";
    case velmora::Win32TickSource::Path::kWaitableTimer:
      return "Velmora: waitable timer, timeBeginPeriod(1)";
    case velmora::Win32TickSource::Path::kWindowTimer:
      return "Velmora: SetTimer, timeBeginPeriod(1)";
    default:
      return "Velmora: no tick source";
  }
}

}  // namespace

int main(int argc, char** argv) {
  const double seconds = argc > 1 ? std::atof(argv[1]) : 10.0;
  if (!(seconds > 0)) {
    std::fprintf(stderr, "usage: tick_probe [SECONDS]  (default 10)\n");
    return 2;
  }
  (void)QueryPerformanceFrequency(&g_frequency);
  // Room for a 1 ms tick, so nothing is allocated while a tick is timed.
  g_stamps.reserve(static_cast<size_t>(seconds * 1000) + 16);
  const HINSTANCE instance = GetModuleHandleA(nullptr);
  WNDCLASSA windowClass = {};
  windowClass.lpfnWndProc = WindowProc;
  windowClass.hInstance = instance;
  windowClass.lpszClassName = "VelmoraTickProbe";
  (void)RegisterClassA(&windowClass);
  // Hidden, like Velmora's own window.
  const HWND window =
      CreateWindowExA(0, windowClass.lpszClassName, "Tick probe", WS_OVERLAPPEDWINDOW, 0, 0, 100,
                      100, nullptr, nullptr, instance, nullptr);
  if (!window) return 1;

  ReportHighResolutionTimer();
  std::printf("%g s each, periods in ms\n\n", seconds);
  std::printf("| %-44s | %8s | %8s | %8s | %8s | %7s |\n", "tick source", "mean", "median", "p99",
              "max", "ticks/s");
  std::printf("|%s|----------|----------|----------|----------|---------|\n",
              "----------------------------------------------");

  (void)SetTimer(window, kProbeTimerId, velmora::kPollPeriodMs, nullptr);
  Measure(seconds);
  (void)KillTimer(window, kProbeTimerId);
  Report("SetTimer(10)", seconds);

  const MMRESULT raised = timeBeginPeriod(1);
  (void)SetTimer(window, kProbeTimerId, velmora::kPollPeriodMs, nullptr);
  Measure(seconds);
  (void)KillTimer(window, kProbeTimerId);
  if (raised == TIMERR_NOERROR) (void)timeEndPeriod(1);
  Report(raised == TIMERR_NOERROR ? "SetTimer(10), timeBeginPeriod(1)"
                                  : "SetTimer(10), timeBeginPeriod(1) refused",
         seconds);

  velmora::Win32TickSource source;
  source.Attach(window, timeBeginPeriod, timeEndPeriod);
  g_source = &source;
  (void)source.SetEnabled(true);
  g_own = true;
  Measure(seconds);
  g_own = false;
  Report(PathName(source.path()), seconds);
  {
    velmora::Win32TickSource::ModalSpan menu(source);
    Measure(seconds);
  }
  source.Close();
  Report("  the same, in another's modal loop", seconds);
  g_source = nullptr;
  (void)DestroyWindow(window);
  return 0;
}
