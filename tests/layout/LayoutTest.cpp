// Interface layouts at the width of this build, and calls through tables of
// EFIAPI function pointers (the real calling convention on x86-64).
#include <gtest/gtest.h>

#include "include/BoardHookPpi.h"
#include "include/BoardHookProtocol.h"
#include "include/PcdTokens.h"
#include "include/S3SaveLib.h"
#include "uefi/Hob.h"
#include "uefi/LoadedImage.h"
#include "uefi/Pcd.h"
#include "uefi/PlatformModules.h"
#include "uefi/StandardInterfaces.h"

namespace {

UINT64 EFIAPI SumOfSix(UINT64 A, UINT64 B, UINT64 C, UINT64 D, UINT64 E, UINT64 F) {
  return A + 2 * B + 3 * C + 4 * D + 5 * E + 6 * F;
}

EFI_STATUS EFIAPI RecordStall(UINTN Microseconds) {
  return Microseconds == 1000 ? EFI_SUCCESS : EFI_INVALID_PARAMETER;
}

TEST(Layout, NativeWidths) {
#if BOARDHOOK_64BIT
  EXPECT_EQ(sizeof(UINTN), 8u);
  EXPECT_EQ(sizeof(VOID *), 8u);
#else
  EXPECT_EQ(sizeof(UINTN), 4u);
  EXPECT_EQ(sizeof(VOID *), 4u);
  EXPECT_EQ(sizeof(EFI_STATUS), 4u);
  // UEFI's IA-32 layout aligns 64-bit members to 8 bytes.
  struct Probe {
    UINT32 A;
    UINT64 B;
  };
  EXPECT_EQ(offsetof(Probe, B), 8u);
  EXPECT_EQ(offsetof(EFI_PEI_SERVICES, InstallPpi), 24u);
  EXPECT_EQ(offsetof(EFI_PEI_SERVICES, AllocatePool), 24u + 13 * 4);
  EXPECT_EQ(sizeof(EFI_PEI_PPI_DESCRIPTOR), 12u);
  EXPECT_EQ(sizeof(BOARD_HOOK_PPI), 24u);
#endif
  EXPECT_EQ(EFI_ERROR(EFI_NOT_FOUND), true);
  EXPECT_EQ(EFI_ERROR(EFI_WARN_STALE_DATA), false);
}

TEST(Layout, CallsThroughEfiapiTables) {
  struct {
    UINT64(EFIAPI *Sum)(UINT64, UINT64, UINT64, UINT64, UINT64, UINT64);
  } Table = {SumOfSix};
  EXPECT_EQ(Table.Sum(1, 2, 3, 4, 5, 6), 1u + 4 + 9 + 16 + 25 + 36);

  EFI_BOOT_SERVICES Services{};
  Services.Stall = RecordStall;
  EFI_BOOT_SERVICES *Bs = &Services;
  EXPECT_EQ(Bs->Stall(1000), EFI_SUCCESS);
}

}  // namespace
