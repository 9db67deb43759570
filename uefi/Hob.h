// HOB list records of the PI standard that this system walks.
#pragma once
#include "UefiBase.h"

#define EFI_HOB_TYPE_GUID_EXTENSION ((UINT16)0x0004)
#define EFI_HOB_TYPE_END_OF_HOB_LIST ((UINT16)0xFFFF)

struct EFI_HOB_GENERIC_HEADER {
  UINT16 HobType;
  UINT16 HobLength;
  UINT32 Reserved;
};
ASSERT_SIZE(EFI_HOB_GENERIC_HEADER, 8, 8);

struct EFI_HOB_GUID_TYPE {
  EFI_HOB_GENERIC_HEADER Header;
  EFI_GUID Name;
};
ASSERT_SIZE(EFI_HOB_GUID_TYPE, 24, 24);
ASSERT_OFFSET(EFI_HOB_GUID_TYPE, Name, 8, 8);

// 7739F24C-93D7-11D4-9A3A-0090273FC14D: the configuration table entry that
// points to the HOB list.
inline constexpr EFI_GUID gEfiHobListGuid = {
    0x7739F24C, 0x93D7, 0x11D4, {0x9A, 0x3A, 0x00, 0x90, 0x27, 0x3F, 0xC1, 0x4D}};
