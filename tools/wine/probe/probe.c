// The end-to-end driver's eyes and hands inside Wine.
//
//   probe window X Y W H LOG   a window that takes the foreground, writes every
//                              mouse-button and key message it gets to LOG and
//                              lists the latest in its client area, newest on top,
//                              for the demo's screenshots; it runs the commands
//                              below as the driver appends "SEQ COMMAND ARGS" lines
//                              to VELMORA_PROBE_COMMANDS, answering in
//                              VELMORA_PROBE_REPLIES between "begin SEQ" and "end SEQ"
//   probe info                 the windows the driver asks about, as JSON lines
//   probe menu                 the open popup menu's items, as JSON lines
//   probe close                asks Velmora's window to close (WM_CLOSE)
//   probe taskbarcreated       broadcasts "TaskbarCreated", as a restarted shell does
//   probe delicon              removes Velmora's icon from outside (NIM_DELETE)
//   probe key VK               one key press and release, to the foreground window
//   probe keystate VK          "down" or "up": the key's (or mouse button's) state
//   probe browser ARGS...      stands in for the web browser: appends its command
//                              line to the file named by VELMORA_E2E_BROWSER_LOG
//
// It is a separate program so that nothing of it runs inside Velmora.exe.
#include "../common.h"

#include <shellapi.h>
#include <stdlib.h>
#include <string.h>

static const char kVelmoraClass[] = "formVelmora";
static const char kProbeClass[] = "VelmoraProbe";

static HANDLE g_log = INVALID_HANDLE_VALUE;
static FILE* g_out;  // where commands answer: stdout, or the replies file
static char g_commandsPath[MAX_PATH], g_repliesPath[MAX_PATH];
static LONG g_commandsOffset;
static char g_shown[1024];  // the client area's list, newest line first

static int RunCommand(int argc, char** argv);

// ---- probe window ----

static const struct {
  UINT message;
  const char* name;
} kInputs[] = {
    {WM_LBUTTONDOWN, "lbuttondown"}, {WM_LBUTTONUP, "lbuttonup"}, {WM_LBUTTONDBLCLK, "lbuttondblclk"},
    {WM_RBUTTONDOWN, "rbuttondown"}, {WM_RBUTTONUP, "rbuttonup"}, {WM_RBUTTONDBLCLK, "rbuttondblclk"},
    {WM_MBUTTONDOWN, "mbuttondown"}, {WM_MBUTTONUP, "mbuttonup"}, {WM_MBUTTONDBLCLK, "mbuttondblclk"},
    {WM_KEYDOWN, "keydown"},         {WM_KEYUP, "keyup"},         {WM_SYSKEYDOWN, "syskeydown"},
    {WM_SYSKEYUP, "syskeyup"},
};

// Runs the commands appended since the last look, each answered in a block.
static void RunPendingCommands(void) {
  char buffer[2048];
  (void)ReadLines(g_commandsPath, g_commandsOffset, buffer, sizeof(buffer));
  for (char* line = buffer; *line;) {
    char* end = strchr(line, '\n');
    *end = 0;
    g_commandsOffset += (LONG)(end + 1 - line);
    char* argv[8];
    int argc = 0;
    for (char* token = strtok(line, " \r"); token && argc < 8; token = strtok(NULL, " \r")) {
      argv[argc++] = token;
    }
    if (argc >= 2 && (g_out = fopen(g_repliesPath, "a")) != NULL) {
      // argv[0] is the sequence number; the command itself reads as if run alone.
      fprintf(g_out, "begin %s\n", argv[0]);
      const int code = RunCommand(argc, argv);
      fprintf(g_out, "exit %d\nend %s\n", code, argv[0]);
      fclose(g_out);
    }
    line = end + 1;
  }
}

static LRESULT CALLBACK ProbeProc(HWND window, UINT message, WPARAM wParam, LPARAM lParam) {
  for (size_t i = 0; i < sizeof(kInputs) / sizeof(kInputs[0]); ++i) {
    if (kInputs[i].message != message) continue;
    char line[128];
    if (message >= WM_KEYFIRST && message <= WM_KEYLAST) {
      (void)snprintf(line, sizeof(line), "%s vk=0x%02x scan=0x%02x ext=%d", kInputs[i].name,
                     (unsigned)wParam, (unsigned)((lParam >> 16) & 0xFF), (int)((lParam >> 24) & 1));
    } else {
      (void)snprintf(line, sizeof(line), "%s x=%d y=%d", kInputs[i].name, (short)LOWORD(lParam),
                     (short)HIWORD(lParam));
    }
    LogLine(g_log, "%s", line);
    const size_t length = strlen(line);
    memmove(g_shown + length + 1, g_shown, sizeof(g_shown) - length - 1);
    memcpy(g_shown, line, length);
    g_shown[length] = '\n';
    g_shown[sizeof(g_shown) - 1] = 0;
    (void)InvalidateRect(window, NULL, TRUE);
    return 0;
  }
  switch (message) {
    case WM_ACTIVATE:
      LogLine(g_log, "activate state=%u", (unsigned)LOWORD(wParam));
      break;
    case WM_PAINT: {
      PAINTSTRUCT paint;
      HDC dc = BeginPaint(window, &paint);
      RECT area;
      (void)GetClientRect(window, &area);
      (void)InflateRect(&area, -8, -6);
      (void)DrawTextA(dc, "probe: clicks and keys land here\n\n", -1, &area, 0);
      area.top += 2 * HIWORD(GetDialogBaseUnits());
      (void)DrawTextA(dc, g_shown, -1, &area, 0);
      EndPaint(window, &paint);
      return 0;
    }
    case WM_TIMER:
      RunPendingCommands();
      return 0;
    case WM_DESTROY:
      PostQuitMessage(0);
      return 0;
    default:
      // Nothing quits on WM_ENDSESSION: the system ends the process once every
      // window of it has answered. Quit early, and the thread's IME window may
      // never answer; Wine 8's wineboot then frees the record of that wait while
      // the reply is still due, and the next process it shuts down (Velmora) was
      // seen either killed before it had unloaded or never sent WM_ENDSESSION.
      break;
  }
  return DefWindowProcA(window, message, wParam, lParam);
}

