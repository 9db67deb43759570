// boardhook-pei-runner: the PEI phase of one simulated boot, as the 32-bit
// program the PEI module is built for (host32 tree, started by boardhook-sim
// through qemu-i386). It reads a job (PeiJob.h) from stdin, runs
// BoardHookPei's entry on the simulated PEI foundation, installs the PPIs
// whose installation runs the module's callbacks in the order the board
// gives, and writes the record, with the configuration database in its
// hand-over form, to stdout.
#include <fcntl.h>
#include <unistd.h>

#include <cstdio>
#include <cstring>
#include <iostream>
#include <iterator>
#include <memory>
#include <string>

#include "BoardMachine.h"
#include "PeiJob.h"
#include "include/SetupVariable.h"
#include "pei/BoardHookPei.h"
#include "sim/core/EfiText.h"
#include "sim/core/FixedMemory.h"
#include "sim/loader/PeImage.h"
#include "sim/machine/Machine.h"
#include "sim/pcd/PcdDatabase.h"
#include "sim/pei/PeiFoundation.h"
#include "sim/pei/PeiStandIns.h"
#include "uefi/Pcd.h"

namespace bootsim {
namespace {

class RunnerError : public std::runtime_error {
 public:
  using std::runtime_error::runtime_error;
};

// The PEI module's image (PE32 or TE) as the PEI dispatcher leaves it:
// checked, placed at its fixed address, relocated. Either form puts the code
// at the same addresses: offset 0 of the image at kPeiImageBase, a TE header
// where the PE headers it replaced ended. Its code runs as this process's
// own.
class PeiImage {
 public:
  explicit PeiImage(const std::string &path)
      : file_(sim::ReadImageFile(path)),
        image_(sim::ParseImage(file_, sim::kMachineIa32, sim::kSubsystemEfiBootServiceDriver)),
        memory_(sim::kPeiImageBase, (image_.sizeOfImage + 0xFFFu) & ~0xFFFu, true) {
    sim::LoadPeImage(image_, file_, memory_.Base(), memory_.Address());
  }
  EFI_PEIM_ENTRY_POINT2 Entry() const {
    return reinterpret_cast<EFI_PEIM_ENTRY_POINT2>(
        static_cast<uintptr_t>(memory_.Address() + image_.entryRva));
  }
  uint32_t Address() const { return static_cast<uint32_t>(memory_.Address()); }

 private:
  std::vector<uint8_t> file_;
  sim::PeImage image_;
  sim::FixedMemory memory_;
};

// The image reads its services pointer with a real SIDT from the word below
// the IDT base; under qemu-i386 that word lies in memory of the emulator's
// that this process may write.
void PlaceServicesPointerBelowIdt(uintptr_t servicesPointer) {
  struct __attribute__((packed)) {
    uint16_t limit;
    uintptr_t base;
  } idt = {};
  __asm__ __volatile__("sidt %0" : "=m"(idt));
  auto *word = reinterpret_cast<uintptr_t *>(idt.base - sizeof(uintptr_t));
  const int zero = open("/dev/zero", O_RDONLY);
  const bool writable = zero >= 0 && read(zero, word, sizeof *word) == sizeof *word;
  if (zero >= 0) close(zero);
  if (!writable) {
    char text[160];
    std::snprintf(text, sizeof text,
                  "the word below the IDT base (0x%lX) cannot be written here; run the runner "
                  "under qemu-i386",
                  static_cast<unsigned long>(idt.base));
    throw RunnerError(text);
  }
  *word = servicesPointer;
}

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
    pcd.Declare(token.token, token.size, token.value);
  }

  sim::PeiFoundation pei(clock);
  machine.SetIdtBase(pei.IdtBase());

  // The platform's PPIs that are there before the module runs.
  sim::StallPpiStandIn stall(pei);
  sim::ReadOnlyVariablePpiStandIn variables(pei);
  if (job.setupVariable.present) {
    variables.SetVariable(u"Setup", gSetupVariableGuid, job.setupVariable.data);
  }
  sim::BmcIpmiPpiStandIn bmc(pei);
  if (job.bmc.answerAfter) {
    bmc.AnswerAfter(*job.bmc.answerAfter, job.bmc.responseLength);
  } else {
    bmc.NeverAnswer();
  }
  bmc.SetFailureStatus(sim::StatusFrom64(job.bmc.failureStatus));

