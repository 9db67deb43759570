#include "PeiScenario.h"

#include "include/SetupVariable.h"
#include "sim/core/EfiText.h"
#include "uefi/Pcd.h"

namespace bootsim {

namespace {

std::string StepText(const PeiStep &step) {
  std::string text;
  for (const std::string &name : step) text += (text.empty() ? "" : " + ") + name;
  return text;
}

}  // namespace

PeiScenario::PeiScenario(sim::PeiPlatform &platform, const PeiJob &job)
    : platform_(platform), job_(job) {
  sim::PeiFoundation &pei = platform.pei;
  sim::BmcIpmiPpiStandIn &bmc = platform.bmc;
  sim::SmbusPpiStandIn &smbus = platform.smbus;
  if (job.setupVariable.present) {
    platform.variables.SetVariable(u"Setup", gSetupVariableGuid, job.setupVariable.data);
  }

  if (!job.bmc.attempts.empty()) {
    std::vector<sim::BmcIpmiPpiStandIn::Answer> script;
    for (const BmcAttempt &attempt : job.bmc.attempts) {
      script.push_back(
          {sim::StatusFrom64(attempt.status), attempt.responseLength, attempt.lengthWritten});
    }
    bmc.SetScript(std::move(script));
  } else if (job.bmc.answerAfter) {
    bmc.AnswerAfter(*job.bmc.answerAfter, job.bmc.responseLength);
  } else {
    bmc.NeverAnswer();
  }
  bmc.SetFailureStatus(sim::StatusFrom64(job.bmc.failureStatus));

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

  // The services count calls from the start of the phase; only the module
  // calls them.
  for (const PeiServiceFailure &failure : job.failures) {
    sim::FaultPlan &plan = failure.service == "NotifyPpi"      ? pei.NotifyPpiFaults()
                           : failure.service == "AllocatePool" ? pei.AllocatePoolFaults()
                           : failure.ppi.empty()               ? pei.LocatePpiFaults()
                                                 : pei.LocatePpiFaults(GuidOf(failure.ppi));
    const EFI_STATUS status = sim::StatusFrom64(failure.status);
    if (failure.call == 0) {
      plan.FailEvery(status);
    } else {
      plan.FailNth(failure.call, status);
    }
  }
}

const EFI_GUID &PeiScenario::GuidOf(const std::string &name) const {
  if (name == "pcd") return gPcdPpiGuid;
  if (name == "stall") return gEfiPeiStallPpiGuid;
  if (name == "read-only-variable") return gEfiPeiReadOnlyVariable2PpiGuid;
  if (name == "bmc") return gBmcIpmiPpiGuid;
  if (name == "smbus") return gEfiPeiSmbus2PpiGuid;
  if (name == "i2c-table") return gI2cTablePpiGuid;
  return gI2cApplyPpiGuid;
}

void *PeiScenario::PpiOf(const std::string &name) {
  if (name == "pcd") return platform_.pcd.Ppi();
  if (name == "stall") return platform_.stall.Ppi();
  if (name == "read-only-variable") return platform_.variables.Ppi();
  if (name == "bmc") return platform_.bmc.Ppi();
  if (name == "smbus") return platform_.smbus.Ppi();
  if (name == "i2c-table") return platform_.i2cTable.Ppi();
  return platform_.i2cApply.Ppi();
}

void PeiScenario::Run(const std::function<void()> &runEntry) {
  std::vector<PeiStep> steps;
  PeiStep platform;
  if (job_.pcdPpi) platform.push_back("pcd");
  if (job_.stallPpi) platform.push_back("stall");
  if (job_.readOnlyVariablePpi) platform.push_back("read-only-variable");
  if (job_.bmc.present) platform.push_back("bmc");
  // The platform's PPIs one by one, as before any module ran.
  for (const std::string &name : platform) steps.push_back({name});
  const size_t platformSteps = steps.size();
  steps.insert(steps.end(), job_.sequence.begin(), job_.sequence.end());

  bool entryRan = false;
  for (size_t index = 0; index < steps.size(); index++) {
    const PeiStep &step = steps[index];
    if (step.size() == 1 && step[0] == kPeiEntryStep) {
      runEntry();
      entryRan = true;
      continue;
    }
    auto list = std::make_unique<EFI_PEI_PPI_DESCRIPTOR[]>(step.size());
    for (size_t item = 0; item < step.size(); item++) {
      list[item].Flags = EFI_PEI_PPI_DESCRIPTOR_PPI |
                         (item + 1 == step.size() ? EFI_PEI_PPI_DESCRIPTOR_TERMINATE_LIST : 0);
      list[item].Guid = &GuidOf(step[item]);
      list[item].Ppi = PpiOf(step[item]);
    }
    const EFI_PEI_SERVICES **services = platform_.pei.Services();
    const EFI_PEI_PPI_DESCRIPTOR *installed = list.get();
    lists_.push_back(std::move(list));
    (*services)->InstallPpi(services, installed);
    if (index >= platformSteps) (entryRan ? after_ : before_).push_back(StepText(step));
  }
}

void PeiScenario::Record(PeiRecord &record) const {
  record.installedBefore = before_;
  record.installed = after_;
  for (const sim::SmbusPpiStandIn::Call &call : platform_.smbus.Calls()) {
    std::string operation = call.operation == EfiSmbusReadByte    ? "read"
                            : call.operation == EfiSmbusWriteByte ? "write"
                                                                  : std::to_string(call.operation);
    record.smbus.push_back({call.address, operation, call.data, sim::StatusTo64(call.status)});
  }
  for (const sim::BmcIpmiPpiStandIn::Call &call : platform_.bmc.Calls()) {
    record.bmc.push_back({call.netFunction, call.command, call.request, call.responseLength,
                          sim::StatusTo64(call.status)});
  }
  for (UINTN microseconds : platform_.stall.Calls()) record.stalls.push_back(microseconds);
  record.i2cConfigureCalls = static_cast<uint32_t>(platform_.i2cTable.ConfigureCalls().size());
  record.i2cFillCalls = static_cast<uint32_t>(platform_.i2cTable.FillCalls().size());
  for (const sim::I2cApplyPpiStandIn::Call &call : platform_.i2cApply.Calls()) {
    record.i2cApplies.push_back({static_cast<uint32_t>(call.slaveAddress),
                                 static_cast<uint32_t>(call.channel),
                                 static_cast<uint32_t>(call.entryCount),
                                 {call.contents.begin(), call.contents.end()}});
  }
}

}  // namespace bootsim
