#include "FirmwareStyle.h"

#include "hw/HwAccess.h"

VOID ResetAndWait() {
  HwIoWrite8(0xCF9, 0x06);
  for (;;) {
    HwPause();
  }
}

static VOID WaitOneFrame() {
  UINT64 State = HwReadMsr(0xC0010063) & 0x7;
  UINT64 Definition = HwReadMsr(0xC0010064 + static_cast<UINT32>(State));
  UINT64 Frequency = Definition & 0xFF;
  UINT64 Divisor = (Definition >> 8) & 0x3F;
  if (Divisor == 0) Divisor = 1;
  UINT64 Ticks = Frequency * 200000000 / Divisor * 2500000 / 1000000;
  UINT64 Start = HwReadTsc();
  do {
    HwPause();
  } while (HwReadTsc() <= Start + Ticks);
}

VOID ShowFatalError(UINT32 Code) {
  HwIoWrite16(0xE0, 0xDEAD);
  HwIoWrite32(0x80, Code);
  if (HwCpuidBackDoor(0xBACCD00B, 2, Code) != 0) return;
  for (UINT32 Frame = 0;; ++Frame) {
    HwIoWrite32(0x80, (Frame & 1) != 0 ? 0x0000DEAD : Code);
    WaitOneFrame();
  }
}

VOID PollPortForever(UINT16 Port, UINT8 Bit) {
  while ((HwIoRead8(Port) & Bit) == 0) {
  }
}

VOID PauseForever() {
  for (;;) {
    HwPause();
  }
}

VOID EFIAPI ResetCallback(UINT32 Argument) {
  volatile UINT32 Local = Argument;
  HwIoWrite8(0x80, static_cast<UINT8>(Local));
  ResetAndWait();
}

VOID CallThroughInterface(FIRMWARE_CALLBACK Callback, UINT32 Argument) {
  Callback(Argument + 1);
  HwIoWrite8(0x80, 0xEE);  // never reached: the callback resets
}
