// The program allocates nothing while it runs: not per tick, not per scan,
// not per tray callback. Counted with a replacement operator new that only
// counts while the measured code runs.
#include <gtest/gtest.h>

#include <cstdlib>
#include <new>

#include "support/harness.h"

namespace {
bool g_counting = false;
long g_allocations = 0;

void* CountedAlloc(std::size_t size) {
  if (g_counting) ++g_allocations;
  if (void* p = std::malloc(size ? size : 1)) return p;
  throw std::bad_alloc();
}
}  // namespace

void* operator new(std::size_t size) { return CountedAlloc(size); }
void* operator new[](std::size_t size) { return CountedAlloc(size); }
void operator delete(void* p) noexcept { std::free(p); }
void operator delete[](void* p) noexcept { std::free(p); }
void operator delete(void* p, std::size_t) noexcept { std::free(p); }
void operator delete[](void* p, std::size_t) noexcept { std::free(p); }

namespace velmora::testing {
namespace {

TEST(AllocationTest, TicksScansAndMenuCallbacksAllocateNothing) {
  Harness h;
  h.Load();
  h.fake.logging = false;
  h.fake.screenWidth = h.fake.screenHeight = 1 << 30;

  g_allocations = 0;
  g_counting = true;
  for (int i = 0; i < 2000; ++i) {
    const uint32_t axes[] = {kStickLow, kStickCentre, kStickHigh};
    h.fake.Stick(axes[i % 3], axes[(i / 3) % 3], static_cast<uint32_t>(i * 37) & 0xFF);
    h.Tick();
    if (i % 100 == 0) {
      h.ChooseFromMenu("Enabled");
      h.ChooseFromMenu("Enabled");
      h.ChooseFromMenu("About...");
      h.TrayEvent(kRButtonUp);  // dismissed
      h.TrayEvent(0x0200);
      h.form.WindowMessage(kTaskbarCreated, 0, 0);
    }
    if (i == 1000) h.fake.Fail(Op::joyGetPosEx);         // the joystick goes away...
    if (i == 1500) h.fake.Fail(Op::joyGetPosEx, false);  // ...and comes back
    h.fake.nowMs += 10;
  }
  g_counting = false;
  EXPECT_EQ(g_allocations, 0);
}

}  // namespace
}  // namespace velmora::testing
