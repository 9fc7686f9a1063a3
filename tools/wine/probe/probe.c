// The end-to-end driver's eyes and hands inside Wine.
//
//   probe window X Y W H LOG   a window that takes the foreground and writes
//                              every mouse-button and key message it gets to LOG,
//                              and lists the latest of them in its own client area
//                              (newest at the top), so screenshots show them too;
//                              it also runs the commands below as the driver
//                              appends them to VELMORA_PROBE_COMMANDS ("SEQ COMMAND
//                              ARGS" lines), answering in VELMORA_PROBE_REPLIES
//                              between "begin SEQ" and "end SEQ" lines
//   probe info                 the windows the driver asks about, as JSON lines
//   probe menu                 the items of the open popup menu: caption and
//                              screen rectangle, as JSON lines
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

static int RunCommand(int argc, char** argv);

// ---- what the window shows: the latest input it received, newest first ----

enum { kShownLines = 14, kShownLength = 64 };
static char g_shown[kShownLines][kShownLength];
static int g_shownCount;

static void Show(HWND window, const char* format, ...) {
  memmove(g_shown[1], g_shown[0], sizeof(g_shown) - sizeof(g_shown[0]));
  va_list args;
  va_start(args, format);
  (void)vsnprintf(g_shown[0], kShownLength, format, args);
  va_end(args);
  if (g_shownCount < kShownLines) ++g_shownCount;
  (void)InvalidateRect(window, NULL, TRUE);
}

static void Paint(HWND window) {
  PAINTSTRUCT paint;
  HDC dc = BeginPaint(window, &paint);
  RECT area;
  (void)GetClientRect(window, &area);
  HBRUSH brush = CreateSolidBrush(RGB(0x2e, 0x6f, 0x9e));
  (void)FillRect(dc, &area, brush);
  (void)DeleteObject(brush);
  (void)SetBkMode(dc, TRANSPARENT);
  (void)SetTextColor(dc, RGB(255, 255, 255));
  TEXTMETRICA metrics;
  (void)GetTextMetricsA(dc, &metrics);
  const int lineHeight = metrics.tmHeight + 2;
  RECT line = {area.left + 8, area.top + 6, area.right - 8, area.top + 6 + lineHeight};
  (void)DrawTextA(dc, "probe: clicks and keys land here", -1, &line, DT_SINGLELINE);
  (void)OffsetRect(&line, 0, lineHeight + 4);
  for (int i = 0; i < g_shownCount && line.top < area.bottom; ++i) {
    // The newest line stands out; older ones fade towards the background.
    (void)SetTextColor(dc, i == 0 ? RGB(255, 255, 160) : RGB(210, 225, 240));
    (void)DrawTextA(dc, g_shown[i], -1, &line, DT_SINGLELINE | DT_END_ELLIPSIS);
    (void)OffsetRect(&line, 0, lineHeight);
  }
  EndPaint(window, &paint);
}

// ---- probe window ----

static const char* MouseName(UINT message) {
  switch (message) {
    case WM_LBUTTONDOWN: return "lbuttondown";
    case WM_LBUTTONUP: return "lbuttonup";
    case WM_LBUTTONDBLCLK: return "lbuttondblclk";
    case WM_RBUTTONDOWN: return "rbuttondown";
    case WM_RBUTTONUP: return "rbuttonup";
    case WM_RBUTTONDBLCLK: return "rbuttondblclk";
    case WM_MBUTTONDOWN: return "mbuttondown";
    case WM_MBUTTONUP: return "mbuttonup";
    case WM_MBUTTONDBLCLK: return "mbuttondblclk";
    default: return NULL;
  }
}

static const char* KeyName(UINT message) {
  switch (message) {
    case WM_KEYDOWN: return "keydown";
    case WM_KEYUP: return "keyup";
    case WM_SYSKEYDOWN: return "syskeydown";
    case WM_SYSKEYUP: return "syskeyup";
    default: return NULL;
  }
}

static void ButtonState(char state[4]) {
  state[0] = (GetAsyncKeyState(VK_LBUTTON) & 0x8000) ? 'L' : '-';
  state[1] = (GetAsyncKeyState(VK_MBUTTON) & 0x8000) ? 'M' : '-';
  state[2] = (GetAsyncKeyState(VK_RBUTTON) & 0x8000) ? 'R' : '-';
  state[3] = 0;
}

