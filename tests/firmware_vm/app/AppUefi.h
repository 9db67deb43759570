// The UEFI and PI services and protocols that the test application uses
// beyond the ones the firmware modules call: the file system of its drive,
// the DXE services that hand a firmware volume to the dispatcher, the table
// checksum. Written from the UEFI and PI standards.
#pragma once
#include "../../../uefi/LoadedImage.h"

// 09576E91-6D3F-11D2-8E39-00A0C969723B
inline constexpr EFI_GUID gEfiDevicePathProtocolGuid = {
    0x09576E91, 0x6D3F, 0x11D2, {0x8E, 0x39, 0x00, 0xA0, 0xC9, 0x69, 0x72, 0x3B}};

// The device-path node that names a file of a firmware volume.
#define MEDIA_PIWG_FW_FILE_DP 0x06
struct MEDIA_FW_VOL_FILEPATH_DEVICE_PATH {
  EFI_DEVICE_PATH_PROTOCOL Header;
  EFI_GUID FvFileName;
};
ASSERT_SIZE(MEDIA_FW_VOL_FILEPATH_DEVICE_PATH, 20, 20);

// ---- EFI_SIMPLE_FILE_SYSTEM_PROTOCOL and EFI_FILE_PROTOCOL ------------------
// 964E5B22-6459-11D2-8E39-00A0C969723B
inline constexpr EFI_GUID gEfiSimpleFileSystemProtocolGuid = {
    0x964E5B22, 0x6459, 0x11D2, {0x8E, 0x39, 0x00, 0xA0, 0xC9, 0x69, 0x72, 0x3B}};

#define EFI_FILE_MODE_READ 0x0000000000000001ULL

struct EFI_FILE_PROTOCOL {
  UINT64 Revision;
  EFI_STATUS(EFIAPI *Open)
  (EFI_FILE_PROTOCOL *This, EFI_FILE_PROTOCOL **NewHandle, const CHAR16 *FileName, UINT64 OpenMode,
   UINT64 Attributes);
  EFI_STATUS(EFIAPI *Close)(EFI_FILE_PROTOCOL *This);
  EFI_UNUSED_SERVICE Delete;
  EFI_STATUS(EFIAPI *Read)(EFI_FILE_PROTOCOL *This, UINTN *BufferSize, VOID *Buffer);
};
ASSERT_OFFSET(EFI_FILE_PROTOCOL, Read, 32, 16);

struct EFI_SIMPLE_FILE_SYSTEM_PROTOCOL {
  UINT64 Revision;
  EFI_STATUS(EFIAPI *OpenVolume)
  (EFI_SIMPLE_FILE_SYSTEM_PROTOCOL *This, EFI_FILE_PROTOCOL **Root);
};
ASSERT_OFFSET(EFI_SIMPLE_FILE_SYSTEM_PROTOCOL, OpenVolume, 8, 8);

// ---- DXE services table ------------------------------------------------------
// 05AD34BA-6F02-4214-952E-4DA0398E2BB9, in the system table's configuration
// table.
inline constexpr EFI_GUID gEfiDxeServicesTableGuid = {
    0x05AD34BA, 0x6F02, 0x4214, {0x95, 0x2E, 0x4D, 0xA0, 0x39, 0x8E, 0x2B, 0xB9}};

struct DXE_SERVICES {
  EFI_TABLE_HEADER Hdr;
  // The memory and I/O space services.
  EFI_UNUSED_SERVICE GlobalCoherencyDomain[13];
  // Runs every driver whose dependency expression holds, of the volumes
  // known; EFI_NOT_FOUND when it ran none.
  EFI_STATUS(EFIAPI *Dispatch)(VOID);
  EFI_UNUSED_SERVICE Schedule;
  EFI_UNUSED_SERVICE Trust;
  // Makes a firmware volume in memory known to the dispatcher.
  EFI_STATUS(EFIAPI *ProcessFirmwareVolume)
  (const VOID *FirmwareVolumeHeader, UINTN Size, EFI_HANDLE *FirmwareVolumeHandle);
};
ASSERT_OFFSET(DXE_SERVICES, Dispatch, 24 + 13 * 8, 24 + 13 * 4);
ASSERT_OFFSET(DXE_SERVICES, ProcessFirmwareVolume, 24 + 16 * 8, 24 + 16 * 4);

// The boot-service slots that the project's table leaves untyped.
typedef EFI_STATUS(EFIAPI *EFI_CALCULATE_CRC32)(VOID *Data, UINTN DataSize, UINT32 *Crc32);
typedef EFI_STATUS(EFIAPI *EFI_SET_WATCHDOG_TIMER)(UINTN Timeout, UINT64 WatchdogCode,
                                                   UINTN DataSize, CHAR16 *WatchdogData);

inline EFI_CALCULATE_CRC32 CalculateCrc32Service(EFI_BOOT_SERVICES *BootServices) {
  return reinterpret_cast<EFI_CALCULATE_CRC32>(BootServices->CalculateCrc32);
}
inline EFI_SET_WATCHDOG_TIMER SetWatchdogTimerService(EFI_BOOT_SERVICES *BootServices) {
  return reinterpret_cast<EFI_SET_WATCHDOG_TIMER>(BootServices->SetWatchdogTimer);
}
