// The UEFI system table, boot services and runtime services in their
// standard slot order. Slots this system does not call keep generic
// signatures; the slot order is what matters for the layout.
#pragma once
#include "UefiBase.h"

struct EFI_TABLE_HEADER {
  UINT64 Signature;
  UINT32 Revision;
  UINT32 HeaderSize;
  UINT32 CRC32;
  UINT32 Reserved;
};
ASSERT_SIZE(EFI_TABLE_HEADER, 24, 24);

enum EFI_MEMORY_TYPE : UINT32 {
  EfiReservedMemoryType,
  EfiLoaderCode,
  EfiLoaderData,
  EfiBootServicesCode,
  EfiBootServicesData,
  EfiRuntimeServicesCode,
  EfiRuntimeServicesData,
  EfiConventionalMemory,
  EfiUnusableMemory,
  EfiACPIReclaimMemory,
  EfiACPIMemoryNVS,
  EfiMemoryMappedIO,
  EfiMemoryMappedIOPortSpace,
  EfiPalCode,
  EfiPersistentMemory,
  EfiUnacceptedMemoryType,
  EfiMaxMemoryType
};

enum EFI_INTERFACE_TYPE : UINT32 { EFI_NATIVE_INTERFACE = 0 };

enum EFI_LOCATE_SEARCH_TYPE : UINT32 { AllHandles, ByRegisterNotify, ByProtocol };

enum EFI_TIMER_DELAY : UINT32 { TimerCancel, TimerPeriodic, TimerRelative };

enum EFI_ALLOCATE_TYPE : UINT32 {
  AllocateAnyPages,
  AllocateMaxAddress,
  AllocateAddress,
  MaxAllocateType
};

enum EFI_RESET_TYPE : UINT32 {
  EfiResetCold,
  EfiResetWarm,
  EfiResetShutdown,
  EfiResetPlatformSpecific
};

#define TPL_APPLICATION ((EFI_TPL)4)
#define TPL_CALLBACK ((EFI_TPL)8)
#define TPL_NOTIFY ((EFI_TPL)16)
#define TPL_HIGH_LEVEL ((EFI_TPL)31)

#define EVT_TIMER 0x80000000U
#define EVT_RUNTIME 0x40000000U
#define EVT_NOTIFY_WAIT 0x00000100U
#define EVT_NOTIFY_SIGNAL 0x00000200U
#define EVT_SIGNAL_EXIT_BOOT_SERVICES 0x00000201U
#define EVT_SIGNAL_VIRTUAL_ADDRESS_CHANGE 0x60000202U

struct EFI_TIME {
  UINT16 Year;
  UINT8 Month;
  UINT8 Day;
  UINT8 Hour;
  UINT8 Minute;
  UINT8 Second;
  UINT8 Pad1;
  UINT32 Nanosecond;
  INT16 TimeZone;
  UINT8 Daylight;
  UINT8 Pad2;
};
ASSERT_SIZE(EFI_TIME, 16, 16);

struct EFI_CONFIGURATION_TABLE {
  EFI_GUID VendorGuid;
  VOID *VendorTable;
};
ASSERT_SIZE(EFI_CONFIGURATION_TABLE, 24, 20);

typedef VOID(EFIAPI *EFI_EVENT_NOTIFY)(EFI_EVENT Event, VOID *Context);
// A slot this system never calls; present so the following slots sit at
// their standard offsets.
typedef EFI_STATUS(EFIAPI *EFI_UNUSED_SERVICE)();