static int RunWindow(int x, int y, int width, int height, const char* logPath) {
  g_log = CreateFileA(logPath, FILE_APPEND_DATA, FILE_SHARE_READ | FILE_SHARE_WRITE, NULL,
                      OPEN_ALWAYS, FILE_ATTRIBUTE_NORMAL, NULL);
  const WNDCLASSA windowClass = {
      .style = CS_DBLCLKS,  // so the second click of a pair arrives as a double click
      .lpfnWndProc = ProbeProc,
      .hCursor = LoadCursorA(NULL, MAKEINTRESOURCEA(32512)),
      .hbrBackground = (HBRUSH)(COLOR_WINDOW + 1),
      .lpszClassName = kProbeClass};
  HWND window = RegisterClassA(&windowClass)
                    ? CreateWindowExA(0, kProbeClass, "Velmora probe", WS_POPUP | WS_VISIBLE, x, y,
                                      width, height, NULL, NULL, NULL, NULL)
                    : NULL;
  if (g_log == INVALID_HANDLE_VALUE || !window) return 2;
  (void)SetForegroundWindow(window);
  (void)SetFocus(window);
  const DWORD commands = GetEnvironmentVariableA("VELMORA_PROBE_COMMANDS", g_commandsPath,
                                                 sizeof(g_commandsPath));
  const DWORD replies = GetEnvironmentVariableA("VELMORA_PROBE_REPLIES", g_repliesPath,
                                                sizeof(g_repliesPath));
  if (commands && commands < sizeof(g_commandsPath) && replies && replies < sizeof(g_repliesPath)) {
    (void)SetTimer(window, 1, 20, NULL);
  }
  LogLine(g_log, "ready hwnd=0x%lx pid=%lu foreground=%d", (unsigned long)(ULONG_PTR)window,
          GetCurrentProcessId(), GetForegroundWindow() == window);

  MSG message;
  while (GetMessageA(&message, NULL, 0, 0) > 0) {
    (void)TranslateMessage(&message);
    (void)DispatchMessageA(&message);
  }
  return 0;
}

// ---- info ----

// The fields of one window, or of none (a null handle) as empty ones.
static void PutWindowFields(HWND window) {
  char className[128] = "", text[256] = "", quotedClass[260], quotedText[516];
  (void)GetClassNameA(window, className, sizeof(className));
  (void)GetWindowTextA(window, text, sizeof(text));
  DWORD pid = 0;
  (void)GetWindowThreadProcessId(window, &pid);
  RECT rect = {0, 0, 0, 0};
  (void)GetWindowRect(window, &rect);
  fprintf(g_out,
          "\"hwnd\": %lu, \"pid\": %lu, \"class\": %s, \"text\": %s, \"visible\": %s, "
          "\"style\": %lu, \"rect\": [%ld, %ld, %ld, %ld]}\n",
          (unsigned long)(ULONG_PTR)window, (unsigned long)pid, JsonString(quotedClass, className),
          JsonString(quotedText, text), IsWindowVisible(window) ? "true" : "false",
          (unsigned long)GetWindowLongA(window, GWL_STYLE), rect.left, rect.top, rect.right,
          rect.bottom);
}

static BOOL CALLBACK PutChild(HWND child, LPARAM parent) {
  // A message box keeps its icon control even without an icon; what it shows
  // is the handle the control holds.
  DWORD_PTR icon = 0;
  (void)SendMessageTimeoutA(child, STM_GETICON, 0, 0, SMTO_ABORTIFHUNG, 2000, &icon);
  fprintf(g_out, "{\"kind\": \"child\", \"parent\": %lu, \"icon\": %lu, ", (unsigned long)parent,
          (unsigned long)icon);
  PutWindowFields(child);
  return TRUE;
}

