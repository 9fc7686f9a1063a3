// What the joystick double and the probe both need: a microsecond clock, log
// lines, files read a whole line at a time, JSON strings and the open menu.
#ifndef VELMORA_WINE_COMMON_H
#define VELMORA_WINE_COMMON_H

#ifndef WIN32_LEAN_AND_MEAN
#define WIN32_LEAN_AND_MEAN  // keeps mmsystem.h, whose prototypes the double replaces, out
#endif
#include <windows.h>

#include <stdarg.h>
#include <stdio.h>

enum { kMenuTextSize = 8192 };

// The name of one of the double's menu-reading objects ("request", "done",
// "text") in process `pid`.
static inline const char* MenuObjectName(char out[64], const char* what, DWORD pid) {
  (void)snprintf(out, 64, "VelmoraDoubleMenu-%s-%lu", what, (unsigned long)pid);
  return out;
}

static inline unsigned long long NowMicroseconds(void) {
  LARGE_INTEGER now, hz;
  (void)QueryPerformanceFrequency(&hz);
  (void)QueryPerformanceCounter(&now);
  return (unsigned long long)now.QuadPart / hz.QuadPart * 1000000ULL +
         (unsigned long long)now.QuadPart % hz.QuadPart * 1000000ULL / hz.QuadPart;
}

// A log file named by an environment variable, opened for appending: several
// processes can then write to it at once and each line stays whole.
static inline HANDLE OpenLogNamedBy(const char* variable) {
  char path[MAX_PATH];
  const DWORD length = GetEnvironmentVariableA(variable, path, sizeof(path));
  if (length == 0 || length >= sizeof(path)) return INVALID_HANDLE_VALUE;
  return CreateFileA(path, FILE_APPEND_DATA, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE,
                     NULL, OPEN_ALWAYS, FILE_ATTRIBUTE_NORMAL, NULL);
}

// One line: the time in microseconds, then the formatted text.
static inline void LogLine(HANDLE log, const char* format, ...) {
  char text[512];
  const int room = (int)sizeof(text) - 1;
  int length = snprintf(text, sizeof(text), "%llu ", NowMicroseconds());
  va_list args;
  va_start(args, format);
  const int more = vsnprintf(text + length, (size_t)(room - length), format, args);
  va_end(args);
  length = (more < 0 || length + more >= room) ? room - 1 : length + more;
  text[length++] = '\n';
  DWORD written;
  if (log != INVALID_HANDLE_VALUE) (void)WriteFile(log, text, (DWORD)length, &written, NULL);
}

// The complete lines of a file from `offset` on, as one string; a line still
// being written is left for the next look. Returns the bytes taken.
static inline DWORD ReadLines(const char* path, LONG offset, char* buffer, DWORD capacity) {
  buffer[0] = 0;
  HANDLE file = CreateFileA(path, GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE,
                            NULL, OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, NULL);
  if (file == INVALID_HANDLE_VALUE) return 0;
  DWORD got = 0;
  if (SetFilePointer(file, offset, NULL, FILE_BEGIN) != INVALID_SET_FILE_POINTER) {
    (void)ReadFile(file, buffer, capacity - 1, &got, NULL);
  }
  CloseHandle(file);
  while (got && buffer[got - 1] != '\n') --got;
  buffer[got] = 0;
  return got;
}

// `text` as a JSON string, into `out` (room for twice its length and 3).
static inline const char* JsonString(char* out, const char* text) {
  char* p = out;
  *p++ = '"';
  for (; *text; ++text) {
    if (*text == '"' || *text == '\\') *p++ = '\\';
    *p++ = (unsigned char)*text < 0x20 ? '?' : *text;
  }
  *p++ = '"';
  *p = 0;
  return out;
}

// The visible popup menu window (class #32768) of process `pid`, or of any when 0.
static inline HWND FindMenuWindow(DWORD pid) {
  for (HWND menu = NULL; (menu = FindWindowExA(NULL, menu, "#32768", NULL)) != NULL;) {
    DWORD owner = 0;
    (void)GetWindowThreadProcessId(menu, &owner);
    if (IsWindowVisible(menu) && (!pid || owner == pid)) return menu;
  }
  return NULL;
}

#endif
