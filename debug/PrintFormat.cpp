// Print formatter. One pass over the format, characters written straight
// into the caller's buffer and bounded by its end mark, so an element that
// does not fit is cut wherever the buffer fills. No allocation: numbers and
// the nested renderings of GUIDs, times and status codes use a small scratch
// text on the stack.
#include "PrintFormat.h"

#include "../uefi/UefiTables.h"

constinit const CHAR8 mHexDigits[17] = "0123456789ABCDEF";

constinit const CHAR8 *const mStatusText[STATUS_TEXT_COUNT] = {
    "Success",                   // 0
    "Warning Unknown Glyph",     // warning 1
    "Warning Delete Failure",    // warning 2
    "Warning Write Failure",     // warning 3
    "Warning Buffer Too Small",  // warning 4
    "Warning Stale Data",        // warning 5
    "Load Error",                // error 1
    "Invalid Parameter",         // error 2
    "Unsupported",               // error 3
    "Bad Buffer Size",           // error 4
    "Buffer Too Small",          // error 5
    "Not Ready",                 // error 6
    "Device Error",              // error 7
    "Write Protected",           // error 8
    "Out of Resources",          // error 9
    "Volume Corrupt",            // error 10
    "Volume Full",               // error 11
    "No Media",                  // error 12
    "Media changed",             // error 13
    "Not Found",                 // error 14
    "Access Denied",             // error 15
    "No Response",               // error 16
    "No mapping",                // error 17
    "Time out",                  // error 18
    "Not started",               // error 19
    "Already started",           // error 20
    "Aborted",                   // error 21
    "ICMP Error",                // error 22
    "TFTP Error",                // error 23
    "Protocol Error",            // error 24
    "Incompatible Version",      // error 25
    "Security Violation",        // error 26
    "CRC Error",                 // error 27
    "End of Media",              // error 28
    "Reserved (29)",             // error 29
    "Reserved (30)",             // error 30
    "End of File",               // error 31
    "Invalid Language",          // error 32
    "Compromised Data",          // error 33
};

namespace {

constexpr CHAR8 kNullString[] = "<null string>";
constexpr CHAR8 kNullGuid[] = "<null guid>";
constexpr CHAR8 kNullTime[] = "<null time>";
constexpr CHAR8 kGuidFormat[] = "%08x-%04x-%04x-%02x%02x-%02x%02x%02x%02x%02x%02x";
constexpr CHAR8 kTimeFormat[] = "%02d/%02d/%04d  %02d:%02d";
constexpr CHAR8 kStatusFallbackFormat[] = "%08X";
constexpr CHAR8 kLineEnd[] = "\r\n";
constexpr CHAR8 kCarriageReturn[] = "\r";

// Per-element flags.
constexpr UINT32 kLeftJustify = 0x01;
constexpr UINT32 kSign = 0x02;
constexpr UINT32 kBlank = 0x04;
constexpr UINT32 kComma = 0x08;
constexpr UINT32 kLong = 0x10;
constexpr UINT32 kZeroFill = 0x20;
constexpr UINT32 kPadToWidth = 0x40;
constexpr UINT32 kPrecisionGiven = 0x80;

// Statuses with a text: success and warnings up to kLastWarningCode take the
// row of their number, error codes 1 to kLastErrorCode the rows after them.
constexpr UINTN kLastWarningCode = 5;
constexpr UINTN kLastErrorCode = 33;

// Length of an ASCII text up to its NUL, reading no more than Limit characters.
UINTN AsciiLength(CONST CHAR8 *Text, UINTN Limit) {
  UINTN Length = 0;
  while (Length < Limit && Text[Length] != 0) {
    Length++;
  }
  return Length;
}

UINTN WideLength(CONST CHAR16 *Text, UINTN Limit) {
  UINTN Length = 0;
  while (Length < Limit && Text[Length] != 0) {
    Length++;
  }
  return Length;
}

// Writes Want - Have copies of Char, bounded by the end mark; nothing when
// Want is not above Have (a negative count).
CHAR8 *Pad(CHAR8 *Out, CHAR8 *End, UINTN Have, UINTN Want, CHAR8 Char) {
  if (Want <= Have) {
    return Out;
  }
  UINTN Count = Want - Have;
  UINTN Room = static_cast<UINTN>(End - Out);
  return FillOutput(Out, End, static_cast<INTN>(Count < Room ? Count : Room),
                    static_cast<UINT8>(Char), 1);
}

CHAR8 *PutChar(CHAR8 *Out, CHAR8 *End, CHAR8 Char) {
  if (Out < End) {
    *Out++ = Char;
  }
  return Out;
}

}  // namespace

