#include "pointer/pointer.h"

namespace velmora {
namespace {

// What the tick acts on: the joystick as read, or a centred stick with no
// button down when the joystick could not be read.
struct StickReading {
  uint32_t x;
  uint32_t y;
  uint32_t buttons;
};

constexpr StickReading kCentredStick = {kAxisCentre, kAxisCentre, 0};

// An overflowing update leaves the value as it was; the tick goes on.
void AddUnlessOverflow(int32_t& value, int32_t delta) {
  int32_t sum;
  if (!__builtin_add_overflow(value, delta, &sum)) value = sum;
}

// One axis: exactly kAxisLow steps towards negative, exactly kAxisHigh towards
// positive. The step grows by one per tick held the same way, survives the stick
// returning to the centre, and restarts at one only when the direction reverses.
void StepAxis(uint32_t position, int32_t& speed, int32_t& target) {
  if (position == kAxisLow) {
    if (speed < 0) {
      AddUnlessOverflow(speed, -1);
    } else {
      speed = -1;
    }
  } else if (position == kAxisHigh) {
    if (speed > 0) {
      AddUnlessOverflow(speed, 1);
    } else {
      speed = 1;
    }
  } else {
    return;
  }
  AddUnlessOverflow(target, speed);
}

StickReading ReadJoystick(PollState& s, PlatformOps& ops) {
  uint32_t started = 0;
  bool present = true;
  if (s.JoystickLost) {
    started = ops.TickCountMs();
    if (started - s.LastFailedQueryMs < s.RetryPauseMs) return kCentredStick;
    // What answers now may be another device (a pad plugged in instead, or
    // renumbered at resume), or the same one with other buttons: it is asked
    // what it is before it is read. While it is missing this fails fast,
    // where the position query may block.
    s.ResultCode = ops.joyGetDevCapsA(kJoystickId1, &s.JoyCaps, sizeof(s.JoyCaps));
    present = s.ResultCode == kJoyErrNoError;
  }
  if (present) {
    s.JoyInfo.dwSize = sizeof(s.JoyInfo);
    s.JoyInfo.dwFlags = kJoyReturnAll;
    s.ResultCode = ops.joyGetPosEx(kJoystickId1, &s.JoyInfo);
    if (s.ResultCode == kJoyErrNoError) {
      s.JoystickLost = false;
      return {s.JoyInfo.dwXpos, s.JoyInfo.dwYpos, s.JoyInfo.dwButtons};
    }
  }
  // Whatever a failed query left in JoyInfo is stale: acting on it would keep
  // the cursor running and the buttons firing with nobody at the stick.
  //
  // The pause before the next try counts from the end of this one, and lasts at
  // least as long as this one took: a driver that blocks for seconds while it
  // looks for the device then holds the UI thread at most half the time, and
  // the tray menu and Exit are answered in between. (The first failure's length
  // is unknown, since a healthy tick does not read the clock.)
  const uint32_t ended = ops.TickCountMs();
  const uint32_t took = s.JoystickLost ? ended - started : 0;
  s.RetryPauseMs = took > kLostJoystickRetryMs ? took : kLostJoystickRetryMs;
  s.JoystickLost = true;
  s.LastFailedQueryMs = ended;
  return kCentredStick;
}

// What one joystick button does. A tracked button holds its mouse button down
// for as long as it is held (one press, one release); the others repeat their
// action on every tick they are held and do nothing when let go.
enum class ButtonKind : uint8_t { kTracked, kDoubleClick, kArrowStroke };

struct ButtonRow {
  ButtonKind kind;
  void (*press)(PlatformOps&);    // kTracked: the mouse button's down and up
  void (*release)(PlatformOps&);  //
  uint8_t vk;                     // kArrowStroke: the key, as a virtual key
  uint8_t scan;                   // and as a keyboard's scan code
};

// Button 1 is the first row. Buttons beyond the table have no action.
constexpr ButtonRow kButtons[] = {
    {ButtonKind::kTracked, MouseLeftDown, MouseLeftUp, 0, 0},
    {ButtonKind::kTracked, MouseMiddleDown, MouseMiddleUp, 0, 0},
    {ButtonKind::kTracked, MouseRightDown, MouseRightUp, 0, 0},
    {ButtonKind::kDoubleClick, nullptr, nullptr, 0, 0},
    {ButtonKind::kArrowStroke, nullptr, nullptr, kVkUp, kScanUp},
    {ButtonKind::kArrowStroke, nullptr, nullptr, kVkDown, kScanDown},
    {ButtonKind::kArrowStroke, nullptr, nullptr, kVkUp, kScanUp},
    {ButtonKind::kArrowStroke, nullptr, nullptr, kVkDown, kScanDown},
};
constexpr int kButtonRows = static_cast<int>(sizeof(kButtons) / sizeof(kButtons[0]));

// A tracked button keeps its press memory in ButtonHeld at its own index.
constexpr bool TrackedRowsFitButtonHeld() {
  for (int i = 0; i < kButtonRows; ++i) {
    if (kButtons[i].kind == ButtonKind::kTracked &&
        i >= static_cast<int>(sizeof(PollState::ButtonHeld) / sizeof(bool))) {
      return false;
    }
  }
  return true;
}
static_assert(TrackedRowsFitButtonHeld(), "every tracked button has a ButtonHeld slot");

void DoubleClick(PlatformOps& ops) {
  MouseLeftDown(ops);
  MouseLeftUp(ops);
  MouseLeftDown(ops);
  MouseLeftUp(ops);
}

void ButtonAction(PollState& s, PlatformOps& ops, int index, bool down) {
  if (index >= kButtonRows) return;
  const ButtonRow& row = kButtons[index];
  switch (row.kind) {
    case ButtonKind::kTracked: {
      bool& held = s.ButtonHeld[index];
      if (down && !held) {
        row.press(ops);
        held = true;
      } else if (!down && held) {
        row.release(ops);
        held = false;
      }
      break;
    }
    case ButtonKind::kDoubleClick:
      if (down) DoubleClick(ops);
      break;
    case ButtonKind::kArrowStroke:
      if (down) ArrowStroke(ops, row.vk, row.scan);
      break;
  }
}

}  // namespace

void MouseLeftDown(PlatformOps& ops) { ops.mouse_event(kMouseLeftDown, 0, 0, 0, 0); }
void MouseLeftUp(PlatformOps& ops) { ops.mouse_event(kMouseLeftUp, 0, 0, 0, 0); }
void MouseRightDown(PlatformOps& ops) { ops.mouse_event(kMouseRightDown, 0, 0, 0, 0); }
void MouseRightUp(PlatformOps& ops) { ops.mouse_event(kMouseRightUp, 0, 0, 0, 0); }
void MouseMiddleDown(PlatformOps& ops) { ops.mouse_event(kMouseMiddleDown, 0, 0, 0, 0); }
void MouseMiddleUp(PlatformOps& ops) { ops.mouse_event(kMouseMiddleUp, 0, 0, 0, 0); }

void ArrowStroke(PlatformOps& ops, uint8_t vk, uint8_t scan) {
  // Press before release, so that no key is ever left down in the system.
  ops.keybd_event(vk, scan, kKeyEventExtendedKey, 0);
  ops.keybd_event(vk, scan, kKeyEventExtendedKey | kKeyEventKeyUp, 0);
}

void PollTick(PollState& s, PlatformOps& ops) {
  const StickReading stick = ReadJoystick(s, ops);
  // The cursor cannot be read while another desktop has the input: the lock
  // screen, a UAC prompt, the Ctrl+Alt+Del screen, a disconnected remote
  // session. Windows delivers none of this program's input there either, so
  // a button let go meanwhile would be released into nothing and stay down
  // for Windows after the unlock. Such a tick moves and sends nothing: the
  // speeds and the buttons' press memory wait, and the first tick that can
  // read the cursor sends whatever changed meanwhile, once.
  if (!ops.GetCursorPos(&s.CursorPos)) return;
  s.TargetPos = s.CursorPos;
  StepAxis(stick.x, s.SpeedX, s.TargetPos.x);
  StepAxis(stick.y, s.SpeedY, s.TargetPos.y);
  if (s.TargetPos.x != s.CursorPos.x || s.TargetPos.y != s.CursorPos.y) {
    (void)ops.SetCursorPos(s.TargetPos.x, s.TargetPos.y);
  }
  ScanButtons(s, ops, stick.buttons);
}

void ScanButtons(PollState& s, PlatformOps& ops, uint32_t buttons) {
  s.ButtonMask = 1;
  int32_t count = static_cast<int32_t>(s.JoyCaps.wNumButtons);
  if (count < 0) count = 0;
  if (count > kMaxScannedButtons) count = kMaxScannedButtons;
  for (s.ButtonIndex = 0; s.ButtonIndex < count; ++s.ButtonIndex) {
    const bool down = (buttons & static_cast<uint32_t>(s.ButtonMask)) != 0;
    ButtonAction(s, ops, s.ButtonIndex, down);
    int32_t doubled;
    // Past bit 30 the signed mask would overflow; it stays put, and the
    // buttons concerned have no action anyway.
    if (!__builtin_mul_overflow(s.ButtonMask, 2, &doubled)) s.ButtonMask = doubled;
  }
  // A joystick that came back reporting fewer buttons no longer reports one
  // it may have held down: that one is up.
  for (int index = count; index < kButtonRows; ++index) ButtonAction(s, ops, index, false);
}

void ReleaseHeldButtons(PollState& s, PlatformOps& ops) {
  // Only tracked buttons act when seen up, and then only if they were held.
  for (int index = 0; index < kButtonRows; ++index) ButtonAction(s, ops, index, false);
}

}  // namespace velmora
