// AsciiFormatV against the host's snprintf on a mix of messages like the
// ones the driver prints: each message in both format languages, producing
// the same text. Run: build/host64/tools/bench/print_format_bench
#include <benchmark/benchmark.h>

#include <cstdarg>
#include <cstdio>

#include "debug/PrintFormat.h"

namespace {

UINTN Format(CHAR8 *Buffer, UINTN Size, const CHAR8 *Fmt, ...) {
  VA_LIST Marker;
  VA_START(Marker, Fmt);
  UINTN Length = AsciiFormatV(Buffer, Size, Fmt, Marker);
  VA_END(Marker);
  return Length;
}

UINT64 Ptr(const void *Pointer) { return reinterpret_cast<UINT64>(Pointer); }

constexpr UINT64 kTable = 0x7F3A1000;
constexpr UINT64 kNotFound = (1ULL << 63) | 14;

// The same message set through one formatter; returns the bytes produced.
size_t FormatterMix(char *Buffer, size_t Size) {
  size_t Total = 0;
  Total += Format(Buffer, Size, "S3SaveLib: private data at %p\n", kTable);
  Total += Format(Buffer, Size, "S3SaveLib: table %p, %d entries, %d bytes used\n", kTable,
                  UINT64{37}, UINT64{4096});
  Total += Format(Buffer, Size, "S3SaveLib: locate %a: %r\n", Ptr("SmmCommunication"), kNotFound);
  Total += Format(Buffer, Size, "S3SaveLib: entry %3d width %x address %08lx value %lx\n",
                  UINT64{12}, UINT64{0x83}, UINT64{0xFED80300}, UINT64{0xDEADBEEF});
  Total += Format(Buffer, Size, "S3SaveLib: %-20a|%8d|\n", Ptr("ReadyToBoot"), UINT64{1234567});
  return Total;
}

size_t SnprintfMix(char *Buffer, size_t Size) {
  size_t Total = 0;
  Total += snprintf(Buffer, Size, "S3SaveLib: private data at %llX\r\n",
                    static_cast<unsigned long long>(kTable));
  Total += snprintf(Buffer, Size, "S3SaveLib: table %llX, %d entries, %d bytes used\r\n",
                    static_cast<unsigned long long>(kTable), 37, 4096);
  Total += snprintf(Buffer, Size, "S3SaveLib: locate %s: %s\r\n", "SmmCommunication", "Not Found");
  Total += snprintf(Buffer, Size, "S3SaveLib: entry %3d width %X address %08llX value %llX\r\n", 12,
                    0x83, 0xFED80300ULL, 0xDEADBEEFULL);
  Total += snprintf(Buffer, Size, "S3SaveLib: %-20s|%8d|\r\n", "ReadyToBoot", 1234567);
  return Total;
}

void BM_AsciiFormatV(benchmark::State &State) {
  char Buffer[512];
  char Other[512];
  if (FormatterMix(Buffer, sizeof(Buffer)) != SnprintfMix(Other, sizeof(Other))) {
    State.SkipWithError("the two message sets produce texts of different lengths");
    return;
  }
  size_t Bytes = 0;
  for (auto _ : State) {
    Bytes += FormatterMix(Buffer, sizeof(Buffer));
    benchmark::DoNotOptimize(Buffer);
  }
  State.SetBytesProcessed(static_cast<int64_t>(Bytes));
}
BENCHMARK(BM_AsciiFormatV);

void BM_Snprintf(benchmark::State &State) {
  char Buffer[512];
  size_t Bytes = 0;
  for (auto _ : State) {
    Bytes += SnprintfMix(Buffer, sizeof(Buffer));
    benchmark::DoNotOptimize(Buffer);
  }
  State.SetBytesProcessed(static_cast<int64_t>(Bytes));
}
BENCHMARK(BM_Snprintf);

}  // namespace
