// The DXE phase of a simulated boot, wired once for the tests, the fuzz
// targets and boardhook-sim: the clock, the machine on it, the configuration
// database and the DXE core, with the database installed as PCD_PROTOCOL and
// the driver's module globals back at their load-time values. A new boot
// (after a reset) keeps the machine, its CMOS and the database and starts
// with a new core and the globals reset again.
#pragma once
#include <memory>
#include <optional>

#include "../core/SimClock.h"
#include "../dxe/DxeCore.h"
#include "../machine/Machine.h"
#include "../pcd/PcdDatabase.h"

namespace sim {

struct DxePlatformOptions {
  // The database holds every token of the system (width from the token
  // table, value 0) before the test adds its own.
  bool systemTokens = true;
  // PCD_PROTOCOL is installed on each boot's core before the driver runs.
  bool pcdProtocol = true;
  // The driver's service globals (gST, gBS, gRT) already point at the core,
  // as after the start-up chain's first step, for code run without the
  // driver's entry. Otherwise they are NULL, as at load time.
  bool servicesSet = false;
  // What the CPUID back door answers; 1 lets a fatal-error trap return.
  uint16_t backDoorAnswer = 0;
  // Pool at these addresses instead of the host's heap.
  std::optional<PoolArena> poolArena;

  DxePlatformOptions &WithoutSystemTokens() { return systemTokens = false, *this; }
  DxePlatformOptions &WithoutPcdProtocol() { return pcdProtocol = false, *this; }
  DxePlatformOptions &WithServicesSet() { return servicesSet = true, *this; }
  DxePlatformOptions &WithBackDoorAnswer(uint16_t answer) { return backDoorAnswer = answer, *this; }
  DxePlatformOptions &WithPoolArena(PoolArena arena) { return poolArena = arena, *this; }
};

class DxePlatform {
 public:
  explicit DxePlatform(DxePlatformOptions wiring = {});
  DxePlatform(const DxePlatform &) = delete;
  DxePlatform &operator=(const DxePlatform &) = delete;

  // How the next boot is wired; Reboot() reads it.
  DxePlatformOptions options;
  SimClock clock;
  Machine machine{&clock};
  PcdDatabase pcd;

  // The core of the current boot.
  DxeCore &Core() { return *core_; }
  // The handle PCD_PROTOCOL is installed on; null when it is not.
  EFI_HANDLE PcdHandle() const { return pcdHandle_; }

  // Starts a new boot: a new core, the globals reset. The old core's
  // allocations are gone with it.
  DxeCore &Reboot();

  // The driver's module globals as they are when its image is loaded.
  static void ResetDriverGlobals();

 private:
  std::unique_ptr<DxeCore> core_;
  EFI_HANDLE pcdHandle_ = nullptr;
};

}  // namespace sim
