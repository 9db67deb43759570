#include "DriveFile.h"

EFI_STATUS ReadDriveFile(EFI_BOOT_SERVICES *BootServices, EFI_HANDLE Drive, const CHAR16 *Name,
                         UINTN MaxSize, VOID **Buffer, UINTN *Size) {
  VOID *Interface = NULL;
  EFI_STATUS Status =
      BootServices->HandleProtocol(Drive, &gEfiSimpleFileSystemProtocolGuid, &Interface);
  if (EFI_ERROR(Status)) {
    return Status;
  }
  EFI_SIMPLE_FILE_SYSTEM_PROTOCOL *FileSystem =
      static_cast<EFI_SIMPLE_FILE_SYSTEM_PROTOCOL *>(Interface);
  EFI_FILE_PROTOCOL *Root = NULL;
  Status = FileSystem->OpenVolume(FileSystem, &Root);
  if (EFI_ERROR(Status)) {
    return Status;
  }
  EFI_FILE_PROTOCOL *File = NULL;
  Status = Root->Open(Root, &File, Name, EFI_FILE_MODE_READ, 0);
  Root->Close(Root);
  if (EFI_ERROR(Status)) {
    return Status;
  }
  constexpr UINTN PAGE_SIZE = 4096;
  const UINTN Pages = (MaxSize + PAGE_SIZE - 1) / PAGE_SIZE;
  EFI_PHYSICAL_ADDRESS Address = 0;
  Status = BootServices->AllocatePages(AllocateAnyPages, EfiBootServicesData, Pages, &Address);
  if (!EFI_ERROR(Status)) {
    // One byte more than the limit shows a file that is too long.
    UINTN Read = MaxSize;
    UINT8 *Bytes = reinterpret_cast<UINT8 *>(static_cast<UINTN>(Address));
    UINTN Total = 0;
    while (!EFI_ERROR(Status) && Read != 0 && Total < MaxSize) {
      Read = MaxSize - Total;
      Status = File->Read(File, &Read, Bytes + Total);
      Total += EFI_ERROR(Status) ? 0 : Read;
    }
    UINT8 Extra = 0;
    UINTN ExtraSize = sizeof(Extra);
    if (!EFI_ERROR(Status) && Total == MaxSize &&
        !EFI_ERROR(File->Read(File, &ExtraSize, &Extra)) && ExtraSize != 0) {
      Status = EFI_BUFFER_TOO_SMALL;
    }
    if (EFI_ERROR(Status)) {
      BootServices->FreePages(Address, Pages);
    } else {
      *Buffer = Bytes;
      *Size = Total;
    }
  }
  File->Close(File);
  return Status;
}
