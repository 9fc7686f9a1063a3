// The cursor motion of one poll: exact axis values, the growing step, and what
// the tick does when a step fails.
#include <gtest/gtest.h>

#include <algorithm>
#include <climits>

#include "support/harness.h"

namespace velmora::testing {
namespace {

struct PollTickTest : ::testing::Test {
  Harness h;
  void SetUp() override {
    h.Load();
    h.fake.ClearLog();
  }
  // Holds the stick at (x, y) for `ticks` ticks and returns the x steps taken.
  std::vector<int32_t> HoldX(uint32_t x, int ticks) {
    std::vector<int32_t> steps;
    h.fake.Stick(x, kStickCentre);
    for (int i = 0; i < ticks; ++i) {
      const int32_t before = h.fake.cursor.x;
      h.Tick();
      steps.push_back(h.fake.cursor.x - before);
    }
    return steps;
  }
};

TEST_F(PollTickTest, RampsOnePixelPerTickKeepsSpeedWhenCentredAndResetsOnReversal) {
  EXPECT_EQ(HoldX(kStickHigh, 5), (std::vector<int32_t>{1, 2, 3, 4, 5}));
  EXPECT_EQ(HoldX(kStickCentre, 3), (std::vector<int32_t>{0, 0, 0}));
  EXPECT_EQ(h.form.state().SpeedX, 5);
  EXPECT_EQ(HoldX(kStickHigh, 1), (std::vector<int32_t>{6}));
  EXPECT_EQ(HoldX(kStickLow, 3), (std::vector<int32_t>{-1, -2, -3}));
  EXPECT_EQ(HoldX(kStickHigh, 1), (std::vector<int32_t>{1}));
}

TEST_F(PollTickTest, VerticalAndDiagonalUseTheirOwnSpeeds) {
  h.fake.Stick(kStickCentre, kStickLow);
  h.Ticks(3);  // up 1+2+3
  EXPECT_EQ(h.fake.cursor.y, 400 - 6);
  h.fake.Stick(kStickHigh, kStickHigh);  // right starts at 1, down reverses to 1
  h.Ticks(2);
  EXPECT_EQ(h.fake.cursor.x, 500 + 3);
  EXPECT_EQ(h.fake.cursor.y, 400 - 6 + 3);
  h.fake.Stick(kStickLow, kStickHigh);
  h.Tick();
  EXPECT_EQ(h.fake.cursor.x, 502);
  EXPECT_EQ(h.fake.cursor.y, 400 - 6 + 3 + 3);
  EXPECT_EQ(h.form.state().SpeedX, -1);
  EXPECT_EQ(h.form.state().SpeedY, 3);
}

TEST_F(PollTickTest, OnlyTheExactSidePositionsMove) {
  h.form.state().SpeedX = 4;
  h.form.state().SpeedY = -7;
  for (uint32_t position : {0u, 1u, 255u, 257u, 32767u, 32768u, 65279u, 65281u, 65535u, 0x10100u,
                            0xFFFFFF00u, 0xFFFFFFFFu}) {
    SCOPED_TRACE(position);
    h.fake.Stick(position, position, 0);
    h.Tick();
    EXPECT_EQ(h.fake.cursor.x, 500);
    EXPECT_EQ(h.fake.cursor.y, 400);
    EXPECT_EQ(h.form.state().SpeedX, 4);
    EXPECT_EQ(h.form.state().SpeedY, -7);
  }
  EXPECT_EQ(h.fake.Count(Op::SetCursorPos), 0u) << "a centred stick places nothing";
}

TEST_F(PollTickTest, AtTheScreenEdgeTheSpeedKeepsGrowing) {
  h.fake.cursor = {1915, 400};
  HoldX(kStickHigh, 6);
  EXPECT_EQ(h.fake.cursor.x, 1919);
  EXPECT_EQ(h.form.state().SpeedX, 6);
  // Each tick starts from the clamped position the system reports.
  EXPECT_EQ(h.fake.cursorPlacements.back().x, 1919 + 6);
}

TEST_F(PollTickTest, OverflowLeavesTheValueAndTheTickGoesOn) {
  const uint32_t lo = kStickLow, hi = kStickHigh, mid = kStickCentre;
  const int32_t kMax = INT32_MAX, kMin = INT32_MIN;
  struct Case {
    const char* name;
    uint32_t x, y;
    int32_t speedX, speedY;
    Point cursor;
    int32_t wantSpeedX, wantSpeedY;
    Point wantTarget;
  } cases[] = {
      // clang-format off
      {"SpeedX at max",     hi,  mid, kMax, 0,    {0, 0},        kMax, 0,    {kMax, 0}},
      {"SpeedX at min",     lo,  mid, kMin, 0,    {0, 0},        kMin, 0,    {kMin, 0}},
      {"SpeedY at max",     mid, hi,  0,    kMax, {0, 0},        0,    kMax, {0, kMax}},
      {"SpeedY at min",     mid, lo,  0,    kMin, {0, 0},        0,    kMin, {0, kMin}},
      {"target x past max", hi,  hi,  10,   1,    {kMax - 5, 7}, 11,   2,    {kMax - 5, 9}},
      {"target x past min", lo,  mid, -10,  0,    {kMin + 5, 7}, -11,  0,    {kMin + 5, 7}},
      {"target y past max", mid, hi,  0,    3,    {7, kMax},     0,    4,    {7, kMax}},
      {"target y past min", mid, lo,  0,    -3,   {7, kMin},     0,    -4,   {7, kMin}},
      // clang-format on
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    PollState& s = h.form.state();
    s.SpeedX = c.speedX;
    s.SpeedY = c.speedY;
    h.fake.screenWidth = h.fake.screenHeight = INT32_MAX;
    h.fake.cursor = c.cursor;
    h.fake.Stick(c.x, c.y, 0x1);  // button 1 down: the scan must still run
    h.fake.ClearLog();
    h.Tick();
    EXPECT_EQ(s.SpeedX, c.wantSpeedX);
    EXPECT_EQ(s.SpeedY, c.wantSpeedY);
    EXPECT_EQ(s.TargetPos.x, c.wantTarget.x);
    EXPECT_EQ(s.TargetPos.y, c.wantTarget.y);
    EXPECT_TRUE(h.fake.mouseDown[kLeft]);
    h.fake.Stick(kStickCentre, kStickCentre, 0);
    h.Tick();
  }
}

TEST_F(PollTickTest, FailedCursorReadActsOnTheLastPositionRead) {
  h.fake.Stick(kStickHigh, kStickCentre);
  h.Tick();                    // reads 500, places 501
  h.fake.cursor = {800, 800};  // moved by the user, but the next read fails
  h.fake.Fail(Op::GetCursorPos);
  h.fake.ClearLog();
  h.Tick();
  ASSERT_EQ(h.fake.cursorPlacements.size(), 1u);
  EXPECT_EQ(h.fake.cursorPlacements[0].x, 500 + 2);
  EXPECT_EQ(h.fake.cursorPlacements[0].y, 400);
}

// A joystick that stops answering must not leave the cursor running or the
// buttons firing on the last state it reported.
struct LostJoystickTest : PollTickTest {};

TEST_F(LostJoystickTest, FailedQueryActsAsACentredStickWithNoButtons) {
  h.fake.Stick(kStickHigh, kStickHigh, 0xFF);  // everything held
  h.Ticks(3);
  ASSERT_TRUE(h.form.state().ButtonHeld[0] && h.fake.mouseDown[kMiddle] &&
              h.fake.mouseDown[kRight]);
  h.fake.Fail(Op::joyGetPosEx);  // the record keeps the held state
  h.fake.ClearLog();
  const Point before = h.fake.cursor;
  h.Ticks(50);
  EXPECT_EQ(h.fake.cursor.x, before.x);
  EXPECT_EQ(h.fake.cursor.y, before.y);
  EXPECT_FALSE(h.fake.mouseDown[kLeft] || h.fake.mouseDown[kMiddle] || h.fake.mouseDown[kRight]);
  // Released once each through the normal path, and nothing repeats.
  EXPECT_EQ(h.fake.mouseEvents, (std::vector<uint32_t>{0x0004, 0x0040, 0x0010}));
  EXPECT_TRUE(h.fake.keyEvents.empty());
  EXPECT_EQ(h.form.state().SpeedX, 3) << "speeds are kept as for any centred stick";
}

TEST_F(LostJoystickTest, RetriesAtMostOnceASecondAcrossTheClockWrapAndResumesOnSuccess) {
  const uint32_t t0 = UINT32_MAX - 500;  // the millisecond clock wraps in the second pause
  h.fake.nowMs = t0;
  h.fake.Fail(Op::joyGetPosEx);
  h.Tick();  // fails at t0
  EXPECT_EQ(h.fake.Count(Op::joyGetPosEx), 1u);
  for (int i = 0; i < 99; ++i) {
    h.fake.nowMs += 10;  // up to t0 + 990
    h.Tick();
  }
  EXPECT_EQ(h.fake.Count(Op::joyGetPosEx), 1u);
  h.fake.nowMs = t0 + 1000u;
  h.Tick();  // second try, fails again
  EXPECT_EQ(h.fake.Count(Op::joyGetPosEx), 2u);
  h.fake.nowMs = t0 + 1999u;
  h.Tick();
  EXPECT_EQ(h.fake.Count(Op::joyGetPosEx), 2u);
  h.fake.Fail(Op::joyGetPosEx, false);
  h.fake.Stick(kStickHigh, kStickCentre, 0x1);
  h.fake.nowMs = t0 + 2000u;
  h.Tick();  // the device is back
  EXPECT_EQ(h.fake.Count(Op::joyGetPosEx), 3u);
  EXPECT_TRUE(h.fake.mouseDown[kLeft]);
  h.Tick();  // and polled on every tick again, with no clock reads
  h.Tick();
  EXPECT_EQ(h.fake.Count(Op::joyGetPosEx), 5u);
  h.fake.ClearLog();
  h.fake.Stick(kStickCentre, kStickCentre, 0x1);
  h.Tick();
  EXPECT_EQ(h.fake.Count(Op::TickCountMs), 0u);
}

TEST_F(LostJoystickTest, ADriverThatBlocksHoldsTheThreadAtMostHalfTheTime) {
  for (uint32_t blockMs : {0u, 400u, 1200u, 1500u, 4000u}) {
    SCOPED_TRACE(blockMs);
    Harness fresh;
    fresh.Load();
    fresh.fake.Fail(Op::joyGetPosEx);
    fresh.fake.queryMs = blockMs;  // each failing query takes this long
    constexpr uint32_t kRunMs = 60000;
    uint32_t insideMs = 0, lastEnd = 0, queries = 0;
    std::vector<uint32_t> pauses;  // from the end of one query to the start of the next
    while (fresh.fake.nowMs < kRunMs) {
      const uint32_t start = fresh.fake.nowMs;
      fresh.fake.ClearLog();
      fresh.Tick();
      if (fresh.fake.Count(Op::joyGetPosEx) > 0) {
        if (queries++ > 0) pauses.push_back(start - lastEnd);
        insideMs += blockMs;
        lastEnd = fresh.fake.nowMs;
      }
      fresh.fake.nowMs += 10;  // the next timer tick
    }
    ASSERT_GE(pauses.size(), 2u);
    EXPECT_GE(pauses[0], 1000u) << "a second from the end of the first failure";
    for (size_t i = 1; i < pauses.size(); ++i) {
      EXPECT_GE(pauses[i], std::max(1000u, blockMs)) << "pause " << i;
      EXPECT_LE(pauses[i], std::max(1000u, blockMs) + 10) << "pause " << i;
    }
    EXPECT_LE(insideMs, kRunMs / 2 + blockMs) << "time spent inside the driver";
  }
}

}  // namespace
}  // namespace velmora::testing
