// Everything the program asks of the operating system, as one interface. The
// logic in src/pointer and src/shell reaches the system only through this, so it
// runs unchanged against the Win32 backend (win32_platform.cpp) and against the
// recording fake the tests use (tests/support/fake_platform.h).
//
// Every operation is called from the UI thread only. None of them reports a
// failure to the user; the contracts say what a failure looks like to the caller.
#ifndef VELMORA_PLATFORM_PLATFORM_OPS_H
#define VELMORA_PLATFORM_PLATFORM_OPS_H

#include <cstddef>
#include <cstdint>

#include "platform/win32_defs.h"

namespace velmora {

// The poll tick's period.
constexpr uint32_t kPollPeriodMs = 10;

// The id the icon timer's WM_TIMER carries in wParam (the window timer that
// may carry the ticks uses 1).
constexpr uintptr_t kIconTimerId = 2;

// One entry of a popup menu, as the platform is asked to show it.
struct MenuItem {
  uint32_t id;          // returned by PopupMenu when chosen; unused for separators
  const char* caption;  // "&" marks the access key; nullptr for a separator
  bool checked;
};

class PlatformOps {
 public:
  // Fills `size` bytes of *caps for joystick `id`. Returns 0 (JOYERR_NOERROR) when
  // the joystick is usable, otherwise an MMSYSERR_/JOYERR_ code.
  virtual int32_t joyGetDevCapsA(uint32_t id, JoyCapsA* caps, uint32_t size) = 0;
  // Reads joystick `id` into *info, whose dwSize and dwFlags the caller has set.
  // Returns 0 or an error code; after a failure *info holds whatever the driver left.
  virtual int32_t joyGetPosEx(uint32_t id, JoyInfoEx* info) = 0;

  // Reads the cursor position in screen pixels. On failure returns false and
  // leaves *pos untouched.
  virtual bool GetCursorPos(Point* pos) = 0;
  // Moves the cursor; the system clamps it to the screen. False on failure.
  virtual bool SetCursorPos(int32_t x, int32_t y) = 0;
  // One synthetic mouse event at the cursor (MOUSEEVENTF_* flags). No result:
  // a failed event is simply not delivered.
  virtual void mouse_event(uint32_t flags, uint32_t dx, uint32_t dy, uint32_t data,
                           uintptr_t extra) = 0;
  // One synthetic key event for the focused application (KEYEVENTF_* flags).
  // No result: a failed event is simply not delivered.
  virtual void keybd_event(uint8_t vk, uint8_t scan, uint32_t flags, uintptr_t extra) = 0;

  // NIM_ADD, NIM_MODIFY, NIM_DELETE or NIM_SETFOCUS of the icon that *data
  // describes. False on failure, which for an add that timed out does not
  // prove the shell did not add the icon.
  virtual bool Shell_NotifyIconA(uint32_t message, const NotifyIconDataA* data) = 0;
  // Opens `file` with the user's handler for `op`. Returns a value above 32 on
  // success, an error code of 32 or below on failure.
  virtual intptr_t ShellExecuteA(uint32_t hwnd, const char* op, const char* file,
                                 const char* params, const char* dir, int32_t show) = 0;

  // True when another copy of the program was already running at start-up.
  virtual bool PrevInstance() = 0;
  // Starts or stops the poll ticks, one every kPollPeriodMs, which arrive on the
  // UI thread as Timer1_Timer. False when the change could not be made.
  virtual bool SetTimer1Enabled(bool enabled) = 0;
  // Starts the icon timer: WM_TIMER with wParam kIconTimerId reaches the main
  // window every `periodMs`, counted from this call; 0 stops it. Starting it
  // again restarts the count. False on failure.
  virtual bool SetIconTimer(uint32_t periodMs) = 0;
  // The main window's handle and its icon's handle, as 32-bit values; 0 on failure.
  virtual uint32_t WindowHandle() = 0;
  virtual uint32_t IconHandle() = 0;
  // Makes the main window the foreground window. False on failure.
  virtual bool SetForegroundWindow() = 0;
  // True while the main window is the foreground window.
  virtual bool IsForegroundWindow() = 0;
  // Shows a popup menu of `count` items at the cursor (left edge at the cursor,
  // chosen with the left button, no default item) and waits in its modal loop.
  // Returns the chosen item's id, or 0 when it was dismissed or could not be shown.
  virtual uint32_t PopupMenu(const MenuItem* items, size_t count) = 0;
  // Posts the main window a message that does nothing. False on failure.
  virtual bool PostNullMessage() = 0;
  // A modal box with `text`, an OK button only and no icon; returns when closed.
  virtual void ShowMessage(const char* text, const char* caption) = 0;
  // Unloads the main window, which runs Form_Unload.
  virtual void UnloadWindow() = 0;
  // Ends the process at once with `exitCode`, which tells whoever started the
  // program whether it ran (0) or could not (1). (The test fake records the
  // call and returns.)
  virtual void EndProcess(uint32_t exitCode) = 0;
  // Milliseconds since an arbitrary start, wrapping at 2^32.
  virtual uint32_t TickCountMs() = 0;

 protected:
  // Never owned or deleted through this interface; no virtual destructor means
  // no deleting destructor, and so no heap runtime in the executable.
  ~PlatformOps() = default;
};

}  // namespace velmora

#endif
