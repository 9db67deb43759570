// Where the driver under test lies once loaded, so that calls and records
// can be told apart as the driver's own.
#pragma once
#include "../../../uefi/UefiBase.h"

VOID SetDriverImage(UINTN Base, UINTN Size);
// TRUE for an address inside the loaded driver image.
BOOLEAN InDriverImage(const VOID *Address);
