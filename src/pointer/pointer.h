// The pointer emulation: what one poll of the joystick does to the cursor, the
// mouse buttons and the keyboard. Pure logic on PollState; every effect goes
// through PlatformOps, so this file knows nothing of Windows.
#ifndef VELMORA_POINTER_POINTER_H
#define VELMORA_POINTER_POINTER_H

#include <cstdint>

#include "platform/platform_ops.h"

namespace velmora {

// A digital stick reports exactly these two positions when pushed to a side;
// anything else (centre, the extremes, every analogue in-between) moves nothing.
constexpr uint32_t kAxisLow = 256;     // left, or up
constexpr uint32_t kAxisHigh = 65280;  // right, or down
constexpr uint32_t kAxisCentre = 32767;

// There are only 32 button bits; a larger reported count examines just those.
constexpr int32_t kMaxScannedButtons = 32;

// While the joystick keeps failing, it is asked again no sooner than this after
// the last failure: a failing query can block for a second or more while the
// system looks for the device, and that would freeze the tray menu.
constexpr uint32_t kLostJoystickRetryMs = 1000;

// Programs that read scan codes (games, raw input) see the arrow keys as a real
// keyboard sends them: these scan codes with the extended-key flag.
constexpr uint8_t kScanUp = 0x48;
constexpr uint8_t kScanDown = 0x50;

// The pointer's working state: the records handed to the system, the cursor,
// the speeds and the buttons' press memory. Owned by the main window for its
// whole life and zero-filled when it is created; the menu's and the icon's
// state are the window's own, and the tick source keeps its timing.
struct PollState {
  NotifyIconDataA TrayData;
  Point CursorPos;
  int32_t SpeedX;  // pixels per tick, kept from tick to tick
  int32_t SpeedY;
  Point TargetPos;
  bool ButtonHeld[4];  // press memory of the tracked buttons, by button index
  JoyInfoEx JoyInfo;
  JoyCapsA JoyCaps;
  int32_t ResultCode;
  int16_t ButtonIndex;
  int32_t ButtonMask;
  // A failed joystick query puts the poller into the lost state until a query
  // succeeds again; the next try (capabilities, then position) waits
  // RetryPauseMs after the last one ended.
  bool JoystickLost;
  uint32_t LastFailedQueryMs;
  uint32_t RetryPauseMs;
};

// Mouse actions: one mouse_event each, at the cursor.
void MouseLeftDown(PlatformOps& ops);
void MouseLeftUp(PlatformOps& ops);
void MouseRightDown(PlatformOps& ops);
void MouseRightUp(PlatformOps& ops);
void MouseMiddleDown(PlatformOps& ops);
void MouseMiddleUp(PlatformOps& ops);

// One complete stroke of an arrow key: pressed, then released.
void ArrowStroke(PlatformOps& ops, uint8_t vk, uint8_t scan);

// One poll: reads the joystick and the cursor, moves the cursor, then scans the
// buttons. A joystick that cannot be read counts as centred with no button
// down; a cursor that cannot be read ends the tick before anything is sent.
void PollTick(PollState& state, PlatformOps& ops);

// The tick's last step: turns the button bits into mouse and key events.
void ScanButtons(PollState& state, PlatformOps& ops, uint32_t buttons);

// Lets go of every mouse button that the joystick's buttons are holding down.
void ReleaseHeldButtons(PollState& state, PlatformOps& ops);

}  // namespace velmora

#endif
