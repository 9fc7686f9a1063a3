// winmm.dll for the e2e tests: a scripted joystick that logs every call, and
// stands in for Windows that refuse the program's timers. tests/e2e/README.md
// says how the harness drives it (JOYDOUBLE_CAPS, _SCRIPT, _LOG, _REFUSE).
// (The build's WIN32_LEAN_AND_MEAN keeps out mmsystem.h, whose prototypes these replace.)

#include <windows.h>

#include <objbase.h>
#include <stdarg.h>
#include <stdio.h>
#include <string.h>

// The system's 32-bit records, which callers must pass whole: 404 and 52 bytes.
typedef struct {
  BYTE before[60];
  UINT wNumButtons;
  BYTE after[340];
} JoyCapsA;
typedef struct {
  DWORD dwSize, dwFlags, dwXpos, dwYpos, dwZpos, dwRpos, dwUpos, dwVpos, dwButtons, more[4];
} JoyInfoEx;

static HANDLE g_log = INVALID_HANDLE_VALUE, g_logLock;
static char g_script[MAX_PATH];
static long g_taken;  // bytes of the script taken so far
static DWORD g_line, g_served;
static DWORD g_state[7] = {167, 32767, 32767, 0, 0, 0, 0};  // result x y buttons count wait caps

static void Log(const char* format, ...) {
  LARGE_INTEGER now, hz;
  (void)QueryPerformanceCounter(&now);
  (void)QueryPerformanceFrequency(&hz);
  char text[512];
  int length = snprintf(text, sizeof(text), "%llu %lu ",
                        (unsigned long long)((double)now.QuadPart * 1e6 / (double)hz.QuadPart),
                        GetCurrentProcessId());
  va_list args;
  va_start(args, format);
  length += vsnprintf(text + length, sizeof(text) - (size_t)length - 1, format, args);
  va_end(args);
  if (length > (int)sizeof(text) - 2) length = (int)sizeof(text) - 2;
  text[length++] = '\n';
  DWORD written;
  // Wine appends by seeking to the end, then writing: two processes writing at
  // once could cut into each other's lines, so they take turns.
  (void)WaitForSingleObject(g_logLock, INFINITE);
  (void)WriteFile(g_log, text, (DWORD)length, &written, NULL);
  (void)ReleaseMutex(g_logLock);
}

// Takes the script's next state, once a whole line of it is there.
static void Advance(void) {
  FILE* script = fopen(g_script, "rb");
  char line[128];
  DWORD state[7];
  if (script && !fseek(script, g_taken, SEEK_SET) && fgets(line, sizeof(line), script) &&
      strchr(line, '\n') &&
      sscanf(line, "%lu %lu %lu %lx %lu %lu %lu", &state[0], &state[1], &state[2], &state[3],
             &state[4], &state[5], &state[6]) == 7) {
    g_taken += (long)strlen(line);
    ++g_line;
    memcpy(g_state, state, sizeof(state));
    g_served = 0;
  }
  if (script) fclose(script);
}

UINT WINAPI joyGetDevCapsA(UINT_PTR id, JoyCapsA* caps, UINT size) {
  char value[32] = "";
  DWORD result = 6, buttons = 0;  // MMSYSERR_NODRIVER unless told
  (void)GetEnvironmentVariableA("JOYDOUBLE_CAPS", value, sizeof(value));
  (void)sscanf(value, "%lu %lu", &result, &buttons);
  if (g_served >= g_state[4]) Advance();
  if (g_line && g_state[5]) Sleep(g_state[5]);
  if (g_line && g_state[0]) result = 165;
  if (g_line && g_state[6]) buttons = g_state[6];
  // The system checks the caller (JOYERR_PARMS) before it looks for the device.
  if (id != 0 || !caps || size != sizeof(JoyCapsA)) result = 165;
  if (result == 0) {
    ZeroMemory(caps, sizeof(*caps));
    caps->wNumButtons = buttons;
  }
  // The calling thread's COM apartment (APTTYPE_*, -1 for none): the program
  // queries from its UI thread, which About... needs to be an apartment.
  APTTYPE apartment;
  APTTYPEQUALIFIER qualifier;
  Log("joyGetDevCapsA id=%u size=%u result=%lu buttons=%lu apartment=%d", (unsigned)id, size,
      result, buttons, SUCCEEDED(CoGetApartmentType(&apartment, &qualifier)) ? (int)apartment : -1);
  return result;
}

UINT WINAPI joyGetPosEx(UINT id, JoyInfoEx* info) {
  if (g_served >= g_state[4]) Advance();
  ++g_served;
  if (g_state[5]) Sleep(g_state[5]);
  const UINT result = (id != 0 || !info || info->dwSize != sizeof(JoyInfoEx)) ? 165 : g_state[0];
  if (result == 0) {
    info->dwXpos = g_state[1];
    info->dwYpos = g_state[2];
    info->dwButtons = g_state[3];
  }
  // The cursor as the tick starts, which is where the previous one left it:
  // the tests read every step of the motion from these. And how long ago the
  // message that runs the tick was posted, in ms: a stale tick is an old one.
  POINT cursor = {-1, -1};
  (void)GetCursorPos(&cursor);
  Log("joyGetPosEx id=%u size=%lu flags=0x%lx line=%lu result=%u buttons=0x%lx cursor=%ld,%ld "
      "age=%ld",
      id, info ? info->dwSize : 0, info ? info->dwFlags : 0, g_line, result, g_state[3], cursor.x,
      cursor.y, (long)(GetTickCount() - (DWORD)GetMessageTime()));
  return result;
}

