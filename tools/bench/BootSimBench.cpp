// Wall time of boardhook-sim's boot of the reference board, from the built
// images and from the host build of the sources (--from-source), in one run:
// the whole boot (PEI runner under qemu-i386, DXE phase in a forked child)
// and each phase alone. Needs the host32 tree's PEI runner and the images.
// Run: build/host64/tools/bench/boardhook_sim_bench
#include <benchmark/benchmark.h>

#include <filesystem>
#include <fstream>

#include "Batch.h"
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

// A CI job's batch: 100 boards of the reference board's size in one run,
// with one PEI runner per worker process. Argument: worker processes.
void HundredBoardBatch(benchmark::State &state) {
  const std::string directory = std::filesystem::temp_directory_path() / "boardhook-sim-bench";
  std::filesystem::create_directories(directory);
  std::vector<std::string> sources;
  const std::string_view text = ReferenceBoardText();
  for (int index = 0; index < 100; index++) {
    const std::string path = directory + "/board-" + std::to_string(index) + ".toml";
    std::ofstream(path) << text;
    sources.push_back(path);
  }
  BootOptions options;
  options.runner = DefaultPeiRunnerSetup();
  options.firmware.pei = ReadImage(DefaultImageDirectory() + "/BoardHookPei.efi");
  options.firmware.dxe = ReadImage(DefaultImageDirectory() + "/BoardHookDxe.efi");
  for (auto _ : state) {
    benchmark::DoNotOptimize(RunBatch(sources, "", options, static_cast<unsigned>(state.range(0))));
  }
  std::filesystem::remove_all(directory);
}
BENCHMARK(HundredBoardBatch)
    ->ArgName("jobs")
    ->Arg(1)
    ->Arg(2)
    ->Unit(benchmark::kMillisecond)
    ->Iterations(1);

// One PEI job in a runner that is already running (a batch's cost per board).
void PeiJobInSession(benchmark::State &state) {
  const Board board = LoadReferenceBoard();
  PeiJob job = MakePeiJob(board, {}, false);
  job.image = DefaultImageDirectory() + "/BoardHookPei.efi";
  PeiRunnerSession session(DefaultPeiRunnerSetup());
  for (auto _ : state) {
    benchmark::DoNotOptimize(session.Run(job));
  }
}
BENCHMARK(PeiJobInSession)->Unit(benchmark::kMillisecond);