// Runs the commands appended since the last look, each answered in a block.
static void RunPendingCommands(void) {
  if (!g_commandsPath[0]) return;
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
    if (argc >= 2) {
      FILE* replies = fopen(g_repliesPath, "a");
      if (replies) {
        g_out = replies;
        fprintf(replies, "begin %s\n", argv[0]);
        // argv[0] is the sequence number; the command itself reads as if run alone.
        const int code = RunCommand(argc, argv);
        fprintf(replies, "exit %d\nend %s\n", code, argv[0]);
        fclose(replies);
        g_out = stdout;
      }
    }
    line = end + 1;
  }
}

static LRESULT CALLBACK ProbeProc(HWND window, UINT message, WPARAM wParam, LPARAM lParam) {
  const char* name = MouseName(message);
  if (name) {
    POINT at = {(short)LOWORD(lParam), (short)HIWORD(lParam)};
    LogLine(g_log, "%s x=%d y=%d", name, (int)at.x, (int)at.y);
    // Shown in screen coordinates, the ones the pointer in a screenshot has.
    (void)ClientToScreen(window, &at);
    Show(window, "%s at %ld,%ld", name, at.x, at.y);
    return 0;
  }
  name = KeyName(message);
  if (name) {
    LogLine(g_log, "%s vk=0x%02x scan=0x%02x ext=%d repeat=%u", name, (unsigned)wParam,
        (unsigned)((lParam >> 16) & 0xFF), (int)((lParam >> 24) & 1),
        (unsigned)(lParam & 0xFFFF));
    Show(window, "%s vk=0x%02x scan=0x%02x%s", name, (unsigned)wParam,
         (unsigned)((lParam >> 16) & 0xFF), ((lParam >> 24) & 1) ? " extended" : "");
    return 0;
  }
  switch (message) {
    case WM_ACTIVATE:
      LogLine(g_log, "activate state=%u", (unsigned)LOWORD(wParam));
      break;
    case WM_SETFOCUS:
      LogLine(g_log, "setfocus");
      break;
    case WM_KILLFOCUS:
      LogLine(g_log, "killfocus");
      break;
    case WM_PAINT:
      Paint(window);
      return 0;
    case WM_TIMER:
      RunPendingCommands();
      return 0;
    case WM_QUERYENDSESSION:
    case WM_ENDSESSION: {
      char buttons[4];
      ButtonState(buttons);
      LogLine(g_log, "%s buttons=%s", message == WM_ENDSESSION ? "endsession" : "queryendsession", buttons);
      // No quitting here: the system ends the process once every window of it
      // has answered. Quit early, and the thread's IME window may never answer;
      // Wine 8's wineboot then frees the record of that wait while the reply is
      // still due, and the next process it shuts down (Velmora) was seen either
      // killed before it had finished unloading or never sent WM_ENDSESSION.
      return message == WM_QUERYENDSESSION;
    }
    case WM_DESTROY:
      PostQuitMessage(0);
      return 0;
    default:
      break;
  }
  return DefWindowProcA(window, message, wParam, lParam);
}

