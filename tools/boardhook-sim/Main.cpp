// boardhook-sim: boots a described board on the simulated platform with the
// real BoardHookPei and BoardHookDxe code and reports what the firmware did.
#include <CLI/CLI.hpp>
#include <algorithm>
#include <cstdio>
#include <fstream>
#include <iostream>
#include <optional>
#include <string_view>

#include "Batch.h"
#include "Board.h"
#include "BoardFile.h"
#include "Boot.h"
#include "Images.h"
#include "PeiPhase.h"
#include "Report.h"
#include "TomlText.h"
#include "Warnings.h"
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

// Where the output goes: standard output, or the file of -o.
class Output {
 public:
  explicit Output(const std::string &path) : path_(path) {}
  // False when the file cannot be written.
  bool Write(const std::string &text) {
    if (path_.empty()) {
      std::cout << text;
      std::cout.flush();
      return static_cast<bool>(std::cout);
    }
    std::ofstream file(path_, std::ios::binary | std::ios::trunc);
    file << text;
    return static_cast<bool>(file.flush());
  }

 private:
  std::string path_;
};

// An error that ends the run: on stderr, and as a JSON document under
// --json so a pipeline that reads the output sees it too.
int Fail(Output &output, bool json, int status, const std::string &message) {
  std::fprintf(stderr, "boardhook-sim: %s\n", message.c_str());
  if (json) {
    output.Write(bootsim::Json{
                     {"format", "boardhook-sim-error/1"}, {"error", message}, {"exit_code", status}}
                     .dump(2) +
                 "\n");
  }
  return status;
}

// Reads the standard input once, for the boards given as "-"; at most what a
// board file may hold.
std::string ReadStandardInput() {
  std::string text;
  char buffer[65536];
  while (std::cin.read(buffer, sizeof buffer) || std::cin.gcount() > 0) {
    text.append(buffer, static_cast<size_t>(std::cin.gcount()));
    if (text.size() > bootsim::kMaxBoardFileSize) break;
  }
  return text;
}

// The fields whose results differ between two reports, as "path: a -> b",
// leaving out where each board came from and what was booted.
std::string ReportDifferences(const bootsim::Json &a, const bootsim::Json &b) {
  std::string text;
  for (const bootsim::Json &change : bootsim::Json::diff(a, b)) {
    const std::string path = change.at("path").get<std::string>();
    if (path.rfind("/board", 0) == 0 || path.rfind("/booted", 0) == 0) continue;
    const std::string op = change.at("op").get<std::string>();
    const bootsim::Json before =
        op == "add" ? bootsim::Json("(none)") : a.at(bootsim::Json::json_pointer(path));
    const bootsim::Json after = op == "remove" ? bootsim::Json("(none)") : change.at("value");
    text += path + ": " + before.dump() + " -> " + after.dump() + "\n";
  }
  return text;
}

}  // namespace

