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
//   fail RC [N]            N queries return RC and leave the caller's record alone
//   lost [N]               the same as "fail 167 [N]" (JOYERR_UNPLUGGED)
// Any state line may end in "wait MS": each query it answers first blocks for
// MS milliseconds, as a driver searching for a missing device does.
// Lines starting with '#' and blank lines are skipped. When the script runs
// out, the last state is held; the driver appends lines while the program runs,
// so the stick moves one query at a time and never by the wall clock.
//
// JOYDOUBLE_LOG names a file that gets one line per call, each with a
// QueryPerformanceCounter time in microseconds and the process id, so that the
// driver can tell two copies of the program apart and measure query spacing.
//
// It also reads the program's open popup menu for the driver (see MenuReader):
// Wine keeps a menu's items in the memory of the process that made it, so no
// other process can read them, and this DLL is the driver's only code inside.
#ifndef WIN32_LEAN_AND_MEAN
#define WIN32_LEAN_AND_MEAN  // keeps mmsystem.h, whose prototypes these replace, out
#endif
#include <windows.h>

enum {
  kNoError = 0,
  kNoDriver = 6,           // MMSYSERR_NODRIVER
  kJoyErrParms = 165,      // JOYERR_PARMS
  kJoyErrUnplugged = 167,  // JOYERR_UNPLUGGED
};

// The system's 32-bit records, spelled out here because MMNOJOY hides them.
// Their sizes are what callers must pass: 404 and 52 bytes.
typedef struct {
  WORD wMid, wPid;
  CHAR szPname[32];
  UINT wXmin, wXmax, wYmin, wYmax, wZmin, wZmax;
  UINT wNumButtons, wPeriodMin, wPeriodMax;
  UINT wRmin, wRmax, wUmin, wUmax, wVmin, wVmax;
  UINT wCaps, wMaxAxes, wNumAxes, wMaxButtons;
  CHAR szRegKey[32];
  CHAR szOEMVxD[260];
} JoyCapsA;

typedef struct {
  DWORD dwSize, dwFlags;
  DWORD dwXpos, dwYpos, dwZpos, dwRpos, dwUpos, dwVpos;
  DWORD dwButtons, dwButtonNumber, dwPOV;
  DWORD dwReserved1, dwReserved2;
} JoyInfoEx;

typedef char JoyCapsIs404[sizeof(JoyCapsA) == 404 ? 1 : -1];
typedef char JoyInfoExIs52[sizeof(JoyInfoEx) == 52 ? 1 : -1];

enum { kAxisCentre = 32767, kMaxLine = 160 };

