// A stand-in for the system's winmm.dll that plays a scripted joystick.
//
// The end-to-end driver installs it in the Wine prefix's system folder and
// starts Velmora with winmm=n,b, so the program under test talks to this file
// exactly as it would talk to the real driver. Nothing here is linked into
// Velmora.exe.
//
// JOYDOUBLE_SCRIPT names a text file, read a line at a time as queries need it:
//   caps RC BUTTONS        first line: joyGetDevCapsA's result and wNumButtons
//   pos X Y BUTTONS [N]    N queries (default 1) succeed with this record
//   lost [N]               N queries return 167 (JOYERR_UNPLUGGED) and leave the
//                          caller's record alone
// A state line may end in "wait MS": each query it answers first blocks for
// MS milliseconds, as a driver searching for a missing device does. Other
// lines are passed over. When the script runs out, the last state is held; the
// driver appends lines while the program runs, so the stick moves one query
// at a time and never by the wall clock.
//
// JOYDOUBLE_LOG names a file that gets one line per call, with the time in
// microseconds and the process id. The DLL also reads the program's open popup
// menu for the driver (see MenuReader).
#include <objbase.h>
#include <string.h>

#include "../common.h"

enum { kNoDriver = 6, kJoyErrParms = 165, kJoyErrUnplugged = 167, kAxisCentre = 32767 };

// The system's 32-bit records, spelled out here because MMNOJOY hides them.
// Callers must pass their sizes, 404 and 52 bytes; of the capabilities the
// program reads only wNumButtons.
typedef struct {
  BYTE before[60];
  UINT wNumButtons;
  BYTE after[340];
} JoyCapsA;

typedef struct {
  DWORD dwSize, dwFlags;
  DWORD dwXpos, dwYpos, dwZpos, dwRpos, dwUpos, dwVpos;
  DWORD dwButtons, dwButtonNumber, dwPOV;
  DWORD dwReserved1, dwReserved2;
} JoyInfoEx;

typedef char JoyCapsIs404[sizeof(JoyCapsA) == 404 ? 1 : -1];
typedef char JoyInfoExIs52[sizeof(JoyInfoEx) == 52 ? 1 : -1];

typedef struct {
  DWORD result;  // 0: the record below is handed out; otherwise returned as is
  DWORD x, y, buttons;
  DWORD count;   // queries this state answers before the next line is taken
  DWORD line;    // line number in the script, for the log
  DWORD waitMs;  // how long each query blocks before it answers
} State;

static HANDLE g_log = INVALID_HANDLE_VALUE;
static char g_scriptPath[MAX_PATH];
static LONG g_scriptOffset;  // bytes of the script consumed so far
static DWORD g_scriptLine;   // lines consumed so far
static State g_state = {kJoyErrUnplugged, kAxisCentre, kAxisCentre, 0, 0, 0, 0};
static DWORD g_served;       // queries answered from g_state

#ifdef JOYDOUBLE_PLANTED
// Built a second time as a "winmm.dll" that the driver plants beside
// Velmora.exe. It must never be loaded; if it is, every call says so and fails.
#define DOUBLE_NAME "planted"
#else
#define DOUBLE_NAME "double"
#endif
#define LOG(format, ...) \
  LogLine(g_log, "%lu " DOUBLE_NAME " " format, GetCurrentProcessId(), __VA_ARGS__)

// ---- the script ----

// Turns one script line into a joystick state; any other line gives FALSE.
static BOOL ParseState(const char* text, DWORD lineNumber, State* state) {
  State parsed = {0, kAxisCentre, kAxisCentre, 0, 1, lineNumber, 0};
  int used = 0;
  if (sscanf(text, " pos %lu %lu %lx%n", &parsed.x, &parsed.y, &parsed.buttons, &used) != 3) {
    if ((void)sscanf(text, " lost%n", &used), !used) return FALSE;
    parsed.result = kJoyErrUnplugged;
  }
  const char* rest = text + used;
  DWORD count;
  if (sscanf(rest, "%lu%n", &count, &used) == 1) {
    if (count > 0) parsed.count = count;
    rest += used;
  }
  (void)sscanf(rest, " wait %lu", &parsed.waitMs);
  *state = parsed;
  return TRUE;
}