int main(int argc, char **argv) {
  using namespace bootsim;
  CLI::App app{
      "Boots described boards on the simulated platform with the shipped firmware images and "
      "reports what the firmware did: BoardHookPei.te (the PEI module's TE image) as 32-bit code "
      "in the PEI runner, "
      "BoardHookDxe.efi on an emulated x86-64 processor, meeting only through the configuration "
      "database. One board gives its whole report; several boards (or a directory: its *.toml "
      "files) give one line each and a summary.\n\n"
      "Exit status (a batch: the worst of its boards, in this order of severity): 0 the boot "
      "reached ReadyToBoot, or met every expectation of its [expect] table; 1 it ended in a "
      "fatal-error trap, a reset loop or a hang (a board without expectations); 4 the report "
      "differs from the board's expectations; 2 bad input (file, TOML, key, value, topology, "
      "options, images named); 3 the simulator could not run (e.g. the PEI runner or a built "
      "image is missing, or an image did what the simulated platform cannot carry out).",
      "boardhook-sim"};
  std::vector<std::string> boardArguments;
  bool json = false, trace = false, check = false, printReference = false, debugPrint = false;
  bool fromSource = false, version = false;
  unsigned jobs = 1;
  std::string peiImage, dxeImage, outputPath;
  BootOptions options;
  options.runner = DefaultPeiRunnerSetup();
  app.add_option("boards", boardArguments,
                 "Board descriptions (TOML, see docs/board-format.md), directories of them, or - "
                 "for the standard input; without any the built-in reference board boots");
  app.add_flag("--json", json, "Print the report (or the batch) as one JSON document");
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
  app.add_option("--jobs,-j", jobs, "Boot the boards of a batch in this many processes")
      ->capture_default_str()
      ->check(CLI::Range(1u, 64u));
  app.add_option("-o,--output", outputPath, "Write the report to this file instead of stdout");
  app.add_flag("--check", check, "Only read and check the descriptions; exit 0 or 2");
  app.add_flag("--print-reference-board", printReference,
               "Print the built-in reference board's description and exit");
  app.add_flag("--version", version, "Print the tool's version and the SHA-256 of the images");
  std::vector<std::string> diffBoards;
  CLI::App *diff = app.add_subcommand(
      "diff", "Boot two boards and print the fields whose results differ (exit 0: none, 1: some)");
  diff->add_option("boards", diffBoards, "The two board descriptions")->expected(2)->required();

  try {
    app.parse(argc, argv);
  } catch (const CLI::CallForHelp &error) {
    return app.exit(error);
  } catch (const CLI::ParseError &error) {
    app.exit(error);
    return kExitBadInput;
  }
  Output output(outputPath);
  options.trace = trace;

  if (version) {
    std::string text = std::string("boardhook-sim ") + BOARDHOOK_VERSION + "\n";
    for (const char *image : {kPeiImage, kDxeImage, kDxeDebugPrintImage}) {
      const std::string path = DefaultImageDirectory() + "/" + image;
      try {
        text += ReadImage(path).sha256 + "  " + path + "\n";
      } catch (const SimulatorError &) {
        text += "(not built)  " + path + "\n";
      }
    }
    return output.Write(text) ? 0 : kExitSimulatorFailure;
  }
  if (printReference) {
    return output.Write(std::string(ReferenceBoardText())) ? 0 : kExitSimulatorFailure;
  }
  if (debugPrint && fromSource) {
    return Fail(output, json, kExitBadInput,
                "--debug-print boots the debug-print image; the host build linked into the "
                "tool is the shipped build only");
  }

  const std::vector<std::string> sources =
      diff->parsed() ? diffBoards : ExpandBoardArguments(boardArguments);
  for (const std::string &argument : boardArguments) {
    if (argument.empty()) {
      // The reader names an empty path as the bad input it is.
      try {
        LoadBoardFile(argument);
      } catch (const BoardError &error) {
        return Fail(output, json, kExitBadInput, error.what());
      }
    }
  }
  const bool batch =
      !diff->parsed() && (sources.size() > 1 || sources.size() != boardArguments.size());
  const std::string standardInput =
      std::find(sources.begin(), sources.end(), "-") != sources.end() ? ReadStandardInput() : "";

  if (check) {
    std::string text;
    int worst = 0;
    for (const std::string &source : sources.empty() ? std::vector<std::string>{""} : sources) {
      try {
        const Board board = source.empty()  ? LoadReferenceBoard()
                            : source == "-" ? ParseBoard(standardInput, "<stdin>")
                                            : LoadBoardFile(source);
        PrintBoardWarnings(board);
        text += board.source + ": the description is sound\n";
      } catch (const BoardError &error) {
        std::fprintf(stderr, "boardhook-sim: %s\n", error.what());
        worst = WorseStatus(worst, kExitBadInput);
      }
    }
    output.Write(text);
    return worst;
  }

  try {
    options.firmware.pei = ChooseImage(fromSource, peiImage, kPeiImage, sim::kMachineIa32, true);
    options.firmware.dxe =
        ChooseImage(fromSource, dxeImage, debugPrint ? kDxeDebugPrintImage : kDxeImage,
                    sim::kMachineX64, false);
  } catch (const BadImage &error) {
    return Fail(output, json, kExitBadInput, error.what());
  } catch (const SimulatorError &error) {
    return Fail(output, json, kExitSimulatorFailure, error.what());
  }
  options.dxeBuild = !dxeImage.empty() ? "user image" : debugPrint ? "debug-print" : "shipped";

  if (diff->parsed()) {
    const std::vector<BoardRun> runs = RunBatch(sources, standardInput, options, jobs);
    for (const BoardRun &run : runs) {
      if (run.report.is_null()) return Fail(output, json, run.exitCode, run.error);
    }
    const std::string differences = ReportDifferences(runs[0].report, runs[1].report);
    if (json) {
      output.Write(Json{{"format", "boardhook-sim-diff/1"},
                        {"a", runs[0].source},
                        {"b", runs[1].source},
                        {"patch", Json::diff(runs[0].report, runs[1].report)}}
                       .dump(2) +
                   "\n");
    } else {
      output.Write(differences.empty() ? "no differences\n" : differences);
    }
    return differences.empty() ? 0 : 1;
  }

  if (batch) {
    const std::vector<BoardRun> runs = RunBatch(sources, standardInput, options, jobs);
    int worst = 0;
    std::string text;
    for (const BoardRun &run : runs) {
      worst = WorseStatus(worst, run.exitCode);
      text += BatchLine(run) + "\n";
    }
    text += BatchSummary(runs) + "\n";
    if (!output.Write(json ? BatchJson(runs).dump(2) + "\n" : text)) {
      return Fail(output, false, kExitSimulatorFailure, "cannot write " + outputPath);
    }
    return worst;
  }

  const BoardRun run =
      RunBoard(sources.empty() ? "" : sources.front(), standardInput, options, nullptr);
  if (run.report.is_null()) return Fail(output, json, run.exitCode, run.error);
  const std::string text = json ? run.report.dump(2) + "\n" : RenderText(run.report, trace);
  if (!output.Write(text)) {
    return Fail(output, false, kExitSimulatorFailure, "cannot write " + outputPath);
  }
  return run.exitCode;
}
