// A simulated PEI phase for the BoardHookPei module: the machine (SIDT finds
// the services pointer below its IDT base), the PEI foundation with the
// stand-in PPIs, and the configuration database with this board's tokens.
// Configuration-database calls appear in the foundation's trace as
// "Pcd.Set8(0x4, 0x8) = EFI_SUCCESS".
#pragma once
#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "include/PcdTokens.h"
#include "pei/BoardHookPei.h"
#include "sim/core/EfiText.h"
#include "sim/machine/Machine.h"
#include "sim/pcd/PcdDatabase.h"
#include "sim/pei/PeiStandIns.h"

class BoardHookPeiTest : public testing::Test {
 protected:
  BoardHookPeiTest() {
    Machine.SetIdtBase(Pei.IdtBase());
    Machine.Activate();
    Pcd.DeclareSystemTokens();
    Pcd.SetObserver([this](const sim::PcdAccess &Access) {
      Pei.AddTrace("Pcd." + Access.operation + "(" + sim::HexText(Access.token) + ", " +
                   sim::HexText(Access.value) +
                   ") = " + sim::StatusText(sim::StatusFrom64(Access.status)));
    });
  }

  // The platform's PPIs as other modules install them, SMBus and the I2C
  // apply PPI (the two that start the callbacks) left out.
  void InstallPlatformPpis() {
    EXPECT_EQ(Pei.InstallPpi(gPcdPpiGuid, Pcd.Ppi()), EFI_SUCCESS);
    EXPECT_EQ(Variables.Install(), EFI_SUCCESS);
    EXPECT_EQ(Stall.Install(), EFI_SUCCESS);
    EXPECT_EQ(Bmc.Install(), EFI_SUCCESS);
    EXPECT_EQ(I2cTable.Install(), EFI_SUCCESS);
  }

  EFI_STATUS RunEntry() { return Pei.RunModule(BoardHookPeiEntryPoint); }

  // Trace lines that start with one of the prefixes, in order.
  std::vector<std::string> TraceOf(std::initializer_list<std::string> Prefixes) const {
    std::vector<std::string> Lines;
    for (const std::string &Line : Pei.Trace()) {
      for (const std::string &Prefix : Prefixes) {
        if (Line.rfind(Prefix, 0) == 0) {
          Lines.push_back(Line);
          break;
        }
      }
    }
    return Lines;
  }

  // The status the last run of a notification function returned.
  std::string LastNotify(const std::string &Ppi) const {
    const std::string Prefix = "Notify(" + Ppi + ") = ";
    std::string Status = "none";
    for (const std::string &Line : Pei.Trace()) {
      if (Line.rfind(Prefix, 0) == 0) {
        Status = Line.substr(Prefix.size());
      }
    }
    return Status;
  }

  sim::SimClock Clock;
  sim::Machine Machine{&Clock};
  sim::PeiFoundation Pei{Clock};
  sim::PcdDatabase Pcd;
  sim::SmbusPpiStandIn Smbus{Pei};
  sim::StallPpiStandIn Stall{Pei};
  sim::ReadOnlyVariablePpiStandIn Variables{Pei};
  sim::BmcIpmiPpiStandIn Bmc{Pei};
  sim::I2cTablePpiStandIn I2cTable{Pei};
  sim::I2cApplyPpiStandIn I2cApply{Pei};
};
