// The program's entry: the single-instance guard, the hidden main window and
// its message loop. Everything the window does is in formVelmora.
#include <windows.h>

#include "platform/win32_platform.h"
#include "platform/win32_util.h"
#include "shell/form_velmora.h"

namespace {

// In the session's own namespace: another user logged on to the same machine
// runs a copy of their own.
constexpr char kSingleInstanceMutexName[] = "Local\\Velmora.SingleInstance";
constexpr int kIconGroupId = 1;

// A test build, never shipped, asks for a window class that was never
// registered, so that the e2e tests can see what a failed CreateWindowExA
// does to the program.
#ifdef VELMORA_TEST_NO_WINDOW
constexpr char kCreatedClassName[] = "formVelmora.unregistered";
#else
constexpr const char* kCreatedClassName = velmora::kWindowClassName;
#endif

// The platform and the window object live as long as the process; they are
// never destroyed, since the process ends inside Form_Unload.
velmora::Win32Platform g_platform;
velmora::formVelmora g_form(g_platform);

void Tick() { g_form.Timer1_Timer(); }

LRESULT CALLBACK WindowProc(HWND window, UINT message, WPARAM wParam, LPARAM lParam) {
  velmora::Win32TickSource& ticks = g_platform.ticks();
  // The form unloads on these two. No tick may run once that has begun, and
  // none can: ticks run only on this thread, from the message loop below or
  // here, and only while the source is open; it is closed before the form
  // sees the message. A tick already posted, or posted by the timer thread a
  // moment later, is taken and dropped.
  if (message == WM_DESTROY || (message == WM_ENDSESSION && wParam != 0)) ticks.Close();
  if (ticks.IsTick(message, wParam)) {
    if (ticks.TakeTick(message, wParam)) {
      Tick();
      ticks.TickDone(message, wParam);
    }
    return 0;
  }
  if (g_form.WindowMessage(message, wParam, lParam)) return 0;
  return DefWindowProcA(window, message, wParam, lParam);
}

void RestrictDllSearch() {
  // Nothing the program, the shell or an input method loads by bare name may
  // come from the executable's folder or the current directory.
  using SetDefaultDllDirectoriesFn = BOOL(WINAPI*)(DWORD);
  const auto setDefault = velmora::GetProc<SetDefaultDllDirectoriesFn>(
      GetModuleHandleA("kernel32.dll"), "SetDefaultDllDirectories");
  if (setDefault) (void)setDefault(LOAD_LIBRARY_SEARCH_SYSTEM32);
  (void)SetDllDirectoryA("");
}

}  // namespace

int WINAPI WinMain(HINSTANCE instance, HINSTANCE, LPSTR, int) {
  // Before anything else, so that two copies started at the same instant cannot
  // both get past the check. The handle stays open for the life of the process.
  HANDLE mutex = CreateMutexA(nullptr, FALSE, kSingleInstanceMutexName);
  const DWORD mutexError = GetLastError();
  const bool prevInstance = (mutex && mutexError == ERROR_ALREADY_EXISTS) ||
                            (!mutex && mutexError == ERROR_ACCESS_DENIED);

  RestrictDllSearch();

  g_platform.Start(prevInstance);

  WNDCLASSEXA windowClass = {};
  windowClass.cbSize = sizeof(windowClass);
  windowClass.lpfnWndProc = WindowProc;
  windowClass.hInstance = instance;
  windowClass.hIcon = LoadIconA(instance, MAKEINTRESOURCEA(kIconGroupId));
  windowClass.hIconSm = static_cast<HICON>(LoadImageA(instance, MAKEINTRESOURCEA(kIconGroupId),
                                                      IMAGE_ICON, GetSystemMetrics(SM_CXSMICON),
                                                      GetSystemMetrics(SM_CYSMICON), 0));
  windowClass.hCursor = LoadCursorA(nullptr, MAKEINTRESOURCEA(32512));  // IDC_ARROW
  windowClass.lpszClassName = velmora::kWindowClassName;
  (void)RegisterClassExA(&windowClass);

  // A hidden top-level window rather than a message-only one: message-only
  // windows never see broadcasts, and the program needs "TaskbarCreated" and
  // the end-of-session messages. It is never shown.
  HWND window = CreateWindowExA(0, kCreatedClassName, velmora::kWindowCaption, WS_OVERLAPPEDWINDOW,
                                CW_USEDEFAULT, CW_USEDEFAULT, CW_USEDEFAULT, CW_USEDEFAULT, nullptr,
                                nullptr, instance, nullptr);
  // Without its window the program could show no icon and receive no tick or
  // command: it would live on invisibly until Task Manager ended it.
  if (!window) g_platform.EndProcess(1);

  // Sent when the notification area (re)starts. An elevated copy only receives
  // it from the unelevated shell if the window's message filter lets it in.
  const UINT taskbarCreated = RegisterWindowMessageA("TaskbarCreated");
  g_form.SetTaskbarCreatedMessage(taskbarCreated);
  if (window && taskbarCreated) {
    (void)ChangeWindowMessageFilterEx(window, taskbarCreated, MSGFLT_ALLOW, nullptr);
  }

  // The small image of the icon: the notification area draws at that size.
  g_platform.Attach(window, windowClass.hIconSm ? windowClass.hIconSm : windowClass.hIcon);
  g_form.Form_Load();

  // The message loop, which also runs the ticks (win32_tick_source.h).
  while (g_platform.ticks().PumpOnce(Tick, INFINITE)) {
  }
  // Any process may post this thread a WM_QUIT. The window is still there:
  // unload it as its own end would, or a button the joystick holds stays down
  // and the icon is left behind. Form_Unload ends the process, so it runs once.
  g_platform.ticks().Close();
  g_form.Form_Unload();
  return 0;
}
