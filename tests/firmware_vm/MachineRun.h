// One boot of the packaged UEFI firmware in a software-emulated q35 machine,
// with a FAT drive that holds the test application (as the removable-media
// boot file) and a firmware volume beside it. The harness drives the
// machine through the emulator's gdb stub: when the firmware's dispatcher
// has loaded the driver from the volume and the application waits, it sets
// breakpoints in the driver (found by symbol in the driver's linker map)
// and chooses the board. At those breakpoints it plays the parts of the
// processor that the emulator lacks: the MMIO configuration register, the
// CPUID back door, and the hardware debug tool that takes the debug-port
// hand-overs; and it sees what the driver's entry returns to the firmware.
#pragma once

#include <cstdint>
#include <filesystem>
#include <optional>
#include <string>
#include <vector>

namespace firmware_vm {

struct RunPlan {
  std::string Name;  // also the run's folder under the run directory
  // The firmware volume the application hands to the dispatcher, and the
  // driver image it holds (its linker map lies beside it).
  std::filesystem::path Volume;
  std::filesystem::path Driver;
  unsigned Board = 0;  // FIRMWARE_VM_BOARD_*
  // What MSR 0xC0010058 reads as; without a value the emulator's own 0.
  std::optional<std::uint64_t> MmioConfigurationAnswer;
  // What the CPUID back door answers in SI; without a value it is silent,
  // as a real processor.
  std::optional<std::uint16_t> BackDoorAnswer;
};

struct PortWrite {
  unsigned Port;
  unsigned Width;  // bytes
  std::uint32_t Value;
  bool operator==(const PortWrite &) const = default;
};

// Port 0x80 and 0xE0 writes from the emulator's memory_region_ops_write
// trace. A wide write to the POST-code port shows as consecutive byte writes
// at 0x80 to 0x83; they are put back together here. Only the first writes
// are kept: the display loop writes without pause on this machine.
class PortTrace {
 public:
  static constexpr std::size_t KEPT_WRITES = 4096;

  void AddLine(const std::string &Line);
  // Ends a pending POST-code write at the end of the trace.
  void Close();

  const std::vector<PortWrite> &Writes() const { return Writes_; }
  std::size_t Total() const { return Total_; }

 private:
  void AddPostCodeBytes(unsigned Address, std::uint64_t Value, unsigned Size);
  void Keep(const PortWrite &Write);

  std::vector<PortWrite> Writes_;
  std::optional<PortWrite> Pending_;
  std::size_t Total_ = 0;
};

// The port-redirect back-end's texts, each framed on port 0x80 by a 32-bit
// "RTS_" and a 32-bit "DNE_" write with one byte write per character, and
// the port writes outside the frames, in order.
struct PostCodePort {
  std::vector<std::string> RedirectTexts;
  std::vector<PortWrite> Others;
};
PostCodePort SplitRedirectFrames(const std::vector<PortWrite> &Writes);

struct ToolHandOver {
  std::uint32_t Edx = 0;
  std::uint32_t Eax = 0;  // the text's address
  std::uint32_t Ebx = 0;  // its length
  std::string Text;
};

// What the harness did at its breakpoints.
struct HarnessLog {
  bool Attached = false;  // found the application waiting and set it going
  std::uint64_t DriverBase = 0;
  bool EntryReached = false;                 // the processor reached the driver's entry point
  std::optional<std::uint64_t> EntryStatus;  // what the entry returned to the firmware
  std::vector<std::uint32_t> MsrReads;       // indices read while the MSR breakpoint stood
  unsigned MmioConfigurationAnswers = 0;
  unsigned BackDoorQueries = 0;
  bool HandOverInImage = false;  // the driver can hand text to the debug tool
  std::vector<ToolHandOver> HandOvers;
  std::string Error;  // a harness failure, empty when none
};

struct MachineRun {
  std::string SkipReason;
  int ExitStatus = -1;
  double WallSeconds = 0;
  std::filesystem::path Dir;
  std::string Report;  // the debug console
  std::string Serial;  // the serial console
  PortTrace Trace;
  HarnessLog Harness;
};

// Boots the machine once under a time limit; the run's files stay in
// <RunRoot>/<Plan.Name>.
MachineRun RunMachine(const RunPlan &Plan, const std::filesystem::path &RunRoot);

}  // namespace firmware_vm