// Moves on to the next state line, if the script has one by now.
static void Advance(void) {
  char buffer[4096];
  if (!g_scriptPath[0]) return;
  (void)ReadLines(g_scriptPath, g_scriptOffset, buffer, sizeof(buffer));
  for (char* p = buffer; *p;) {
    char* end = strchr(p, '\n');
    *end = 0;
    g_scriptOffset += (LONG)(end + 1 - p);
    ++g_scriptLine;
    if (ParseState(p, g_scriptLine, &g_state)) {
      g_served = 0;
      return;
    }
    p = end + 1;
  }
}

// ---- the exports ----

UINT WINAPI joyGetDevCapsA(UINT_PTR id, JoyCapsA* caps, UINT size) {
  // The script's first line: "caps RESULT BUTTONS".
  char script[256];
  DWORD result = kNoDriver, buttons = 0;
  if (g_scriptPath[0]) (void)ReadLines(g_scriptPath, 0, script, sizeof(script));
  if (!g_scriptPath[0] || sscanf(script, " caps %lu %lu", &result, &buttons) != 2) {
    result = kNoDriver;
  }
#ifdef JOYDOUBLE_PLANTED
  result = kNoDriver;
#endif
  // The system checks the caller before it looks for the device.
  if (id != 0 || !caps || size != sizeof(JoyCapsA)) result = kJoyErrParms;
  if (result == 0) {
    ZeroMemory(caps, sizeof(*caps));
    caps->wNumButtons = buttons;
  }
  // The calling thread's COM apartment (APTTYPE_*, -1 for none): the program
  // queries from its UI thread, which About... needs to be an apartment.
  APTTYPE apartment;
  APTTYPEQUALIFIER qualifier;
  const int apartmentType =
      SUCCEEDED(CoGetApartmentType(&apartment, &qualifier)) ? (int)apartment : -1;
  LOG("joyGetDevCapsA id=%u size=%u -> %lu buttons=%lu apartment=%d", (unsigned)id, size, result,
      buttons, apartmentType);
  return result;
}

UINT WINAPI joyGetPosEx(UINT id, JoyInfoEx* info) {
  if (g_served >= g_state.count) Advance();
  ++g_served;
  if (g_state.waitMs) Sleep(g_state.waitMs);

  UINT result = g_state.result;
  if (id != 0 || !info || info->dwSize != sizeof(JoyInfoEx)) result = kJoyErrParms;
#ifdef JOYDOUBLE_PLANTED
  result = kNoDriver;
#endif
  if (result == 0) {
    info->dwXpos = g_state.x;
    info->dwYpos = g_state.y;
    info->dwButtons = g_state.buttons;
  }

  // Where the cursor is when the tick starts: the driver reads every step of
  // the motion from these, one per query.
  POINT cursor = {0, 0};
  char where[32] = "";
  if (GetCursorPos(&cursor)) (void)snprintf(where, sizeof(where), " cursor=%ld,%ld", cursor.x, cursor.y);
  LOG("joyGetPosEx id=%u size=%lu flags=0x%lx line=%lu -> %u x=%lu y=%lu buttons=0x%lx%s", id,
      info ? info->dwSize : 0, info ? info->dwFlags : 0, g_state.line, result, g_state.x,
      g_state.y, g_state.buttons, where);
  return result;
}

// The timer-resolution calls are only logged: Wine's timers keep their period
// whatever the resolution, and the scenarios check from the log when Velmora
// raises and restores it (only on its fallback tick paths, while polling).
UINT WINAPI timeBeginPeriod(UINT period) {
  LOG("timeBeginPeriod %u", period);
  return 0;
}

UINT WINAPI timeEndPeriod(UINT period) {
  LOG("timeEndPeriod %u", period);
  return 0;
}

// ---- the open menu, read from inside the process that owns it ----

