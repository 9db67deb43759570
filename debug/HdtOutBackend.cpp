// Debug-tool back-end (list index 1). Its state lives outside the driver: the
// processor's breakpoint registers and the buffer header that earlier
// firmware hands over in the heap-buffer list, which every module using that
// list shares.
#include "HdtOutBackend.h"

#include "../hw/HwAccess.h"
#include "../platform/HeapBufferList.h"
#include "../platform/WidthAccess.h"
#include "DebugConfig.h"

namespace {

// The tool sees 32-bit addresses only.
UINT32 LowAddress(CONST VOID *Address) {
  return static_cast<UINT32>(reinterpret_cast<UINTN>(Address));
}

}  // namespace

BOOLEAN EFIAPI HdtOutIsActive() {
  if (HdtOutEnable == 0) {
    return FALSE;
  }
  if (DebugPrintEnable == 1) {
    return TRUE;
  }
  return HwReadDr2() == HDT_OUT_PORT ? TRUE : FALSE;
}

BOOLEAN HdtOutIsArmed() {
  if ((HwReadMsr(MSR_DEBUG_BREAKPOINT_CONTROL) & MSR_DEBUG_BREAKPOINT_CONTROL_ENABLE) == 0) {
    return FALSE;
  }
  if ((HwReadDr7() & HDT_OUT_DR7_BREAKPOINT) != HDT_OUT_DR7_BREAKPOINT) {
    return FALSE;
  }
  return (HwReadCr4() & CR4_DEBUGGING_EXTENSIONS) != 0 ? TRUE : FALSE;
}

VOID EFIAPI HdtOutInitialize() {
  if (!HdtOutIsActive() || HdtOutIsArmed()) {
    return;
  }
  HwWriteMsr(MSR_DEBUG_BREAKPOINT_CONTROL,
             HwReadMsr(MSR_DEBUG_BREAKPOINT_CONTROL) | MSR_DEBUG_BREAKPOINT_CONTROL_ENABLE);
  HwWriteDr2(HDT_OUT_PORT);
  // Replaces the whole register: any other breakpoint is switched off.
  HwWriteDr7(HDT_OUT_DR7_BREAKPOINT);
  HwWriteCr4(HwReadCr4() | CR4_DEBUGGING_EXTENSIONS);
}

BOOLEAN HdtOutGetHeader(HDT_OUT_HEADER **Header, UINT32 *BufferBytes) {
  if (HwReadDr3() == 0) {
    return FALSE;
  }
  HEAP_BUFFER_LOCATOR Locator = {HDT_OUT_BUFFER_HANDLE, 0, NULL};
  if (FindHeapBuffer(&Locator, NULL) != HEAP_BUFFER_FOUND || Locator.Buffer == NULL) {
    return FALSE;
  }
  // A buffer too small for the fields read here counts as no header: nothing
  // is read past its end.
  if (Locator.Size < sizeof(HDT_OUT_HEADER)) {
    return FALSE;
  }
  HDT_OUT_HEADER *Found = static_cast<HDT_OUT_HEADER *>(Locator.Buffer);
  if (Found->Signature != HDT_OUT_SIGNATURE) {
    return FALSE;
  }
  *Header = Found;
  if (BufferBytes != NULL) {
    *BufferBytes = Locator.Size;
  }
  return TRUE;
}

BOOLEAN EFIAPI HdtOutAdjustFilter(UINT64 *Filter) {
  HDT_OUT_HEADER *Header = NULL;
  if (HdtOutGetHeader(&Header, NULL)) {
    *Filter = Header->OutputFilter;
  }
  return TRUE;
}

VOID HdtOutSend(UINT32 Command, UINT32 Address, UINT32 Length) {
  HwDebugToolHandOver(Command, Address, Length);
}

VOID HdtOutBufferedWrite(CONST CHAR8 *Text, UINTN Length, HDT_OUT_HEADER *Header) {
  // Without capacity nothing can be collected.
  if (Header == NULL || Text == NULL || Header->BufferSize == 0) {
    return;
  }
  // Text ends in a NUL after Length bytes; with Length 0 the second byte
  // would lie beyond it and goes out as 0.
  UINT16 FirstBytes = static_cast<UINT8>(Text[0]);
  if (Length > 0) {
    FirstBytes = static_cast<UINT16>(FirstBytes | static_cast<UINT8>(Text[1]) << 8);
  }
  WidthIoWrite(WIDTH_CODE_16, HDT_OUT_MESSAGE_PORT, &FirstBytes, NULL);

  // The capacity HdtOutWrite checked against the heap buffer, read once: the
  // tool may touch the header while it holds the processor.
  CONST UINT16 Capacity = Header->BufferSize;
  UINT8 *Data = HdtOutData(Header);
  for (UINTN Index = 0; Index < Length; Index++) {
    if (Header->WriteIndex >= Capacity) {
      HdtOutSend(HDT_OUT_COMMAND, LowAddress(Data), Capacity);
      Header->WriteIndex = 0;
    }
    Data[Header->WriteIndex] = static_cast<UINT8>(Text[Index]);
    Header->WriteIndex++;
  }
}

VOID EFIAPI HdtOutWrite(CONST CHAR8 *Text, UINTN Length) {
  if (!HdtOutIsActive()) {
    return;
  }
  HDT_OUT_HEADER *Header = NULL;
  UINT32 BufferBytes = 0;
  if (!HdtOutGetHeader(&Header, &BufferBytes)) {
    HdtOutSend(HDT_OUT_COMMAND, LowAddress(Text), static_cast<UINT32>(Length));
    return;
  }
  if (Header->PrintEnable != 1) {
    return;
  }
  // Buffering needs the whole data area inside the heap buffer and some
  // capacity; a header without them still decides whether text goes out,
  // and it goes out directly.
  if (Header->BufferedMode == 1 && Header->BufferSize != 0 &&
      BufferBytes >= HDT_OUT_DATA_OFFSET + Header->BufferSize) {
    HdtOutBufferedWrite(Text, Length, Header);
    return;
  }
  HdtOutSend(HDT_OUT_COMMAND, LowAddress(Text), static_cast<UINT32>(Length));
}

constinit const DEBUG_PRINT_BACKEND HdtOutBackend = {
    HdtOutIsActive, HdtOutInitialize, HdtOutAdjustFilter, DebugBackendWriteSlot(HdtOutWrite)};
