// Print formatter: turns an ASCII format and an argument list into
// NUL-terminated ASCII text in a caller's buffer.
//
// Format language: plain characters are copied, a line feed (alone or
// followed by a carriage return) and a carriage return with a line feed both
// become 0x0D 0x0A. A '%' sequence takes flags in any order
//   '-' left-justify, '+' sign, ' ' blank before numbers, ',' group decimal
//   digits by three, '.' precision follows, '*' width or precision from the
//   next argument, '0' zero-fill, digits a width or precision, 'l'/'L' long,
// and ends in a conversion:
//   d u x X (32-bit, 64-bit with long; hexadecimal always in upper case),
//   p pointer, c UTF-16 character, a ASCII string, s/S UTF-16 string,
//   g GUID, t UEFI time, r status text; any other character is itself.
//
// The argument list is read one 64-bit slot per argument, whatever the
// conversion reads from it: callers pass every argument as UINT64, UINTN or a
// pointer. The functions are plain C (variadic ones must not be EFIAPI).
#pragma once
#include "../uefi/UefiBase.h"

// Largest accepted BufferSize and longest accepted format, in characters.
#define PRINT_LENGTH_MAX 1000000
// Scratch text for the digits of a number and the nested renderings.
#define VALUE_TEXT_SIZE 38

extern const CHAR8 mHexDigits[17];
// Status texts: rows 0-5 for success and warnings 1-5, row code + 5 for the
// errors 1-33.
#define STATUS_TEXT_COUNT 39
extern const CHAR8 *const mStatusText[STATUS_TEXT_COUNT];

// Writes Count copies of Char, one every Increment bytes (with Increment 1
// only its low byte), stopping early at End; returns the advanced Buffer.
CHAR8 *FillOutput(CHAR8 *Buffer, CHAR8 *End, INTN Count, UINT16 Char, UINTN Increment);

// Formats into Buffer, at most BufferSize - 1 characters and a NUL; returns
// the number of characters written before the NUL. Returns 0 and leaves the
// buffer untouched when Buffer or Format is NULL, BufferSize is 0 or above
// PRINT_LENGTH_MAX, the format is longer than PRINT_LENGTH_MAX or Flags is not
// 0 (ASCII format, ASCII output: the only mode this system uses).
UINTN PrintFormatCore(CHAR8 *Buffer, UINTN BufferSize, UINTN Flags, CONST CHAR8 *Format,
                      VA_LIST Marker);

UINTN PrintFormat(CHAR8 *Buffer, UINTN BufferSize, UINTN Flags, CONST CHAR8 *Format, ...);

// PrintFormatCore with Flags 0.
UINTN AsciiFormatV(CHAR8 *Buffer, UINTN BufferSize, CONST CHAR8 *Format, VA_LIST Marker);
