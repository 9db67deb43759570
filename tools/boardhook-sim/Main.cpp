// boardhook-sim: boots a described board on the simulated platform with the
// real BoardHookPei and BoardHookDxe code and reports what the firmware did.
#include <CLI/CLI.hpp>
#include <cstdio>
#include <iostream>
#include <optional>
#include <string_view>

#include "Board.h"
#include "BoardFile.h"
#include "Boot.h"
#include "Images.h"
#include "PeiPhase.h"
#include "Report.h"
#include "sim/loader/PeImage.h"
#include "Subprocess.h"

namespace {

// The PEI module as it is stored in flash: the terse (TE) form of its image.
constexpr const char *kPeiImage = "BoardHookPei.te";
constexpr const char *kDxeImage = "BoardHookDxe.efi";
constexpr const char *kDxeDebugPrintImage = "BoardHookDxeDebugPrint.efi";

// An image the user named that cannot be booted: bad input.
class BadImage : public std::runtime_error {
 public:
  using std::runtime_error::runtime_error;
};

// Reads and checks what the boot will run before any phase starts, so a
// wrong file ends with a message of its own: bad input when the user named
// it, a simulator failure when the built image is missing or broken.
// The PEI phase loads a TE image as well as a PE32 one; the DXE phase only PE.
std::optional<bootsim::ImageFile> ChooseImage(bool fromSource, const std::string &named,
                                              const char *builtName, uint16_t machine,
                                              bool terseToo) {
  if (fromSource) return std::nullopt;
  const std::string path =
      named.empty() ? bootsim::DefaultImageDirectory() + "/" + builtName : named;
  try {
    bootsim::ImageFile image = bootsim::ReadImage(path);
    if (terseToo) {
      sim::ParseImage(image.bytes, machine, sim::kSubsystemEfiBootServiceDriver);
    } else {
      sim::ParsePeImage(image.bytes, machine, sim::kSubsystemEfiBootServiceDriver);
    }
    return image;
  } catch (const std::runtime_error &error) {
    std::string message = error.what();
    if (message.rfind(path, 0) != 0) message = path + ": " + message;
    if (!named.empty()) throw BadImage(message);
    throw bootsim::SimulatorError(message +
                                  " (the images are built with the tool: scripts/build "
                                  "host64; --from-source boots the host build)");
  }
}

}  // namespace

int main(int argc, char **argv) {
  using namespace bootsim;
  CLI::App app{
      "Boots a described board on the simulated platform with the shipped firmware images and "
      "reports what the firmware did: BoardHookPei.te (the PEI module's TE image) as 32-bit code "
      "in the PEI runner, "
      "BoardHookDxe.efi on an emulated x86-64 processor, meeting only through the configuration "
      "database.\n\n"
      "Exit status: 0 the boot reached ReadyToBoot; 1 it ended in a fatal-error trap, a reset "
      "loop or a hang; 2 bad input (file, TOML, key, value, topology, options); 3 the simulator "
      "could not run (e.g. the PEI runner or an image is missing, or the image did what the "
      "simulated platform cannot carry out).",
      "boardhook-sim"};
  std::string boardFile;
  bool json = false, trace = false, check = false, printReference = false, debugPrint = false;
  bool fromSource = false;
  std::string peiImage, dxeImage;
  BootOptions options;
  options.runner = DefaultPeiRunnerSetup();
  app.add_option("board", boardFile,
                 "Board description (TOML, see docs/board-format.md); without it the built-in "
                 "reference board boots");
  app.add_flag("--json", json, "Print the report as one JSON document instead of text");
  app.add_flag("--trace", trace,
               "Add the full hardware-access trace of every phase (and the PEI service calls)");
  app.add_option("--max-resets", options.maxResets,
                 "Resets in a row before the boot counts as a reset loop")
      ->capture_default_str()
      ->check(CLI::Range(0u, 1000u));
  app.add_option("--pei-runner", options.runner.runner,
                 "The 32-bit PEI runner (environment: BOARDHOOK_PEI_RUNNER)")
      ->capture_default_str();
  app.add_option("--qemu", options.runner.qemu,
                 "The emulator that starts the runner, empty to start it directly (environment: "
                 "BOARDHOOK_QEMU_I386)")
      ->capture_default_str();
  app.add_flag("--debug-print", debugPrint,
               "Boot BoardHookDxeDebugPrint.efi, the DXE driver built with DebugPrintEnable 1 "
               "(everything else as shipped), to see the debug text it would send on each "
               "back-end");
  auto *peiOption = app.add_option("--pei-image", peiImage,
                                   "Boot this PEI module image (TE or PE32, IA-32) instead of the "
                                   "built BoardHookPei.te");
  auto *dxeOption = app.add_option("--dxe-image", dxeImage,
                                   "Boot this DXE driver image (PE32+, x64) instead of the "
                                   "built BoardHookDxe.efi");
  app.add_flag("--from-source", fromSource,
               "Boot the host build of the sources linked into the tool instead of the images "
               "(for sanitizer runs and comparison)")
      ->excludes(peiOption)
      ->excludes(dxeOption);
  app.add_flag("--check", check, "Only read and check the description; exit 0 or 2");
  app.add_flag("--print-reference-board", printReference,
               "Print the built-in reference board's description and exit");

  try {
    app.parse(argc, argv);
  } catch (const CLI::CallForHelp &error) {
    return app.exit(error);
  } catch (const CLI::ParseError &error) {
    app.exit(error);
    return kExitBadInput;
  }
  options.trace = trace;
  if (debugPrint && fromSource) {
    std::fprintf(stderr,
                 "boardhook-sim: --debug-print boots the debug-print image; the host build "
                 "linked into the tool is the shipped build only\n");
    return kExitBadInput;
  }

  if (printReference) {
    const std::string_view text = ReferenceBoardText();
    std::fwrite(text.data(), 1, text.size(), stdout);
    return 0;
  }

  Board board;
  try {
    board = boardFile.empty() ? LoadReferenceBoard() : LoadBoardFile(boardFile);
  } catch (const BoardError &error) {
    std::fprintf(stderr, "boardhook-sim: %s\n", error.what());
    return kExitBadInput;
  }
  if (check) {
    std::printf("%s: the description is sound\n", board.source.c_str());
    return 0;
  }
  try {
    options.firmware.pei = ChooseImage(fromSource, peiImage, kPeiImage, sim::kMachineIa32, true);
    options.firmware.dxe =
        ChooseImage(fromSource, dxeImage, debugPrint ? kDxeDebugPrintImage : kDxeImage,
                    sim::kMachineX64, false);
  } catch (const BadImage &error) {
    std::fprintf(stderr, "boardhook-sim: %s\n", error.what());
    return kExitBadInput;
  } catch (const SimulatorError &error) {
    std::fprintf(stderr, "boardhook-sim: %s\n", error.what());
    return kExitSimulatorFailure;
  }
  options.dxeBuild = !dxeImage.empty() ? "user image" : debugPrint ? "debug-print" : "shipped";

  Json report;
  try {
    report = BootBoard(board, options);
  } catch (const SimulatorError &error) {
    std::fprintf(stderr, "boardhook-sim: %s\n", error.what());
    return kExitSimulatorFailure;
  }
  if (json) {
    std::cout << report.dump(2) << "\n";
  } else {
    std::cout << RenderText(report, trace);
  }
  std::cout.flush();
  return report.at("result").at("exit_code").get<int>();
}
