// A loaded formVelmora on a FakePlatform, wired the way the Win32 shell wires
// it: unloading the window delivers WM_DESTROY to the form.
#ifndef VELMORA_TESTS_HARNESS_H
#define VELMORA_TESTS_HARNESS_H

#include "shell/form_velmora.h"
#include "platform/fake_platform.h"

namespace velmora::testing {

using namespace velmora::fake;

constexpr uint32_t kTaskbarCreated = 0xC0DE;

struct Harness {
  FakePlatform fake;
  formVelmora form{fake};

  explicit Harness(uint32_t numButtons = 8) {
    fake.numButtons = numButtons;
    fake.Stick(kAxisCentre, kAxisCentre);
    fake.onUnload = [this] { form.WindowMessage(kWmDestroy, 0, 0); };
    form.SetTaskbarCreatedMessage(kTaskbarCreated);
  }
  void Load() { form.Form_Load(); }
  void Tick() { form.WindowMessage(kWmTimer, kTimer1Id, 0); }
  void Ticks(int n) {
    for (int i = 0; i < n; ++i) Tick();
  }
  // The icon's callback: the event code in the low word of lParam.
  void TrayEvent(intptr_t lParam) { form.WindowMessage(kWmMouseMove, 0, lParam); }
  void ChooseFromMenu(uint32_t command) {
    fake.popupChoice = command;
    TrayEvent(kWmRButtonUp);
    fake.popupChoice = 0;
  }
};

}  // namespace velmora::testing

#endif