static int RunWindow(int x, int y, int width, int height, const char* logPath) {
  g_log = CreateFileA(logPath, FILE_APPEND_DATA, FILE_SHARE_READ | FILE_SHARE_WRITE, NULL,
                      OPEN_ALWAYS, FILE_ATTRIBUTE_NORMAL, NULL);
  if (g_log == INVALID_HANDLE_VALUE) return 2;

  WNDCLASSA windowClass;
  ZeroMemory(&windowClass, sizeof(windowClass));
  windowClass.style = CS_DBLCLKS;  // so the second click of a pair arrives as a double click
  windowClass.lpfnWndProc = ProbeProc;
  windowClass.hInstance = GetModuleHandleA(NULL);
  windowClass.hCursor = LoadCursorA(NULL, MAKEINTRESOURCEA(32512));
  windowClass.lpszClassName = kProbeClass;
  if (!RegisterClassA(&windowClass)) return 3;

  HWND window = CreateWindowExA(0, kProbeClass, "Velmora probe", WS_POPUP | WS_VISIBLE, x, y,
                                width, height, NULL, NULL, windowClass.hInstance, NULL);
  if (!window) return 4;
  (void)SetForegroundWindow(window);
  (void)SetFocus(window);
  const DWORD commands = GetEnvironmentVariableA("VELMORA_PROBE_COMMANDS", g_commandsPath,
                                                 sizeof(g_commandsPath));
  const DWORD replies = GetEnvironmentVariableA("VELMORA_PROBE_REPLIES", g_repliesPath,
                                                sizeof(g_repliesPath));
  if (commands && commands < sizeof(g_commandsPath) && replies && replies < sizeof(g_repliesPath)) {
    (void)SetTimer(window, 1, 20, NULL);
  } else {
    g_commandsPath[0] = 0;
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

static void PutWindowFields(HWND window) {
  char className[128] = "", text[256] = "";
  (void)GetClassNameA(window, className, sizeof(className));
  (void)GetWindowTextA(window, text, sizeof(text));
  DWORD pid = 0;
  (void)GetWindowThreadProcessId(window, &pid);
  RECT rect = {0, 0, 0, 0};
  (void)GetWindowRect(window, &rect);
  char quotedClass[260], quotedText[516];
  fprintf(g_out, "\"hwnd\": %lu, \"pid\": %lu, \"class\": %s, \"text\": %s",
          (unsigned long)(ULONG_PTR)window, (unsigned long)pid, JsonString(quotedClass, className),
          JsonString(quotedText, text));
  fprintf(g_out, ", \"visible\": %s, \"style\": %lu, \"rect\": [%ld, %ld, %ld, %ld]",
         IsWindowVisible(window) ? "true" : "false",
         (unsigned long)GetWindowLongA(window, GWL_STYLE), rect.left, rect.top, rect.right,
         rect.bottom);
}

static BOOL CALLBACK PutChild(HWND child, LPARAM parent) {
  fprintf(g_out, "{\"kind\": \"child\", \"parent\": %lu, \"id\": %ld, ", (unsigned long)parent,
         (long)GetDlgCtrlID(child));
  // A message box keeps its icon control even without an icon; what it shows
  // is the handle the control holds.
  DWORD_PTR icon = 0;
  (void)SendMessageTimeoutA(child, STM_GETICON, 0, 0, SMTO_ABORTIFHUNG, 2000, &icon);
  fprintf(g_out, "\"icon\": %lu, ", (unsigned long)icon);
  PutWindowFields(child);
  fprintf(g_out, "}\n");
  return TRUE;
}

static BOOL CALLBACK PutTopLevel(HWND window, LPARAM unused) {
  (void)unused;
  char className[128] = "";
  (void)GetClassNameA(window, className, sizeof(className));
  // The desktop's own helper windows are noise; these are the ones scenarios read.
  const BOOL wanted = !strcmp(className, kVelmoraClass) || !strcmp(className, "#32768") ||
                      !strcmp(className, "#32770") || !strcmp(className, kProbeClass) ||
                      IsWindowVisible(window);
  if (!wanted) return TRUE;
  fprintf(g_out, "{\"kind\": \"window\", ");
  PutWindowFields(window);
  fprintf(g_out, "}\n");
  if (!strcmp(className, "#32770")) (void)EnumChildWindows(window, PutChild, (LPARAM)window);
  return TRUE;
}

static int RunInfo(void) {
  HWND foreground = GetForegroundWindow();
  fprintf(g_out, "{\"kind\": \"foreground\", ");
  if (foreground) {
    PutWindowFields(foreground);
  } else {
    fprintf(g_out, "\"hwnd\": 0");
  }
  fprintf(g_out, "}\n");
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
  HWND popup = FindMenuWindow(0);
  if (!popup) {
    fprintf(g_out, "no popup menu is open\n");
    return 1;
  }
  DWORD pid = 0;
  (void)GetWindowThreadProcessId(popup, &pid);
  char requestName[64], doneName[64], textName[64];
  (void)snprintf(requestName, sizeof(requestName), MENU_OBJECT_NAME, "request", pid);
  (void)snprintf(doneName, sizeof(doneName), MENU_OBJECT_NAME, "done", pid);
  (void)snprintf(textName, sizeof(textName), MENU_OBJECT_NAME, "text", pid);
  HANDLE request = OpenEventA(EVENT_MODIFY_STATE, FALSE, requestName);
  HANDLE done = OpenEventA(SYNCHRONIZE, FALSE, doneName);
  HANDLE mapping = OpenFileMappingA(FILE_MAP_READ, FALSE, textName);
  const char* text = mapping ? (const char*)MapViewOfFile(mapping, FILE_MAP_READ, 0, 0, 0) : NULL;
  int code = 1;
  if (!request || !done || !text) {
    fprintf(g_out, "process %lu, which owns the menu, has no joystick double to read it\n", pid);
  } else if (!SetEvent(request) || WaitForSingleObject(done, 5000) != WAIT_OBJECT_0) {
    fprintf(g_out, "the joystick double in process %lu did not read the menu\n", pid);
  } else {
    fprintf(g_out, "%s", text);
    code = strncmp(text, "{", 1) ? 1 : 0;
  }
  if (text) (void)UnmapViewOfFile(text);
  if (mapping) CloseHandle(mapping);
  if (done) CloseHandle(done);
  if (request) CloseHandle(request);
  fflush(g_out);
  return code;
}

// ---- commands ----

static int RunClose(void) {
  HWND velmora = FindWindowA(kVelmoraClass, NULL);
  if (!velmora) return 1;
  return PostMessageA(velmora, WM_CLOSE, 0, 0) ? 0 : 1;
}

static int RunTaskbarCreated(void) {
  UINT message = RegisterWindowMessageA("TaskbarCreated");
  if (!message) return 1;
  return SendNotifyMessageA(HWND_BROADCAST, message, 0, 0) ? 0 : 1;
}

static int RunDeleteIcon(void) {
  HWND velmora = FindWindowA(kVelmoraClass, NULL);
  if (!velmora) return 1;
  NOTIFYICONDATAA data;
  ZeroMemory(&data, sizeof(data));
  data.cbSize = NOTIFYICONDATAA_V1_SIZE;
  data.hWnd = velmora;
  data.uID = 1;
  return Shell_NotifyIconA(NIM_DELETE, &data) ? 0 : 1;
}

static int RunKey(const char* vkText) {
  const BYTE vk = (BYTE)strtoul(vkText, NULL, 0);
  const BYTE scan = (BYTE)MapVirtualKeyA(vk, 0 /* MAPVK_VK_TO_VSC */);
  keybd_event(vk, scan, 0, 0);
  keybd_event(vk, scan, KEYEVENTF_KEYUP, 0);
  return 0;
}

static int RunKeyState(const char* vkText) {
  const int vk = (int)strtoul(vkText, NULL, 0);
  fprintf(g_out, "%s\n", (GetAsyncKeyState(vk) & 0x8000) ? "down" : "up");
  return 0;
}

static int RunBrowser(void) {
  g_log = OpenLogNamedBy("VELMORA_E2E_BROWSER_LOG");
  if (g_log == INVALID_HANDLE_VALUE) return 1;
  LogLine(g_log, "browser pid=%lu cmdline=%s", GetCurrentProcessId(), GetCommandLineA());
  return 0;
}

// argv[1] is the command; argv[0] is the program or the command's sequence number.
static int RunCommand(int argc, char** argv) {
  if (argc == 2 && !strcmp(argv[1], "info")) return RunInfo();
  if (argc == 2 && !strcmp(argv[1], "menu")) return RunMenu();
  if (argc == 2 && !strcmp(argv[1], "close")) return RunClose();
  if (argc == 2 && !strcmp(argv[1], "taskbarcreated")) return RunTaskbarCreated();
  if (argc == 2 && !strcmp(argv[1], "delicon")) return RunDeleteIcon();
  if (argc == 3 && !strcmp(argv[1], "key")) return RunKey(argv[2]);
  if (argc == 3 && !strcmp(argv[1], "keystate")) return RunKeyState(argv[2]);
  fprintf(g_out, "unknown command\n");
  return 64;
}

int main(int argc, char** argv) {
  g_out = stdout;
  if (argc >= 7 && !strcmp(argv[1], "window")) {
    return RunWindow(atoi(argv[2]), atoi(argv[3]), atoi(argv[4]), atoi(argv[5]), argv[6]);
  }
  if (argc >= 2 && !strcmp(argv[1], "browser")) return RunBrowser();
  if (argc >= 2) return RunCommand(argc, argv);
  fprintf(stderr, "usage: probe window X Y W H LOG | info | menu | close | taskbarcreated | delicon |"
                  " key VK | keystate VK | browser ARGS...\n");
  return 64;
}
