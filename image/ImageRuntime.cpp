// Memory routines the compiler may call on its own for structure copies and
// zeroing in the freestanding firmware images. Built only into the images;
// -ffreestanding keeps these loops from being turned back into calls.
#include "../uefi/UefiBase.h"

extern "C" {

void *memcpy(void *Destination, const void *Source, decltype(sizeof(0)) Length) {
  UINT8 *To = static_cast<UINT8 *>(Destination);
  const UINT8 *From = static_cast<const UINT8 *>(Source);
  while (Length-- != 0) {
    *To++ = *From++;
  }
  return Destination;
}

void *memmove(void *Destination, const void *Source, decltype(sizeof(0)) Length) {
  UINT8 *To = static_cast<UINT8 *>(Destination);
  const UINT8 *From = static_cast<const UINT8 *>(Source);
  if (To < From) {
    while (Length-- != 0) {
      *To++ = *From++;
    }
  } else {
    while (Length-- != 0) {
      To[Length] = From[Length];
    }
  }
  return Destination;
}

void *memset(void *Buffer, int Value, decltype(sizeof(0)) Length) {
  UINT8 *To = static_cast<UINT8 *>(Buffer);
  while (Length-- != 0) {
    *To++ = static_cast<UINT8>(Value);
  }
  return Buffer;
}

int memcmp(const void *Left, const void *Right, decltype(sizeof(0)) Length) {
  const UINT8 *A = static_cast<const UINT8 *>(Left);
  const UINT8 *B = static_cast<const UINT8 *>(Right);
  for (decltype(sizeof(0)) Index = 0; Index < Length; Index++) {
    if (A[Index] != B[Index]) {
      return A[Index] < B[Index] ? -1 : 1;
    }
  }
  return 0;
}

}  // extern "C"
