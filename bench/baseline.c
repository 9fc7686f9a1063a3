/* The floor for any program that polls a joystick every 10 ms: a bare hidden
 * window whose 10 ms timer makes the same joystick query through the same
 * winmm.dll and reads the cursor, and does nothing else. The Wine benchmark
 * runs it beside Velmora.exe and compares their CPU time.
 *
 * Built a second time with POLL_BASELINE_IDLE_THREAD, it also starts one
 * thread that sleeps for good, as Velmora's timer thread sleeps outside the
 * tray menu. Some C libraries under Wine make every blocking call of a process
 * that has ever had a second thread through a slower way into the kernel; that
 * build tells this cost apart from the cost of Velmora's loop. */
#include <windows.h>

typedef UINT(WINAPI* JoyGetPosExFn)(UINT, void*);

static JoyGetPosExFn g_joyGetPosEx;
static DWORD g_info[13];

#ifdef POLL_BASELINE_IDLE_THREAD
static DWORD WINAPI SleepForGood(void* unused) {
  (void)unused;
  Sleep(INFINITE);
  return 0;
}
#endif

static LRESULT CALLBACK WindowProc(HWND window, UINT message, WPARAM wParam, LPARAM lParam) {
  if (message == WM_TIMER) {
    POINT at;
    g_info[0] = sizeof(g_info);
    g_info[1] = 0xFF;
    if (g_joyGetPosEx) (void)g_joyGetPosEx(0, g_info);
    (void)GetCursorPos(&at);
    return 0;
  }
  if (message == WM_DESTROY) {
    PostQuitMessage(0);
    return 0;
  }
  return DefWindowProcA(window, message, wParam, lParam);
}

int WINAPI WinMain(HINSTANCE instance, HINSTANCE previous, LPSTR command, int show) {
  WNDCLASSA windowClass = {0};
  HMODULE winmm = LoadLibraryExA("winmm.dll", NULL, LOAD_LIBRARY_SEARCH_SYSTEM32);
  HWND window;
  MSG message;
  (void)previous;
  (void)command;
  (void)show;
#ifdef POLL_BASELINE_IDLE_THREAD
  {
    HANDLE thread = CreateThread(NULL, 0, SleepForGood, NULL, 0, NULL);
    if (!thread) return 1;
    (void)CloseHandle(thread);
  }
#endif
  if (winmm) {
    g_joyGetPosEx = (JoyGetPosExFn)(void (*)(void))GetProcAddress(winmm, "joyGetPosEx");
  }
  windowClass.lpfnWndProc = WindowProc;
  windowClass.hInstance = instance;
  windowClass.lpszClassName = "PollBaseline";
  (void)RegisterClassA(&windowClass);
  window = CreateWindowExA(0, "PollBaseline", "Poll baseline", WS_OVERLAPPEDWINDOW, 0, 0, 100,
                           100, NULL, NULL, instance, NULL);
  (void)SetTimer(window, 1, 10, NULL);
  while (GetMessageA(&message, NULL, 0, 0) > 0) {
    (void)TranslateMessage(&message);
    (void)DispatchMessageA(&message);
  }
  return 0;
}
