// Joystick buttons as mouse buttons, a double click and arrow keys.
#include <gtest/gtest.h>

#include "support/fake_platform.h"

namespace velmora::testing {
namespace {

// Every bit down for one tick: buttons are scanned from the first, and only as
// many as the capabilities report (a count that is negative as a signed number
// scans none; 32 at most are examined, of which the first 8 act).
TEST(ButtonScanTest, OnlyTheReportedButtonCountIsExaminedInOrder) {
  // clang-format off
  const std::vector<std::string> events = {
      "mouse_event 0x2", "mouse_event 0x20", "mouse_event 0x8",                      // 1 to 3
      "mouse_event 0x2", "mouse_event 0x4", "mouse_event 0x2", "mouse_event 0x4",   // 4
      "keybd_event 0x26 0x48 0x1", "keybd_event 0x26 0x48 0x3",                     // 5: up
      "keybd_event 0x28 0x50 0x1", "keybd_event 0x28 0x50 0x3",                     // 6: down
      "keybd_event 0x26 0x48 0x1", "keybd_event 0x26 0x48 0x3",                     // 7: up
      "keybd_event 0x28 0x50 0x1", "keybd_event 0x28 0x50 0x3",                     // 8: down
  };
  const struct {
    uint32_t count;
    size_t events;
  } cases[] = {{0, 0}, {0x80000000u, 0}, {0xFFFFFFFFu, 0}, {1, 1}, {2, 2}, {3, 3}, {4, 7}, {5, 9},
               {8, 15}, {9, 15}, {32, 15}, {33, 15}, {32768, 15}, {0x7FFFFFFFu, 15}};
  // clang-format on
  for (const auto& c : cases) {
    SCOPED_TRACE(c.count);
    Harness h;
    h.fake.numButtons = c.count;
    h.Load();
    h.fake.stick.buttons = 0xFFFFFFFFu;
    h.fake.calls.clear();
    h.Tick();
    std::string want = "joyGetPosEx 0 52 0xff; GetCursorPos";
    for (size_t i = 0; i < c.events; ++i) want += "; " + events[i];
    EXPECT_EQ(h.fake.Log(), want);
  }
}

}  // namespace
}  // namespace velmora::testing
