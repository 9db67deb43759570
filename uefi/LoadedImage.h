// The loaded image protocol that a DXE core installs on every image handle,
// and the generic device-path node header its FilePath points to. The
// firmware modules do not use them; the simulated DXE core and the
// firmware-in-emulator test application do.
#pragma once
#include "UefiTables.h"

struct EFI_DEVICE_PATH_PROTOCOL {
  UINT8 Type;
  UINT8 SubType;
  UINT8 Length[2];
};
ASSERT_SIZE(EFI_DEVICE_PATH_PROTOCOL, 4, 4);

#define END_DEVICE_PATH_TYPE 0x7F
#define END_ENTIRE_DEVICE_PATH_SUBTYPE 0xFF
#define MEDIA_DEVICE_PATH 0x04
#define MEDIA_FILEPATH_DP 0x04

struct EFI_LOADED_IMAGE_PROTOCOL {
  UINT32 Revision;
  EFI_HANDLE ParentHandle;
  EFI_SYSTEM_TABLE *SystemTable;
  EFI_HANDLE DeviceHandle;
  EFI_DEVICE_PATH_PROTOCOL *FilePath;
  VOID *Reserved;
  UINT32 LoadOptionsSize;
  VOID *LoadOptions;
  VOID *ImageBase;
  UINT64 ImageSize;
  EFI_MEMORY_TYPE ImageCodeType;
  EFI_MEMORY_TYPE ImageDataType;
  EFI_STATUS(EFIAPI *Unload)(EFI_HANDLE ImageHandle);
};
// ImageSize is 8-byte aligned in both widths, as UINT64 is in the IA-32
// calling convention.
ASSERT_SIZE(EFI_LOADED_IMAGE_PROTOCOL, 96, 64);
ASSERT_OFFSET(EFI_LOADED_IMAGE_PROTOCOL, ImageBase, 64, 32);
ASSERT_OFFSET(EFI_LOADED_IMAGE_PROTOCOL, ImageSize, 72, 40);
ASSERT_OFFSET(EFI_LOADED_IMAGE_PROTOCOL, ImageCodeType, 80, 48);
ASSERT_OFFSET(EFI_LOADED_IMAGE_PROTOCOL, Unload, 88, 56);

// 5B1B31A1-9562-11D2-8E3F-00A0C969723B
inline constexpr EFI_GUID gEfiLoadedImageProtocolGuid = {
    0x5B1B31A1, 0x9562, 0x11D2, {0x8E, 0x3F, 0x00, 0xA0, 0xC9, 0x69, 0x72, 0x3B}};
