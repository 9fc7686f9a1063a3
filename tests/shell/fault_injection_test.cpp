// Every handler, with each system operation it uses failing in turn: the
// handler must go on with its next step.
// A failure changes the calls a handler makes only where the failure itself
// decides the path (a missing joystick, a menu that could not open, ...); those
// rows say so, every other failure must leave the calls exactly as they were.
#include <gtest/gtest.h>

#include <map>
#include <set>
#include <string>

#include "support/fake_platform.h"

namespace velmora::testing {
namespace {

std::string Names(const FakePlatform& fake) {
  std::string names;
  for (const auto& call : fake.calls) names += call.first + " ";
  return names;
}

// What the program has done before the handler runs.
enum Setup { kNothing, kLoaded, kHolding };
void Prepare(Harness& h, Setup setup) {
  if (setup != kNothing) h.Load();
  if (setup == kHolding) {
    h.fake.stick = {kStickHigh, kStickLow, 0x7};
    h.Tick();
    h.fake.stick = {kStickHigh, kStickLow, 0xFA};  // 1 and 3 released, 2 held, 4-8 pressed
  }
  h.fake.calls.clear();
}

struct HandlerCase {
  const char* name;
  Setup setup;
  void (*run)(Harness&);
  std::map<std::string, std::string> pathChanges;  // calls expected when that operation fails
};

const std::string kMenuOnly = "SetForegroundWindow PopupMenu PostNullMessage ";
const std::string kDismissed = kMenuOnly + "IsForegroundWindow Shell_NotifyIconA ";

TEST(FaultInjectionTest, EachFailingOperationIsSkippedAndTheHandlerGoesOn) {
  const HandlerCase handlers[] = {
      // clang-format off
      {"Form_Load", kNothing, [](Harness& h) { h.Load(); },
       // The missing joystick's path: the message, then the end; a refused icon
       // is offered again later.
       {{"joyGetDevCapsA",
         "PrevInstance SetTimer1Enabled joyGetDevCapsA ShowMessage EndProcess "},
        {"Shell_NotifyIconA", "PrevInstance SetTimer1Enabled joyGetDevCapsA WindowHandle IconHandle "
                              "TickCountMs Shell_NotifyIconA TickCountMs SetIconTimer "
                              "SetTimer1Enabled "}}},
      {"Timer1_Timer", kHolding, [](Harness& h) { h.Tick(); },
       // A centred stick with nothing pressed: the held buttons are let go. A
       // cursor that cannot be read ends the tick.
       {{"joyGetPosEx",
         "joyGetPosEx TickCountMs GetCursorPos mouse_event mouse_event mouse_event "},
        {"GetCursorPos", "joyGetPosEx GetCursorPos "}}},
      // Dismissed or Enabled chosen: the focus goes back to the notification
      // area, unless the user went on to another window.
      {"Form_MouseMove opening the menu", kLoaded, [](Harness& h) { h.Tray(0x0205); },
       {{"IsForegroundWindow", kMenuOnly + "IsForegroundWindow "}}},
      {"mnuEnabled_Click", kHolding, [](Harness& h) { h.Choose("Enabled"); },
       {{"PopupMenu", kDismissed},
        {"IsForegroundWindow",
         kMenuOnly + "mouse_event mouse_event mouse_event SetTimer1Enabled IsForegroundWindow "}}},
      {"mnuAbout_Click", kLoaded, [](Harness& h) { h.Choose("About..."); },
       {{"PopupMenu", kDismissed}}},
      {"mnuExit_Click", kHolding, [](Harness& h) { h.Choose("E&xit"); },
       {{"PopupMenu", kDismissed}, {"UnloadWindow", kMenuOnly + "UnloadWindow "}}},
      {"Form_Unload", kHolding, [](Harness& h) { h.form.WindowMessage(0x0002, 0, 0); }, {}},
      {"Form_TaskbarCreated", kLoaded, [](Harness& h) { h.Broadcast(); },
       {{"Shell_NotifyIconA", "TickCountMs Shell_NotifyIconA TickCountMs SetIconTimer "}}},
      // clang-format on
  };
  for (const HandlerCase& handler : handlers) {
    Harness baseline;
    Prepare(baseline, handler.setup);
    handler.run(baseline);
    const std::string expected = Names(baseline.fake);
    ASSERT_FALSE(expected.empty()) << handler.name;

    std::set<std::string> used;
    for (const auto& call : baseline.fake.calls) used.insert(call.first);
    for (const auto& change : handler.pathChanges) {
      EXPECT_TRUE(used.count(change.first)) << handler.name << " never uses " << change.first;
    }
    for (const std::string& op : used) {
      SCOPED_TRACE(std::string(handler.name) + " with " + op + " failing");
      Harness h;
      Prepare(h, handler.setup);
      h.fake.failing = op.c_str();
      handler.run(h);
      const auto change = handler.pathChanges.find(op);
      EXPECT_EQ(Names(h.fake), change == handler.pathChanges.end() ? expected : change->second);
    }
  }
}

}  // namespace
}  // namespace velmora::testing
