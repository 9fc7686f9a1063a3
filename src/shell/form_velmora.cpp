#include "shell/form_velmora.h"

#include <cstring>

namespace velmora {
namespace {

constexpr uint32_t kMkButtons = kMkLButton | kMkRButton | kMkMButton;
constexpr uint32_t kMkModifiers = kMkShift | kMkControl;

uint32_t LowWord(intptr_t value) { return static_cast<uint32_t>(value) & 0xFFFFu; }
uint32_t HighWord(intptr_t value) { return (static_cast<uint32_t>(value) >> 16) & 0xFFFFu; }

}  // namespace

bool formVelmora::WindowMessage(uint32_t message, uintptr_t wParam, intptr_t lParam) {
  if (message == kWmMouseMove) {
    const uint32_t keys = static_cast<uint32_t>(wParam);
    // The icon's event code arrives where a mouse move carries its x coordinate:
    // the low-order word, taken unsigned.
    Form_MouseMove(static_cast<int32_t>(keys & kMkButtons),
                   static_cast<int32_t>(keys & kMkModifiers), static_cast<int32_t>(LowWord(lParam)),
                   static_cast<int32_t>(HighWord(lParam)));
    return true;
  }
  if (message == kWmClose) {
    // A close request from the system or another program unloads the window
    // like Exit does, so the icon goes and no button stays pressed.
    ops_.UnloadWindow();
    return true;
  }
  if (message == kWmDestroy) {
    Form_Unload();
    return true;
  }
  if (message == kWmEndSession) {
    // At log-off and shutdown the window is never destroyed; the session simply
    // ends after this message, so unload now.
    if (wParam != 0) Form_Unload();
    return true;
  }
  if (taskbarCreatedMessage_ != 0 && message == taskbarCreatedMessage_) {
    Form_TaskbarCreated();
    return true;
  }
  return false;
}

void formVelmora::Form_Load() {
  if (ops_.PrevInstance()) {
    ops_.EndProcess();
    return;
  }
  (void)ops_.SetTimer1Enabled(false);
  // The whole JOYCAPSA record: joystick drivers refuse any other size.
  state_.ResultCode = ops_.joyGetDevCapsA(kJoystickId1, &state_.JoyCaps, sizeof(state_.JoyCaps));
  if (state_.ResultCode != kJoyErrNoError) {
    ops_.ShowMessage(kNoJoystickText, kAppTitle);
    ops_.EndProcess();
    return;
  }
  FillTrayData();
  (void)ops_.Shell_NotifyIconA(kNimAdd, &state_.TrayData);
  iconAdded_ = true;
  (void)ops_.SetTimer1Enabled(true);
}

void formVelmora::FillTrayData() {
  NotifyIconDataA& tray = state_.TrayData;
  tray.cbSize = kNotifyIconV1SizeBytes;
  tray.hWnd = ops_.WindowHandle();
  tray.uID = kTrayIconId;
  tray.uFlags = kTrayIconFlags;
  tray.uCallbackMessage = kTrayCallbackMessage;
  // The text, one NUL, then spaces to the full 64 characters.
  static_assert(sizeof(kTrayTip) <= sizeof(tray.szTip), "tooltip fits");
  std::memset(tray.szTip, ' ', sizeof(tray.szTip));
  std::memcpy(tray.szTip, kTrayTip, sizeof(kTrayTip));
  tray.hIcon = ops_.IconHandle();
}

void formVelmora::Form_Unload() {
  // A mouse button pressed through the joystick would otherwise stay down in the
  // system after the process is gone, with nothing left to release it.
  ReleaseHeldButtons(state_, ops_);
  iconAdded_ = false;
  (void)ops_.Shell_NotifyIconA(kNimDelete, &state_.TrayData);
  ops_.EndProcess();
}

void formVelmora::Form_TaskbarCreated() {
  // The notification area was (re)started and has forgotten the icon; without
  // it the running program could no longer be reached or ended. Only an icon
  // of ours comes back: the broadcast also reaches the window while the
  // start-up message is open and during the unload, and an add then would
  // leave an icon with no record behind it that nothing ever removes.
  if (!iconAdded_) return;
  (void)ops_.Shell_NotifyIconA(kNimAdd, &state_.TrayData);
}

void formVelmora::Form_MouseMove(int32_t /*button*/, int32_t /*shift*/, int32_t x, int32_t /*y*/) {
  if (MenuBusy_) return;  // e.g. icon events arriving while the menu is open
  MenuBusy_ = true;
  if (x == static_cast<int32_t>(kWmRButtonUp)) ShowTrayMenu();
  MenuBusy_ = false;
}

void formVelmora::ShowTrayMenu() {
  const MenuItem mnuMain[] = {
      {kMnuEnabled, "Enabled", mnuEnabledChecked_},
      {0, nullptr, false},
      {kMnuAbout, "About...", false},
      {0, nullptr, false},
      {kMnuExit, "E&xit", false},
  };
  // A notification-area menu only closes on a click elsewhere (or Esc) when its
  // owner is the foreground window; and after it returns, the owner must get a
  // message of its own, or the next time the menu opens it closes at once.
  (void)ops_.SetForegroundWindow();
  const uint32_t chosen = ops_.PopupMenu(mnuMain, sizeof(mnuMain) / sizeof(mnuMain[0]));
  (void)ops_.PostNullMessage();
  switch (chosen) {
    case kMnuEnabled:
      mnuEnabled_Click();
      break;
    case kMnuAbout:
      mnuAbout_Click();
      break;
    case kMnuExit:
      mnuExit_Click();
      break;
    default:
      break;  // dismissed: nothing changes
  }
}

void formVelmora::Timer1_Timer() { PollTick(state_, ops_); }

void formVelmora::mnuEnabled_Click() {
  mnuEnabledChecked_ = !mnuEnabledChecked_;
  // A mouse button the joystick holds would otherwise stay down for as long as
  // polling is off, turning every move of the real mouse into a drag. Once
  // released, a joystick button still held is pressed again by the first tick
  // after polling resumes. The axis speeds are kept: a pause is not a reversal.
  if (!mnuEnabledChecked_) ReleaseHeldButtons(state_, ops_);
  (void)ops_.SetTimer1Enabled(mnuEnabledChecked_);
}

void formVelmora::mnuAbout_Click() {
  (void)ops_.ShellExecuteA(ops_.WindowHandle(), "Open", kHomePageUrl, "", "", kSwShowNormal);
}

void formVelmora::mnuExit_Click() { ops_.UnloadWindow(); }

}  // namespace velmora
