// The firmware integration test's board as boardhook-sim describes and
// boots it: the value the board's processor holds in an MSR, and the debug
// text the simulator reports for the debug-print build of the driver on that
// board. The tool is used through its command line and JSON report only.
#pragma once

#include <cstdint>
#include <filesystem>
#include <optional>
#include <string>
#include <vector>

namespace firmware_vm {

// The value of MSR Index in the board description's [cpu] msrs; nullopt
// when the description does not list it or cannot be read.
std::optional<std::uint64_t> BoardMsr(const std::filesystem::path &Board, std::uint32_t Index);

struct SimulatedHandOver {
  std::uint32_t Edx = 0;
  std::uint32_t Ebx = 0;
};

// The "debug_text" record of the DXE phase of the last boot.
struct SimulatedDebugText {
  std::string Error;  // the tool did not run or its report was unreadable
  std::vector<std::string> RedirectTexts;
  std::string Uart;
  std::vector<SimulatedHandOver> HandOvers;
};

SimulatedDebugText SimulateDebugPrintBoot(const std::filesystem::path &Tool,
                                          const std::filesystem::path &Board);

}  // namespace firmware_vm
