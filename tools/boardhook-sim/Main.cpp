// boardhook-sim: boots a described board on the simulated platform with the
// real BoardHookPei and BoardHookDxe code and reports what the firmware did.
#include <unistd.h>

#include <CLI/CLI.hpp>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <iostream>
#include <string_view>
#include <vector>

#include "Board.h"
#include "BoardFile.h"
#include "Boot.h"
#include "PeiPhase.h"
#include "Report.h"
#include "Subprocess.h"

namespace {

constexpr const char *kDebugPrintProgram = "boardhook-sim-debug-print";
// Set for the debug-print build this program starts, so a path that names a
// shipped build again ends in an error instead of starting itself forever.
constexpr const char *kStartedForDebugPrint = "BOARDHOOK_SIM_STARTED_FOR_DEBUG_PRINT";

bool IsDebugPrintBuild() { return std::string_view(bootsim::DxeBuildName()) == "debug-print"; }

// The debug-print build of the tool: BOARDHOOK_SIM_DEBUG_PRINT, else the
// program of that name beside this one.
std::string DefaultDebugPrintBuild(const char *argv0) {
  if (const char *path = std::getenv("BOARDHOOK_SIM_DEBUG_PRINT")) return path;
  std::error_code error;
  std::filesystem::path self = std::filesystem::read_symlink("/proc/self/exe", error);
  if (error) self = argv0;
  return (self.parent_path() / kDebugPrintProgram).string();
}

// Replaces this process by the debug-print build with the same arguments;
// returns only when it cannot be started.
int StartDebugPrintBuild(const std::string &path, int argc, char **argv) {
  if (std::getenv(kStartedForDebugPrint) != nullptr) {
    std::fprintf(stderr, "boardhook-sim: %s is not the debug-print build\n", argv[0]);
    return bootsim::kExitSimulatorFailure;
  }
  std::vector<char *> args(argv, argv + argc);
  std::string program = path;
  args[0] = program.data();
  args.push_back(nullptr);
  setenv(kStartedForDebugPrint, "1", 1);
  execv(path.c_str(), args.data());
  std::fprintf(stderr,
               "boardhook-sim: the debug-print build %s cannot be started: %s (it is built with "
               "the tool; --debug-print-build names another)\n",
               path.c_str(), std::strerror(errno));
  return bootsim::kExitSimulatorFailure;
}

}  // namespace

int main(int argc, char **argv) {
  using namespace bootsim;
  CLI::App app{
      "Boots a described board on the simulated platform with the real module code and reports "
      "what the firmware did: the PEI module as 32-bit code in a process of its own, the DXE "
      "driver as 64-bit code, meeting only through the configuration database.\n\n"
      "Exit status: 0 the boot reached ReadyToBoot; 1 it ended in a fatal-error trap, a reset "
      "loop or a hang; 2 bad input (file, TOML, key, value, topology); 3 the simulator could not "
      "run (e.g. the PEI runner is missing)." +
          std::string(IsDebugPrintBuild()
                          ? "\n\nThis is the debug-print build: the DXE driver is built with "
                            "DebugPrintEnable 1, everything else as shipped."
                          : ""),
      "boardhook-sim"};
  std::string boardFile;
  bool json = false, trace = false, check = false, printReference = false, debugPrint = false;
  std::string debugPrintBuild = DefaultDebugPrintBuild(argv[0]);
  BootOptions options;
  options.runner = DefaultPeiRunnerSetup();
  CLI::Option *boardOption =
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
               "Boot with the DXE driver built with DebugPrintEnable 1 (everything else as "
               "shipped), to see the debug text it would send on each back-end");
  app.add_option("--debug-print-build", debugPrintBuild,
                 "The tool built with that driver, which --debug-print starts (environment: "
                 "BOARDHOOK_SIM_DEBUG_PRINT)")
      ->capture_default_str();
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
  if (IsDebugPrintBuild()) unsetenv(kStartedForDebugPrint);
  // The two builds of the driver define the same symbols, so each lives in a
  // program of its own.
  if (debugPrint && !IsDebugPrintBuild()) return StartDebugPrintBuild(debugPrintBuild, argc, argv);

  if (printReference) {
    const std::string_view text = ReferenceBoardText();
    std::fwrite(text.data(), 1, text.size(), stdout);
    return 0;
  }

  Board board;
  try {
    board = boardOption->count() == 0 ? LoadReferenceBoard() : LoadBoardFile(boardFile);
  } catch (const BoardError &error) {
    std::fprintf(stderr, "boardhook-sim: %s\n", error.what());
    return kExitBadInput;
  }
  if (check) {
    std::printf("%s: the description is sound\n", board.source.c_str());
    return 0;
  }

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