CHAR8 *FillOutput(CHAR8 *Buffer, CHAR8 *End, INTN Count, UINT16 Char, UINTN Increment) {
  if (Increment == 0) {
    return Buffer;
  }
  for (; Count > 0 && static_cast<UINTN>(End - Buffer) >= Increment; Count--) {
    Buffer[0] = static_cast<CHAR8>(Char & 0xFF);
    if (Increment > 1) {
      Buffer[1] = static_cast<CHAR8>(Char >> 8);
    }
    Buffer += Increment;
  }
  return Buffer;
}

// The argument list holds one 64-bit slot per argument. A macro, not a
// helper: a VA_LIST passed by value would not advance the caller's list on
// every target.
#define NEXT_SLOT(Marker) VA_ARG(Marker, UINT64)

UINTN PrintFormatCore(CHAR8 *Buffer, UINTN BufferSize, UINTN Flags, CONST CHAR8 *Format,
                      VA_LIST Marker) {
  if (Buffer == NULL || Format == NULL || BufferSize == 0 || BufferSize > PRINT_LENGTH_MAX ||
      Flags != 0) {
    return 0;
  }
  if (AsciiLength(Format, PRINT_LENGTH_MAX + 1) > PRINT_LENGTH_MAX) {
    return 0;
  }

  CHAR8 *Out = Buffer;
  CHAR8 *End = Buffer + BufferSize - 1;
  CHAR8 ValueText[VALUE_TEXT_SIZE];

  while (*Format != 0 && Out < End) {
    // Plain characters other than line ends are copied as they come.
    CHAR8 Char = *Format;
    if (Char != '%' && Char != '\n' && Char != '\r') {
      *Out++ = Char;
      Format++;
      continue;
    }

    UINT32 ElementFlags = 0;
    UINTN Width = 0;
    UINTN Precision = 1;
    if (Char == '%') {
      Format++;
      for (;;) {
        Char = *Format;
        if (Char == '-') {
          ElementFlags |= kLeftJustify;
        } else if (Char == '+') {
          ElementFlags |= kSign;
        } else if (Char == ' ') {
          ElementFlags |= kBlank;
        } else if (Char == ',') {
          ElementFlags |= kComma;
        } else if (Char == '.') {
          ElementFlags |= kPrecisionGiven;
        } else if (Char == 'l' || Char == 'L') {
          ElementFlags |= kLong;
        } else if (Char == '*') {
          UINTN Value = static_cast<UINTN>(NEXT_SLOT(Marker));
          if ((ElementFlags & kPrecisionGiven) != 0) {
            Precision = Value;
          } else {
            Width = Value;
            ElementFlags |= kPadToWidth;
          }
        } else if (Char >= '0' && Char <= '9') {
          if (Char == '0' && (ElementFlags & kPrecisionGiven) == 0) {
            ElementFlags |= kZeroFill;
          }
          UINTN Value = 0;
          while (*Format >= '0' && *Format <= '9') {
            Value = Value * 10 + static_cast<UINTN>(*Format - '0');
            Format++;
          }
          if ((ElementFlags & kPrecisionGiven) != 0) {
            Precision = Value;
          } else {
            Width = Value;
            ElementFlags |= kPadToWidth;
          }
          continue;
        } else {
          break;
        }
        Format++;
      }
    }

    // The element's text: either digits in ValueText (least significant
    // first) for numbers, or an ASCII or UTF-16 text of Count characters.
    BOOLEAN IsNumber = FALSE;
    CHAR8 Prefix = 0;
    UINTN DigitCount = 0;
    CONST CHAR8 *Text = NULL;
    CONST CHAR16 *WideText = NULL;
    CHAR16 WideChar = 0;
    UINTN Count = 0;
    BOOLEAN CountKnown = FALSE;
    BOOLEAN IsString = FALSE;

    switch (Char) {
      case 0:
        // The format ended inside the sequence: an empty text, padded.
        Precision = 0;
        Text = "";
        break;
      case 'd':
      case 'u':
      case 'x':
      case 'X':
      case 'p': {
        IsNumber = TRUE;
        if (Char == 'u') {
          ElementFlags &= ~kSign;
        } else if (Char == 'X') {
          ElementFlags |= kZeroFill;
        } else if (Char == 'p') {
          // A pointer is printed as a 64-bit zero-filled hexadecimal number.
          ElementFlags &= ~(kBlank | kSign | kZeroFill);
          ElementFlags |= kLong | kZeroFill;
        }
        UINT64 Value = NEXT_SLOT(Marker);
        if ((ElementFlags & kLong) == 0) {
          Value = static_cast<UINT64>(static_cast<INT64>(static_cast<INT32>(Value)));
        }
        if ((ElementFlags & kSign) != 0) {
          Prefix = '+';
        } else if ((ElementFlags & kBlank) != 0) {
          Prefix = ' ';
        }
        UINT64 Radix = 10;
        if (Char == 'x' || Char == 'X' || Char == 'p') {
          Radix = 16;
          ElementFlags &= ~kComma;
          if ((ElementFlags & kLong) == 0) {
            Value &= 0xFFFFFFFFULL;
          }
        } else {
          if ((ElementFlags & kComma) != 0) {
            ElementFlags &= ~kZeroFill;
            Precision = 1;
          }
          if (Char == 'd' && static_cast<INT64>(Value) < 0) {
            Value = 0 - Value;
            Prefix = '-';
          } else if (Char == 'u' && (ElementFlags & kLong) == 0) {
            Value &= 0xFFFFFFFFULL;
          }
        }
        if (Value != 0 || Precision != 0) {
          do {
            ValueText[DigitCount++] = mHexDigits[Value % Radix];
            Value /= Radix;
          } while (Value != 0);
        }
        Count = DigitCount;
        if ((ElementFlags & kComma) != 0 && Count != 0) {
          Count += (Count - 1) / 3;
        }
        if (Prefix != 0) {
          Count++;
          Precision++;
        }
        if ((ElementFlags & (kZeroFill | kPadToWidth | kLeftJustify | kPrecisionGiven)) ==
            (kZeroFill | kPadToWidth)) {
          Precision = Width;
        }
        break;
      }
      case 'c':
        // One UTF-16 character; a zero character has no length.
        WideChar = static_cast<CHAR16>(NEXT_SLOT(Marker));
        WideText = &WideChar;
        Count = WideChar != 0 ? 1 : 0;
        CountKnown = TRUE;
        break;
      case 'a':
        IsString = TRUE;
        Text = reinterpret_cast<CONST CHAR8 *>(static_cast<UINTN>(NEXT_SLOT(Marker)));
        if (Text == NULL) {
          Text = kNullString;
        }
        break;
      case 's':
      case 'S':
        IsString = TRUE;
        WideText = reinterpret_cast<CONST CHAR16 *>(static_cast<UINTN>(NEXT_SLOT(Marker)));
        if (WideText == NULL) {
          Text = kNullString;
        }
        break;
      case 'g': {
        CONST EFI_GUID *Guid =
            reinterpret_cast<CONST EFI_GUID *>(static_cast<UINTN>(NEXT_SLOT(Marker)));
        if (Guid == NULL) {
          Text = kNullGuid;
        } else {
          PrintFormat(ValueText, VALUE_TEXT_SIZE, 0, kGuidFormat, UINT64{Guid->Data1},
                      UINT64{Guid->Data2}, UINT64{Guid->Data3}, UINT64{Guid->Data4[0]},
                      UINT64{Guid->Data4[1]}, UINT64{Guid->Data4[2]}, UINT64{Guid->Data4[3]},
                      UINT64{Guid->Data4[4]}, UINT64{Guid->Data4[5]}, UINT64{Guid->Data4[6]},
                      UINT64{Guid->Data4[7]});
          Text = ValueText;
        }
        break;
      }
      case 't': {
        CONST EFI_TIME *Time =
            reinterpret_cast<CONST EFI_TIME *>(static_cast<UINTN>(NEXT_SLOT(Marker)));
        if (Time == NULL) {
          Text = kNullTime;
        } else {
          PrintFormat(ValueText, VALUE_TEXT_SIZE, 0, kTimeFormat, UINT64{Time->Month},
                      UINT64{Time->Day}, UINT64{Time->Year}, UINT64{Time->Hour},
                      UINT64{Time->Minute});
          Text = ValueText;
        }
        break;
      }
      case 'r': {
        EFI_STATUS Status = static_cast<EFI_STATUS>(NEXT_SLOT(Marker));
        UINTN Code = Status & ~MAX_BIT;
        if ((Status & MAX_BIT) == 0 && Code <= kLastWarningCode) {
          Text = mStatusText[Code];
        } else if ((Status & MAX_BIT) != 0 && Code >= 1 && Code <= kLastErrorCode) {
          Text = mStatusText[Code + kLastWarningCode];
        } else {
          PrintFormat(ValueText, VALUE_TEXT_SIZE, 0, kStatusFallbackFormat, UINT64{Status});
          Text = ValueText;
        }
        break;
      }
      case '\n':
        // A line feed, with a carriage return right after it, is one line end.
        Text = kLineEnd;
        if (Format[1] == '\r') {
          Format++;
        }
        break;
      case '\r':
        if (Format[1] == '\n') {
          Text = kLineEnd;
          Format++;
        } else {
          Text = kCarriageReturn;
        }
        break;
      default:
        // Any other character, '%' included, stands for itself.
        Text = Format;
        Count = 1;
        CountKnown = TRUE;
        break;
    }
    if (Char != 0) {
      Format++;
    }

    if (!IsNumber) {
      // Texts count up to their NUL, no further than a given precision;
      // strings without a given precision start from precision 0.
      if (IsString && (ElementFlags & kPrecisionGiven) == 0) {
        Precision = 0;
      }
      UINTN Limit = (ElementFlags & kPrecisionGiven) != 0 ? Precision : ~static_cast<UINTN>(0);
      if (!CountKnown) {
        Count = Text != NULL ? AsciiLength(Text, Limit) : WideLength(WideText, Limit);
      } else if (Count > Limit) {
        Count = Limit;
      }
    }

    if (Precision < Count) {
      Precision = Count;
    }
    BOOLEAN PadWidth = (ElementFlags & kPadToWidth) != 0;
    BOOLEAN LeftJustify = (ElementFlags & kLeftJustify) != 0;
    if (PadWidth && !LeftJustify) {
      Out = Pad(Out, End, Precision, Width, ' ');
    }
    if (IsNumber) {
      if (Prefix != 0) {
        Out = PutChar(Out, End, Prefix);
      }
      Out = Pad(Out, End, Count, Precision, '0');
      // Most significant digit first, a comma after every third digit
      // counted from the right but not after the last one.
      BOOLEAN Group = (ElementFlags & kComma) != 0;
      for (UINTN Index = DigitCount; Index > 0 && Out < End; Index--) {
        *Out++ = ValueText[Index - 1];
        if (Group && Index > 1 && (Index - 1) % 3 == 0) {
          Out = PutChar(Out, End, ',');
        }
      }
    } else {
      Out = Pad(Out, End, Count, Precision, ' ');
      for (UINTN Index = 0; Index < Count && Out < End; Index++) {
        *Out++ = Text != NULL ? Text[Index] : static_cast<CHAR8>(WideText[Index] & 0xFF);
      }
    }
    if (PadWidth && LeftJustify) {
      Out = Pad(Out, End, Precision, Width, ' ');
    }
  }

  *Out = 0;
  return static_cast<UINTN>(Out - Buffer);
}

UINTN PrintFormat(CHAR8 *Buffer, UINTN BufferSize, UINTN Flags, CONST CHAR8 *Format, ...) {
  VA_LIST Marker;
  VA_START(Marker, Format);
  UINTN Length = PrintFormatCore(Buffer, BufferSize, Flags, Format, Marker);
  VA_END(Marker);
  return Length;
}

UINTN AsciiFormatV(CHAR8 *Buffer, UINTN BufferSize, CONST CHAR8 *Format, VA_LIST Marker) {
  return PrintFormatCore(Buffer, BufferSize, 0, Format, Marker);
}
