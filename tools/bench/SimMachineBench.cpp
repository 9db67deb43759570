// Host cost of the simulated machine: one traced port or ECAM access, and a
// 2.5 s time-stamp-counter wait (one fatal-error display frame) with the
// iterations it takes. Run: build/host64/tools/bench/sim_machine_bench
#include <benchmark/benchmark.h>

#include "hw/HwAccess.h"
#include "sim/machine/Machine.h"

namespace {

// A fresh machine every 2^16 accesses keeps the trace small.
template <class Access>
void RunAccesses(benchmark::State &state, Access access) {
  auto machine = std::make_unique<sim::Machine>();
  machine->AddPciFunction({1, 0, 0}, 0x15728086);
  machine->Activate();
  uint64_t done = 0;
  for (auto _ : state) {
    benchmark::DoNotOptimize(access(done));
    if (++done % 65536 == 0) {
      state.PauseTiming();
      machine = std::make_unique<sim::Machine>();
      machine->AddPciFunction({1, 0, 0}, 0x15728086);
      machine->Activate();
      state.ResumeTiming();
    }
  }
  state.SetItemsProcessed(static_cast<int64_t>(state.iterations()));
}

void BM_PortWrite(benchmark::State &state) {
  RunAccesses(state, [](uint64_t i) {
    HwIoWrite8(0x80, static_cast<UINT8>(i));
    return 0;
  });
}
BENCHMARK(BM_PortWrite);

void BM_RepeatedStatusRead(benchmark::State &state) {
  RunAccesses(state, [](uint64_t) { return HwIoRead8(0x3FD); });
}
BENCHMARK(BM_RepeatedStatusRead);

void BM_EcamRead(benchmark::State &state) {
  RunAccesses(state, [](uint64_t i) { return HwMmioRead32(0xE0100000 + 4 * (i % 16)); });
}
BENCHMARK(BM_EcamRead);

void BM_FrameWait(benchmark::State &state) {
  uint64_t iterations = 0;
  for (auto _ : state) {
    sim::Machine machine;
    machine.Activate();
    UINT64 start = HwReadTsc();
    do {
      HwPause();
      ++iterations;
    } while (HwReadTsc() <= start + 5000000000ull);  // 2.5 s at 2 GHz
  }
  state.counters["pauses_per_wait"] =
      static_cast<double>(iterations) / static_cast<double>(state.iterations());
}
BENCHMARK(BM_FrameWait);

}  // namespace
