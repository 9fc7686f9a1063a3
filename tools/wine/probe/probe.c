// probe.exe: the e2e tests' eyes and hands inside Wine (tests/e2e/README.md says
// what it does). "probe window LOG" runs the commands of Run, one a line on stdin,
// each answered on stdout and ended by "= EXITCODE"; "browser ..." is browser.exe.
#include <windows.h>

#include <shellapi.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>

static FILE* g_events;
static HWND g_window;

static LRESULT CALLBACK ProbeProc(HWND window, UINT message, WPARAM wParam, LPARAM lParam) {
  if ((message >= WM_KEYDOWN && message <= WM_SYSKEYUP) ||
      (message > WM_MOUSEMOVE && message <= WM_MBUTTONDBLCLK)) {
    fprintf(g_events, "%x %x %lx\n", message, (unsigned)wParam, (unsigned long)lParam);
    fflush(g_events);
    return 0;
  }
  // Nothing quits on WM_ENDSESSION: quit before the IME window has answered, and
  // Wine 8's wineboot frees the record of that wait while the reply is due; the
  // next process it shuts down (Velmora) was then seen killed before it had
  // unloaded, or never sent WM_ENDSESSION.
  return DefWindowProcA(window, message, wParam, lParam);
}

static int g_fakeLeft, g_fakeWaitMs, g_fakeDone;
static HWND g_fake;

static LRESULT CALLBACK FakeTrayProc(HWND window, UINT message, WPARAM wParam, LPARAM lParam) {
  if (message != WM_COPYDATA) return DefWindowProcA(window, message, wParam, lParam);
  // Wine's Shell_NotifyIcon sends its NIM_ message as dwData; the tray itself
  // is the next window of the class in z-order.
  fprintf(g_events, "%x %x %lx\n", message, (unsigned)wParam,
          (unsigned long)((const COPYDATASTRUCT*)lParam)->dwData);
  fflush(g_events);
  HWND tray = FindWindowExA(NULL, window, "Shell_TrayWnd", NULL);
  if (g_fakeDone && tray) (void)SendMessageA(tray, WM_COPYDATA, wParam, lParam);
  Sleep(g_fakeWaitMs);
  // Gone before the caller's next request; the thread's loop ends with it.
  if (--g_fakeLeft <= 0 && DestroyWindow(window)) PostQuitMessage(0);
  return FALSE;
}

static DWORD WINAPI FakeTray(LPVOID made) {
  const WNDCLASSA fakeClass = {.lpfnWndProc = FakeTrayProc, .lpszClassName = "Shell_TrayWnd"};
  (void)RegisterClassA(&fakeClass);  // fails harmlessly the second time
  // Topmost, so that it comes first in z-order, where the shell looks.
  g_fake = CreateWindowExA(WS_EX_TOPMOST | WS_EX_TOOLWINDOW, "Shell_TrayWnd", NULL, WS_POPUP, 0, 0,
                           0, 0, NULL, NULL, NULL, NULL);
  (void)SetEvent(made);
  MSG message;
  while (g_fake && GetMessageA(&message, NULL, 0, 0) > 0) (void)DispatchMessageA(&message);
  return 0;
}

static BOOL CALLBACK PutWindow(HWND window, LPARAM parent) {
  char className[64] = "", text[128] = "";
  DWORD pid = 0;
  RECT rect = {0, 0, 0, 0};
  DWORD_PTR icon = 0;
  (void)GetClassNameA(window, className, sizeof(className));
  (void)GetWindowTextA(window, text, sizeof(text));
  // A tooltip's caption is empty: what it shows comes from WM_GETTEXT.
  if (!strcmp(className, "tooltips_class32"))
    (void)SendMessageTimeoutA(window, WM_GETTEXT, sizeof(text), (LPARAM)text, 0, 2000, NULL);
  for (char* c = text; *c; ++c) *c = (unsigned char)*c < ' ' ? ' ' : *c;
  (void)GetWindowThreadProcessId(window, &pid);
  (void)GetWindowRect(window, &rect);
  // A message box keeps its icon control even without an icon; what it shows
  // is the handle the control holds.
  if (parent) (void)SendMessageTimeoutA(window, STM_GETICON, 0, 0, SMTO_ABORTIFHUNG, 2000, &icon);
  printf("%lu\t%lu\t%lu\t%d\t%d\t%lu\t%ld\t%ld\t%ld\t%ld\t%s\t%s\n",
         (unsigned long)(ULONG_PTR)window, (unsigned long)parent, pid,
         GetForegroundWindow() == window, IsWindowVisible(window) ? 1 : 0, (unsigned long)icon,
         rect.left, rect.top, rect.right, rect.bottom, className, text);
  if (!parent && !strcmp(className, "#32770"))
    (void)EnumChildWindows(window, PutWindow, (LPARAM)window);
  return TRUE;
}

