// Joystick buttons as mouse buttons, a double click and arrow keys.
#include <gtest/gtest.h>

#include "support/harness.h"

namespace velmora::testing {
namespace {

// KEYEVENTF_EXTENDEDKEY for the press, with KEYEVENTF_KEYUP for the release.
constexpr uint32_t kUpStroke[] = {0x1, 0x3};

struct ButtonScanTest : ::testing::Test {
  Harness h;
  void LoadWith(uint32_t numButtons) {
    h.fake.numButtons = numButtons;
    h.Load();
    h.fake.ClearLog();
  }
  void Hold(uint32_t buttons, int ticks) {
    h.fake.Stick(kStickCentre, kStickCentre, buttons);
    h.Ticks(ticks);
  }
};

TEST_F(ButtonScanTest, TrackedButtonsGiveOnePressAndOneReleaseOfTheirMouseButton) {
  const struct {
    uint32_t bit;
    MouseButton button;
    uint32_t down, up;
  } cases[] = {
      {0x1, kLeft, 0x0002, 0x0004},
      {0x2, kMiddle, 0x0020, 0x0040},
      {0x4, kRight, 0x0008, 0x0010},
  };
  LoadWith(8);
  for (const auto& c : cases) {
    SCOPED_TRACE(c.bit);
    h.fake.ClearLog();
    Hold(c.bit, 40);
    EXPECT_EQ(h.fake.mouseEvents, (std::vector<uint32_t>{c.down}));
    EXPECT_TRUE(h.fake.mouseDown[c.button]);
    Hold(0, 40);
    EXPECT_EQ(h.fake.mouseEvents, (std::vector<uint32_t>{c.down, c.up}));
    EXPECT_FALSE(h.fake.mouseDown[c.button]);
  }
}

TEST_F(ButtonScanTest, Button4DoubleClicksOnEveryTickHeld) {
  LoadWith(8);
  Hold(0x8, 3);
  std::vector<uint32_t> once = {0x0002, 0x0004, 0x0002, 0x0004};
  std::vector<uint32_t> want;
  for (int i = 0; i < 3; ++i) want.insert(want.end(), once.begin(), once.end());
  EXPECT_EQ(h.fake.mouseEvents, want);
  EXPECT_FALSE(h.fake.mouseDown[kLeft]);
  Hold(0, 3);
  EXPECT_EQ(h.fake.mouseEvents, want) << "releasing button 4 sends nothing";
}

TEST_F(ButtonScanTest, Buttons5To8StrokeTheirArrowKeyOnEveryTick) {
  const struct {
    uint32_t bit;
    uint8_t vk, scan;
  } cases[] = {{0x10, 0x26, 0x48}, {0x20, 0x28, 0x50}, {0x40, 0x26, 0x48}, {0x80, 0x28, 0x50}};
  LoadWith(8);
  for (const auto& c : cases) {
    SCOPED_TRACE(c.bit);
    h.fake.ClearLog();
    for (int tick = 0; tick < 3; ++tick) {
      Hold(c.bit, 1);
      EXPECT_FALSE(h.fake.AnyKeyDown()) << "no key is left down after a tick";
    }
    ASSERT_EQ(h.fake.keyEvents.size(), 6u);
    for (size_t i = 0; i < 6; ++i) {
      EXPECT_EQ(h.fake.keyEvents[i].vk, c.vk);
      EXPECT_EQ(h.fake.keyEvents[i].scan, c.scan);
      EXPECT_EQ(h.fake.keyEvents[i].flags, kUpStroke[i % 2]) << "press, then release";
    }
    EXPECT_TRUE(h.fake.mouseEvents.empty());
    Hold(0, 2);
    EXPECT_EQ(h.fake.keyEvents.size(), 6u);
  }
}

TEST_F(ButtonScanTest, Buttons1And4TogetherStillReleaseLeftOnce) {
  LoadWith(8);
  Hold(0x9, 2);
  EXPECT_EQ(h.fake.mouseEvents, (std::vector<uint32_t>{0x0002, 0x0002, 0x0004, 0x0002, 0x0004,
                                                       0x0002, 0x0004, 0x0002, 0x0004}));
  EXPECT_FALSE(h.fake.mouseDown[kLeft]);
  EXPECT_TRUE(h.form.state().ButtonHeld[0]);
  h.fake.ClearLog();
  Hold(0, 2);
  EXPECT_EQ(h.fake.mouseEvents, (std::vector<uint32_t>{0x0004}));
  EXPECT_FALSE(h.form.state().ButtonHeld[0]);
}

TEST_F(ButtonScanTest, OnlyTheReportedButtonCountIsExamined) {
  const struct {
    uint32_t count;
    size_t mouseEvents, keyEvents;
  } cases[] = {
      {0, 0, 0},           {0x80000000u, 0, 0},  // negative as a signed count
      {0xFFFFFFFFu, 0, 0}, {1, 1, 0},           {2, 2, 0},     {3, 3, 0},
      {4, 7, 0},           {5, 7, 2},           {8, 7, 8},     {9, 7, 8},
      {32, 7, 8},          {33, 7, 8},          {32768, 7, 8}, {0x7FFFFFFFu, 7, 8},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.count);
    Harness fresh(c.count);
    fresh.Load();
    fresh.fake.ClearLog();
    fresh.fake.Stick(kStickCentre, kStickCentre, 0xFFFFFFFFu);
    fresh.Tick();
    EXPECT_EQ(fresh.fake.mouseEvents.size(), c.mouseEvents);
    EXPECT_EQ(fresh.fake.keyEvents.size(), c.keyEvents);
    EXPECT_FALSE(fresh.form.state().ButtonHeld[3]);
  }
}

}  // namespace
}  // namespace velmora::testing
