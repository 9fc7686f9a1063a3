// Start-up, the icon record, and what unloading the window leaves behind.
#include <gtest/gtest.h>

#include <cstring>
#include <string>

#include "support/harness.h"

namespace velmora::testing {
namespace {

TEST(StartupTest, PreviousInstanceEndsAtOnceWithNothingShown) {
  Harness h;
  h.fake.prevInstance = true;
  h.Load();
  EXPECT_EQ(h.fake.processEnds, 1);
  EXPECT_EQ(h.fake.calls, (std::vector<Op>{Op::PrevInstance, Op::EndProcess}));
  EXPECT_FALSE(h.fake.iconShown);
  EXPECT_FALSE(h.fake.timerEnabled);
}

TEST(StartupTest, MissingJoystickShowsTheMessageOnceAndEnds) {
  for (int32_t result : {1, 2, 6, 165, 167}) {
    SCOPED_TRACE(result);
    Harness h;
    h.fake.capsResult = result;
    h.Load();
    ASSERT_EQ(h.fake.messages.size(), 1u);
    EXPECT_EQ(h.fake.messages[0].first, "Couldn't detect the joystick");
    EXPECT_EQ(h.fake.messages[0].second, "Velmora");
    EXPECT_EQ(h.fake.processEnds, 1);
    EXPECT_EQ(h.fake.Count(Op::Shell_NotifyIconA), 0u);
    EXPECT_FALSE(h.fake.timerEnabled);
    EXPECT_EQ(h.form.state().ResultCode, result);
  }
}

TEST(StartupTest, TimerIsOffDuringTheChecksAndEnabledLast) {
  Harness h;
  h.Load();
  EXPECT_EQ(h.fake.calls.front(), Op::PrevInstance);
  EXPECT_EQ(h.fake.calls[1], Op::SetTimer1Enabled);
  EXPECT_EQ(h.fake.calls[2], Op::joyGetDevCapsA);
  EXPECT_EQ(h.fake.calls.back(), Op::SetTimer1Enabled);
  EXPECT_TRUE(h.fake.timerEnabled);
  EXPECT_TRUE(h.fake.iconShown);
  EXPECT_EQ(h.fake.processEnds, 0);
}

TEST(StartupTest, TrayRecordHasExactlyTheExpectedBytes) {
  Harness h;
  h.Load();
  ASSERT_EQ(h.fake.iconCalls.size(), 1u);
  EXPECT_EQ(h.fake.iconCalls[0].first, 0u);  // NIM_ADD
  unsigned char want[88] = {};
  auto put32 = [&](size_t offset, uint32_t v) {
    for (int i = 0; i < 4; ++i) want[offset + i] = static_cast<unsigned char>(v >> (8 * i));
  };
  put32(0, 88);
  put32(4, h.fake.windowHandle);
  put32(8, 1);
  put32(12, 7);
  put32(16, 512);
  put32(20, h.fake.iconHandle);
  const std::string tip = "Velmora 1.0 by Quillan";
  std::memset(want + 24, ' ', 64);
  std::memcpy(want + 24, tip.c_str(), tip.size() + 1);
  EXPECT_EQ(std::memcmp(&h.fake.iconCalls[0].second, want, sizeof(want)), 0);
}

TEST(StartupTest, SystemClosingTheWindowUnloadsIt) {
  const struct {
    const char* name;
    uint32_t message;
    uintptr_t wParam;
    bool unloads;
  } cases[] = {
      {"close request", kClose, 0, true},
      {"session ends", kEndSession, 1, true},
      {"session goes on", kEndSession, 0, false},
      {"destroyed", kDestroy, 0, true},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    Harness h;
    h.Load();
    h.fake.Stick(kStickCentre, kStickCentre, 0x5);
    h.Tick();
    EXPECT_TRUE(h.form.WindowMessage(c.message, c.wParam, 0));
    EXPECT_EQ(h.fake.iconShown, !c.unloads);
    EXPECT_EQ(h.fake.processEnds, c.unloads ? 1 : 0);
    EXPECT_EQ(h.fake.mouseDown[kLeft] || h.fake.mouseDown[kRight], !c.unloads);
  }
}

TEST(StartupTest, UnrelatedMessagesAreLeftToTheSystem) {
  Harness h;
  h.Load();
  h.fake.ClearLog();
  for (uint32_t message : {0x0001u, 0x0011u, 0x0113u, 0x0204u, 0x0400u}) {
    const uintptr_t wParam = message == kTimer ? 2 : 0;  // someone else's timer
    EXPECT_FALSE(h.form.WindowMessage(message, wParam, 0)) << message;
  }
  EXPECT_TRUE(h.fake.calls.empty());
}

}  // namespace
}  // namespace velmora::testing
