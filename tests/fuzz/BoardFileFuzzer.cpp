// boardhook-sim's board-description reader on any text: TOML that is
// broken, of the wrong types, out of range or contradictory.
//
// Checked: the reader either returns a board or throws a BoardError that
// names the file and a line inside the text; no other exception and no
// crash. A board it accepts keeps the documented limits (S3 table size and
// offsets, heap-buffer sizes) and can be built into a simulated machine
// (a contradiction the reader let through would abort the machine).
#include <string>
#include <string_view>

#include "BoardFile.h"
#include "BoardMachine.h"
#include "sim/machine/Machine.h"
#include "tests/fuzz/FuzzInput.h"

namespace {

constexpr size_t kMaxHeapBufferData = 65280;
constexpr uint64_t kMaxS3TableSize = 1u << 20;

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *Data, size_t Size) {
  const std::string_view Text(reinterpret_cast<const char *>(Data), Size);
  const std::string File = "fuzz.toml";
  bootsim::Board Board;
  try {
    Board = bootsim::ParseBoard(Text, File);
  } catch (const bootsim::BoardError &Error) {
    size_t Lines = 1;
    for (char Each : Text) Lines += Each == '\n';
    FUZZ_CHECK(Error.File() == File, Error.what());
    FUZZ_CHECK(Error.Line() <= Lines, Error.what());
    FUZZ_CHECK(!Error.Message().empty());
    return 0;
  }
  FUZZ_CHECK(Board.source == File);
  const bootsim::S3SaveDescription &S3 = Board.s3;
  FUZZ_CHECK(S3.size >= 48 && S3.size <= kMaxS3TableSize, "S3 table size");
  FUZZ_CHECK(S3.boundaryOffset + 4 <= S3.size && S3.endOffset + 2 <= S3.size, "S3 offsets");
  FUZZ_CHECK(S3.smmBufferSize == 0 || S3.smmBufferSize >= 40, "SMM buffer size");
  for (const bootsim::HeapBufferDescription &Buffer : Board.heapBuffers) {
    FUZZ_CHECK(Buffer.data.size() <= kMaxHeapBufferData, "heap buffer size");
  }
  sim::Machine Machine;
  bootsim::DescribeProcessor(Machine, Board.cpu);
  bootsim::DescribeBoardHardware(Machine, Board);
  return 0;
}