typedef struct {
  UINT result;  // 0: the record below is handed out; otherwise returned as is
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
static DWORD g_queries;      // joyGetPosEx calls by this process
static LARGE_INTEGER g_frequency;

// ---- small formatting helpers; the double has no C runtime of its own ----

typedef struct {
  char text[512];
  int length;
} Line;

static void Put(Line* line, const char* s) {
  while (*s && line->length < (int)sizeof(line->text) - 2) line->text[line->length++] = *s++;
}

static void PutUnsigned(Line* line, unsigned long long value) {
  char digits[24];
  int n = 0;
  do {
    digits[n++] = (char)('0' + value % 10);
    value /= 10;
  } while (value);
  while (n) {
    char one[2] = {digits[--n], 0};
    Put(line, one);
  }
}

static void PutSigned(Line* line, long value) {
  if (value < 0) {
    Put(line, "-");
    PutUnsigned(line, (unsigned long long)(-(long long)value));
  } else {
    PutUnsigned(line, (unsigned long long)value);
  }
}

static void PutHex(Line* line, unsigned long value) {
  static const char hex[] = "0123456789abcdef";
  char digits[9];
  int n = 0;
  do {
    digits[n++] = hex[value & 15];
    value >>= 4;
  } while (value);
  Put(line, "0x");
  while (n) {
    char one[2] = {digits[--n], 0};
    Put(line, one);
  }
}

static unsigned long long NowMicroseconds(void) {
  LARGE_INTEGER now;
  (void)QueryPerformanceCounter(&now);
  const unsigned long long ticks = (unsigned long long)now.QuadPart;
  const unsigned long long hz = (unsigned long long)g_frequency.QuadPart;
  if (!hz) return 0;
  return ticks / hz * 1000000ULL + ticks % hz * 1000000ULL / hz;
}

static void BeginLine(Line* line, const char* what) {
  line->length = 0;
  PutUnsigned(line, NowMicroseconds());
  Put(line, " ");
  PutUnsigned(line, GetCurrentProcessId());
  Put(line, " ");
  Put(line, what);
}

static void EndLine(Line* line) {
  line->text[line->length++] = '\n';
  if (g_log == INVALID_HANDLE_VALUE) return;
  DWORD written;
  (void)WriteFile(g_log, line->text, (DWORD)line->length, &written, NULL);
}

// ---- the script ----

static const char* SkipSpaces(const char* p) {
  while (*p == ' ' || *p == '\t') ++p;
  return p;
}

// Reads an unsigned number; a leading "0x" means hexadecimal. False if none.
static BOOL ReadNumber(const char** cursor, DWORD* value) {
  const char* p = SkipSpaces(*cursor);
  DWORD base = 10, result = 0;
  if (p[0] == '0' && (p[1] == 'x' || p[1] == 'X')) {
    base = 16;
    p += 2;
  }
  const char* start = p;
  for (;; ++p) {
    DWORD digit;
    if (*p >= '0' && *p <= '9') {
      digit = (DWORD)(*p - '0');
    } else if (base == 16 && *p >= 'a' && *p <= 'f') {
      digit = (DWORD)(*p - 'a' + 10);
    } else if (base == 16 && *p >= 'A' && *p <= 'F') {
      digit = (DWORD)(*p - 'A' + 10);
    } else {
      break;
    }
    result = result * base + digit;
  }
  if (p == start) return FALSE;
  *cursor = p;
  *value = result;
  return TRUE;
}

static BOOL StartsWord(const char* p, const char* word) {
  while (*word) {
    if (*p++ != *word++) return FALSE;
  }
  return *p == ' ' || *p == '\t' || *p == 0;
}

// Turns one script line into a joystick state. Lines that are not a state
// (caps, comments, blanks, anything unknown) give FALSE and are passed over.
static BOOL ParseState(const char* text, DWORD lineNumber, State* state) {
  const char* p = SkipSpaces(text);
  State parsed = {0, kAxisCentre, kAxisCentre, 0, 1, lineNumber, 0};
  if (StartsWord(p, "pos")) {
    p += 3;
    if (!ReadNumber(&p, &parsed.x) || !ReadNumber(&p, &parsed.y) ||
        !ReadNumber(&p, &parsed.buttons)) {
      return FALSE;
    }
  } else if (StartsWord(p, "fail")) {
    p += 4;
    DWORD result;
    if (!ReadNumber(&p, &result)) return FALSE;
    parsed.result = result;
  } else if (StartsWord(p, "lost")) {
    p += 4;
    parsed.result = kJoyErrUnplugged;
  } else {
    return FALSE;
  }
  DWORD count;
  if (ReadNumber(&p, &count) && count > 0) parsed.count = count;
  p = SkipSpaces(p);
  if (StartsWord(p, "wait")) {
    p += 4;
    if (!ReadNumber(&p, &parsed.waitMs)) return FALSE;
  }
  *state = parsed;
  return TRUE;
}

// Reads whole lines of the script from `offset` into `buffer`; returns the
// number of bytes up to and including the last complete line.
static DWORD ReadScript(LONG offset, char* buffer, DWORD capacity) {
  if (!g_scriptPath[0]) return 0;
  HANDLE file = CreateFileA(g_scriptPath, GENERIC_READ,
                            FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, NULL,
                            OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, NULL);
  if (file == INVALID_HANDLE_VALUE) return 0;
  DWORD got = 0;
  if (SetFilePointer(file, offset, NULL, FILE_BEGIN) != INVALID_SET_FILE_POINTER) {
    (void)ReadFile(file, buffer, capacity - 1, &got, NULL);
  }
  CloseHandle(file);
  while (got && buffer[got - 1] != '\n') --got;  // a line still being written waits
  buffer[got] = 0;
  return got;
}

// Moves on to the next state line, if the script has one by now.
static void Advance(void) {
  char buffer[4096];
  DWORD got = ReadScript(g_scriptOffset, buffer, sizeof(buffer));
  char* p = buffer;
  while (p < buffer + got) {
    char* end = p;
    while (*end != '\n') ++end;
    *end = 0;
    if (end > p && end[-1] == '\r') end[-1] = 0;
    g_scriptOffset += (LONG)(end + 1 - p);
    ++g_scriptLine;
    State next;
    if (ParseState(p, g_scriptLine, &next)) {
      g_state = next;
      g_served = 0;
      return;
    }
    p = end + 1;
  }
}

// The script's first "caps" line: the capabilities result and button count.
static void ReadCaps(DWORD* result, DWORD* buttons) {
  char buffer[4096];
  DWORD got = ReadScript(0, buffer, sizeof(buffer));
  *result = kNoDriver;
  *buttons = 0;
  char* p = buffer;
  while (p < buffer + got) {
    char* end = p;
    while (*end != '\n') ++end;
    *end = 0;
    const char* q = SkipSpaces(p);
    if (StartsWord(q, "caps")) {
      q += 4;
      DWORD r, b;
      if (ReadNumber(&q, &r) && ReadNumber(&q, &b)) {
        *result = r;
        *buttons = b;
      }
      return;
    }
    p = end + 1;
  }
}

// ---- the exports ----

#ifdef JOYDOUBLE_PLANTED
// Built a second time as a "winmm.dll" that the driver plants beside
// Velmora.exe. It must never be loaded; if it is, every call says so and fails.
#define DOUBLE_NAME "planted"
#else
#define DOUBLE_NAME "double"
#endif

UINT WINAPI joyGetDevCapsA(UINT_PTR id, JoyCapsA* caps, UINT size) {
  Line line;
  BeginLine(&line, DOUBLE_NAME " joyGetDevCapsA id=");
  PutUnsigned(&line, id);
  Put(&line, " size=");
  PutUnsigned(&line, size);
  DWORD result, buttons;
  ReadCaps(&result, &buttons);
#ifdef JOYDOUBLE_PLANTED
  result = kNoDriver;
#endif
  // The system checks the caller before it looks for the device.
  if (id != 0 || !caps || size != sizeof(JoyCapsA)) result = kJoyErrParms;
  if (result == 0) {
    JoyCapsA filled;
    ZeroMemory(&filled, sizeof(filled));
    filled.wMid = 0xFFFF;
    filled.wPid = 0x0001;
    lstrcpynA(filled.szPname, "Scripted joystick", sizeof(filled.szPname));
    filled.wXmax = filled.wYmax = filled.wZmax = 65535;
    filled.wRmax = filled.wUmax = filled.wVmax = 65535;
    filled.wNumButtons = buttons;
    filled.wMaxButtons = 32;
    filled.wPeriodMin = 10;
    filled.wPeriodMax = 1000;
    filled.wMaxAxes = filled.wNumAxes = 2;
    CopyMemory(caps, &filled, sizeof(filled));
  }
  Put(&line, " -> ");
  PutUnsigned(&line, result);
  Put(&line, " buttons=");
  PutUnsigned(&line, buttons);
  EndLine(&line);
  return result;
}

UINT WINAPI joyGetPosEx(UINT id, JoyInfoEx* info) {
  ++g_queries;
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
    info->dwZpos = info->dwRpos = info->dwUpos = info->dwVpos = kAxisCentre;
    info->dwButtons = g_state.buttons;
    DWORD pressed = 0;
    for (DWORD bits = g_state.buttons; bits; bits &= bits - 1) ++pressed;
    info->dwButtonNumber = pressed;
    info->dwPOV = 0xFFFF;
  }

  // Where the cursor is when the tick starts: the driver reads every step of
  // the motion from these, one per query.
  POINT cursor = {0, 0};
  const BOOL haveCursor = GetCursorPos(&cursor);

  Line line;
  BeginLine(&line, DOUBLE_NAME " joyGetPosEx q=");
  PutUnsigned(&line, g_queries);
  Put(&line, " id=");
  PutUnsigned(&line, id);
  Put(&line, " size=");
  PutUnsigned(&line, info ? info->dwSize : 0);
  Put(&line, " flags=");
  PutHex(&line, info ? info->dwFlags : 0);
  Put(&line, " line=");
  PutUnsigned(&line, g_state.line);
  Put(&line, " waited=");
  PutUnsigned(&line, g_state.waitMs);
  Put(&line, " -> ");
  PutUnsigned(&line, result);
  Put(&line, " x=");
  PutUnsigned(&line, g_state.x);
  Put(&line, " y=");
  PutUnsigned(&line, g_state.y);
  Put(&line, " buttons=");
  PutHex(&line, g_state.buttons);
  if (haveCursor) {
    Put(&line, " cursor=");
    PutSigned(&line, cursor.x);
    Put(&line, ",");
    PutSigned(&line, cursor.y);
  }
  EndLine(&line);
  return result;
}

