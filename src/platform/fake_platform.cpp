#include "platform/fake_platform.h"

#include <algorithm>
#include <cstring>

namespace velmora::fake {

const char* OpName(Op op) {
  static const char* const kNames[] = {
      "joyGetDevCapsA",      "joyGetPosEx",      "GetCursorPos",      "SetCursorPos",
      "mouse_event",         "keybd_event",      "Shell_NotifyIconA", "ShellExecuteA",
      "PrevInstance",        "SetTimer1Enabled", "WindowHandle",      "IconHandle",
      "SetForegroundWindow", "PopupMenu",        "PostNullMessage",   "ShowMessage",
      "UnloadWindow",        "EndProcess",       "TickCountMs"};
  static_assert(sizeof(kNames) / sizeof(kNames[0]) == static_cast<size_t>(Op::kCount));
  return kNames[static_cast<size_t>(op)];
}

void FakePlatform::Stick(uint32_t x, uint32_t y, uint32_t buttons) {
  device.dwXpos = x;
  device.dwYpos = y;
  device.dwButtons = buttons;
}

bool FakePlatform::Enter(Op op) {
  if (logging) calls.push_back(op);
  return failing_[static_cast<size_t>(op)];
}

bool FakePlatform::AnyKeyDown() const {
  return std::any_of(std::begin(keyDown), std::end(keyDown), [](bool d) { return d; });
}

size_t FakePlatform::Count(Op op) const { return std::count(calls.begin(), calls.end(), op); }

void FakePlatform::ClearLog() {
  calls.clear();
  cursorPlacements.clear();
  mouseEvents.clear();
  keyEvents.clear();
  iconCalls.clear();
  shellExecutes.clear();
  messages.clear();
}

int32_t FakePlatform::joyGetDevCapsA(uint32_t id, JoyCapsA* caps, uint32_t size) {
  if (Enter(Op::joyGetDevCapsA)) return kJoyErrParms;
  // Like the system's driver: one joystick, and only the whole record will do.
  if (id != kJoystickId1 || size != sizeof(JoyCapsA)) return kJoyErrParms;
  if (capsResult != 0) return capsResult;
  *caps = JoyCapsA{};
  caps->wNumButtons = numButtons;
  caps->wMaxButtons = 32;
  return kJoyErrNoError;
}

int32_t FakePlatform::joyGetPosEx(uint32_t id, JoyInfoEx* info) {
  nowMs += queryMs;
  if (Enter(Op::joyGetPosEx)) return kJoyErrUnplugged;  // record left untouched
  if (id != kJoystickId1 || info->dwSize != sizeof(JoyInfoEx)) return kJoyErrParms;
  // Like a driver: only what the flags ask for is written; every other field
  // keeps whatever the caller's record held.
  const uint32_t flags = info->dwFlags;
  const struct {
    uint32_t flag;
    uint32_t JoyInfoEx::*field;
  } kFields[] = {{kJoyReturnX, &JoyInfoEx::dwXpos},
                 {kJoyReturnY, &JoyInfoEx::dwYpos},
                 {kJoyReturnZ, &JoyInfoEx::dwZpos},
                 {kJoyReturnR, &JoyInfoEx::dwRpos},
                 {kJoyReturnU, &JoyInfoEx::dwUpos},
                 {kJoyReturnV, &JoyInfoEx::dwVpos},
                 {kJoyReturnPov, &JoyInfoEx::dwPOV},
                 {kJoyReturnButtons, &JoyInfoEx::dwButtons},
                 {kJoyReturnButtons, &JoyInfoEx::dwButtonNumber}};
  for (const auto& f : kFields) {
    if (flags & f.flag) info->*f.field = device.*f.field;
  }
  return kJoyErrNoError;
}

bool FakePlatform::GetCursorPos(Point* pos) {
  if (Enter(Op::GetCursorPos)) return false;
  *pos = cursor;
  return true;
}

bool FakePlatform::SetCursorPos(int32_t x, int32_t y) {
  if (Enter(Op::SetCursorPos)) return false;
  if (logging) cursorPlacements.push_back({x, y});
  cursor = {std::clamp(x, 0, screenWidth - 1), std::clamp(y, 0, screenHeight - 1)};
  return true;
}

void FakePlatform::mouse_event(uint32_t flags, uint32_t, uint32_t, uint32_t, uintptr_t) {
  if (Enter(Op::mouse_event)) return;
  if (logging) mouseEvents.push_back(flags);
  const struct {
    uint32_t down, up;
    MouseButton button;
  } kMap[] = {{kMouseLeftDown, kMouseLeftUp, kLeft},
              {kMouseMiddleDown, kMouseMiddleUp, kMiddle},
              {kMouseRightDown, kMouseRightUp, kRight}};
  for (const auto& m : kMap) {
    if (flags & m.down) mouseDown[m.button] = true;
    if (flags & m.up) mouseDown[m.button] = false;
  }
}

void FakePlatform::keybd_event(uint8_t vk, uint8_t scan, uint32_t flags, uintptr_t) {
  if (Enter(Op::keybd_event)) return;
  if (logging) keyEvents.push_back({vk, scan, flags});
  keyDown[vk] = (flags & kKeyEventKeyUp) == 0;
}

bool FakePlatform::Shell_NotifyIconA(uint32_t message, const NotifyIconDataA* data) {
  if (Enter(Op::Shell_NotifyIconA)) return false;
  if (logging) iconCalls.emplace_back(message, *data);
  if (data->cbSize != sizeof(NotifyIconDataA)) return false;
  if (message == kNimAdd) {
    if (iconShown) return false;  // the shell refuses a second add of the same icon
    iconShown = true;
    iconRecord = *data;
    return true;
  }
  if (message == kNimDelete) {
    if (!iconShown || data->hWnd != iconRecord.hWnd || data->uID != iconRecord.uID) return false;
    iconShown = false;
    return true;
  }
  return false;
}

intptr_t FakePlatform::ShellExecuteA(uint32_t hwnd, const char* op, const char* file,
                                     const char* params, const char* dir, int32_t show) {
  if (Enter(Op::ShellExecuteA)) return kSeErrFileNotFound;
  auto text = [](const char* s) { return s ? std::string(s) : std::string(); };
  if (logging) {
    shellExecutes.push_back({hwnd, text(op), text(file), text(params), text(dir), params == nullptr,
                             dir == nullptr, show});
  }
  return 42;  // any value above 32 is success
}

bool FakePlatform::PrevInstance() {
  if (Enter(Op::PrevInstance)) return false;
  return prevInstance;
}

bool FakePlatform::SetTimer1Enabled(bool enabled) {
  if (Enter(Op::SetTimer1Enabled)) return false;
  timerEnabled = enabled;
  return true;
}

uint32_t FakePlatform::WindowHandle() { return Enter(Op::WindowHandle) ? 0 : windowHandle; }
uint32_t FakePlatform::IconHandle() { return Enter(Op::IconHandle) ? 0 : iconHandle; }

bool FakePlatform::SetForegroundWindow() {
  if (Enter(Op::SetForegroundWindow)) return false;
  foreground = true;
  return true;
}

uint32_t FakePlatform::PopupMenu(const MenuItem* items, size_t count) {
  if (Enter(Op::PopupMenu)) return 0;
  ++menusShown;
  foregroundWhenMenuOpened = foreground;
  if (logging) {
    lastMenu.clear();
    for (size_t i = 0; i < count; ++i) {
      lastMenu.push_back(
          {items[i].id, items[i].caption ? items[i].caption : "-", items[i].checked});
    }
  }
  if (duringPopup) duringPopup();
  if (!popupCaption) return 0;
  // Chosen as a user would: by what the item says, not by its id.
  for (size_t i = 0; i < count; ++i) {
    if (items[i].caption && std::strcmp(items[i].caption, popupCaption) == 0) return items[i].id;
  }
  return 0;
}

bool FakePlatform::PostNullMessage() {
  if (Enter(Op::PostNullMessage)) return false;
  return true;
}

void FakePlatform::ShowMessage(const char* text, const char* caption) {
  if (Enter(Op::ShowMessage)) return;
  if (logging) messages.emplace_back(text, caption);
  if (duringMessage) duringMessage();
}

void FakePlatform::UnloadWindow() {
  if (Enter(Op::UnloadWindow)) return;
  if (onUnload) onUnload();
}

void FakePlatform::EndProcess() {
  (void)Enter(Op::EndProcess);  // ending the process cannot fail
  ++processEnds;
}

uint32_t FakePlatform::TickCountMs() {
  (void)Enter(Op::TickCountMs);  // nor can reading the clock
  return nowMs;
}

}  // namespace velmora::fake
