// Wall time of boardhook-sim's boot of the reference board: the whole boot
// (PEI runner under qemu-i386, DXE phase in a forked child), and each phase
// alone. Needs the host32 tree's PEI runner.
// Run: build/host64/tools/bench/boardhook_sim_bench
#include <benchmark/benchmark.h>

#include "BoardFile.h"
#include "Boot.h"
#include "DxePhase.h"
#include "PeiPhase.h"

namespace {

using namespace bootsim;

void ReferenceBoardBoot(benchmark::State &state) {
  const Board board = LoadReferenceBoard();
  BootOptions options;
  options.runner = DefaultPeiRunnerSetup();
  for (auto _ : state) {
    benchmark::DoNotOptimize(BootBoard(board, options));
  }
}
BENCHMARK(ReferenceBoardBoot)->Unit(benchmark::kMillisecond);

void PeiPhase(benchmark::State &state) {
  const Board board = LoadReferenceBoard();
  const PeiJob job = MakePeiJob(board, {}, false);
  for (auto _ : state) {
    benchmark::DoNotOptimize(RunPeiPhase(DefaultPeiRunnerSetup(), job));
  }
}
BENCHMARK(PeiPhase)->Unit(benchmark::kMillisecond);

void DxePhaseForked(benchmark::State &state) {
  const Board board = LoadReferenceBoard();
  DxeInput input;
  input.board = &board;
  input.handOver = RunPeiPhase(DefaultPeiRunnerSetup(), MakePeiJob(board, {}, false)).handOver;
  for (auto _ : state) {
    benchmark::DoNotOptimize(RunDxePhaseIsolated(input));
  }
}
BENCHMARK(DxePhaseForked)->Unit(benchmark::kMillisecond);

}  // namespace
