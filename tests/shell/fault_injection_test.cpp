// Every handler, with each system operation it uses failing in turn: the
// handler must go on with its next step.
// A failure changes the calls a handler makes only where the failure itself
// decides the path (a missing joystick, a menu that could not open, ...); those
// rows say so, every other failure must leave the calls exactly as they were.
#include <gtest/gtest.h>

#include <functional>
#include <map>
#include <set>
#include <string>

#include "support/harness.h"

namespace velmora::testing {
namespace {

using Calls = std::vector<Op>;

std::string Show(const Calls& calls) {
  std::string text;
  for (Op op : calls) text += std::string(OpName(op)) + " ";
  return text;
}

struct HandlerCase {
  const char* name;
  std::function<void(Harness&)> setup;  // brings the program to the state before the handler
  std::function<void(Harness&)> run;    // the handler
  std::map<Op, Calls> pathChanges;      // calls expected when that operation fails
};

void Loaded(Harness& h) { h.Load(); }
void LoadedAndHolding(Harness& h) {
  h.Load();
  h.fake.Stick(kStickHigh, kStickLow, 0x7);
  h.Tick();
  h.fake.Stick(kStickHigh, kStickLow, 0xFA);  // 1 and 3 released, 2 held, 4-8 pressed
}

// The stick counts as centred with nothing pressed: the three held mouse
// buttons are let go, nothing else happens.
const Calls kLostTick = {Op::joyGetPosEx, Op::TickCountMs, Op::GetCursorPos,
                         Op::mouse_event, Op::mouse_event, Op::mouse_event};

std::vector<HandlerCase> Handlers() {
  return {
      {"Form_Load",
       [](Harness&) {},
       [](Harness& h) { h.Load(); },
       {{Op::joyGetDevCapsA,
         {Op::PrevInstance, Op::SetTimer1Enabled, Op::joyGetDevCapsA, Op::ShowMessage,
          Op::EndProcess}}}},
      {"Timer1_Timer",
       LoadedAndHolding,
       [](Harness& h) { h.Tick(); },
       {{Op::joyGetPosEx, kLostTick}}},
      {"Form_MouseMove opening the menu", Loaded, [](Harness& h) { h.TrayEvent(kRButtonUp); }, {}},
      {"mnuEnabled_Click",
       Loaded,
       [](Harness& h) { h.ChooseFromMenu("Enabled"); },
       {{Op::PopupMenu, {Op::SetForegroundWindow, Op::PopupMenu, Op::PostNullMessage}}}},
      {"mnuAbout_Click",
       Loaded,
       [](Harness& h) { h.ChooseFromMenu("About..."); },
       {{Op::PopupMenu, {Op::SetForegroundWindow, Op::PopupMenu, Op::PostNullMessage}}}},
      {"mnuExit_Click",
       LoadedAndHolding,
       [](Harness& h) { h.ChooseFromMenu("E&xit"); },
       {{Op::PopupMenu, {Op::SetForegroundWindow, Op::PopupMenu, Op::PostNullMessage}},
        {Op::UnloadWindow,
         {Op::SetForegroundWindow, Op::PopupMenu, Op::PostNullMessage, Op::UnloadWindow}}}},
      {"Form_Unload",
       LoadedAndHolding,
       [](Harness& h) { h.form.WindowMessage(kDestroy, 0, 0); },
       {}},
      {"Form_TaskbarCreated",
       Loaded,
       [](Harness& h) { h.form.WindowMessage(kTaskbarCreated, 0, 0); },
       {}},
  };
}

TEST(FaultInjectionTest, EachFailingOperationIsSkippedAndTheHandlerGoesOn) {
  for (const HandlerCase& handler : Handlers()) {
    Harness baseline;
    handler.setup(baseline);
    baseline.fake.ClearLog();
    handler.run(baseline);
    const Calls expected = baseline.fake.calls;
    ASSERT_FALSE(expected.empty()) << handler.name;

    std::set<Op> used(expected.begin(), expected.end());
    for (const auto& change : handler.pathChanges) {
      EXPECT_TRUE(used.count(change.first))
          << handler.name << " never uses " << OpName(change.first);
    }
    for (Op op : used) {
      SCOPED_TRACE(std::string(handler.name) + " with " + OpName(op) + " failing");
      Harness h;
      handler.setup(h);
      h.fake.ClearLog();
      h.fake.Fail(op);
      handler.run(h);
      const auto change = handler.pathChanges.find(op);
      const Calls& want = change == handler.pathChanges.end() ? expected : change->second;
      EXPECT_EQ(h.fake.calls, want) << "got:  " << Show(h.fake.calls) << "\nwant: " << Show(want);
    }
  }
}

}  // namespace
}  // namespace velmora::testing
