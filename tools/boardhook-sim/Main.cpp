// boardhook-sim: boots a described board on the simulated platform with the
// real BoardHookPei and BoardHookDxe code and reports what the firmware did.
#include <CLI/CLI.hpp>

#include <cstdio>
#include <iostream>

#include "Board.h"
#include "BoardFile.h"
#include "Boot.h"
#include "PeiPhase.h"
#include "Report.h"
#include "Subprocess.h"

int main(int argc, char **argv) {
  using namespace bootsim;
  CLI::App app{
      "Boots a described board on the simulated platform with the real module code and reports "
      "what the firmware did: the PEI module as 32-bit code in a process of its own, the DXE "
      "driver as 64-bit code, meeting only through the configuration database.\n\n"
      "Exit status: 0 the boot reached ReadyToBoot; 1 it ended in a fatal-error trap, a reset "
      "loop or a hang; 2 bad input (file, TOML, key, value, topology); 3 the simulator could not "
      "run (e.g. the PEI runner is missing).",
      "boardhook-sim"};
  std::string boardFile;
  bool json = false, trace = false, check = false, printReference = false;
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
