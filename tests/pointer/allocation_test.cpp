// The program allocates nothing while it runs: not per tick, not per scan, not
// per tray callback. Counted with a replacement operator new that counts only
// while the measured code runs.
#include <gtest/gtest.h>

#include <cstdlib>
#include <new>

#include "support/fake_platform.h"

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
  g_allocations = 0;
  g_counting = true;
  for (uint32_t i = 0; i < 2000; ++i) {
    const uint32_t axes[] = {kStickLow, kStickCentre, kStickHigh};
    h.fake.stick = {axes[i % 3], axes[(i / 3) % 3], (i * 37) & 0xFF};
    h.Tick();
    if (i % 100 == 0) {
      h.Choose("Enabled");
      h.Choose("Enabled");
      h.Choose("About...");
      h.Tray(0x0205);  // dismissed
      h.Broadcast();
    }
    h.fake.failing = i >= 1000 && i < 1500 ? "joyGetPosEx" : nullptr;  // gone, and back
    h.fake.nowMs += 10;
  }
  g_counting = false;
  EXPECT_EQ(g_allocations, 0);
}

}  // namespace
}  // namespace velmora::testing
