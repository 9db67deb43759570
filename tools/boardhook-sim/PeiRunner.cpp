// boardhook-pei-runner: the PEI phase of one simulated boot, as the 32-bit
// program the PEI module is built for (host32 tree, started by boardhook-sim
// through qemu-i386). It reads a job (PeiJob.h) from stdin, runs
// BoardHookPei's entry on the simulated PEI foundation among the PPI
// installations, in the order the board gives (PeiScenario.h), and writes
// the record, with the configuration database in its hand-over form, to
// stdout.
#include <cstdio>
#include <iostream>
#include <iterator>
#include <string>

#include "BoardMachine.h"
#include "PeiJob.h"
#include "PeiScenario.h"
#include "pei/BoardHookPei.h"
#include "sim/core/EfiText.h"
#include "sim/machine/Machine.h"
#include "sim/pcd/PcdDatabase.h"
#include "sim/pei/PeiFoundation.h"

namespace bootsim {
namespace {

PeiRecord RunPei(const PeiJob &job) {
  sim::SimClock clock;
  sim::Machine machine(&clock);
  DescribeProcessor(machine, job.cpu);
  for (size_t index = 0; index < job.cmos.size(); index++) {
    machine.Cmos().Set(static_cast<uint8_t>(index), job.cmos[index]);
  }

  // The database as the build left it, before any module ran.
  sim::PcdDatabase pcd;
  pcd.SetPhase("PEI");
  pcd.DeclareSystemTokens();
  for (const TokenDeclaration &token : job.tokens) {
    if (token.size == 0) {
      pcd.Undeclare(token.token);
    } else {
      pcd.Declare(token.token, token.size, token.value);
    }
  }

  sim::PeiFoundation pei(clock);
  machine.SetIdtBase(pei.IdtBase());

  // The platform's and the other modules' PPIs, the order of events and the
  // services that fail, as the board describes them.
  PeiScenario scenario(pei, job);

  PeiRecord record;
  auto runEntry = [&] {
    record.entryStatus = sim::StatusTo64(pei.RunModule(BoardHookPeiEntryPoint));
    record.entryRan = true;
  };
  const sim::RunOutcome outcome = machine.Run([&] { scenario.Run(pcd.Ppi(), runEntry); });

  record.handOver = pcd.Serialize();
  record.outcome = Summarize(outcome);
  record.services = pei.Trace();
  scenario.Record(record);
  record.stalledMicroseconds = clock.StalledMicroseconds();
  record.timeNs = clock.NowNanoseconds();
  record.accessCounts = AccessCounts(machine.Trace());
  if (job.trace) record.trace = TraceRecords(machine.Trace());
  for (size_t index = 0; index < record.cmos.size(); index++) {
    record.cmos[index] = machine.Cmos().Get(static_cast<uint8_t>(index));
  }
  return record;
}

}  // namespace
}  // namespace bootsim

int main() {
  using namespace bootsim;
  const std::string input{std::istreambuf_iterator<char>(std::cin),
                          std::istreambuf_iterator<char>()};
  PeiJob job;
  try {
    job = PeiJobFromJson(Json::parse(input));
  } catch (const std::exception &error) {
    std::fprintf(stderr, "boardhook-pei-runner: bad job on stdin: %s\n", error.what());
    return 2;
  }
  const std::string output = ToJson(RunPei(job)).dump();
  std::fwrite(output.data(), 1, output.size(), stdout);
  return std::fflush(stdout) == 0 ? 0 : 3;
}
