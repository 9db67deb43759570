// Stand-ins for I2C_TABLE_PPI and I2C_APPLY_PPI.
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "../core/EfiText.h"
#include "PeiStandIns.h"

namespace sim {
namespace {
I2cTablePpiStandIn *gLiveTable = nullptr;
I2cApplyPpiStandIn *gLiveApply = nullptr;

template <typename T>
void Claim(T *&live, T *self, const char *kind) {
  if (live != nullptr) {
    std::fprintf(stderr, "a second %s stand-in while one is live\n", kind);
    std::abort();
  }
  live = self;
}

template <typename T>
T &LiveOrAbort(T *live, const char *kind) {
  if (live == nullptr) {
    std::fprintf(stderr, "%s called with no stand-in live\n", kind);
    std::abort();
  }
  return *live;
}
}  // namespace

struct I2cThunks {
  static EFI_STATUS EFIAPI FillTables(UINT8 *Table1, UINT8 *Table2, UINT8 *Table3) {
    I2cTablePpiStandIn &self = I2cTablePpiStandIn::Live();
    self.pei_.AddTrace("I2cTable.FillTables()");
    self.fillCalls_.push_back({{Table1, Table2, Table3}});
    UINT8 *tables[3] = {Table1, Table2, Table3};
    for (size_t index = 0; index < 3; index++) {
      if (tables[index] != nullptr) {
        std::memcpy(tables[index], self.tables_[index].data(), I2C_CHANNEL_TABLE_SIZE);
      }
    }
    return EFI_SUCCESS;
  }
  static EFI_STATUS EFIAPI Configure(const EFI_PEI_SERVICES **PeiServices, UINTN Bus,
                                     UINTN SlaveAddress, UINTN Channel, UINTN TokenNumber) {
    I2cTablePpiStandIn &self = I2cTablePpiStandIn::Live();
    self.pei_.AddTrace("I2cTable.Configure(" + HexText(Bus) + ", " + HexText(SlaveAddress) + ", " +
                       HexText(Channel) + ", " + HexText(TokenNumber) + ")");
    self.configureCalls_.push_back({PeiServices, Bus, SlaveAddress, Channel, TokenNumber});
    return EFI_SUCCESS;
  }
  static EFI_STATUS EFIAPI Apply(const EFI_PEI_SERVICES **PeiServices, UINTN Bus,
                                 UINTN SlaveAddress, UINTN Channel, UINT8 *Table,
                                 UINTN EntryCount) {
    I2cApplyPpiStandIn &self = I2cApplyPpiStandIn::Live();
    self.pei_.AddTrace("I2cApply.Apply(" + HexText(Bus) + ", " + HexText(SlaveAddress) + ", " +
                       HexText(Channel) + ", " + HexText(EntryCount) + ")");
    I2cApplyPpiStandIn::Call record = {PeiServices, Bus, SlaveAddress, Channel,
                                       Table,       {},  EntryCount};
    if (Table != nullptr) {
      std::memcpy(record.contents.data(), Table, I2C_CHANNEL_TABLE_SIZE);
    }
    self.calls_.push_back(record);
    return EFI_SUCCESS;
  }
  static EFI_STATUS EFIAPI Unsupported() { return EFI_UNSUPPORTED; }
};

I2cTablePpiStandIn::I2cTablePpiStandIn(PeiFoundation &pei) : pei_(pei) {
  Claim(gLiveTable, this, "I2C_TABLE_PPI");
  ppi_.Word0 = reinterpret_cast<VOID *>(I2cThunks::Unsupported);
  ppi_.FillTables = I2cThunks::FillTables;
  ppi_.Configure = I2cThunks::Configure;
  for (size_t index = 0; index < tables_.size(); index++) {
    for (size_t byte = 0; byte < I2C_CHANNEL_TABLE_SIZE; byte++) {
      tables_[index][byte] = static_cast<uint8_t>(0x10 * (index + 1) + byte % 16);
    }
  }
}

I2cTablePpiStandIn::~I2cTablePpiStandIn() { gLiveTable = nullptr; }

I2cTablePpiStandIn &I2cTablePpiStandIn::Live() { return LiveOrAbort(gLiveTable, "I2C_TABLE_PPI"); }

I2cApplyPpiStandIn::I2cApplyPpiStandIn(PeiFoundation &pei) : pei_(pei) {
  Claim(gLiveApply, this, "I2C_APPLY_PPI");
  ppi_.Apply = I2cThunks::Apply;
}

I2cApplyPpiStandIn::~I2cApplyPpiStandIn() { gLiveApply = nullptr; }

I2cApplyPpiStandIn &I2cApplyPpiStandIn::Live() { return LiveOrAbort(gLiveApply, "I2C_APPLY_PPI"); }

}  // namespace sim
