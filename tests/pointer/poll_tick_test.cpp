// The cursor motion of one poll: exact axis values, overflow, and what the tick
// does when the cursor or the joystick cannot be read.
#include <gtest/gtest.h>

#include <algorithm>
#include <climits>
#include <string>
#include <vector>

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
      {"target x past max", hi,  hi,  10,   1,    {kMax - 5, 7}, 11,   2,    {kMax - 5, 9}},
      {"target x past min", lo,  mid, -10,  0,    {kMin + 5, 7}, -11,  0,    {kMin + 5, 7}},
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

// Windows delivers no input to the lock screen or a UAC prompt, where the cursor
// cannot be read: such ticks move and send nothing, keeping the speed, and the
// first tick that can read it sends what changed meanwhile, once. Each row, with
// the stick pushed right: each tick's buttons, whether its cursor read works and
// the mouse and key events it sends; then every cursor placement.
TEST(PollTickTest, NothingHappensWhileTheCursorCannotBeReadAndTheChangeFollowsOnce) {
  struct Tick {
    uint32_t buttons;
    bool readable;
    const char* sent;
  };
  const struct {
    const char* name;
    std::vector<Tick> ticks;
    const char* placed;
  } cases[] = {
      {"let go while locked",
       {{0x1, true, "0x2"}, {0, false, ""}, {0, false, ""}, {0, true, "0x4"}},
       "501 400; 503 400"},
      {"pressed while locked (the first tick), held on",
       {{0x2, false, ""}, {0x2, true, "0x20"}, {0x2, true, ""}},
       "501 400; 503 400"},
      {"pressed and let go while locked",
       {{0x4, false, ""}, {0, false, ""}, {0, true, ""}},
       "501 400"},
      {"double click and arrow held while locked",
       {{0x18, false, ""}, {0x18, true, "0x2; 0x4; 0x2; 0x4; 0x26 0x48 0x1; 0x26 0x48 0x3"}},
       "501 400"},
  };
  for (const auto& c : cases) {
    Harness h;
    h.Load();
    std::string placed;
    for (size_t i = 0; i < c.ticks.size(); ++i) {
      SCOPED_TRACE(std::string(c.name) + ", tick " + std::to_string(i));
      h.fake.stick = {kStickHigh, kStickCentre, c.ticks[i].buttons};
      h.fake.failing = c.ticks[i].readable ? nullptr : "GetCursorPos";
      h.fake.calls.clear();
      h.Tick();
      EXPECT_EQ(h.fake.Log("mouse_event keybd_event"), c.ticks[i].sent);
      placed += (placed.empty() || h.fake.Log("SetCursorPos").empty() ? "" : "; ") +
                h.fake.Log("SetCursorPos");
    }
    EXPECT_EQ(placed, c.placed) << c.name;
  }
}

// A joystick that stops answering is asked again only after a pause: from the
// end of the failed try, a second or as long as that try took, whichever is
// longer. A driver that blocks for seconds then holds the thread at most half
// the time. Each try asks for the capabilities first, and for the position only
// when they come. The millisecond clock wraps during the run.
TEST(LostJoystickTest, RetriesAfterAPauseAcrossTheClockWrap) {
  for (const char* failing : {"joyGetPosEx joyGetDevCapsA", "joyGetPosEx"}) {
    for (uint32_t blockMs : {0u, 400u, 1200u, 4000u}) {
      SCOPED_TRACE(std::string(failing) + ", " + std::to_string(blockMs) + " ms a call");
      Harness h;
      h.Load();
      h.fake.failing = failing;
      h.fake.queryMs = blockMs;
      h.fake.nowMs = UINT32_MAX - 2500;
      std::vector<uint32_t> pauses;
      uint32_t lastEnd = 0;
      for (int tick = 0; tick < 2000; ++tick) {
        const uint32_t start = h.fake.nowMs;
        h.fake.calls.clear();
        h.Tick();
        const std::string tried = h.fake.Log("joyGetPosEx joyGetDevCapsA");
        if (!tried.empty()) {
          if (tick > 0) {
            pauses.push_back(start - lastEnd);
            // A device that is gone is not asked where it is.
            EXPECT_EQ(tried,
                      h.fake.Named(failing, "joyGetDevCapsA") ? "0 404" : "0 404; 0 52 0xff");
          }
          lastEnd = h.fake.nowMs;
        }
        h.fake.nowMs += 10;  // the next tick
      }
      ASSERT_GE(pauses.size(), 3u);
      const uint32_t tryMs = h.fake.Named(failing, "joyGetDevCapsA") ? blockMs : 2 * blockMs;
      for (size_t i = 0; i < pauses.size(); ++i) {
        // The first failure's length is unknown: a healthy tick reads no clock.
        const uint32_t want = i == 0 ? 1000 : std::max(1000u, tryMs);
        EXPECT_GE(pauses[i], want) << "pause " << i;
        EXPECT_LE(pauses[i], want + 10) << "pause " << i;
      }
    }
  }
}

// What answers once the joystick is back is asked what it is, and read with the
// button count it reports now; the next tick makes only its usual calls. Here
// button 3 was held through a loss behind the lock screen, and the pad comes
// back with 2: button 3 is let go. (A pad back with more buttons is proven end
// to end.)
TEST(LostJoystickTest, AJoystickThatComesBackIsAskedWhatItIs) {
  Harness h;
  h.fake.numButtons = 4;
  h.Load();
  h.fake.stick.buttons = 0x4;
  h.Tick();
  h.fake.failing = "joyGetPosEx GetCursorPos";
  h.Tick();
  h.fake.failing = nullptr;
  h.fake.calls.clear();
  h.fake.nowMs += 1000;
  h.fake.numButtons = 2;
  h.fake.stick.buttons = 0;
  h.Tick(2);
  EXPECT_EQ(h.fake.Log(),
            "TickCountMs; joyGetDevCapsA 0 404; joyGetPosEx 0 52 0xff; GetCursorPos; "
            "mouse_event 0x10; joyGetPosEx 0 52 0xff; GetCursorPos");
}

}  // namespace
}  // namespace velmora::testing
