// What one poll costs in the program's own code, against the fake with its
// logging off (so the fake adds no allocation or bookkeeping of its own).
// Run it from an unsanitised Release build: scripts/bench.sh does.
#include <benchmark/benchmark.h>

#include "support/fake_platform.h"

namespace velmora::testing {
namespace {

void RunTicks(benchmark::State& state, uint32_t x, uint32_t y, uint32_t buttons) {
  Harness h;
  h.Load();
  h.fake.logging = false;
  h.fake.stick = {x, y, buttons};
  for (auto _ : state) {
    h.fake.cursor = {1000, 1000};  // every tick from the same place and speed
    h.form.state().SpeedX = h.form.state().SpeedY = 0;
    h.form.Timer1_Timer();
    benchmark::DoNotOptimize(h.form.state());
  }
}

void BM_TickCentredStick(benchmark::State& state) { RunTicks(state, kAxisCentre, kAxisCentre, 0); }
void BM_TickHeldStick(benchmark::State& state) { RunTicks(state, kAxisHigh, kAxisLow, 0); }
void BM_TickAllEightButtons(benchmark::State& state) {
  RunTicks(state, kAxisCentre, kAxisCentre, 0xFF);
}

BENCHMARK(BM_TickCentredStick);
BENCHMARK(BM_TickHeldStick);
BENCHMARK(BM_TickAllEightButtons);

}  // namespace
}  // namespace velmora::testing

BENCHMARK_MAIN();
