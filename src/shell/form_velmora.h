// The main window formVelmora: it owns PollState, the notification icon and
// the tray menu, and carries the program's event handlers (the platform's tick
// source times the ticks). It sees window messages as plain numbers and acts
// only through PlatformOps.
#ifndef VELMORA_SHELL_FORM_VELMORA_H
#define VELMORA_SHELL_FORM_VELMORA_H

#include <cstdint>

#include "platform/platform_ops.h"
#include "pointer/pointer.h"
#include "version.h"

namespace velmora {

constexpr char kAppTitle[] = VELMORA_APP_NAME;
constexpr char kWindowClassName[] = "formVelmora";
constexpr char kWindowCaption[] = VELMORA_APP_NAME " " VELMORA_VERSION_TEXT;
constexpr char kTrayTip[] = VELMORA_APP_NAME " " VELMORA_VERSION_TEXT " by " VELMORA_AUTHOR;
constexpr char kNoJoystickText[] = "Couldn't detect the joystick";
constexpr char kHomePageUrl[] = "https://quillan.example/velmora/";

// The notification icon: it reports its mouse events as WM_MOUSEMOVE messages
// whose x coordinate carries the event.
constexpr uint32_t kTrayIconId = 1;
constexpr uint32_t kTrayIconFlags = kNifMessage | kNifIcon | kNifTip;
constexpr uint32_t kTrayCallbackMessage = kWmMouseMove;

// An icon the shell refused is offered again no sooner than this after the
// refusal: at log-on the shell may not be ready, or too busy to answer for
// seconds, and no "TaskbarCreated" follows once it is.
constexpr uint32_t kIconRetryMs = 1000;

enum MenuCommand : uint32_t { kMnuEnabled = 1, kMnuAbout = 2, kMnuExit = 3 };

class formVelmora {
 public:
  explicit formVelmora(PlatformOps& ops) : ops_(ops) {}
  formVelmora(const formVelmora&) = delete;
  formVelmora& operator=(const formVelmora&) = delete;

  // The id of the registered "TaskbarCreated" message; 0 until it is known.
  void SetTaskbarCreatedMessage(uint32_t message) { taskbarCreatedMessage_ = message; }

  // Routes one message of the main window to its handler. Returns false for the
  // messages the window leaves to the system's default handling. Ticks do not
  // come this way: the window procedure asks the platform's tick source about
  // each tick message and runs Timer1_Timer itself.
  bool WindowMessage(uint32_t message, uintptr_t wParam, intptr_t lParam);

  void Form_Load();
  void Form_Unload();
  void Form_MouseMove(int32_t button, int32_t shift, int32_t x, int32_t y);
  void Form_TaskbarCreated();
  void Timer1_Timer();
  void IconTimer_Timer();
  void mnuEnabled_Click();
  void mnuAbout_Click();
  void mnuExit_Click();

  const PollState& state() const { return state_; }
  PollState& state() { return state_; }
  bool menuBusy() const { return MenuBusy_; }
  bool enabledChecked() const { return mnuEnabledChecked_; }

 private:
  void FillTrayData();
  void ShowIcon(bool mayBeThere);
  void ShowTrayMenu();

  PlatformOps& ops_;
  PollState state_{};
  bool MenuBusy_ = false;
  bool mnuEnabledChecked_ = true;
  // kNone before the start-up add and from the unload on; kRetrying while the
  // icon timer offers again an icon the shell refused.
  enum class Icon : uint8_t { kNone, kShown, kRetrying } icon_ = Icon::kNone;
  uint32_t taskbarCreatedMessage_ = 0;
};

}  // namespace velmora

#endif
