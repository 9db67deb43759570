// The BoardHookPei module on the simulated PEI platform, with its
// configuration-database calls in the foundation's trace as
// "Pcd.Set8(0x4, 0x8) = EFI_SUCCESS".
#pragma once
#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "include/PcdTokens.h"
#include "pei/BoardHookPei.h"
#include "sim/platform/PeiPlatform.h"

class BoardHookPeiTest : public testing::Test, protected sim::PeiPlatform {
 protected:
  BoardHookPeiTest() : sim::PeiPlatform(sim::PeiPlatformOptions().WithPcdTrace()) {}

  EFI_STATUS RunEntry() { return pei.RunModule(BoardHookPeiEntryPoint); }

  // Trace lines that start with one of the prefixes, in order.
  std::vector<std::string> TraceOf(std::initializer_list<std::string> Prefixes) const {
    std::vector<std::string> Lines;
    for (const std::string &Line : pei.Trace()) {
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
    for (const std::string &Line : pei.Trace()) {
      if (Line.rfind(Prefix, 0) == 0) {
        Status = Line.substr(Prefix.size());
      }
    }
    return Status;
  }
};
