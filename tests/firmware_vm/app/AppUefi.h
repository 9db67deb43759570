// The UEFI services and protocols that the test application uses beyond the
// ones the firmware modules call: image loading, device paths, the loaded
// image protocol. Written from the UEFI standard.
#pragma once
#include "../../../uefi/UefiTables.h"

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
ASSERT_SIZE(EFI_LOADED_IMAGE_PROTOCOL, 96, 52);
ASSERT_OFFSET(EFI_LOADED_IMAGE_PROTOCOL, ImageBase, 64, 36);
ASSERT_OFFSET(EFI_LOADED_IMAGE_PROTOCOL, ImageCodeType, 80, 44);

// 5B1B31A1-9562-11D2-8E3F-00A0C969723B
inline constexpr EFI_GUID gEfiLoadedImageProtocolGuid = {
    0x5B1B31A1, 0x9562, 0x11D2, {0x8E, 0x3F, 0x00, 0xA0, 0xC9, 0x69, 0x72, 0x3B}};
// 09576E91-6D3F-11D2-8E39-00A0C969723B
inline constexpr EFI_GUID gEfiDevicePathProtocolGuid = {
    0x09576E91, 0x6D3F, 0x11D2, {0x8E, 0x39, 0x00, 0xA0, 0xC9, 0x69, 0x72, 0x3B}};

// The boot-service slots that the project's table leaves untyped.
typedef EFI_STATUS(EFIAPI *EFI_IMAGE_LOAD)(BOOLEAN BootPolicy, EFI_HANDLE ParentImageHandle,
                                           EFI_DEVICE_PATH_PROTOCOL *DevicePath, VOID *SourceBuffer,
                                           UINTN SourceSize, EFI_HANDLE *ImageHandle);
typedef EFI_STATUS(EFIAPI *EFI_IMAGE_START)(EFI_HANDLE ImageHandle, UINTN *ExitDataSize,
                                            CHAR16 **ExitData);
typedef EFI_STATUS(EFIAPI *EFI_SET_WATCHDOG_TIMER)(UINTN Timeout, UINT64 WatchdogCode,
                                                   UINTN DataSize, CHAR16 *WatchdogData);

inline EFI_IMAGE_LOAD LoadImageService(EFI_BOOT_SERVICES *BootServices) {
  return reinterpret_cast<EFI_IMAGE_LOAD>(BootServices->LoadImage);
}
inline EFI_IMAGE_START StartImageService(EFI_BOOT_SERVICES *BootServices) {
  return reinterpret_cast<EFI_IMAGE_START>(BootServices->StartImage);
}
inline EFI_SET_WATCHDOG_TIMER SetWatchdogTimerService(EFI_BOOT_SERVICES *BootServices) {
  return reinterpret_cast<EFI_SET_WATCHDOG_TIMER>(BootServices->SetWatchdogTimer);
}
