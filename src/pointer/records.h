// The records the program hands to the system, as its own plain structs so the
// logic builds and runs on any host. Layouts are the 32-bit Windows ones,
// little-endian; every size and offset is pinned below, and the Windows build
// also checks them against the system headers (src/platform/win32_platform.cpp).
#ifndef VELMORA_POINTER_RECORDS_H
#define VELMORA_POINTER_RECORDS_H

#include <cstddef>
#include <cstdint>

namespace velmora {

// Screen coordinates in physical pixels.
struct Point {
  int32_t x;
  int32_t y;
};

// The joystick position record (JOYINFOEX).
struct JoyInfoEx {
  uint32_t dwSize;
  uint32_t dwFlags;
  uint32_t dwXpos;
  uint32_t dwYpos;
  uint32_t dwZpos;
  uint32_t dwRpos;
  uint32_t dwUpos;
  uint32_t dwVpos;
  uint32_t dwButtons;
  uint32_t dwButtonNumber;
  uint32_t dwPOV;
  uint32_t dwReserved1;
  uint32_t dwReserved2;
};

// The joystick capabilities record (JOYCAPSA). The whole 404-byte record is
// kept because the system's joystick driver refuses any other size with
// JOYERR_PARMS; only wNumButtons is ever read.
struct JoyCapsA {
  uint16_t wMid;
  uint16_t wPid;
  char szPname[32];
  uint32_t wXmin;
  uint32_t wXmax;
  uint32_t wYmin;
  uint32_t wYmax;
  uint32_t wZmin;
  uint32_t wZmax;
  uint32_t wNumButtons;
  uint32_t wPeriodMin;
  uint32_t wPeriodMax;
  uint32_t wRmin;
  uint32_t wRmax;
  uint32_t wUmin;
  uint32_t wUmax;
  uint32_t wVmin;
  uint32_t wVmax;
  uint32_t wCaps;
  uint32_t wMaxAxes;
  uint32_t wNumAxes;
  uint32_t wMaxButtons;
  char szRegKey[32];
  char szOEMVxD[260];
};

// The notification-icon record, first (88-byte) version, 8-bit characters.
// Handles are 32-bit values, as they are for a 32-bit program.
struct NotifyIconDataA {
  uint32_t cbSize;
  uint32_t hWnd;
  uint32_t uID;
  uint32_t uFlags;
  uint32_t uCallbackMessage;
  uint32_t hIcon;
  char szTip[64];
};

static_assert(sizeof(Point) == 8 && offsetof(Point, y) == 4, "POINT layout");

static_assert(sizeof(JoyInfoEx) == 52, "JOYINFOEX is 52 bytes");
static_assert(offsetof(JoyInfoEx, dwFlags) == 4 && offsetof(JoyInfoEx, dwXpos) == 8 &&
                  offsetof(JoyInfoEx, dwYpos) == 12 && offsetof(JoyInfoEx, dwZpos) == 16 &&
                  offsetof(JoyInfoEx, dwRpos) == 20 && offsetof(JoyInfoEx, dwUpos) == 24 &&
                  offsetof(JoyInfoEx, dwVpos) == 28 && offsetof(JoyInfoEx, dwButtons) == 32 &&
                  offsetof(JoyInfoEx, dwButtonNumber) == 36 && offsetof(JoyInfoEx, dwPOV) == 40 &&
                  offsetof(JoyInfoEx, dwReserved1) == 44 && offsetof(JoyInfoEx, dwReserved2) == 48,
              "JOYINFOEX field offsets");

static_assert(sizeof(JoyCapsA) == 404, "JOYCAPSA is 404 bytes");
static_assert(offsetof(JoyCapsA, wPid) == 2 && offsetof(JoyCapsA, szPname) == 4 &&
                  offsetof(JoyCapsA, wXmin) == 36 && offsetof(JoyCapsA, wZmax) == 56 &&
                  offsetof(JoyCapsA, wNumButtons) == 60 && offsetof(JoyCapsA, wPeriodMin) == 64 &&
                  offsetof(JoyCapsA, wVmax) == 92 && offsetof(JoyCapsA, wCaps) == 96 &&
                  offsetof(JoyCapsA, wMaxButtons) == 108 && offsetof(JoyCapsA, szRegKey) == 112 &&
                  offsetof(JoyCapsA, szOEMVxD) == 144,
              "JOYCAPSA field offsets");

static_assert(sizeof(NotifyIconDataA) == 88, "NOTIFYICONDATAA (first version) is 88 bytes");
static_assert(offsetof(NotifyIconDataA, hWnd) == 4 && offsetof(NotifyIconDataA, uID) == 8 &&
                  offsetof(NotifyIconDataA, uFlags) == 12 &&
                  offsetof(NotifyIconDataA, uCallbackMessage) == 16 &&
                  offsetof(NotifyIconDataA, hIcon) == 20 && offsetof(NotifyIconDataA, szTip) == 24,
              "NOTIFYICONDATAA field offsets");

}  // namespace velmora

#endif
