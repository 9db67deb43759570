// boardhook-pei-runner: the PEI phase of one simulated boot, as the 32-bit
// program the PEI module is built for (host32 tree, started by boardhook-sim
// through qemu-i386). It reads a job (PeiJob.h) from stdin, runs
// BoardHookPei's entry on the simulated PEI foundation among the PPI
// installations, in the order the board gives (PeiScenario.h), and writes
// the record, with the configuration database in its hand-over form, to
// stdout.
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
#include "Subprocess.h"
#include "PeiScenario.h"
#include "pei/BoardHookPei.h"
#include "sim/core/EfiText.h"
#include "sim/core/FixedMemory.h"
#include "sim/loader/PeImage.h"
#include "sim/platform/PeiPlatform.h"

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
  sim::PeiPlatform platform;
  sim::SimClock &clock = platform.clock;
  sim::Machine &machine = platform.machine;
  sim::PeiFoundation &pei = platform.pei;
  sim::PcdDatabase &pcd = platform.pcd;
  DescribeProcessor(machine, job.cpu);
  for (size_t index = 0; index < job.cmos.size(); index++) {
    machine.Cmos().Set(static_cast<uint8_t>(index), job.cmos[index]);
  }

  // The database as the build left it, before any module ran: the board's
  // tokens over the system's.
  for (const TokenDeclaration &token : job.tokens) {
    if (token.size == 0) {
      pcd.Undeclare(token.token);
    } else {
      pcd.Declare(token.token, token.size, token.value);
    }
  }

  // The platform's and the other modules' PPIs, the order of events and the
  // services that fail, as the board describes them.
  PeiScenario scenario(platform, job);

  std::unique_ptr<PeiImage> image;
  if (!job.image.empty()) {
    image = std::make_unique<PeiImage>(job.image);
    PlaceServicesPointerBelowIdt(
        *reinterpret_cast<const uintptr_t *>(pei.IdtBase() - sizeof(uintptr_t)));
  }

  PeiRecord record;
  auto runEntry = [&] {
    record.entryStatus =
        sim::StatusTo64(pei.RunModule(image ? image->Entry() : BoardHookPeiEntryPoint));
    record.entryRan = true;
  };
  const sim::RunOutcome outcome = machine.Run([&] { scenario.Run(runEntry); });

  record.handOver = pcd.Serialize();
  record.outcome = Summarize(outcome);
  record.services = pei.Trace();
  for (const sim::PeiCall &call : pei.Calls()) {
    PeiCallRecord typed{
        sim::PeiServiceName(call.service), {}, call.argument, std::nullopt, call.parent, call.text};
    for (const EFI_GUID &guid : call.ppis) typed.ppis.push_back(pei.GuidName(guid));
    if (call.status) typed.status = sim::StatusTo64(*call.status);
    record.calls.push_back(std::move(typed));
  }
  scenario.Record(record);
  record.stalledMicroseconds = clock.StalledMicroseconds();
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

namespace bootsim {
namespace {

// Runs one job; the record, or what kept it from running as
// {"error": text, "exit": status}.
Json RunJob(const std::string &text) {
  PeiJob job;
  try {
    job = PeiJobFromJson(Json::parse(text));
  } catch (const std::exception &error) {
    return {{"error", std::string("bad job: ") + error.what()}, {"exit", 2}};
  }
  try {
    return ToJson(RunPei(job));
  } catch (const sim::ImageError &error) {
    return {{"error", "the image " + job.image + ": " + error.what()}, {"exit", 3}};
  } catch (const std::runtime_error &error) {
    return {{"error", error.what()}, {"exit", 3}};
  }
}

// Whether a job boots an image: the image is loaded afresh for every job,
// so its data starts as loaded without a process of its own. The host
// build's module data lives in this process and would carry over.
bool BootsImage(const std::string &text) {
  try {
    return !Json::parse(text).value("image", std::string()).empty();
  } catch (const std::exception &) {
    return false;
  }
}

// Runs a job of the host build in a child of its own, so the module's data
// starts as loaded every time, and a job that crashes is reported.
std::string RunJobInChild(const std::string &line) {
  const ChildResult result = RunForked([&] { return RunJob(line).dump(); });
  if (!result.Succeeded() || result.out.empty()) {
    return Json{{"error", "the PEI phase ended with " + result.EndText()}, {"exit", 3}}.dump();
  }
  return result.out;
}

// Serves a batch: a job per line on stdin, its answer as one line on stdout.
int Serve() {
  std::string line;
  while (std::getline(std::cin, line)) {
    const std::string answer = BootsImage(line) ? RunJob(line).dump() : RunJobInChild(line);
    std::cout << answer << '\n' << std::flush;
  }
  return 0;
}

}  // namespace
}  // namespace bootsim

// Without arguments: one job on stdin, its record on stdout. With --serve:
// a job per line, an answer per line, until stdin ends.
int main(int argc, char **argv) {
  using namespace bootsim;
  if (argc == 2 && std::string(argv[1]) == "--serve") return Serve();
  const std::string input{std::istreambuf_iterator<char>(std::cin),
                          std::istreambuf_iterator<char>()};
  const Json answer = RunJob(input);
  if (answer.contains("error")) {
    std::fprintf(stderr, "boardhook-pei-runner: %s\n",
                 answer.at("error").get<std::string>().c_str());
    return answer.at("exit").get<int>();
  }
  const std::string output = answer.dump();
  std::fwrite(output.data(), 1, output.size(), stdout);
  return std::fflush(stdout) == 0 ? 0 : 3;
}
