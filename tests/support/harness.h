// A loaded formVelmora on a FakePlatform, wired the way the Win32 shell wires
// it: unloading the window delivers WM_DESTROY to the form.
#ifndef VELMORA_TESTS_HARNESS_H
#define VELMORA_TESTS_HARNESS_H

#include "platform/fake_platform.h"
#include "shell/form_velmora.h"

namespace velmora::testing {

using namespace velmora::fake;

// The positions a digital stick reports on the joystick's 0 to 65535 scale.
constexpr uint32_t kStickLow = 256;     // left, or up
constexpr uint32_t kStickHigh = 65280;  // right, or down
constexpr uint32_t kStickCentre = 32767;

// Window messages as Windows numbers them, and what RegisterWindowMessage
// might give "TaskbarCreated".
constexpr uint32_t kDestroy = 0x0002, kClose = 0x0010, kEndSession = 0x0016, kTimer = 0x0113;
constexpr intptr_t kRButtonUp = 0x0205;
constexpr uint32_t kTaskbarCreated = 0xC0DE;

struct Harness {
  FakePlatform fake;
  formVelmora form{fake};

  explicit Harness(uint32_t numButtons = 8) {
    fake.numButtons = numButtons;
    fake.Stick(kStickCentre, kStickCentre);
    fake.onUnload = [this] { form.WindowMessage(kDestroy, 0, 0); };
    form.SetTaskbarCreatedMessage(kTaskbarCreated);
  }
  void Load() { form.Form_Load(); }
  void Tick() { form.Timer1_Timer(); }  // as the platform's tick source runs it
  void Ticks(int n) {
    for (int i = 0; i < n; ++i) Tick();
  }
  // The icon's callback, WM_MOUSEMOVE: the event code in the low word of lParam.
  void TrayEvent(intptr_t lParam) { form.WindowMessage(0x0200, 0, lParam); }
  // A right click on the icon, then the item with this caption.
  void ChooseFromMenu(const char* caption) {
    fake.popupCaption = caption;
    TrayEvent(kRButtonUp);
    fake.popupCaption = nullptr;
  }
};

}  // namespace velmora::testing

#endif
