// The main window's life as the system drives it: start-up, the window's
// messages, the icon's callback and the tray menu's three commands.
#include <gtest/gtest.h>

#include <initializer_list>
#include <string>

#include "support/fake_platform.h"

namespace velmora::testing {
namespace {

std::string Seq(std::initializer_list<std::string> parts) {
  std::string text;
  for (const std::string& part : parts) text += (text.empty() ? "" : "; ") + part;
  return text;
}

// Loaded, the stick pushed right for one tick (cursor 501, speed 1) with
// buttons 1 and 3 held down; the log then starts empty.
bool Ready(Harness& h) {
  h.Load();
  h.fake.stick = {kStickHigh, kStickCentre, 0x5};
  h.Tick();
  h.fake.calls.clear();
  return true;
}

// clang-format off
const std::string kMenuOpen = "SetForegroundWindow; PopupMenu [x]Enabled,-,About...,-,E&xit";
const std::string kMenu = kMenuOpen + "; PostNullMessage";
const std::string kMenuUnchecked =
    "SetForegroundWindow; PopupMenu Enabled,-,About...,-,E&xit; PostNullMessage";
const std::string kRelease = "mouse_event 0x4; mouse_event 0x10";
const std::string kAdd = "Shell_NotifyIconA 0 88 0x10abc 1";
const std::string kIconAdd = "TickCountMs; " + kAdd;
const std::string kIconModify = "Shell_NotifyIconA 1 88 0x10abc 1";
const std::string kIconDelete = "Shell_NotifyIconA 2 88 0x10abc 1; EndProcess 0";
// Dismissed, or Enabled chosen: the focus goes back to the notification area.
const std::string kFocusBack = "IsForegroundWindow; Shell_NotifyIconA 3 88 0x10abc 1";
const std::string kChecks = "PrevInstance; SetTimer1Enabled 0; joyGetDevCapsA 0 404";
const std::string kTick = "joyGetPosEx 0 52 0xff; GetCursorPos; SetCursorPos 503 400";

TEST(WindowTest, EachMessageDoesWhatItShould) {
  const struct {
    const char* name;
    bool (*run)(Harness&);  // returns whether the window handled its messages
    bool handled;
    std::string log;
  } cases[] = {
      {"start-up", [](Harness& h) { return h.Load(), true; },
       true, Seq({kChecks, "WindowHandle; IconHandle", kIconAdd, "SetTimer1Enabled 1"})},
      {"no joystick, and TaskbarCreated while its message is open", [](Harness& h) {
         h.fake.capsResult = 6;
         h.fake.duringMessage = [&] { h.Broadcast(); };
         return h.Load(), true;
       }, true, Seq({kChecks, "ShowMessage 'Couldn't detect the joystick' 'Velmora'; EndProcess 1"})},
      {"the start-up add refused, 4 s each time: offered again, paced, until taken", [](Harness& h) {
         h.fake.failing = "Shell_NotifyIconA";
         h.fake.notifyMs = 4000;
         h.Load();
         h.IconTimer();
         h.fake.failing = nullptr;
         h.fake.notifyMs = 0;
         return h.IconTimer() && h.IconTimer() && h.fake.iconShown;  // the last one does nothing
       }, true, Seq({kChecks, "WindowHandle; IconHandle", kIconAdd, "TickCountMs; SetIconTimer 4000",
                     "SetTimer1Enabled 1", "TickCountMs", kIconModify, kAdd,
                     "TickCountMs; SetIconTimer 8000", "TickCountMs", kIconModify, kAdd,
                     "SetIconTimer 0"})},
      {"TaskbarCreated while paused, its add refused: offered again", [](Harness& h) {
         const bool handled = Ready(h) && h.Choose("Enabled");
         h.fake.failing = "Shell_NotifyIconA";
         h.Broadcast();
         h.fake.failing = nullptr;
         return handled && h.IconTimer() && h.fake.iconShown;
       }, true, Seq({kMenu, kRelease, "SetTimer1Enabled 0", kFocusBack, kIconAdd, "TickCountMs; SetIconTimer 1000",
                     "TickCountMs", kIconModify, kAdd, "SetIconTimer 0"})},
      {"ticks refused at start-up: Enabled unmarked", [](Harness& h) {
         h.fake.failing = "SetTimer1Enabled";
         h.Load();
         h.fake.failing = nullptr;
         return h.Tray(0x0205);
       }, true, Seq({kChecks, "WindowHandle; IconHandle", kIconAdd, "SetTimer1Enabled 1",
                     kMenuUnchecked, kFocusBack})},
      {"Enabled refused on: the mark stays off, and choosing it again tries again", [](Harness& h) {
         bool handled = Ready(h) && h.Choose("Enabled");
         h.fake.failing = "SetTimer1Enabled";
         handled &= h.Choose("Enabled");
         h.fake.failing = nullptr;
         return handled && h.Choose("Enabled") && h.Tray(0x0205);
       }, true, Seq({kMenu, kRelease, "SetTimer1Enabled 0", kFocusBack, kMenuUnchecked,
                     "SetTimer1Enabled 1", kFocusBack, kMenuUnchecked, "SetTimer1Enabled 1",
                     kFocusBack, kMenu, kFocusBack})},
      {"TaskbarCreated before its id is known", [](Harness& h) {
         h.form.SetTaskbarCreatedMessage(0);
         return Ready(h) && h.form.WindowMessage(0, 0, 0);
       }, false, ""},
      {"destroyed, then TaskbarCreated",
       [](Harness& h) { return Ready(h) && h.form.WindowMessage(0x0002, 0, 0) && h.Broadcast(); },
       true, Seq({kRelease, kIconDelete})},
      {"other messages are left to the system", [](Harness& h) {
         bool handled = !Ready(h);
         for (uint32_t message : {0x0001u, 0x0011u, 0x0204u, 0x0400u}) {
           handled |= h.form.WindowMessage(message, 0, 0);
         }
         return handled || h.form.WindowMessage(0x0113, 7, 0);  // someone else's WM_TIMER
       }, false, ""},
      {"icon: right button up (the low word, unsigned) opens the menu, dismissed",
       [](Harness& h) { return Ready(h) && h.Tray(0x7FFF0205) && h.Tray(-0xFDFB); },
       true, Seq({kMenu, kFocusBack, kMenu, kFocusBack})},
      {"icon: other events", [](Harness& h) {
         bool handled = Ready(h);
         // Every mouse message from WM_MOUSEMOVE to WM_MBUTTONDBLCLK but WM_RBUTTONUP.
         for (intptr_t code = 0x200; code <= 0x209; ++code) handled &= code == 0x205 || h.Tray(code);
         return handled && h.Tray(0x405) && h.Tray(0x2050000);
       }, true, ""},
      {"Enabled off and on: held buttons let go and pressed again, the speed kept",
       [](Harness& h) {
         return Ready(h) && h.Choose("Enabled") && h.Choose("Enabled") && (h.Tick(), true);
       }, true, Seq({kMenu, kRelease, "SetTimer1Enabled 0", kFocusBack, kMenuUnchecked,
                     "SetTimer1Enabled 1", kFocusBack, kTick, "mouse_event 0x2; mouse_event 0x8"})},
      {"About...", [](Harness& h) { return Ready(h) && h.Choose("About..."); },
       true, Seq({kMenu, "WindowHandle; ShellExecuteA 0x10abc Open "
                         "https://quillan.example/velmora/ '' '' 1"})},
      {"Exit while paused lets go of nothing twice",
       [](Harness& h) { return Ready(h) && h.Choose("Enabled") && h.Choose("E&xit"); },
       true, Seq({kMenu, kRelease, "SetTimer1Enabled 0", kFocusBack, kMenuUnchecked,
                  "UnloadWindow", kIconDelete})},
      {"a right click and a tick while the menu is open", [](Harness& h) {
         h.fake.duringPopup = [&] { h.Tray(0x0205), h.Tick(); };
         const bool handled = Ready(h) && h.Tray(0x0205);
         h.fake.duringPopup = nullptr;
         return handled && h.Tray(0x0205);  // and the next one opens it again
       }, true, Seq({kMenuOpen, kTick, "PostNullMessage", kFocusBack, kMenu, kFocusBack})},
  };
  // clang-format on
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    Harness h;
    EXPECT_EQ(c.run(h), c.handled);
    EXPECT_EQ(h.fake.Log(), c.log);
  }
}

}  // namespace
}  // namespace velmora::testing
