// Wall time of boardhook-sim's boot of the reference board, from the built
// images and from the host build of the sources (--from-source), in one run:
// the whole boot (PEI runner under qemu-i386, DXE phase in a forked child)
// and each phase alone. Needs the host32 tree's PEI runner and the images.
// Run: build/host64/tools/bench/boardhook_sim_bench
#include <benchmark/benchmark.h>

#include "BoardFile.h"
#include "Boot.h"
#include "DxePhase.h"
#include "PeiPhase.h"

namespace {

using namespace bootsim;

// Argument 1: the images; 0: the host build.
FirmwareChoice Firmware(const benchmark::State &state) {
  FirmwareChoice firmware;
  if (state.range(0) == 1) {
    firmware.pei = ReadImage(DefaultImageDirectory() + "/BoardHookPei.efi");
    firmware.dxe = ReadImage(DefaultImageDirectory() + "/BoardHookDxe.efi");
  }
  return firmware;
}

void ReferenceBoardBoot(benchmark::State &state) {
  const Board board = LoadReferenceBoard();
  BootOptions options;
  options.runner = DefaultPeiRunnerSetup();
  options.firmware = Firmware(state);
  for (auto _ : state) {
    benchmark::DoNotOptimize(BootBoard(board, options));
  }
}
BENCHMARK(ReferenceBoardBoot)->ArgName("images")->Arg(1)->Arg(0)->Unit(benchmark::kMillisecond);

void PeiPhase(benchmark::State &state) {
  const Board board = LoadReferenceBoard();
  PeiJob job = MakePeiJob(board, {}, false);
  const FirmwareChoice firmware = Firmware(state);
  if (firmware.pei) job.image = firmware.pei->path;
  for (auto _ : state) {
    benchmark::DoNotOptimize(RunPeiPhase(DefaultPeiRunnerSetup(), job));
  }
}
BENCHMARK(PeiPhase)->ArgName("images")->Arg(1)->Arg(0)->Unit(benchmark::kMillisecond);

void DxePhaseForked(benchmark::State &state) {
  const Board board = LoadReferenceBoard();
  const FirmwareChoice firmware = Firmware(state);
  DxeInput input;
  input.board = &board;
  input.handOver = RunPeiPhase(DefaultPeiRunnerSetup(), MakePeiJob(board, {}, false)).handOver;
  input.image = firmware.dxe ? &*firmware.dxe : nullptr;
  for (auto _ : state) {
    benchmark::DoNotOptimize(RunDxePhaseIsolated(input));
  }
}
BENCHMARK(DxePhaseForked)->ArgName("images")->Arg(1)->Arg(0)->Unit(benchmark::kMillisecond);

}  // namespace