  // The PPIs whose installation runs the module's callbacks.
  sim::SmbusPpiStandIn smbus(pei);
  smbus.SetInputByte(kSmbusIdInput1, job.smbus.idByte1);
  smbus.SetInputByte(kSmbusIdInput2, job.smbus.idByte2);
  for (uint8_t address : job.smbus.absent) smbus.RemoveDevice(address);
  for (const SmbusFailure &failure : job.smbus.failures) {
    sim::FaultPlan &plan =
        smbus.Faults(failure.address, failure.write ? EfiSmbusWriteByte : EfiSmbusReadByte);
    const EFI_STATUS status = sim::StatusFrom64(failure.status);
    if (failure.call == 0) {
      plan.FailEvery(status);
    } else {
      plan.FailNth(failure.call, status);
    }
  }
  sim::I2cTablePpiStandIn i2cTable(pei);
  sim::I2cApplyPpiStandIn i2cApply(pei);

  std::unique_ptr<PeiImage> image;
  if (!job.image.empty()) {
    image = std::make_unique<PeiImage>(job.image);
    PlaceServicesPointerBelowIdt(
        *reinterpret_cast<const uintptr_t *>(pei.IdtBase() - sizeof(uintptr_t)));
  }

  PeiRecord record;
  const sim::RunOutcome outcome = machine.Run([&] {
    pei.InstallPpi(gPcdPpiGuid, pcd.Ppi());
    stall.Install();
    variables.Install();
    if (job.bmc.present) bmc.Install();
    record.entryStatus =
        sim::StatusTo64(pei.RunModule(image ? image->Entry() : BoardHookPeiEntryPoint));
    record.entryRan = true;
    for (const std::string &name : job.installs) {
      if (name == "smbus") {
        smbus.Install();
      } else if (name == "i2c-table") {
        i2cTable.Install();
      } else if (name == "i2c-apply") {
        i2cApply.Install();
      }
      record.installed.push_back(name);
    }
  });

  record.handOver = pcd.Serialize();
  record.outcome = Summarize(outcome);
  record.services = pei.Trace();
  for (const sim::SmbusPpiStandIn::Call &call : smbus.Calls()) {
    std::string operation = call.Operation == EfiSmbusReadByte    ? "read"
                            : call.Operation == EfiSmbusWriteByte ? "write"
                                                                  : std::to_string(call.Operation);
    record.smbus.push_back({call.Address, operation, call.Data, sim::StatusTo64(call.Status)});
  }
  for (const sim::BmcIpmiPpiStandIn::Call &call : bmc.Calls()) {
    record.bmc.push_back({call.NetFunction, call.Command, call.Request, call.ResponseLength,
                          sim::StatusTo64(call.Status)});
  }
  for (UINTN microseconds : stall.Calls()) record.stalls.push_back(microseconds);
  record.stalledMicroseconds = clock.StalledMicroseconds();
  record.i2cConfigureCalls = static_cast<uint32_t>(i2cTable.ConfigureCalls().size());
  record.i2cFillCalls = static_cast<uint32_t>(i2cTable.FillCalls().size());
  for (const sim::I2cApplyPpiStandIn::Call &call : i2cApply.Calls()) {
    record.i2cApplies.push_back({static_cast<uint32_t>(call.SlaveAddress),
                                 static_cast<uint32_t>(call.Channel),
                                 static_cast<uint32_t>(call.EntryCount),
                                 {call.Contents.begin(), call.Contents.end()}});
  }
  record.timeNs = clock.NowNanoseconds();
  record.accessCounts = AccessCounts(machine.Trace());
  if (image) {
    record.loadAddress = image->Address();
    // The image's SIDT is a real instruction of this process.
    const char *kind = sim::AccessKindName(sim::AccessKind::IdtBaseRead);
    record.accessCounts.erase(kind);
    record.unobserved[kind] = "the PEI image reads the IDT base with a real SIDT instruction";
  }
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
  std::string output;
  try {
    output = ToJson(RunPei(job)).dump();
  } catch (const sim::ImageError &error) {
    std::fprintf(stderr, "boardhook-pei-runner: the image %s: %s\n", job.image.c_str(),
                 error.what());
    return 3;
  } catch (const std::runtime_error &error) {
    std::fprintf(stderr, "boardhook-pei-runner: %s\n", error.what());
    return 3;
  }
  std::fwrite(output.data(), 1, output.size(), stdout);
  return std::fflush(stdout) == 0 ? 0 : 3;
}
