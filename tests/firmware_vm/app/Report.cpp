// Report output: one byte per port write, plain ASCII lines.
#include "Report.h"

#include "../../../hw/HwAccess.h"

namespace {
constexpr CHAR8 HEX_DIGITS[] = "0123456789abcdef";
}  // namespace

VOID ReportText(const CHAR8 *Text) {
  while (*Text != '\0') {
    HwIoWrite8(REPORT_PORT, static_cast<UINT8>(*Text++));
  }
}

VOID ReportHex(UINT64 Value) {
  CHAR8 Digits[19];
  UINTN Index = sizeof(Digits) - 1;
  Digits[Index] = '\0';
  do {
    Digits[--Index] = HEX_DIGITS[Value & 0xF];
    Value >>= 4;
  } while (Value != 0);
  Digits[--Index] = 'x';
  Digits[--Index] = '0';
  ReportText(&Digits[Index]);
}

VOID ReportDec(UINT64 Value) {
  CHAR8 Digits[21];
  UINTN Index = sizeof(Digits) - 1;
  Digits[Index] = '\0';
  do {
    Digits[--Index] = static_cast<CHAR8>('0' + Value % 10);
    Value /= 10;
  } while (Value != 0);
  ReportText(&Digits[Index]);
}

VOID ReportHexField(const CHAR8 *Key, UINT64 Value) {
  ReportText(Key);
  ReportText("=");
  ReportHex(Value);
  ReportText(" ");
}

VOID ReportDecField(const CHAR8 *Key, UINT64 Value) {
  ReportText(Key);
  ReportText("=");
  ReportDec(Value);
  ReportText(" ");
}

VOID ReportYesNo(const CHAR8 *Key, BOOLEAN Value) {
  ReportText(Key);
  ReportText(Value ? "=yes " : "=no ");
}

VOID ReportBytesField(const CHAR8 *Key, const VOID *Bytes, UINTN Length) {
  ReportText(Key);
  ReportText("=");
  const UINT8 *Byte = static_cast<const UINT8 *>(Bytes);
  for (UINTN Index = 0; Index < Length; Index++) {
    CHAR8 Digits[3] = {HEX_DIGITS[Byte[Index] >> 4], HEX_DIGITS[Byte[Index] & 0xF], '\0'};
    ReportText(Digits);
  }
  ReportText(" ");
}

VOID ReportGuidField(const CHAR8 *Key, const EFI_GUID &Guid) {
  constexpr CHAR8 UPPER_DIGITS[] = "0123456789ABCDEF";
  // Data1-Data2-Data3-Data4[0..1]-Data4[2..7]: the numbers most significant
  // digit first, the bytes of Data4 in order.
  const UINT64 Fields[] = {Guid.Data1, Guid.Data2, Guid.Data3};
  const UINTN Digits[] = {8, 4, 4};
  CHAR8 Text[37];
  UINTN At = 0;
  for (UINTN Field = 0; Field < 3; Field++) {
    for (UINTN Digit = Digits[Field]; Digit-- > 0;) {
      Text[At++] = UPPER_DIGITS[(Fields[Field] >> (4 * Digit)) & 0xF];
    }
    Text[At++] = '-';
  }
  for (UINTN Index = 0; Index < 8; Index++) {
    if (Index == 2) {
      Text[At++] = '-';
    }
    Text[At++] = UPPER_DIGITS[Guid.Data4[Index] >> 4];
    Text[At++] = UPPER_DIGITS[Guid.Data4[Index] & 0xF];
  }
  Text[At] = '\0';
  ReportText(Key);
  ReportText("=");
  ReportText(Text);
  ReportText(" ");
}
