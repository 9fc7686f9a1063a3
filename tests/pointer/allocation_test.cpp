// The program allocates nothing while it runs: not per tick, not per scan, not
// per tray callback. Counted with a replacement operator new that counts only
// while the measured code runs. Every form of new and delete is replaced, so
// that all of them allocate with malloc and free with free: AddressSanitizer
// stops at a block from its own new that reaches a replaced delete (newer
// GoogleTest and libstdc++ use forms that older ones did not).
#include <gtest/gtest.h>
#include <stdlib.h>

#include <cstddef>
#include <new>

#include "support/fake_platform.h"

namespace {
bool g_counting = false;
long g_allocations = 0;

void* Allocate(std::size_t size, std::size_t alignment = alignof(std::max_align_t)) noexcept {
  if (g_counting) ++g_allocations;
  void* p = nullptr;
  if (alignment <= alignof(std::max_align_t)) return malloc(size ? size : 1);
  return posix_memalign(&p, alignment, size ? size : 1) == 0 ? p : nullptr;
}

void* AllocateOrThrow(std::size_t size, std::size_t alignment = alignof(std::max_align_t)) {
  if (void* p = Allocate(size, alignment)) return p;
  throw std::bad_alloc();
}

std::size_t Bytes(std::align_val_t alignment) { return static_cast<std::size_t>(alignment); }
}  // namespace

using std::align_val_t;
using std::nothrow_t;
using std::size_t;

void* operator new(size_t n) { return AllocateOrThrow(n); }
void* operator new[](size_t n) { return AllocateOrThrow(n); }
void* operator new(size_t n, align_val_t a) { return AllocateOrThrow(n, Bytes(a)); }
void* operator new[](size_t n, align_val_t a) { return AllocateOrThrow(n, Bytes(a)); }
void* operator new(size_t n, const nothrow_t&) noexcept { return Allocate(n); }
void* operator new[](size_t n, const nothrow_t&) noexcept { return Allocate(n); }
void* operator new(size_t n, align_val_t a, const nothrow_t&) noexcept {
  return Allocate(n, Bytes(a));
}
void* operator new[](size_t n, align_val_t a, const nothrow_t&) noexcept {
  return Allocate(n, Bytes(a));
}

void operator delete(void* p) noexcept { free(p); }
void operator delete[](void* p) noexcept { free(p); }
void operator delete(void* p, size_t) noexcept { free(p); }
void operator delete[](void* p, size_t) noexcept { free(p); }
void operator delete(void* p, align_val_t) noexcept { free(p); }
void operator delete[](void* p, align_val_t) noexcept { free(p); }
void operator delete(void* p, size_t, align_val_t) noexcept { free(p); }
void operator delete[](void* p, size_t, align_val_t) noexcept { free(p); }
void operator delete(void* p, const nothrow_t&) noexcept { free(p); }
void operator delete[](void* p, const nothrow_t&) noexcept { free(p); }
void operator delete(void* p, align_val_t, const nothrow_t&) noexcept { free(p); }
void operator delete[](void* p, align_val_t, const nothrow_t&) noexcept { free(p); }

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
