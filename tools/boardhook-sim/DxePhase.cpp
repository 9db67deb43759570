#include "DxePhase.h"

#include "DxeReport.h"
#include "DxeScenario.h"
#include "DxeSetup.h"
#include "Subprocess.h"

namespace bootsim {

Json RunDxePhase(const DxeInput &input) {
  DxeSetup setup(input);
  const DxeEvents events = RunDxeScenario(setup);
  return DxePhaseRecord(setup, events, input.trace);
}

Json RunDxePhaseIsolated(const DxeInput &input) {
  const ChildResult result = RunForked([&] { return RunDxePhase(input).dump(); });
  if (!result.Succeeded()) {
    throw SimulatorError("the DXE phase failed (" + result.EndText() + "): " + result.err);
  }
  try {
    return Json::parse(result.out);
  } catch (const std::exception &error) {
    throw SimulatorError(std::string("the DXE phase's record is unreadable: ") + error.what());
  }
}

}  // namespace bootsim