// The timer-resolution calls are only logged: Wine's timers keep their period
// whatever the resolution, and the scenarios check from the log when Velmora
// raises and restores it (only on its fallback tick paths, while polling).
static UINT LogPeriod(const char* call, UINT period) {
  Line line;
  BeginLine(&line, call);
  PutUnsigned(&line, period);
  EndLine(&line);
  return kNoError;
}

UINT WINAPI timeBeginPeriod(UINT period) {
  return LogPeriod(DOUBLE_NAME " timeBeginPeriod ", period);
}

UINT WINAPI timeEndPeriod(UINT period) { return LogPeriod(DOUBLE_NAME " timeEndPeriod ", period); }

// ---- the open menu, read from inside the process that owns it ----

#ifndef JOYDOUBLE_PLANTED
// The probe's "menu" command sets the request event and waits for the done
// event; the items are then in the shared memory as JSON lines (caption with
// its &, separator flag, screen rectangle), or a one-line reason. The names
// carry the process id, as the probe finds it from the menu window.
enum { kMenuTextSize = 8192 };

static void PutName(char* name, const char* what) {
  Line line = {{0}, 0};
  Put(&line, "VelmoraDoubleMenu-");
  Put(&line, what);
  Put(&line, "-");
  PutUnsigned(&line, GetCurrentProcessId());
  line.text[line.length] = 0;
  lstrcpynA(name, line.text, 64);
}