struct EFI_BOOT_SERVICES {
  EFI_TABLE_HEADER Hdr;
  EFI_TPL(EFIAPI *RaiseTPL)(EFI_TPL NewTpl);
  VOID(EFIAPI *RestoreTPL)(EFI_TPL OldTpl);
  EFI_STATUS(EFIAPI *AllocatePages)
  (EFI_ALLOCATE_TYPE Type, EFI_MEMORY_TYPE MemoryType, UINTN Pages, EFI_PHYSICAL_ADDRESS *Memory);
  EFI_STATUS(EFIAPI *FreePages)(EFI_PHYSICAL_ADDRESS Memory, UINTN Pages);
  EFI_UNUSED_SERVICE GetMemoryMap;
  EFI_STATUS(EFIAPI *AllocatePool)
  (EFI_MEMORY_TYPE PoolType, UINTN Size, VOID **Buffer);
  EFI_STATUS(EFIAPI *FreePool)(VOID *Buffer);
  EFI_STATUS(EFIAPI *CreateEvent)
  (UINT32 Type, EFI_TPL NotifyTpl, EFI_EVENT_NOTIFY NotifyFunction, VOID *NotifyContext,
   EFI_EVENT *Event);
  EFI_STATUS(EFIAPI *SetTimer)
  (EFI_EVENT Event, EFI_TIMER_DELAY Type, UINT64 TriggerTime);
  EFI_STATUS(EFIAPI *WaitForEvent)
  (UINTN NumberOfEvents, EFI_EVENT *Event, UINTN *Index);
  EFI_STATUS(EFIAPI *SignalEvent)(EFI_EVENT Event);
  EFI_STATUS(EFIAPI *CloseEvent)(EFI_EVENT Event);
  EFI_STATUS(EFIAPI *CheckEvent)(EFI_EVENT Event);
  EFI_STATUS(EFIAPI *InstallProtocolInterface)
  (EFI_HANDLE *Handle, const EFI_GUID *Protocol, EFI_INTERFACE_TYPE InterfaceType, VOID *Interface);
  EFI_STATUS(EFIAPI *ReinstallProtocolInterface)
  (EFI_HANDLE Handle, const EFI_GUID *Protocol, VOID *OldInterface, VOID *NewInterface);
  EFI_STATUS(EFIAPI *UninstallProtocolInterface)
  (EFI_HANDLE Handle, const EFI_GUID *Protocol, VOID *Interface);
  EFI_STATUS(EFIAPI *HandleProtocol)
  (EFI_HANDLE Handle, const EFI_GUID *Protocol, VOID **Interface);
  VOID *Reserved;
  EFI_STATUS(EFIAPI *RegisterProtocolNotify)
  (const EFI_GUID *Protocol, EFI_EVENT Event, VOID **Registration);
  EFI_STATUS(EFIAPI *LocateHandle)
  (EFI_LOCATE_SEARCH_TYPE SearchType, const EFI_GUID *Protocol, VOID *SearchKey, UINTN *BufferSize,
   EFI_HANDLE *Buffer);
  EFI_UNUSED_SERVICE LocateDevicePath;
  EFI_STATUS(EFIAPI *InstallConfigurationTable)
  (const EFI_GUID *Guid, VOID *Table);
  EFI_UNUSED_SERVICE LoadImage;
  EFI_UNUSED_SERVICE StartImage;
  EFI_UNUSED_SERVICE Exit;
  EFI_UNUSED_SERVICE UnloadImage;
  EFI_UNUSED_SERVICE ExitBootServices;
  EFI_UNUSED_SERVICE GetNextMonotonicCount;
  EFI_STATUS(EFIAPI *Stall)(UINTN Microseconds);
  EFI_UNUSED_SERVICE SetWatchdogTimer;
  EFI_UNUSED_SERVICE ConnectController;
  EFI_UNUSED_SERVICE DisconnectController;
  EFI_UNUSED_SERVICE OpenProtocol;
  EFI_UNUSED_SERVICE CloseProtocol;
  EFI_UNUSED_SERVICE OpenProtocolInformation;
  EFI_UNUSED_SERVICE ProtocolsPerHandle;
  EFI_STATUS(EFIAPI *LocateHandleBuffer)
  (EFI_LOCATE_SEARCH_TYPE SearchType, const EFI_GUID *Protocol, VOID *SearchKey, UINTN *NoHandles,
   EFI_HANDLE **Buffer);
  EFI_STATUS(EFIAPI *LocateProtocol)
  (const EFI_GUID *Protocol, VOID *Registration, VOID **Interface);
  EFI_UNUSED_SERVICE InstallMultipleProtocolInterfaces;
  EFI_UNUSED_SERVICE UninstallMultipleProtocolInterfaces;
  EFI_UNUSED_SERVICE CalculateCrc32;
  VOID(EFIAPI *CopyMem)(VOID *Destination, const VOID *Source, UINTN Length);
  VOID(EFIAPI *SetMem)(VOID *Buffer, UINTN Size, UINT8 Value);
  EFI_STATUS(EFIAPI *CreateEventEx)
  (UINT32 Type, EFI_TPL NotifyTpl, EFI_EVENT_NOTIFY NotifyFunction, const VOID *NotifyContext,
   const EFI_GUID *EventGroup, EFI_EVENT *Event);
};
ASSERT_SIZE(EFI_BOOT_SERVICES, 24 + 44 * 8, 24 + 44 * 4);
ASSERT_OFFSET(EFI_BOOT_SERVICES, AllocatePool, 24 + 5 * 8, 24 + 5 * 4);
ASSERT_OFFSET(EFI_BOOT_SERVICES, CreateEvent, 24 + 7 * 8, 24 + 7 * 4);
ASSERT_OFFSET(EFI_BOOT_SERVICES, InstallProtocolInterface, 24 + 13 * 8, 24 + 13 * 4);
ASSERT_OFFSET(EFI_BOOT_SERVICES, RegisterProtocolNotify, 24 + 18 * 8, 24 + 18 * 4);
ASSERT_OFFSET(EFI_BOOT_SERVICES, Stall, 24 + 28 * 8, 24 + 28 * 4);
ASSERT_OFFSET(EFI_BOOT_SERVICES, LocateProtocol, 24 + 37 * 8, 24 + 37 * 4);
ASSERT_OFFSET(EFI_BOOT_SERVICES, CreateEventEx, 24 + 43 * 8, 24 + 43 * 4);

