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
void Claim(T *&Live, T *Self, const char *Kind) {
  if (Live != nullptr) {
    std::fprintf(stderr, "a second %s stand-in while one is live\n", Kind);
    std::abort();
  }
  Live = Self;
}

template <typename T>
T &LiveOrAbort(T *Live, const char *Kind) {
  if (Live == nullptr) {
    std::fprintf(stderr, "%s called with no stand-in live\n", Kind);
    std::abort();
  }
  return *Live;
}
}  // namespace

struct I2cThunks {
  static EFI_STATUS EFIAPI FillTables(UINT8 *Table1, UINT8 *Table2, UINT8 *Table3) {
    I2cTablePpiStandIn &Self = I2cTablePpiStandIn::Live();
    Self.pei_.AddTrace("I2cTable.FillTables()");
    Self.fillCalls_.push_back({{Table1, Table2, Table3}});
    UINT8 *Tables[3] = {Table1, Table2, Table3};
    for (size_t Index = 0; Index < 3; Index++) {
      if (Tables[Index] != nullptr) {
        std::memcpy(Tables[Index], Self.tables_[Index].data(), I2C_CHANNEL_TABLE_SIZE);
      }
    }
    return EFI_SUCCESS;
  }
  static EFI_STATUS EFIAPI Configure(const EFI_PEI_SERVICES **PeiServices, UINTN Bus,
                                     UINTN SlaveAddress, UINTN Channel, UINTN TokenNumber) {
    I2cTablePpiStandIn &Self = I2cTablePpiStandIn::Live();
    Self.pei_.AddTrace("I2cTable.Configure(" + HexText(Bus) + ", " + HexText(SlaveAddress) + ", " +
                       HexText(Channel) + ", " + HexText(TokenNumber) + ")");
    Self.configureCalls_.push_back({PeiServices, Bus, SlaveAddress, Channel, TokenNumber});
    return EFI_SUCCESS;
  }
  static EFI_STATUS EFIAPI Apply(const EFI_PEI_SERVICES **PeiServices, UINTN Bus,
                                 UINTN SlaveAddress, UINTN Channel, UINT8 *Table,
                                 UINTN EntryCount) {
    I2cApplyPpiStandIn &Self = I2cApplyPpiStandIn::Live();
    Self.pei_.AddTrace("I2cApply.Apply(" + HexText(Bus) + ", " + HexText(SlaveAddress) + ", " +
                       HexText(Channel) + ", " + HexText(EntryCount) + ")");
    I2cApplyPpiStandIn::Call Record = {PeiServices, Bus, SlaveAddress, Channel,
                                       Table,       {},  EntryCount};
    if (Table != nullptr) {
      std::memcpy(Record.Contents.data(), Table, I2C_CHANNEL_TABLE_SIZE);
    }
    Self.calls_.push_back(Record);
    return EFI_SUCCESS;
  }
  static EFI_STATUS EFIAPI Unsupported() { return EFI_UNSUPPORTED; }
};

I2cTablePpiStandIn::I2cTablePpiStandIn(PeiFoundation &Pei) : pei_(Pei) {
  Claim(gLiveTable, this, "I2C_TABLE_PPI");
  ppi_.Word0 = reinterpret_cast<VOID *>(I2cThunks::Unsupported);
  ppi_.FillTables = I2cThunks::FillTables;
  ppi_.Configure = I2cThunks::Configure;
  for (size_t Index = 0; Index < tables_.size(); Index++) {
    for (size_t Byte = 0; Byte < I2C_CHANNEL_TABLE_SIZE; Byte++) {
      tables_[Index][Byte] = static_cast<uint8_t>(0x10 * (Index + 1) + Byte % 16);
    }
  }
}

I2cTablePpiStandIn::~I2cTablePpiStandIn() { gLiveTable = nullptr; }

I2cTablePpiStandIn &I2cTablePpiStandIn::Live() { return LiveOrAbort(gLiveTable, "I2C_TABLE_PPI"); }

I2cApplyPpiStandIn::I2cApplyPpiStandIn(PeiFoundation &Pei) : pei_(Pei) {
  Claim(gLiveApply, this, "I2C_APPLY_PPI");
  ppi_.Apply = I2cThunks::Apply;
}

I2cApplyPpiStandIn::~I2cApplyPpiStandIn() { gLiveApply = nullptr; }

I2cApplyPpiStandIn &I2cApplyPpiStandIn::Live() { return LiveOrAbort(gLiveApply, "I2C_APPLY_PPI"); }

}  // namespace sim
