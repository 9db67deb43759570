// The PEI phase of a simulated boot, wired once for the tests, the fuzz
// targets and the PEI runner: the clock, the machine on it (its SIDT finds
// the services pointer below the foundation's IDT base), the PEI foundation,
// the configuration database and the stand-ins for the PPIs of the platform
// and of other modules. Nothing is installed until the user says so: which
// PPIs are present, and when, is what a PEI test varies.
//
// The PEI module keeps no writable globals (its notification lists and hook
// table are constants), so a new platform is a new boot of it. The I2C
// stand-ins are the one live instance of their kind: one platform lives at
// a time.
#pragma once
#include "../core/SimClock.h"
#include "../machine/Machine.h"
#include "../pcd/PcdDatabase.h"
#include "../pei/PeiFoundation.h"
#include "../pei/PeiStandIns.h"

namespace sim {

struct PeiPlatformOptions {
  // The database holds every token of the system (width from the token
  // table, value 0) before the user adds its own.
  bool systemTokens = true;
  // Each configuration-database call also appears in the foundation's
  // trace, in call order: "Pcd.Set8(0x4, 0x8) = EFI_SUCCESS".
  bool pcdTrace = false;

  PeiPlatformOptions &WithoutSystemTokens() { return systemTokens = false, *this; }
  PeiPlatformOptions &WithPcdTrace() { return pcdTrace = true, *this; }
};

class PeiPlatform {
 public:
  explicit PeiPlatform(PeiPlatformOptions options = {});
  PeiPlatform(const PeiPlatform &) = delete;
  PeiPlatform &operator=(const PeiPlatform &) = delete;

  SimClock clock;
  Machine machine{&clock};
  PcdDatabase pcd;
  PeiFoundation pei{clock};
  // Not installed; each is programmed and installed by the user.
  SmbusPpiStandIn smbus{pei};
  StallPpiStandIn stall{pei};
  ReadOnlyVariablePpiStandIn variables{pei};
  BmcIpmiPpiStandIn bmc{pei};
  I2cTablePpiStandIn i2cTable{pei};
  I2cApplyPpiStandIn i2cApply{pei};

  // Installs the database as PCD_PPI.
  EFI_STATUS InstallPcdPpi() { return pei.InstallPpi(gPcdPpiGuid, pcd.Ppi()); }
  // The PPIs present before the module runs, one by one: PCD_PPI, read-only
  // variables, stall, the BMC and the I2C table. SMBus and the I2C apply PPI,
  // whose installation starts the module's callbacks, are left out. Every
  // one is installed; the first failure is returned.
  EFI_STATUS InstallPlatformPpis();
};

}  // namespace sim