struct EFI_RUNTIME_SERVICES {
  EFI_TABLE_HEADER Hdr;
  EFI_UNUSED_SERVICE GetTime;
  EFI_UNUSED_SERVICE SetTime;
  EFI_UNUSED_SERVICE GetWakeupTime;
  EFI_UNUSED_SERVICE SetWakeupTime;
  EFI_UNUSED_SERVICE SetVirtualAddressMap;
  EFI_UNUSED_SERVICE ConvertPointer;
  EFI_STATUS(EFIAPI *GetVariable)
  (const CHAR16 *VariableName, const EFI_GUID *VendorGuid, UINT32 *Attributes, UINTN *DataSize,
   VOID *Data);
  EFI_UNUSED_SERVICE GetNextVariableName;
  EFI_UNUSED_SERVICE SetVariable;
  EFI_UNUSED_SERVICE GetNextHighMonotonicCount;
  VOID(EFIAPI *ResetSystem)
  (EFI_RESET_TYPE ResetType, EFI_STATUS ResetStatus, UINTN DataSize, VOID *ResetData);
  EFI_UNUSED_SERVICE UpdateCapsule;
  EFI_UNUSED_SERVICE QueryCapsuleCapabilities;
  EFI_UNUSED_SERVICE QueryVariableInfo;
};
ASSERT_SIZE(EFI_RUNTIME_SERVICES, 24 + 14 * 8, 24 + 14 * 4);
ASSERT_OFFSET(EFI_RUNTIME_SERVICES, ResetSystem, 24 + 10 * 8, 24 + 10 * 4);

struct EFI_SYSTEM_TABLE {
  EFI_TABLE_HEADER Hdr;
  CHAR16 *FirmwareVendor;
  UINT32 FirmwareRevision;
  EFI_HANDLE ConsoleInHandle;
  VOID *ConIn;
  EFI_HANDLE ConsoleOutHandle;
  VOID *ConOut;
  EFI_HANDLE StandardErrorHandle;
  VOID *StdErr;
  EFI_RUNTIME_SERVICES *RuntimeServices;
  EFI_BOOT_SERVICES *BootServices;
  UINTN NumberOfTableEntries;
  EFI_CONFIGURATION_TABLE *ConfigurationTable;
};
ASSERT_SIZE(EFI_SYSTEM_TABLE, 120, 72);
ASSERT_OFFSET(EFI_SYSTEM_TABLE, RuntimeServices, 88, 56);
ASSERT_OFFSET(EFI_SYSTEM_TABLE, BootServices, 96, 60);
ASSERT_OFFSET(EFI_SYSTEM_TABLE, NumberOfTableEntries, 104, 64);
ASSERT_OFFSET(EFI_SYSTEM_TABLE, ConfigurationTable, 112, 68);

#define EFI_SYSTEM_TABLE_SIGNATURE 0x5453595320494249ULL
#define EFI_BOOT_SERVICES_SIGNATURE 0x56524553544f4f42ULL
#define EFI_RUNTIME_SERVICES_SIGNATURE 0x56524553544e5552ULL

typedef EFI_STATUS(EFIAPI *EFI_IMAGE_ENTRY_POINT)(EFI_HANDLE ImageHandle,
                                                  EFI_SYSTEM_TABLE *SystemTable);
