// The print formatter with any format (flags, widths, precisions, '*' from
// the arguments, every conversion), any buffer size and any argument slots.
//
// Input: the buffer size (16 bits), the format up to a NUL, then the
// argument slots. A format that names no pointer conversion letter
// (a, s, S, g, t) gets raw 64-bit slots; any other gets, in each slot, NULL
// or the address of a block of input bytes that ends in two NUL bytes and is
// large enough for a GUID or a time, so every pointer the formatter may
// follow is one a caller could pass.
//
// Checked: nothing is written outside the buffer (ASan, the buffer being
// exactly its size) or past the terminating NUL; the result is below the
// buffer size and the NUL stands at it; a rejected call (size 0) writes
// nothing; a format without '%' comes out as itself with its line ends as
// CR LF, cut to the buffer.
#include <algorithm>
#include <cstdarg>
#include <cstring>
#include <memory>
#include <string>
#include <vector>

#include "debug/PrintFormat.h"
#include "tests/fuzz/FuzzInput.h"

namespace {

using fuzz::FuzzInput;

constexpr size_t kSlots = 48;
constexpr size_t kMaxFormat = 40;
constexpr size_t kBlockSize = 24;  // GUID and time fit, followed by two NULs
constexpr uint8_t kCanary = 0xA7;

// A format's plain text as the formatter must lay it out: LF, LF CR and
// CR LF become CR LF, a lone CR stays.
std::string PlainText(const std::string &Format) {
  std::string Text;
  for (size_t At = 0; At < Format.size(); At++) {
    const char Each = Format[At];
    const bool Pair = At + 1 < Format.size() && ((Each == '\n' && Format[At + 1] == '\r') ||
                                                 (Each == '\r' && Format[At + 1] == '\n'));
    if (Each == '\n' || Pair) {
      Text += "\r\n";
      if (Pair) At++;
    } else {
      Text += Each;
    }
  }
  return Text;
}

UINTN Format(CHAR8 *Buffer, UINTN Size, const char *Text, const std::vector<uint64_t> &S) {
  static_assert(kSlots == 48);
  return PrintFormat(Buffer, Size, 0, Text, S[0], S[1], S[2], S[3], S[4], S[5], S[6], S[7], S[8],
                     S[9], S[10], S[11], S[12], S[13], S[14], S[15], S[16], S[17], S[18], S[19],
                     S[20], S[21], S[22], S[23], S[24], S[25], S[26], S[27], S[28], S[29], S[30],
                     S[31], S[32], S[33], S[34], S[35], S[36], S[37], S[38], S[39], S[40], S[41],
                     S[42], S[43], S[44], S[45], S[46], S[47]);
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *Data, size_t Size) {
  FuzzInput In(Data, Size);
  const size_t BufferSize = In.U16() % 700;
  const std::string Text = In.Text(kMaxFormat);
  // Every '%' and '*' may take one slot; a format that could take more than
  // there are is a caller's error, not the formatter's.
  size_t Takes = 0;
  bool Pointers = false;
  for (char Each : Text) {
    Takes += Each == '%' || Each == '*';
    Pointers = Pointers || std::strchr("asSgt", Each) != nullptr;
  }
  if (Takes > kSlots) return 0;

  std::vector<std::unique_ptr<uint64_t[]>> Blocks;
  std::vector<uint64_t> Slots(kSlots);
  for (uint64_t &Slot : Slots) {
    if (!Pointers) {
      Slot = In.U64();
    } else if (In.Bit()) {
      Slot = 0;
    } else {
      Blocks.emplace_back(new uint64_t[kBlockSize / 8]());
      auto *Bytes = reinterpret_cast<uint8_t *>(Blocks.back().get());
      const std::vector<uint8_t> Contents = In.Bytes(In.Below(kBlockSize - 1));
      std::copy(Contents.begin(), Contents.end(), Bytes);
      Slot = reinterpret_cast<uintptr_t>(Bytes);
    }
  }

  const std::unique_ptr<CHAR8[]> Buffer(new CHAR8[BufferSize + 1]);
  std::memset(Buffer.get(), kCanary, BufferSize + 1);
  const UINTN Result = Format(Buffer.get(), BufferSize, Text.c_str(), Slots);
  if (BufferSize == 0) {
    FUZZ_CHECK(Result == 0 && static_cast<uint8_t>(Buffer[0]) == kCanary, "a rejected call wrote");
    return 0;
  }
  FUZZ_CHECK(Result < BufferSize, "the result does not fit the buffer");
  FUZZ_CHECK(Buffer[Result] == 0, "no NUL at the result");
  for (size_t At = Result + 1; At <= BufferSize; At++) {
    FUZZ_CHECK(static_cast<uint8_t>(Buffer[At]) == kCanary, "written past the NUL");
  }
  if (Text.find('%') == std::string::npos) {
    const std::string Plain = PlainText(Text).substr(0, BufferSize - 1);
    FUZZ_CHECK(std::string(Buffer.get(), Result) == Plain, "plain text changed");
  }
  return 0;
}
