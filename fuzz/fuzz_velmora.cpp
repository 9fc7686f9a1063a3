// Drives the program's handlers from arbitrary bytes through the recording fake:
// joystick records and query results, button counts, cursor positions near the
// 32-bit limits, tray callbacks and menu choices, and failures of any
// operation. Beyond "no crash, no undefined behaviour" it checks what must hold
// after every step:
//   - a tracked mouse button is pressed only while released and released only
//     while pressed (the system's button state follows the program's memory);
//   - no key is left down after a tick;
//   - the counters stay in range;
//   - the cursor is placed only at a target that differs from the position read.
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>

#include "support/harness.h"

namespace velmora::testing {
namespace {

class Bytes {
 public:
  Bytes(const uint8_t* data, size_t size) : data_(data), size_(size) {}
  bool empty() const { return pos_ >= size_; }
  uint8_t U8() { return pos_ < size_ ? data_[pos_++] : 0; }
  uint32_t U32() {
    uint32_t v = 0;
    for (int i = 0; i < 4; ++i) v |= static_cast<uint32_t>(U8()) << (8 * i);
    return v;
  }
  // Mostly the values the logic distinguishes, sometimes any 32-bit pattern.
  uint32_t Axis() {
    static const uint32_t kInteresting[] = {kAxisLow, kAxisHigh, kAxisCentre, 0,    255,
                                            257,      65279,     65281,       65535};
    const uint8_t pick = U8();
    return pick < 9 * 24 ? kInteresting[pick % 9] : U32();
  }
  int32_t Coordinate() {
    static const int32_t kEdges[] = {
        0, 1, -1, INT32_MAX, INT32_MIN, INT32_MAX - 3, INT32_MIN + 3, 1919, 1080};
    const uint8_t pick = U8();
    return pick < 9 * 24 ? kEdges[pick % 9] : static_cast<int32_t>(U32());
  }

 private:
  const uint8_t* data_;
  size_t size_;
  size_t pos_ = 0;
};

#define CHECK(cond)                                                                      \
  do {                                                                                   \
    if (!(cond)) {                                                                       \
      std::fprintf(stderr, "invariant broken: %s (%s:%d)\n", #cond, __FILE__, __LINE__); \
      std::abort();                                                                      \
    }                                                                                    \
  } while (0)

struct Checker {
  Harness& h;
  bool mouseReliable = true;  // no mouse_event has failed so far
  bool keysReliable = true;

  void AfterStep(size_t placementsBefore) {
    const PollState& s = h.form.state();
    const FakePlatform& f = h.fake;
    if (f.cursorPlacements.size() > placementsBefore) {
      const Point& placed = f.cursorPlacements.back();
      CHECK(placed.x != s.CursorPos.x || placed.y != s.CursorPos.y);
      CHECK(placed.x == s.TargetPos.x && placed.y == s.TargetPos.y);
    }
    CHECK(!s.ButtonHeld[3]);
    CHECK(s.ButtonIndex >= 0 && s.ButtonIndex <= kMaxScannedButtons);
    CHECK(s.ButtonMask >= 0);  // 0 only before the first scan
    if (mouseReliable) {
      // Button 4's double click drives the left button too and always leaves
      // it up, so left may be up while held in memory, never the other way.
      CHECK(f.mouseDown[kMiddle] == s.ButtonHeld[1]);
      CHECK(f.mouseDown[kRight] == s.ButtonHeld[2]);
      CHECK(!f.mouseDown[kLeft] || s.ButtonHeld[0]);
    }
    if (keysReliable) CHECK(!f.AnyKeyDown());
  }
};

void Run(const uint8_t* data, size_t size) {
  Bytes in(data, size);
  Harness h(in.U32());
  h.fake.capsResult = (in.U8() & 0x7) == 0 ? static_cast<int32_t>(in.U32()) : 0;
  h.fake.cursor = {100, 100};
  h.fake.screenWidth = h.fake.screenHeight = INT32_MAX;
  Checker check{h};
  h.Load();
  while (!in.empty() && h.fake.processEnds == 0) {
    if (h.fake.calls.size() > 4096) h.fake.ClearLog();  // keep long runs cheap
    const size_t placements = h.fake.cursorPlacements.size();
    switch (in.U8() % 10) {
      case 0:
      case 1:
      case 2: {
        const uint32_t x = in.Axis(), y = in.Axis();
        h.fake.Stick(x, y, in.U32());
        h.Tick();
        break;
      }
      case 3:
        h.fake.cursor = {in.Coordinate(), in.Coordinate()};
        break;
      case 4: {
        const uint8_t op = in.U8() % static_cast<uint8_t>(Op::kCount);
        const bool fail = in.U8() & 1;
        if (static_cast<Op>(op) == Op::mouse_event && fail) check.mouseReliable = false;
        if (static_cast<Op>(op) == Op::keybd_event && fail) check.keysReliable = false;
        h.fake.Fail(static_cast<Op>(op), fail);
        break;
      }
      case 5:
        h.fake.posResult = (in.U8() & 1) ? static_cast<int32_t>(in.U32()) : 0;
        break;
      case 6:
        h.fake.nowMs += in.U32() % 3000;
        break;
      case 7: {
        h.fake.popupChoice = in.U8() % 5;
        h.TrayEvent(static_cast<intptr_t>(static_cast<int32_t>(in.U32())));
        break;
      }
      case 8:
        h.form.state().SpeedX = in.Coordinate();
        h.form.state().SpeedY = in.Coordinate();
        break;
      case 9:
        h.form.WindowMessage(in.U8() & 1 ? kTaskbarCreated : kWmClose, 0, 0);
        break;
    }
    check.AfterStep(placements);
  }
  if (h.fake.processEnds > 0 && check.mouseReliable) {
    // However it ended, nothing the joystick pressed is still down.
    CHECK(!h.fake.mouseDown[kLeft] && !h.fake.mouseDown[kMiddle] && !h.fake.mouseDown[kRight]);
  }
}

}  // namespace
}  // namespace velmora::testing

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  velmora::testing::Run(data, size);
  return 0;
}
