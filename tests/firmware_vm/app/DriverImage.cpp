#include "DriverImage.h"

namespace {
constinit UINTN mImageBase = 0;
constinit UINTN mImageSize = 0;
}  // namespace

VOID SetDriverImage(UINTN Base, UINTN Size) {
  mImageBase = Base;
  mImageSize = Size;
}

BOOLEAN InDriverImage(const VOID *Address) {
  return reinterpret_cast<UINTN>(Address) - mImageBase < mImageSize;
}
