// What Windows defines and the program uses, as plain C++ so the logic builds
// and runs on any host: the records handed to the system, with the 32-bit
// layouts pinned below, and the numbers of the messages, flags and codes.
// Every value is written as Windows defines it; the Windows build checks each
// one against <windows.h> (win32_platform.cpp).
#ifndef VELMORA_PLATFORM_WIN32_DEFS_H
#define VELMORA_PLATFORM_WIN32_DEFS_H

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

// --- joystick (mmsystem.h) ---
constexpr uint32_t kJoystickId1 = 0;          // JOYSTICKID1
constexpr uint32_t kJoyReturnAll = 0xFF;      // JOY_RETURNALL
constexpr uint32_t kJoyReturnX = 0x01;        // JOY_RETURNX
constexpr uint32_t kJoyReturnY = 0x02;        // JOY_RETURNY
constexpr uint32_t kJoyReturnZ = 0x04;        // JOY_RETURNZ
constexpr uint32_t kJoyReturnR = 0x08;        // JOY_RETURNR
constexpr uint32_t kJoyReturnU = 0x10;        // JOY_RETURNU
constexpr uint32_t kJoyReturnV = 0x20;        // JOY_RETURNV
constexpr uint32_t kJoyReturnPov = 0x40;      // JOY_RETURNPOV
constexpr uint32_t kJoyReturnButtons = 0x80;  // JOY_RETURNBUTTONS
constexpr int32_t kJoyErrNoError = 0;         // JOYERR_NOERROR
constexpr int32_t kMmSysErrNoDriver = 6;      // MMSYSERR_NODRIVER
constexpr int32_t kJoyErrParms = 165;         // JOYERR_PARMS
constexpr int32_t kJoyErrUnplugged = 167;     // JOYERR_UNPLUGGED

// --- synthetic input (winuser.h) ---
constexpr uint32_t kMouseLeftDown = 0x0002;        // MOUSEEVENTF_LEFTDOWN
constexpr uint32_t kMouseLeftUp = 0x0004;          // MOUSEEVENTF_LEFTUP
constexpr uint32_t kMouseRightDown = 0x0008;       // MOUSEEVENTF_RIGHTDOWN
constexpr uint32_t kMouseRightUp = 0x0010;         // MOUSEEVENTF_RIGHTUP
constexpr uint32_t kMouseMiddleDown = 0x0020;      // MOUSEEVENTF_MIDDLEDOWN
constexpr uint32_t kMouseMiddleUp = 0x0040;        // MOUSEEVENTF_MIDDLEUP
constexpr uint32_t kKeyEventExtendedKey = 0x0001;  // KEYEVENTF_EXTENDEDKEY
constexpr uint32_t kKeyEventKeyUp = 0x0002;        // KEYEVENTF_KEYUP
constexpr uint8_t kVkUp = 0x26;                    // VK_UP
constexpr uint8_t kVkDown = 0x28;                  // VK_DOWN

// --- window messages and their parameters (winuser.h) ---
constexpr uint32_t kWmDestroy = 0x0002;     // WM_DESTROY
constexpr uint32_t kWmClose = 0x0010;       // WM_CLOSE
constexpr uint32_t kWmEndSession = 0x0016;  // WM_ENDSESSION
constexpr uint32_t kWmTimer = 0x0113;       // WM_TIMER
constexpr uint32_t kWmMouseMove = 0x0200;   // WM_MOUSEMOVE
constexpr uint32_t kWmRButtonUp = 0x0205;   // WM_RBUTTONUP
constexpr uint32_t kMkLButton = 0x0001;     // MK_LBUTTON
constexpr uint32_t kMkRButton = 0x0002;     // MK_RBUTTON
constexpr uint32_t kMkShift = 0x0004;       // MK_SHIFT
constexpr uint32_t kMkControl = 0x0008;     // MK_CONTROL
constexpr uint32_t kMkMButton = 0x0010;     // MK_MBUTTON
constexpr int32_t kSwShowNormal = 1;        // SW_SHOWNORMAL

// --- notification icon and shell (shellapi.h) ---
constexpr uint32_t kNimAdd = 0;                  // NIM_ADD
constexpr uint32_t kNimModify = 1;               // NIM_MODIFY
constexpr uint32_t kNimDelete = 2;               // NIM_DELETE
constexpr uint32_t kNimSetFocus = 3;             // NIM_SETFOCUS
constexpr uint32_t kNifMessage = 0x1;            // NIF_MESSAGE
constexpr uint32_t kNifIcon = 0x2;               // NIF_ICON
constexpr uint32_t kNifTip = 0x4;                // NIF_TIP
constexpr uint32_t kNotifyIconV1SizeBytes = 88;  // NOTIFYICONDATAA_V1_SIZE
constexpr intptr_t kSeErrFileNotFound = 2;       // SE_ERR_FNF

static_assert(sizeof(NotifyIconDataA) == kNotifyIconV1SizeBytes, "the first version's size");

}  // namespace velmora

#endif
