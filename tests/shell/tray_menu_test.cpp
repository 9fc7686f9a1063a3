// The icon's callback, the popup menu and its three commands.
#include <gtest/gtest.h>

#include <cstring>
#include <functional>

#include "support/harness.h"

namespace velmora::testing {
namespace {

struct TrayMenuTest : ::testing::Test {
  Harness h;
  void SetUp() override {
    h.Load();
    h.fake.ClearLog();
  }
};

TEST_F(TrayMenuTest, OnlyRightButtonReleaseOpensTheMenu) {
  const struct {
    intptr_t lParam;
    int menus;
  } cases[] = {
      {0x0205, 1},                          // WM_RBUTTONUP
      {0x0200, 0},                          // moves
      {0x0201, 0},                          // left down
      {0x0204, 0},                          // right down
      {0x7FFF0205, 1},                      // only the low-order word counts
      {0x00000405, 0},                      // NIN_ / other codes
      {0x02050000, 0},                      // the code in the high word is not the code
      {static_cast<intptr_t>(-0xFDFB), 1},  // 0xFFFF0205 as a signed lParam
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.lParam);
    const int before = h.fake.menusShown;
    h.TrayEvent(c.lParam);
    EXPECT_EQ(h.fake.menusShown - before, c.menus);
    EXPECT_FALSE(h.form.menuBusy());
  }
}

TEST_F(TrayMenuTest, MenuHasItsFiveEntriesAndOpensWithTheWindowInFront) {
  h.TrayEvent(kRButtonUp);
  const std::vector<std::pair<std::string, bool>> want = {
      {"Enabled", true}, {"-", false}, {"About...", false}, {"-", false}, {"E&xit", false}};
  ASSERT_EQ(h.fake.lastMenu.size(), want.size());
  for (size_t i = 0; i < want.size(); ++i) {
    EXPECT_EQ(h.fake.lastMenu[i].caption, want[i].first);
    EXPECT_EQ(h.fake.lastMenu[i].checked, want[i].second);
  }
  EXPECT_TRUE(h.fake.foregroundWhenMenuOpened);
  EXPECT_EQ(h.fake.calls,
            (std::vector<Op>{Op::SetForegroundWindow, Op::PopupMenu, Op::PostNullMessage}));
}

TEST_F(TrayMenuTest, CallbacksWhileTheMenuIsOpenAreDropped) {
  int ticksDuringMenu = 0;
  h.fake.duringPopup = [&] {
    EXPECT_TRUE(h.form.menuBusy());
    h.TrayEvent(kRButtonUp);  // a second right click on the icon
    h.Tick();                 // polling goes on inside the menu
    ++ticksDuringMenu;
  };
  h.TrayEvent(kRButtonUp);
  EXPECT_EQ(h.fake.menusShown, 1);
  EXPECT_EQ(ticksDuringMenu, 1);
  EXPECT_EQ(h.fake.Count(Op::joyGetPosEx), 1u);
  EXPECT_FALSE(h.form.menuBusy());
}

TEST_F(TrayMenuTest, EnabledPausesReleasingHeldButtonsAndResumesWithTheSpeedsKept) {
  h.fake.Stick(kStickHigh, kStickCentre, 0x7);  // buttons 1 to 3 held
  h.Ticks(3);
  h.ChooseFromMenu("Enabled");
  EXPECT_FALSE(h.form.enabledChecked());
  EXPECT_FALSE(h.fake.timerEnabled);
  h.TrayEvent(kRButtonUp);
  EXPECT_FALSE(h.fake.lastMenu[0].checked) << "the menu shows the mark as it is";
  EXPECT_FALSE(h.fake.mouseDown[kLeft] || h.fake.mouseDown[kMiddle] || h.fake.mouseDown[kRight])
      << "a paused program holds no mouse button down";
  EXPECT_EQ(h.fake.mouseEvents, (std::vector<uint32_t>{0x02, 0x20, 0x08, 0x04, 0x40, 0x10}));
  h.ChooseFromMenu("Enabled");  // on again, the joystick buttons still held
  EXPECT_TRUE(h.form.enabledChecked());
  EXPECT_TRUE(h.fake.timerEnabled);
  const int32_t x = h.fake.cursor.x;
  h.Tick();
  EXPECT_EQ(h.fake.cursor.x - x, 4) << "the ramp continues from the retained speed";
  EXPECT_TRUE(h.fake.mouseDown[kLeft] && h.fake.mouseDown[kMiddle] && h.fake.mouseDown[kRight])
      << "the first tick presses the held buttons again";
  h.fake.Stick(kStickCentre, kStickCentre, 0x0);
  h.Ticks(2);
  EXPECT_EQ(h.fake.mouseEvents.size(), 12u) << "each comes up once";
  EXPECT_FALSE(h.fake.mouseDown[kLeft] || h.fake.mouseDown[kMiddle] || h.fake.mouseDown[kRight]);
}

TEST_F(TrayMenuTest, AboutOpensTheHomePageOnce) {
  h.ChooseFromMenu("About...");
  ASSERT_EQ(h.fake.shellExecutes.size(), 1u);
  const ShellExecuteCall& call = h.fake.shellExecutes[0];
  EXPECT_EQ(call.hwnd, h.fake.windowHandle);
  EXPECT_EQ(call.op, "Open");
  EXPECT_EQ(call.file, "https://quillan.example/velmora/");
  EXPECT_EQ(call.params, "");
  EXPECT_FALSE(call.paramsNull);
  EXPECT_EQ(call.dir, "");
  EXPECT_FALSE(call.dirNull);
  EXPECT_EQ(call.show, 1);
}

TEST_F(TrayMenuTest, ExitReleasesHeldButtonsRemovesTheIconAndEnds) {
  const struct {
    const char* name;
    uint32_t buttons;
    bool paused;
    std::vector<uint32_t> releases;
  } cases[] = {
      {"nothing held", 0x0, false, {}},
      {"all held", 0x7, false, {0x0004, 0x0040, 0x0010}},
      {"right held, released by the pause", 0x4, true, {}},
      {"double click and arrows only", 0xF8, false, {}},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    Harness fresh;
    fresh.Load();
    fresh.fake.Stick(kStickCentre, kStickCentre, c.buttons);
    fresh.Tick();
    if (c.paused) fresh.ChooseFromMenu("Enabled");
    fresh.fake.ClearLog();
    fresh.ChooseFromMenu("E&xit");
    EXPECT_EQ(fresh.fake.mouseEvents, c.releases);
    EXPECT_FALSE(fresh.fake.mouseDown[kLeft] || fresh.fake.mouseDown[kMiddle] ||
                 fresh.fake.mouseDown[kRight]);
    EXPECT_FALSE(fresh.fake.AnyKeyDown());
    EXPECT_FALSE(fresh.fake.iconShown);
    EXPECT_EQ(fresh.fake.processEnds, 1);
    // Buttons go up before the icon, and the process ends last.
    EXPECT_EQ(fresh.fake.calls.back(), Op::EndProcess);
    EXPECT_EQ(fresh.fake.calls[fresh.fake.calls.size() - 2], Op::Shell_NotifyIconA);
  }
}

// "TaskbarCreated" is broadcast whenever a notification area starts. It may
// arrive at any moment: the icon comes back only while the program owns one.
TEST(TaskbarCreatedTest, AddsBackOnlyAnIconOfOurOwn) {
  auto broadcast = [](Harness& h) { return h.form.WindowMessage(kTaskbarCreated, 0, 0); };
  const struct {
    const char* name;
    std::function<void(Harness&)> run;
    size_t adds;  // NIM_ADD calls in all
    bool shown;
  } cases[] = {
      {"the shell restarted while running",
       [&](Harness& h) {
         h.Load();
         h.fake.iconShown = false;
         EXPECT_TRUE(broadcast(h));
       },
       2, true},
      {"the shell was not up at start-up",
       [&](Harness& h) {
         h.fake.Fail(Op::Shell_NotifyIconA);
         h.Load();
         h.fake.Fail(Op::Shell_NotifyIconA, false);
         broadcast(h);
       },
       1, true},
      {"the no-joystick message is open",
       [&](Harness& h) {
         h.fake.capsResult = 165;
         h.fake.duringMessage = [&] { broadcast(h); };
         h.Load();
       },
       0, false},
      {"the unload has removed the icon",
       [&](Harness& h) {
         h.Load();
         h.form.WindowMessage(kDestroy, 0, 0);
         broadcast(h);
       },
       1, false},
      {"the message's id is not known yet",
       [&](Harness& h) {
         h.form.SetTaskbarCreatedMessage(0);
         h.Load();
         h.fake.iconShown = false;
         EXPECT_FALSE(h.form.WindowMessage(0, 0, 0));
       },
       1, false},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    Harness h;
    c.run(h);
    size_t adds = 0;
    for (const auto& [message, record] : h.fake.iconCalls) {
      if (message != 0) continue;  // NIM_ADD
      ++adds;
      EXPECT_EQ(record.cbSize, 88u);
      EXPECT_EQ(record.hWnd, h.fake.windowHandle);
      EXPECT_STREQ(record.szTip, "Velmora 1.0 by Quillan");
    }
    EXPECT_EQ(adds, c.adds);
    EXPECT_EQ(h.fake.iconShown, c.shown);
  }
}

}  // namespace
}  // namespace velmora::testing
