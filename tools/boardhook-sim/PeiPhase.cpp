#include "PeiPhase.h"

#include <unistd.h>

#include <cstdlib>

#include "Subprocess.h"

namespace bootsim {

PeiRunnerSetup DefaultPeiRunnerSetup() {
  PeiRunnerSetup setup{BOARDHOOK_PEI_RUNNER_PATH, BOARDHOOK_QEMU_I386_PATH};
  if (const char *runner = std::getenv("BOARDHOOK_PEI_RUNNER")) setup.runner = runner;
  if (const char *qemu = std::getenv("BOARDHOOK_QEMU_I386")) setup.qemu = qemu;
  return setup;
}

PeiJob MakePeiJob(const Board &board, const std::array<uint8_t, 128> &cmos, bool trace) {
  PeiJob job;
  // The database as the build leaves it: the board's defaults and the
  // root-port locations; every other token of the system starts at 0.
  for (const PcdDefault &entry : board.pcd) {
    job.tokens.push_back({entry.token, entry.size, entry.value});
  }
  for (const RootPortDescription &port : board.rootPorts) {
    job.tokens.push_back(
        {static_cast<uint32_t>(PCD_ROOT_PORT_LOCATION_TOKENS[port.port - 1]), 4, port.location});
  }
  job.smbus = board.smbus;
  job.bmc = board.bmc;
  job.setupVariable = board.setupVariable;
  job.pcdPpi = board.modules.pcdPpi;
  job.stallPpi = board.modules.stallPpi;
  job.readOnlyVariablePpi = board.modules.readOnlyVariablePpi;
  job.sequence = board.modules.peiSequence;
  job.failures = board.peiFailures;
  job.cpu = board.cpu;
  job.cmos = cmos;
  job.trace = trace;
  return job;
}

namespace {

std::vector<std::string> RunnerCommand(const PeiRunnerSetup &setup) {
  if (access(setup.runner.c_str(), X_OK) != 0) {
    throw SimulatorError("the PEI runner " + setup.runner +
                         " is missing; build the host32 tree (scripts/build host32) or name "
                         "another with --pei-runner or BOARDHOOK_PEI_RUNNER");
  }
  std::vector<std::string> argv;
  if (!setup.qemu.empty()) argv.push_back(setup.qemu);
  argv.push_back(setup.runner);
  return argv;
}

PeiRecord ReadRecord(const std::string &text) {
  Json answer;
  try {
    answer = Json::parse(text);
  } catch (const std::exception &error) {
    throw SimulatorError(std::string("the PEI runner's record is unreadable: ") + error.what());
  }
  if (answer.contains("error")) {
    throw SimulatorError("the PEI runner failed: " + answer.at("error").get<std::string>());
  }
  try {
    return PeiRecordFromJson(answer);
  } catch (const std::exception &error) {
    throw SimulatorError(std::string("the PEI runner's record is unreadable: ") + error.what());
  }
}

}  // namespace

PeiRunnerSession::PeiRunnerSession(const PeiRunnerSetup &setup) : command_(RunnerCommand(setup)) {
  command_.push_back("--serve");
  server_ = std::make_unique<LineServer>(command_);
}

PeiRunnerSession::~PeiRunnerSession() = default;

PeiRecord PeiRunnerSession::Run(const PeiJob &job) {
  std::string answer;
  try {
    answer = server_->Exchange(ToJson(job).dump());
  } catch (const SimulatorError &) {
    // The runner died with this job (an image job runs in the runner
    // itself): the job fails, the next one gets a fresh runner.
    server_.reset();
    server_ = std::make_unique<LineServer>(command_);
    throw;
  }
  return ReadRecord(answer);
}

PeiRecord RunPeiPhase(const PeiRunnerSetup &setup, const PeiJob &job) {
  const std::vector<std::string> argv = RunnerCommand(setup);
  const ChildResult result = RunProgram(argv, ToJson(job).dump());
  if (!result.Succeeded()) {
    throw SimulatorError("the PEI runner failed (" + result.EndText() + "): " + result.err);
  }
  try {
    return PeiRecordFromJson(Json::parse(result.out));
  } catch (const std::exception &error) {
    throw SimulatorError(std::string("the PEI runner's record is unreadable: ") + error.what());
  }
}

}  // namespace bootsim