// What is refused, any of "create-high-resolution" (Windows 10 before 1803),
// "arm-high-resolution" with a period (1809) and "arm-any" with a period (no
// Windows: the last fallback); and the high-resolution timer made.
static char g_refuse[96];
static HANDLE g_highResolution;

static HANDLE WINAPI WrapCreateWaitableTimerExW(SECURITY_ATTRIBUTES* attributes, const WCHAR* name,
                                                DWORD flags, DWORD access) {
  const int high = (flags & 2) != 0;  // CREATE_WAITABLE_TIMER_HIGH_RESOLUTION
  const int refused = high && strstr(g_refuse, "create-high-resolution");
  HANDLE timer = refused ? NULL : CreateWaitableTimerExW(attributes, name, flags, access);
  if (refused) SetLastError(ERROR_INVALID_PARAMETER);
  if (high) g_highResolution = timer;
  Log("CreateWaitableTimerExW flags=%lu made=%d", flags, timer != NULL);
  return timer;
}

static BOOL WINAPI WrapSetWaitableTimer(HANDLE timer, const LARGE_INTEGER* due, LONG period,
                                        PTIMERAPCROUTINE routine, void* argument, BOOL resume) {
  const int high = timer && timer == g_highResolution;
  const int refused =
      period && (strstr(g_refuse, "arm-any") || (high && strstr(g_refuse, "arm-high-resolution")));
  const BOOL armed = !refused && SetWaitableTimer(timer, due, period, routine, argument, resume);
  if (refused) SetLastError(ERROR_INVALID_PARAMETER);
  Log("SetWaitableTimer period=%ld high=%d armed=%d", period, high, armed);
  return armed;
}

// Points the executable's imports of `name` at `wrapper`.
static void Wrap(const char* name, void* wrapper) {
  BYTE* base = (BYTE*)GetModuleHandleA(NULL);
  const IMAGE_NT_HEADERS* nt = (void*)(base + ((IMAGE_DOS_HEADER*)base)->e_lfanew);
  const IMAGE_DATA_DIRECTORY imports =
      nt->OptionalHeader.DataDirectory[IMAGE_DIRECTORY_ENTRY_IMPORT];
  for (IMAGE_IMPORT_DESCRIPTOR* d = (void*)(base + imports.VirtualAddress); imports.Size && d->Name;
       ++d) {
    IMAGE_THUNK_DATA* names = (void*)(base + d->OriginalFirstThunk);
    IMAGE_THUNK_DATA* slots = (void*)(base + d->FirstThunk);
    for (; d->OriginalFirstThunk && names->u1.AddressOfData; ++names, ++slots) {
      if (IMAGE_SNAP_BY_ORDINAL(names->u1.Ordinal) ||
          strcmp((char*)((IMAGE_IMPORT_BY_NAME*)(base + names->u1.AddressOfData))->Name, name)) {
        continue;
      }
      DWORD protection;
      (void)VirtualProtect(slots, sizeof(*slots), PAGE_READWRITE, &protection);
      slots->u1.Function = (ULONG_PTR)wrapper;
      (void)VirtualProtect(slots, sizeof(*slots), protection, &protection);
    }
  }
}

// Only logged: Wine's timers keep their period whatever the resolution, and
// the tests check when the program raises and restores it.
UINT WINAPI timeBeginPeriod(UINT period) {
  Log("timeBeginPeriod period=%u", period);
  return 0;
}

UINT WINAPI timeEndPeriod(UINT period) {
  Log("timeEndPeriod period=%u", period);
  return 0;
}

BOOL WINAPI DllMain(HINSTANCE instance, DWORD reason, LPVOID reserved) {
  (void)reserved;
  if (reason != DLL_PROCESS_ATTACH) return TRUE;
  char path[MAX_PATH] = "", exe[MAX_PATH] = "";
  (void)GetEnvironmentVariableA("JOYDOUBLE_SCRIPT", g_script, sizeof(g_script));
  (void)GetEnvironmentVariableA("JOYDOUBLE_LOG", path, sizeof(path));
  // Appending: several processes write to one log, and each line stays whole.
  g_logLock = CreateMutexA(NULL, FALSE, "Local\\joydouble-log");
  g_log = CreateFileA(path, FILE_APPEND_DATA, FILE_SHARE_READ | FILE_SHARE_WRITE, NULL, OPEN_ALWAYS,
                      FILE_ATTRIBUTE_NORMAL, NULL);
  (void)GetModuleFileNameA(instance, path, sizeof(path));
  (void)GetModuleFileNameA(NULL, exe, sizeof(exe));
  Log("attach module=%s exe=%s", path, exe);
  if (GetEnvironmentVariableA("JOYDOUBLE_REFUSE", g_refuse, sizeof(g_refuse))) {
    Wrap("CreateWaitableTimerExW", (void*)WrapCreateWaitableTimerExW);
    Wrap("SetWaitableTimer", (void*)WrapSetWaitableTimer);
  }
  return TRUE;
}