#ifndef JOYDOUBLE_PLANTED
// The probe's "menu" command sets the request event and waits for the done
// event; the items are then in the shared memory as JSON lines (caption with
// its &, separator flag, screen rectangle), or a one-line reason.
static void ReadMenu(char* out) {
  out[0] = 0;
  HWND popup = FindMenuWindow(GetCurrentProcessId());
  DWORD_PTR handle = 0;
  if (!popup) {
    lstrcpynA(out, "no popup menu is open\n", kMenuTextSize);
    return;
  }
  // Answered by the menu's own modal loop, which is running on the main thread.
  if (!SendMessageTimeoutA(popup, MN_GETHMENU, 0, 0, SMTO_ABORTIFHUNG, 2000, &handle) ||
      !handle) {
    lstrcpynA(out, "MN_GETHMENU gave no menu\n", kMenuTextSize);
    return;
  }
  HMENU menu = (HMENU)handle;
  int used = 0;
  for (int i = 0; i < GetMenuItemCount(menu) && used < kMenuTextSize - 512; ++i) {
    char caption[128] = "", quoted[260];
    (void)GetMenuStringA(menu, (UINT)i, caption, sizeof(caption), MF_BYPOSITION);
    RECT rect = {0, 0, 0, 0};
    (void)GetMenuItemRect(popup, menu, (UINT)i, &rect);
    const BOOL separator = (GetMenuState(menu, (UINT)i, MF_BYPOSITION) & MF_SEPARATOR) != 0;
    used += snprintf(out + used, (size_t)(kMenuTextSize - used),
                     "{\"caption\": %s, \"separator\": %s, \"rect\": [%ld, %ld, %ld, %ld]}\n",
                     JsonString(quoted, caption), separator ? "true" : "false", rect.left,
                     rect.top, rect.right, rect.bottom);
  }
}

static DWORD WINAPI MenuReader(LPVOID unused) {
  (void)unused;
  char name[64];
  const DWORD pid = GetCurrentProcessId();
  HANDLE request = CreateEventA(NULL, FALSE, FALSE, MenuObjectName(name, "request", pid));
  HANDLE done = CreateEventA(NULL, FALSE, FALSE, MenuObjectName(name, "done", pid));
  HANDLE mapping = CreateFileMappingA(INVALID_HANDLE_VALUE, NULL, PAGE_READWRITE, 0, kMenuTextSize,
                                      MenuObjectName(name, "text", pid));
  char* text = mapping ? (char*)MapViewOfFile(mapping, FILE_MAP_WRITE, 0, 0, kMenuTextSize) : NULL;
  if (!request || !done || !text) return 1;
  // Blocked here, it costs the program under test nothing between requests.
  while (WaitForSingleObject(request, INFINITE) == WAIT_OBJECT_0) {
    ReadMenu(text);
    (void)SetEvent(done);
  }
  return 0;
}
#endif

BOOL WINAPI DllMain(HINSTANCE instance, DWORD reason, LPVOID reserved) {
  (void)reserved;
  if (reason == DLL_PROCESS_ATTACH) {
    (void)DisableThreadLibraryCalls(instance);
    g_log = OpenLogNamedBy("JOYDOUBLE_LOG");
    const DWORD scriptLength =
        GetEnvironmentVariableA("JOYDOUBLE_SCRIPT", g_scriptPath, sizeof(g_scriptPath));
    if (scriptLength == 0 || scriptLength >= sizeof(g_scriptPath)) g_scriptPath[0] = 0;
    char module[MAX_PATH], exe[MAX_PATH];
    if (!GetModuleFileNameA(instance, module, sizeof(module))) module[0] = 0;
    if (!GetModuleFileNameA(NULL, exe, sizeof(exe))) exe[0] = 0;
#ifndef JOYDOUBLE_PLANTED
    // Starts once DllMain has returned; ExitProcess ends it with the program.
    HANDLE reader = CreateThread(NULL, 0, MenuReader, NULL, 0, NULL);
    if (reader) CloseHandle(reader);
#endif
    LOG("attach module=%s exe=%s", module, exe);
  }
  return TRUE;
}
