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
  if (message == kWmTimer && wParam == kIconTimerId) {
    IconTimer_Timer();
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
    ops_.EndProcess(0);  // the copy that runs is the program the caller wanted
    return;
  }
  (void)ops_.SetTimer1Enabled(false);
  // The whole JOYCAPSA record: joystick drivers refuse any other size.
  state_.ResultCode = ops_.joyGetDevCapsA(kJoystickId1, &state_.JoyCaps, sizeof(state_.JoyCaps));
  if (state_.ResultCode != kJoyErrNoError) {
    ops_.ShowMessage(kNoJoystickText, kAppTitle);
    ops_.EndProcess(1);  // a script or scheduled task that started it must not see success
    return;
  }
  FillTrayData();
  ShowIcon(false);
  // Enabled's mark says whether the ticks really run; should they fail to
  // start, choosing Enabled tries again.
  mnuEnabledChecked_ = ops_.SetTimer1Enabled(true);
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

void formVelmora::ShowIcon(bool mayBeThere) {
  const uint32_t started = ops_.TickCountMs();
  // A refused add may have timed out after the shell had taken it, and adding
  // it again would then fail for ever; an icon that can be modified is there.
  const bool shown = (mayBeThere && ops_.Shell_NotifyIconA(kNimModify, &state_.TrayData)) ||
                     ops_.Shell_NotifyIconA(kNimAdd, &state_.TrayData);
  if (shown) {
    if (icon_ == Icon::kRetrying) (void)ops_.SetIconTimer(0);
    icon_ = Icon::kShown;
    return;
  }
  // Without its icon the program could be neither paused nor ended. The next
  // offer waits at least as long as this one took: a shell that hangs for
  // seconds each time then holds the UI thread at most half the time, and the
  // ticks and their buttons go on in between. The icon timer runs whether or
  // not polling is on.
  const uint32_t took = ops_.TickCountMs() - started;
  icon_ = Icon::kRetrying;
  (void)ops_.SetIconTimer(took > kIconRetryMs ? took : kIconRetryMs);
}

void formVelmora::IconTimer_Timer() {
  if (icon_ == Icon::kRetrying) ShowIcon(true);
}

void formVelmora::Form_Unload() {
  // A mouse button pressed through the joystick would otherwise stay down in the
  // system after the process is gone, with nothing left to release it.
  ReleaseHeldButtons(state_, ops_);
  // Removed even if no add was ever confirmed: a refused one may have been done.
  icon_ = Icon::kNone;
  (void)ops_.Shell_NotifyIconA(kNimDelete, &state_.TrayData);
  ops_.EndProcess(0);
}

void formVelmora::Form_TaskbarCreated() {
  // The notification area was (re)started and has forgotten the icon; without
  // it the running program could no longer be reached or ended. Only an icon
  // of ours comes back: the broadcast also reaches the window while the
  // start-up message is open and during the unload, and an add then would
  // leave an icon with no record behind it that nothing ever removes.
  if (icon_ == Icon::kNone) return;
  ShowIcon(false);
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
    case kMnuAbout:
      mnuAbout_Click();  // the browser takes the focus
      return;
    case kMnuExit:
      mnuExit_Click();  // and the icon is gone
      return;
    case kMnuEnabled:
      mnuEnabled_Click();
      break;
    default:  // dismissed
      break;
  }
  // The menu's work is done. A keyboard user who came from the notification
  // area (Win+B, the arrows, Shift+F10) would be left on this hidden window,
  // their place there lost, the joystick's arrow keys going nowhere, and
  // Alt+F4 closing Velmora rather than offering to shut down: the shell is
  // asked to take the focus back. Not when they went on to another window.
  if (ops_.IsForegroundWindow()) (void)ops_.Shell_NotifyIconA(kNimSetFocus, &state_.TrayData);
}

void formVelmora::Timer1_Timer() { PollTick(state_, ops_); }

void formVelmora::mnuEnabled_Click() {
  const bool enable = !mnuEnabledChecked_;
  // A mouse button the joystick holds would otherwise stay down for as long as
  // polling is off, turning every move of the real mouse into a drag. Once
  // released, a joystick button still held is pressed again by the first tick
  // after polling resumes. The axis speeds are kept: a pause is not a reversal.
  if (!enable) ReleaseHeldButtons(state_, ops_);
  // The mark says what is true: if the ticks could not be switched, it stays,
  // and choosing Enabled again tries again.
  if (ops_.SetTimer1Enabled(enable)) mnuEnabledChecked_ = enable;
}

void formVelmora::mnuAbout_Click() {
  (void)ops_.ShellExecuteA(ops_.WindowHandle(), "Open", kHomePageUrl, "", "", kSwShowNormal);
}

void formVelmora::mnuExit_Click() { ops_.UnloadWindow(); }

}  // namespace velmora