static int Run(int argc, char** argv) {
  HWND velmora = FindWindowA("formVelmora", NULL);
  if (!strcmp(argv[0], "windows")) return !EnumWindows(PutWindow, 0);
  if (!strcmp(argv[0], "front")) return !SetForegroundWindow(g_window);
  if (!strcmp(argv[0], "close")) return !(velmora && PostMessageA(velmora, WM_CLOSE, 0, 0));
  if (!strcmp(argv[0], "cancellogoff")) {
    return !(velmora &&
             SendMessageTimeoutA(velmora, WM_QUERYENDSESSION, 0, 0, SMTO_ABORTIFHUNG, 5000, NULL) &&
             SendMessageTimeoutA(velmora, WM_ENDSESSION, FALSE, 0, SMTO_ABORTIFHUNG, 5000, NULL));
  }
  if (!strcmp(argv[0], "quit"))
    return !(velmora && PostThreadMessageA(GetWindowThreadProcessId(velmora, NULL), WM_QUIT, 0, 0));
  if (!strcmp(argv[0], "faketray") && argc == 4) {
    g_fakeLeft = atoi(argv[1]), g_fakeWaitMs = atoi(argv[2]), g_fakeDone = atoi(argv[3]);
    HANDLE made = CreateEventA(NULL, FALSE, FALSE, NULL);
    CloseHandle(CreateThread(NULL, 0, FakeTray, made, 0, NULL));
    (void)WaitForSingleObject(made, 10000);
    CloseHandle(made);
    return !(g_fake && FindWindowExA(NULL, NULL, "Shell_TrayWnd", NULL) == g_fake);
  }
  if (!strcmp(argv[0], "taskbarcreated")) {
    return !SendNotifyMessageA(HWND_BROADCAST, RegisterWindowMessageA("TaskbarCreated"), 0, 0);
  }
  if (!strcmp(argv[0], "delicon")) {
    NOTIFYICONDATAA icon = {.cbSize = NOTIFYICONDATAA_V1_SIZE, .hWnd = velmora, .uID = 1};
    return !(velmora && Shell_NotifyIconA(NIM_DELETE, &icon));
  }
  if (!strcmp(argv[0], "key")) {
    for (int i = 1; i < argc; ++i) {
      const BYTE key = (BYTE)strtoul(argv[i], NULL, 0), scan = (BYTE)MapVirtualKeyA(key, 0);
      keybd_event(key, scan, 0, 0);
      keybd_event(key, scan, KEYEVENTF_KEYUP, 0);
    }
    return 0;
  }
  if (!strcmp(argv[0], "keystate") && argc == 2) {
    return printf("%s\n", GetAsyncKeyState((int)strtoul(argv[1], NULL, 0)) < 0 ? "down" : "up") < 0;
  }
  printf("unknown command %s\n", argv[0]);
  return 64;
}

static DWORD WINAPI RunCommands(LPVOID unused) {
  char line[256];
  (void)unused;
  while (fgets(line, sizeof(line), stdin)) {
    char* argv[8];
    int argc = 0;
    for (char* word = strtok(line, " \r\n"); word && argc < 8; word = strtok(NULL, " \r\n")) {
      argv[argc++] = word;
    }
    if (argc) printf("= %d\n", Run(argc, argv));
    fflush(stdout);
  }
  return 0;
}

static int RunWindow(const char* log) {
  const WNDCLASSA windowClass = {
      .style = CS_DBLCLKS,  // so the second click of a pair arrives as a double click
      .lpfnWndProc = ProbeProc,
      .hCursor = LoadCursorA(NULL, MAKEINTRESOURCEA(32512)),
      .hbrBackground = (HBRUSH)(COLOR_WINDOW + 1),
      .lpszClassName = "VelmoraProbe"};
  g_events = fopen(log, "a");
  HWND window = g_window = RegisterClassA(&windowClass)
                    ? CreateWindowExA(0, "VelmoraProbe", "Velmora probe", WS_POPUP | WS_VISIBLE,
                                      300, 250, 400, 300, NULL, NULL, NULL, NULL)
                    : NULL;
  if (!g_events || !window) return 2;
  (void)SetForegroundWindow(window);
  (void)SetFocus(window);
  printf("ready foreground=%d\n= 0\n", GetForegroundWindow() == window);
  fflush(stdout);
  CloseHandle(CreateThread(NULL, 0, RunCommands, NULL, 0, NULL));
  MSG message;
  while (GetMessageA(&message, NULL, 0, 0) > 0) (void)DispatchMessageA(&message);
  return 0;
}

int main(int argc, char** argv) {
  if (argc == 3 && !strcmp(argv[1], "window")) return RunWindow(argv[2]);
  if (argc >= 2 && !strcmp(argv[1], "browser")) {
    FILE* log = fopen(getenv("VELMORA_E2E_BROWSER_LOG"), "a");
    return !(log &&
             fprintf(log, "browser pid=%lu cmdline=%s\n", GetCurrentProcessId(),
                     GetCommandLineA()) > 0 &&
             !fclose(log));
  }
  return 64;  // the modes are listed at the top
}
