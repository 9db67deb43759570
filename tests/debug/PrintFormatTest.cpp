// The print formatter: the format language case by case, cutting at every
// buffer size, and the validation limits.
#include <gtest/gtest.h>

#include <cstring>
#include <string>
#include <vector>

#include "debug/PrintFormat.h"
#include "uefi/UefiTables.h"

namespace {

// Every argument travels in a 64-bit slot.
UINT64 Ptr(const void *Pointer) { return reinterpret_cast<UINT64>(Pointer); }
UINT64 Neg(INT64 Value) { return static_cast<UINT64>(Value); }
constexpr UINT64 Error(UINT64 Code) { return (1ULL << 63) | Code; }

// The dispatcher's entry: AsciiFormatV on a collected argument list.
UINTN FormatV(CHAR8 *Buffer, UINTN BufferSize, const CHAR8 *Format, ...) {
  VA_LIST Marker;
  VA_START(Marker, Format);
  UINTN Length = AsciiFormatV(Buffer, BufferSize, Format, Marker);
  VA_END(Marker);
  return Length;
}

constexpr size_t kSlots = 8;
constexpr unsigned char kCanary = 0xA5;

struct Output {
  std::string Text;  // the bytes before the result's position
  UINTN Result;
  bool Terminated;       // NUL at the result's position
  bool BeyondUntouched;  // nothing written past BufferSize
};

// Formats into a buffer of BufferSize bytes followed by guard bytes.
Output Format(UINTN BufferSize, const char *Fmt, const std::vector<UINT64> &Args) {
  std::vector<UINT64> A = Args;
  A.resize(kSlots, 0);
  std::vector<char> Buffer(BufferSize + 16, static_cast<char>(kCanary));
  UINTN Result =
      FormatV(Buffer.data(), BufferSize, Fmt, A[0], A[1], A[2], A[3], A[4], A[5], A[6], A[7]);
  Output Out{};
  Out.Result = Result;
  if (Result < BufferSize) {
    Out.Text.assign(Buffer.data(), Result);
    Out.Terminated = Buffer[Result] == 0;
  }
  Out.BeyondUntouched = true;
  for (size_t Index = BufferSize; Index < Buffer.size(); Index++) {
    Out.BeyondUntouched &= static_cast<unsigned char>(Buffer[Index]) == kCanary;
  }
  return Out;
}

struct Case {
  const char *Format;
  std::vector<UINT64> Args;
  std::string Expected;
};

const CHAR16 kWideAB[] = {0x0041, 0x0142, 0};
const CHAR16 kWideEmpty[] = {0};
const EFI_GUID kGuid = {
    0x7CE88FB3, 0x4BD7, 0x4679, {0x87, 0xA8, 0xA8, 0xD8, 0xDE, 0xE5, 0x0D, 0x2B}};
const EFI_TIME kTime = {2026, 12, 8, 0, 27, 41, 0, 0, 0, 0, 0};
const char *const kGuidText = "7CE88FB3-4BD7-4679-87A8-A8D8DEE50D2B";

std::vector<Case> LanguageCases() {
  return {
      // Signed decimal, width, flags.
      {"%d", {Neg(-5)}, "-5"},
      {"%5d", {Neg(-5)}, "   -5"},
      {"%05d", {Neg(-5)}, "-0005"},
      {"%-5d|", {Neg(-5)}, "-5   |"},
      {"%+d", {5}, "+5"},
      {"% d", {5}, " 5"},
      {"% +d", {5}, "+5"},
      {"%+ d", {5}, "+5"},
      {"%+5d", {5}, "   +5"},
      {"%+05d", {5}, "+0005"},
      {"% 05d", {5}, " 0005"},
      {"%-05d|", {5}, "5    |"},
      // Precision.
      {"%.3d", {5}, "005"},
      {"%5.3d", {5}, "  005"},
      {"%05.3d", {5}, "  005"},
      {"%+.3d", {5}, "+005"},
      {"%.40d", {5}, std::string(39, '0') + "5"},
      {"%d", {0}, "0"},
      {"%.0d", {0}, ""},
      {"%5.0d|", {0}, "     |"},
      {"%+.0d", {0}, "+"},
      {"%.d", {0}, "0"},
      // Hexadecimal, always upper case.
      {"%x", {255}, "FF"},
      {"%5x", {255}, "   FF"},
      {"%5X", {255}, "000FF"},
      {"%05x", {255}, "000FF"},
      {"%X", {255}, "FF"},
      {"%+x", {255}, "+FF"},
      {"%x", {Neg(-1)}, "FFFFFFFF"},
      {"%x", {0xFFFFFFFFULL}, "FFFFFFFF"},
      {"%lx", {Neg(-1)}, "FFFFFFFFFFFFFFFF"},
      {"%LX", {0xDEADBEEFCAFEF00DULL}, "DEADBEEFCAFEF00D"},
      {"%x", {0xDEADBEEFCAFEF00DULL}, "CAFEF00D"},
      // Unsigned.
      {"%u", {Neg(-1)}, "4294967295"},
      {"%+u", {5}, "5"},
      {"% u", {5}, " 5"},
      {"%lu", {Neg(-1)}, "18446744073709551615"},
      // 32-bit conversions take the slot's low half, sign-extended; long
      // conversions the whole slot.
      {"%d", {0x100000005ULL}, "5"},
      {"%d", {0xFFFFFFFFULL}, "-1"},
      {"%d", {0x80000000ULL}, "-2147483648"},
      {"%ld", {0xFFFFFFFFULL}, "4294967295"},
      {"%ld", {Neg(-5)}, "-5"},
      {"%ld", {0x8000000000000000ULL}, "-9223372036854775808"},
      {"%-6ld|", {Neg(-42)}, "-42   |"},
      {"%,ld", {0x8000000000000000ULL}, "-9,223,372,036,854,775,808"},
      {"%,lu", {Neg(-1)}, "18,446,744,073,709,551,615"},
      // Grouping.
      {"%,d", {1234567}, "1,234,567"},
      {"%,d", {Neg(-1234)}, "-1,234"},
      {"%,d", {999}, "999"},
      {"%,d", {1000}, "1,000"},
      {"%8,d", {1234}, "   1,234"},
      {"%,x", {0x12345}, "12345"},
      {"%,.6d", {12}, "12"},
      {"%0,8d", {1234}, "   1,234"},
      {"%,.0d", {0}, "0"},
      // Pointers.
      {"%p", {0x1234}, "1234"},
      {"%16p", {0x1234}, "0000000000001234"},
      {"%p", {0}, "0"},
      {"%p", {0xFFFF800012345678ULL}, "FFFF800012345678"},
      {"%+ p", {0x12}, "12"},
      {"%-8p|", {0x12}, "12      |"},
      // ASCII strings; line ends inside arguments are copied unchanged.
      {"%a", {0}, "<null string>"},
      {"%a", {Ptr("ab")}, "ab"},
      {"%5a", {Ptr("ab")}, "   ab"},
      {"%-5a|", {Ptr("ab")}, "ab   |"},
      {"%.1a", {Ptr("ab")}, "a"},
      {"%.a", {Ptr("abc")}, "a"},
      {"%.5a", {Ptr("ab")}, "   ab"},
      {"%5.3a", {Ptr("abcdef")}, "  abc"},
      {"%.0a", {Ptr("abc")}, ""},
      {"%a", {Ptr("")}, ""},
      {"%5a", {Ptr("")}, "     "},
      {"%a", {Ptr("x\ny\r")}, "x\ny\r"},
      {"%.4a", {0}, "<nul"},
      // UTF-16 strings, each character written as its low byte.
      {"%s", {Ptr(kWideAB)}, "AB"},
      {"%S", {Ptr(kWideAB)}, "AB"},
      {"%5s", {Ptr(kWideAB)}, "   AB"},
      {"%.1s", {Ptr(kWideAB)}, "A"},
      {"%s", {Ptr(kWideEmpty)}, ""},
      {"%s", {0}, "<null string>"},
      {"%S", {0}, "<null string>"},
      // Characters.
      {"%c", {0x41}, "A"},
      {"%c", {0}, " "},
      {"%3c", {0x41}, "  A"},
      {"%-3c|", {0x41}, "A  |"},
      {"%c", {0x141}, "A"},
      {"%c", {0xFFFF0042}, "B"},
      {"%.0c", {0x41}, ""},
      // GUIDs.
      {"%g", {Ptr(&kGuid)}, kGuidText},
      {"%.8g", {Ptr(&kGuid)}, "7CE88FB3"},
      {"%.0g", {Ptr(&kGuid)}, ""},
      {"%-40g|", {Ptr(&kGuid)}, std::string(kGuidText) + "    |"},
      {"%g", {0}, "<null guid>"},
      // Times.
      {"%t", {Ptr(&kTime)}, "12/08/2026  00:27"},
      {"%.5t", {Ptr(&kTime)}, "12/08"},
      {"%20t", {Ptr(&kTime)}, "   12/08/2026  00:27"},
      {"%t", {0}, "<null time>"},
      // Status texts.
      {"%r", {0}, "Success"},
      {"%r", {1}, "Warning Unknown Glyph"},
      {"%r", {5}, "Warning Stale Data"},
      {"%r", {6}, "00000006"},
      {"%r", {0x123456789ULL}, "23456789"},
      {"%r", {Error(1)}, "Load Error"},
      {"%r", {Error(14)}, "Not Found"},
      {"%r", {Error(29)}, "Reserved (29)"},
      {"%r", {Error(33)}, "Compromised Data"},
      {"%r", {Error(34)}, "00000022"},
      {"%r", {Error(0)}, "00000000"},
      {"%r", {Error(0x100000001ULL)}, "00000001"},
      {"%12r", {Error(14)}, "   Not Found"},
      {"%.3r", {0}, "Suc"},
      {"%.3r", {Error(14)}, "Not"},
      {"%.4r", {6}, "0000"},
      // Width and precision from the arguments.
      {"%*d", {5, 42}, "   42"},
      {"%-*d|", {5, 42}, "42   |"},
      {"%0*d", {4, 7}, "0007"},
      {"%.*d", {3, 7}, "007"},
      {"%*.*d", {6, 3, 7}, "   007"},
      {"%.*a", {2, Ptr("abc")}, "ab"},
      {"%*a", {0, Ptr("ab")}, "ab"},
      {"%*c%d", {3, 0x41, 9}, "  A9"},
      {"%5*d", {2, 42}, "42"},
      {"%*5d", {2, 42}, "   42"},
      // Other characters, and a format that ends inside a sequence.
      {"%%", {}, "%"},
      {"%q", {}, "q"},
      {"%5%", {}, "    %"},
      {"%-3%|", {}, "%  |"},
      {"ab%", {}, "ab"},
      {"ab%5", {}, "ab     "},
      {"ab%-l", {}, "ab"},
      // Line ends in the format.
      {"\n", {}, "\r\n"},
      {"\n\r", {}, "\r\n"},
      {"\r", {}, "\r"},
      {"\r\n", {}, "\r\n"},
      {"a\n\nb", {}, "a\r\n\r\nb"},
      {"\n\r\n", {}, "\r\n\r\n"},
      {"\r\r\n", {}, "\r\r\n"},
      {"%\n", {}, "\r\n"},
      {"%4\n", {}, "  \r\n"},
      // Several arguments, one slot each.
      {"S3 %a at %p: %d entries, %r\n",
       {Ptr("table"), 0x7F001000, 3, Error(9)},
       "S3 table at 7F001000: 3 entries, Out of Resources\r\n"},
      {"%ld %d %c %lx", {Neg(-1), Neg(-2), 0x5A, 0x10}, "-1 -2 Z 10"},
  };
}

TEST(PrintFormat, Language) {
  for (const Case &C : LanguageCases()) {
    Output Out = Format(512, C.Format, C.Args);
    EXPECT_EQ(Out.Text, C.Expected) << "format \"" << C.Format << "\"";
    EXPECT_EQ(Out.Result, C.Expected.size()) << "format \"" << C.Format << "\"";
    EXPECT_TRUE(Out.Terminated) << "format \"" << C.Format << "\"";
  }
}

// Output that does not fit is the full output cut at BufferSize - 1,
// wherever that falls inside an element, and nothing lands past the buffer.
TEST(PrintFormat, CutAtEveryBufferSize) {
  std::vector<Case> Cases = {
      {"%,d", {1234567}, "1,234,567"},
      {"%+08d|%-6x|", {Neg(-42), 0xAB}, "-0000042|AB    |"},
      {"%g %t", {Ptr(&kGuid), Ptr(&kTime)}, std::string(kGuidText) + " 12/08/2026  00:27"},
      {"[%12r]\n%.5a", {Error(14), Ptr("abcdefg")}, "[   Not Found]\r\nabcde"},
      {"%s%c%5%%", {Ptr(kWideAB), 0x43}, "ABC    %"},
      {"%*d", {40, 1}, std::string(39, ' ') + "1"},
  };
  for (const Case &C : Cases) {
    ASSERT_EQ(Format(512, C.Format, C.Args).Text, C.Expected) << C.Format;
    for (UINTN Size = 1; Size <= C.Expected.size() + 2; Size++) {
      Output Out = Format(Size, C.Format, C.Args);
      std::string Want = C.Expected.substr(0, Size - 1);
      EXPECT_EQ(Out.Text, Want) << C.Format << " size " << Size;
      EXPECT_EQ(Out.Result, Want.size()) << C.Format << " size " << Size;
      EXPECT_TRUE(Out.Terminated) << C.Format << " size " << Size;
      EXPECT_TRUE(Out.BeyondUntouched) << C.Format << " size " << Size;
    }
  }
  EXPECT_EQ(Format(5, "%,d", {1234567}).Text, "1,23");
  EXPECT_EQ(Format(1, "abc", {}).Result, 0u);
}

TEST(PrintFormat, LongResultIsCutAt511In512Bytes) {
  std::string Long(600, 'q');
  Output Out = Format(512, "%a", {Ptr(Long.c_str())});
  EXPECT_EQ(Out.Result, 511u);
  EXPECT_EQ(Out.Text, Long.substr(0, 511));
  EXPECT_TRUE(Out.Terminated);
  EXPECT_TRUE(Out.BeyondUntouched);
  // A huge width or precision only fills what fits.
  Out = Format(512, "%*d", {~0ULL, 7});
  EXPECT_EQ(Out.Result, 511u);
  Out = Format(512, "%.*d", {1000000, 7});
  EXPECT_EQ(Out.Text, std::string(511, '0'));
}

// Rejected input returns 0 and leaves the buffer untouched, not even a NUL.
TEST(PrintFormat, RejectedInputWritesNothing) {
  std::string AtLimit(PRINT_LENGTH_MAX, 'f');
  std::string OverLimit(PRINT_LENGTH_MAX + 1, 'f');
  struct Reject {
    const char *Name;
    bool NullBuffer;
    UINTN BufferSize;
    UINTN Flags;
    const char *Format;
  };
  const std::vector<Reject> Cases = {
      {"buffer size 0", false, 0, 0, "abc"},
      {"NULL buffer", true, 16, 0, "abc"},
      {"NULL format", false, 16, 0, nullptr},
      {"buffer above the limit", false, PRINT_LENGTH_MAX + 1, 0, "abc"},
      {"format above the limit", false, 16, 0, OverLimit.c_str()},
      {"unsupported mode", false, 16, 1, "abc"},
  };
  std::vector<char> Buffer(PRINT_LENGTH_MAX + 2, static_cast<char>(kCanary));
  for (const Reject &R : Cases) {
    CHAR8 *Target = R.NullBuffer ? nullptr : Buffer.data();
    EXPECT_EQ(PrintFormat(Target, R.BufferSize, R.Flags, R.Format), 0u) << R.Name;
    EXPECT_EQ(static_cast<unsigned char>(Buffer[0]), kCanary) << R.Name;
  }

  // At the limits the text is formatted.
  UINTN Length = FormatV(Buffer.data(), PRINT_LENGTH_MAX, AtLimit.c_str());
  EXPECT_EQ(Length, static_cast<UINTN>(PRINT_LENGTH_MAX - 1));
  EXPECT_EQ(std::string(Buffer.data(), Length), AtLimit.substr(0, Length));
  EXPECT_EQ(Buffer[Length], 0);
  EXPECT_EQ(static_cast<unsigned char>(Buffer[PRINT_LENGTH_MAX]), kCanary);
}

TEST(PrintFormat, FillOutputStopsAtTheEnd) {
  char Buffer[8];
  std::memset(Buffer, 'x', sizeof(Buffer));
  EXPECT_EQ(FillOutput(Buffer, Buffer + 4, 10, 0x1220, 1), Buffer + 4);
  EXPECT_EQ(std::string(Buffer, 8), "    xxxx");
  EXPECT_EQ(FillOutput(Buffer, Buffer + 4, 0, '-', 1), Buffer);
  EXPECT_EQ(FillOutput(Buffer, Buffer + 4, -3, '-', 1), Buffer);
  EXPECT_EQ(std::string(Buffer, 8), "    xxxx");
}

TEST(PrintFormat, StatusTableRows) {
  // Every row of the status table through %r, by the status it stands for.
  for (UINT64 Row = 0; Row < STATUS_TEXT_COUNT; Row++) {
    UINT64 Status = Row <= 5 ? Row : Error(Row - 5);
    EXPECT_EQ(Format(64, "%r", {Status}).Text, mStatusText[Row]) << Row;
  }
}

}  // namespace
