// The cursor motion of one poll: exact axis values, overflow, and what the tick
// does when the cursor or the joystick cannot be read.
#include <gtest/gtest.h>

#include <algorithm>
#include <climits>

#include "support/fake_platform.h"

namespace velmora::testing {
namespace {

// Only exactly 256 and 65280 move; the step keeps growing the same way and
// restarts at one on a reversal. Everything else leaves cursor and speeds alone.
TEST(PollTickTest, OnlyTheExactSidePositionsMove) {
  const struct {
    uint32_t position;
    const char* placed;
    int32_t speedX, speedY;
  } cases[] = {
      // clang-format off
      {256, "; SetCursorPos 499 392", -1, -8}, {65280, "; SetCursorPos 505 401", 5, 1},
      {0, "", 4, -7},     {1, "", 4, -7},       {255, "", 4, -7},        {257, "", 4, -7},
      {32767, "", 4, -7}, {32768, "", 4, -7},   {65279, "", 4, -7},      {65281, "", 4, -7},
      {65535, "", 4, -7}, {0x10100, "", 4, -7}, {0xFFFFFF00, "", 4, -7}, {0xFFFFFFFF, "", 4, -7},
      // clang-format on
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.position);
    Harness h;
    h.Load();
    h.form.state().SpeedX = 4;
    h.form.state().SpeedY = -7;
    h.fake.stick = {c.position, c.position, 0};
    h.fake.calls.clear();
    h.Tick();
    EXPECT_EQ(h.fake.Log(), std::string("joyGetPosEx 0 52 0xff; GetCursorPos") + c.placed);
    EXPECT_EQ(h.form.state().SpeedX, c.speedX);
    EXPECT_EQ(h.form.state().SpeedY, c.speedY);
  }
}

TEST(PollTickTest, OverflowLeavesTheValueAndTheTickGoesOn) {
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
    Harness h;
    h.Load();
    PollState& s = h.form.state();
    s.SpeedX = c.speedX;
    s.SpeedY = c.speedY;
    h.fake.cursor = c.cursor;
    h.fake.stick = {c.x, c.y, 0x1};  // button 1 down: the scan must still run
    h.Tick();
    EXPECT_EQ(s.SpeedX, c.wantSpeedX);
    EXPECT_EQ(s.SpeedY, c.wantSpeedY);
    EXPECT_EQ(s.TargetPos.x, c.wantTarget.x);
    EXPECT_EQ(s.TargetPos.y, c.wantTarget.y);
    EXPECT_EQ(h.fake.Log("mouse_event"), "0x2");
  }
}

// Each tick steps from the cursor as read then; a tick that cannot read it (another
// desktop has the input) moves nothing and keeps the speed, but the buttons act.
TEST(PollTickTest, EachTickStepsFromTheCursorItReadAndAFailedReadMovesNothing) {
  Harness h;
  h.Load();
  h.fake.stick = {kStickHigh, kStickCentre, 0};
  h.fake.failing = "GetCursorPos";
  h.Tick();  // the first tick: not to (1, 0)
  h.fake.failing = nullptr;
  h.Tick();                    // reads 500, places 501
  h.fake.cursor = {800, 800};  // the user moves the mouse
  h.Tick();
  h.fake.failing = "GetCursorPos";
  h.fake.stick.buttons = 0x1;
  h.Tick();  // not back to 803
  h.fake.failing = nullptr;
  h.fake.cursor = {100, 100};
  h.Tick();
  EXPECT_EQ(h.fake.Log("SetCursorPos"), "501 400; 802 800; 103 100");
  EXPECT_EQ(h.fake.Log("mouse_event"), "0x2");
}

// A joystick that stops answering is asked again only after a pause: from the
// end of the failed query, a second or as long as that query took, whichever is
// longer. A driver that blocks for seconds then holds the thread at most half
// the time. The millisecond clock wraps during the run.
TEST(LostJoystickTest, RetriesAfterAPauseAcrossTheClockWrapAndResumesOnSuccess) {
  for (uint32_t blockMs : {0u, 400u, 1200u, 4000u}) {
    SCOPED_TRACE(blockMs);
    Harness h;
    h.Load();
    h.fake.failing = "joyGetPosEx";
    h.fake.queryMs = blockMs;
    h.fake.nowMs = UINT32_MAX - 2500;
    std::vector<uint32_t> pauses;
    uint32_t lastEnd = 0;
    for (int tick = 0; tick < 2000; ++tick) {
      const uint32_t start = h.fake.nowMs;
      h.fake.calls.clear();
      h.Tick();
      if (!h.fake.Log("joyGetPosEx").empty()) {
        if (tick > 0) pauses.push_back(start - lastEnd);
        lastEnd = h.fake.nowMs;
      }
      h.fake.nowMs += 10;  // the next tick
    }
    ASSERT_GE(pauses.size(), 3u);
    for (size_t i = 0; i < pauses.size(); ++i) {
      // The first failure's length is unknown: a healthy tick reads no clock.
      const uint32_t want = i == 0 ? 1000 : std::max(1000u, blockMs);
      EXPECT_GE(pauses[i], want) << "pause " << i;
      EXPECT_LE(pauses[i], want + 10) << "pause " << i;
    }
    h.fake.failing = nullptr;
    h.fake.nowMs += std::max(1000u, blockMs);
    h.Tick();  // the device is back...
    h.fake.calls.clear();
    h.Tick();  // ...and polled on every tick again, with no clock read
    EXPECT_EQ(h.fake.Log(), "joyGetPosEx 0 52 0xff; GetCursorPos");
  }
}

}  // namespace
}  // namespace velmora::testing
