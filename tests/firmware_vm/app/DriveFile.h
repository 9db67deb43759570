// A file of the drive the application was loaded from, read whole into
// pages of boot-services data that stay allocated.
#pragma once
#include "AppUefi.h"

// Reads \<Name> of the drive into fresh pages: *Buffer and *Size. At most
// MaxSize bytes; a longer file is EFI_BUFFER_TOO_SMALL.
EFI_STATUS ReadDriveFile(EFI_BOOT_SERVICES *BootServices, EFI_HANDLE Drive, const CHAR16 *Name,
                         UINTN MaxSize, VOID **Buffer, UINTN *Size);