static BOOL CALLBACK FindOwnMenu(HWND window, LPARAM found) {
  char className[16] = "";
  DWORD pid = 0;
  (void)GetClassNameA(window, className, sizeof(className));
  (void)GetWindowThreadProcessId(window, &pid);
  if (lstrcmpA(className, "#32768") || pid != GetCurrentProcessId() || !IsWindowVisible(window)) {
    return TRUE;
  }
  *(HWND*)found = window;
  return FALSE;
}

static void PutJsonString(Line* line, const char* text) {
  Put(line, "\"");
  for (; *text; ++text) {
    char one[3] = {'\\', *text, 0};
    Put(line, (*text == '"' || *text == '\\') ? one : one + 1);
  }
  Put(line, "\"");
}

static void ReadMenu(char* out) {
  int used = 0;
  out[0] = 0;
  HWND popup = NULL;
  (void)EnumWindows(FindOwnMenu, (LPARAM)&popup);
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
  const int count = GetMenuItemCount(menu);
  for (int i = 0; i < count; ++i) {
    char caption[128] = "";
    (void)GetMenuStringA(menu, (UINT)i, caption, sizeof(caption), MF_BYPOSITION);
    RECT rect = {0, 0, 0, 0};
    (void)GetMenuItemRect(popup, menu, (UINT)i, &rect);
    Line line = {{0}, 0};
    Put(&line, "{\"index\": ");
    PutUnsigned(&line, (unsigned)i);
    Put(&line, ", \"caption\": ");
    PutJsonString(&line, caption);
    Put(&line, (GetMenuState(menu, (UINT)i, MF_BYPOSITION) & MF_SEPARATOR)
                   ? ", \"separator\": true, \"rect\": ["
                   : ", \"separator\": false, \"rect\": [");
    const LONG sides[4] = {rect.left, rect.top, rect.right, rect.bottom};
    for (int side = 0; side < 4; ++side) {
      if (side) Put(&line, ", ");
      PutSigned(&line, sides[side]);
    }
    Put(&line, "]}\n");
    if (used + line.length >= kMenuTextSize) break;
    CopyMemory(out + used, line.text, (SIZE_T)line.length);
    used += line.length;
    out[used] = 0;
  }
}

static DWORD WINAPI MenuReader(LPVOID unused) {
  (void)unused;
  char requestName[64], doneName[64], textName[64];
  PutName(requestName, "request");
  PutName(doneName, "done");
  PutName(textName, "text");
  HANDLE request = CreateEventA(NULL, FALSE, FALSE, requestName);
  HANDLE done = CreateEventA(NULL, FALSE, FALSE, doneName);
  HANDLE mapping =
      CreateFileMappingA(INVALID_HANDLE_VALUE, NULL, PAGE_READWRITE, 0, kMenuTextSize, textName);
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
    (void)QueryPerformanceFrequency(&g_frequency);
    char logPath[MAX_PATH];
    const DWORD logLength = GetEnvironmentVariableA("JOYDOUBLE_LOG", logPath, sizeof(logPath));
    if (logLength > 0 && logLength < sizeof(logPath)) {
      // Appending from several processes at once keeps each line whole.
      g_log = CreateFileA(logPath, FILE_APPEND_DATA,
                          FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, NULL,
                          OPEN_ALWAYS, FILE_ATTRIBUTE_NORMAL, NULL);
    }
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
    Line line;
    BeginLine(&line, DOUBLE_NAME " attach module=");
    Put(&line, module);
    Put(&line, " exe=");
    Put(&line, exe);
    EndLine(&line);
  } else if (reason == DLL_PROCESS_DETACH) {
    Line line;
    BeginLine(&line, DOUBLE_NAME " detach");
    EndLine(&line);
    if (g_log != INVALID_HANDLE_VALUE) CloseHandle(g_log);
  }
  return TRUE;
}
