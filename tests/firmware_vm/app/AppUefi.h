// The UEFI services and protocols that the test application uses beyond the
// ones the firmware modules call: image loading and the table checksum. Written from the UEFI
// standard.
#pragma once
#include "../../../uefi/LoadedImage.h"

// 09576E91-6D3F-11D2-8E39-00A0C969723B
inline constexpr EFI_GUID gEfiDevicePathProtocolGuid = {
    0x09576E91, 0x6D3F, 0x11D2, {0x8E, 0x39, 0x00, 0xA0, 0xC9, 0x69, 0x72, 0x3B}};

// The boot-service slots that the project's table leaves untyped.
typedef EFI_STATUS(EFIAPI *EFI_IMAGE_LOAD)(BOOLEAN BootPolicy, EFI_HANDLE ParentImageHandle,
                                           EFI_DEVICE_PATH_PROTOCOL *DevicePath, VOID *SourceBuffer,
                                           UINTN SourceSize, EFI_HANDLE *ImageHandle);
typedef EFI_STATUS(EFIAPI *EFI_IMAGE_START)(EFI_HANDLE ImageHandle, UINTN *ExitDataSize,
                                            CHAR16 **ExitData);
typedef EFI_STATUS(EFIAPI *EFI_CALCULATE_CRC32)(VOID *Data, UINTN DataSize, UINT32 *Crc32);
typedef EFI_STATUS(EFIAPI *EFI_SET_WATCHDOG_TIMER)(UINTN Timeout, UINT64 WatchdogCode,
                                                   UINTN DataSize, CHAR16 *WatchdogData);

inline EFI_IMAGE_LOAD LoadImageService(EFI_BOOT_SERVICES *BootServices) {
  return reinterpret_cast<EFI_IMAGE_LOAD>(BootServices->LoadImage);
}
inline EFI_IMAGE_START StartImageService(EFI_BOOT_SERVICES *BootServices) {
  return reinterpret_cast<EFI_IMAGE_START>(BootServices->StartImage);
}
inline EFI_CALCULATE_CRC32 CalculateCrc32Service(EFI_BOOT_SERVICES *BootServices) {
  return reinterpret_cast<EFI_CALCULATE_CRC32>(BootServices->CalculateCrc32);
}
inline EFI_SET_WATCHDOG_TIMER SetWatchdogTimerService(EFI_BOOT_SERVICES *BootServices) {
  return reinterpret_cast<EFI_SET_WATCHDOG_TIMER>(BootServices->SetWatchdogTimer);
}