static BOOL CALLBACK PutTopLevel(HWND window, LPARAM unused) {
  (void)unused;
  char className[128] = "";
  (void)GetClassNameA(window, className, sizeof(className));
  // The desktop's own hidden helper windows are noise; these are the ones scenarios read.
  if (strcmp(className, kVelmoraClass) && strcmp(className, "#32768") &&
      strcmp(className, "#32770") && !IsWindowVisible(window)) {
    return TRUE;
  }
  fprintf(g_out, "{\"kind\": \"window\", ");
  PutWindowFields(window);
  if (!strcmp(className, "#32770")) (void)EnumChildWindows(window, PutChild, (LPARAM)window);
  return TRUE;
}

static int RunInfo(void) {
  fprintf(g_out, "{\"kind\": \"foreground\", ");
  PutWindowFields(GetForegroundWindow());
  (void)EnumWindows(PutTopLevel, 0);
  fflush(g_out);
  return 0;
}

// ---- menu ----

// The open popup menu's items as the user sees them: caption (with its &) and
// screen rectangle, one JSON line each, so the driver picks an item by what it
// says. Wine keeps a menu's items in the memory of the process that made it,
// so the joystick double reads them from inside that process; this asks it.
static int RunMenu(void) {
  DWORD pid = 0;
  (void)GetWindowThreadProcessId(FindMenuWindow(0), &pid);
  char name[64];
  HANDLE request = OpenEventA(EVENT_MODIFY_STATE, FALSE, MenuObjectName(name, "request", pid));
  HANDLE done = OpenEventA(SYNCHRONIZE, FALSE, MenuObjectName(name, "done", pid));
  HANDLE mapping = OpenFileMappingA(FILE_MAP_READ, FALSE, MenuObjectName(name, "text", pid));
  const char* text = mapping ? (const char*)MapViewOfFile(mapping, FILE_MAP_READ, 0, 0, 0) : NULL;
  int code = 1;
  if (request && done && text && SetEvent(request) &&
      WaitForSingleObject(done, 5000) == WAIT_OBJECT_0) {
    fprintf(g_out, "%s", text);
    code = text[0] != '{';
  } else {
    fprintf(g_out, "no joystick double read a menu in process %lu (0: no menu is open)\n", pid);
  }
  if (text) (void)UnmapViewOfFile(text);
  if (mapping) CloseHandle(mapping);
  if (done) CloseHandle(done);
  if (request) CloseHandle(request);
  fflush(g_out);
  return code;
}

// ---- commands ----

// argv[1] is the command; argv[0] is the program or the command's sequence number.
static int RunCommand(int argc, char** argv) {
  const char* command = argv[1];
  HWND velmora = FindWindowA(kVelmoraClass, NULL);
  const BYTE vk = argc == 3 ? (BYTE)strtoul(argv[2], NULL, 0) : 0;
  if (argc == 2 && !strcmp(command, "info")) return RunInfo();
  if (argc == 2 && !strcmp(command, "menu")) return RunMenu();
  if (argc == 2 && !strcmp(command, "close")) {
    return !(velmora && PostMessageA(velmora, WM_CLOSE, 0, 0));
  }
  if (argc == 2 && !strcmp(command, "taskbarcreated")) {
    return !SendNotifyMessageA(HWND_BROADCAST, RegisterWindowMessageA("TaskbarCreated"), 0, 0);
  }
  if (argc == 2 && !strcmp(command, "delicon")) {
    NOTIFYICONDATAA data = {.cbSize = NOTIFYICONDATAA_V1_SIZE, .hWnd = velmora, .uID = 1};
    return !(velmora && Shell_NotifyIconA(NIM_DELETE, &data));
  }
  if (argc == 3 && !strcmp(command, "key")) {
    const BYTE scan = (BYTE)MapVirtualKeyA(vk, 0 /* MAPVK_VK_TO_VSC */);
    keybd_event(vk, scan, 0, 0);
    keybd_event(vk, scan, KEYEVENTF_KEYUP, 0);
    return 0;
  }
  if (argc == 3 && !strcmp(command, "keystate")) {
    fprintf(g_out, "%s\n", (GetAsyncKeyState(vk) & 0x8000) ? "down" : "up");
    return 0;
  }
  fprintf(g_out, "unknown command\n");
  return 64;
}

int main(int argc, char** argv) {
  g_out = stdout;
  if (argc >= 7 && !strcmp(argv[1], "window")) {
    return RunWindow(atoi(argv[2]), atoi(argv[3]), atoi(argv[4]), atoi(argv[5]), argv[6]);
  }
  if (argc >= 2 && !strcmp(argv[1], "browser")) {
    g_log = OpenLogNamedBy("VELMORA_E2E_BROWSER_LOG");
    LogLine(g_log, "browser pid=%lu cmdline=%s", GetCurrentProcessId(), GetCommandLineA());
    return g_log == INVALID_HANDLE_VALUE;
  }
  return argc >= 2 ? RunCommand(argc, argv) : 64;  // the commands are listed at the top
}
