// The PEI phase's platform as a board describes it, around the module's
// entry: the platform's PPIs present before the module runs (each may be
// missing), the other modules' PPIs whose installation runs the module's
// callbacks, the order of events (the entry and each installation, one
// InstallPpi call per step, PPIs installed together in one list, a PPI
// installed again) and the PEI services that fail. Part of the 32-bit PEI
// runner.
#pragma once
#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "PeiJob.h"
#include "sim/platform/PeiPlatform.h"

namespace bootsim {

class PeiScenario {
 public:
  // Programs the platform's stand-ins and arms the service failures.
  PeiScenario(sim::PeiPlatform &platform, const PeiJob &job);

  // Installs the platform's PPIs (the configuration database first), then
  // runs the steps in order: `runEntry` at the entry's step, each
  // installation as one InstallPpi call.
  void Run(const std::function<void()> &runEntry);

  // The installations and what the stand-ins saw, into the record.
  void Record(PeiRecord &record) const;

 private:
  void *PpiOf(const std::string &name);
  const EFI_GUID &GuidOf(const std::string &name) const;

  sim::PeiPlatform &platform_;
  const PeiJob &job_;
  // Descriptor lists handed to InstallPpi; the database keeps pointing at them.
  std::vector<std::unique_ptr<EFI_PEI_PPI_DESCRIPTOR[]>> lists_;
  std::vector<std::string> before_, after_;
};

}  // namespace bootsim
