// Recording stand-ins for the four output back-ends. They define the
// back-end records themselves, so a test program linking them walks the
// dispatcher's real list without any output hardware.
#pragma once
#include <array>
#include <string>
#include <vector>

#include "debug/DebugPrintBackend.h"

namespace recording {

struct BackendScript {
  bool Active = true;
  bool ReplaceFilter = false;  // AdjustFilter stores Filter when set
  UINT64 Filter = 0;
};

struct WriteRecord {
  int Index;
  const CHAR8 *Text;
  std::string Bytes;  // the Length bytes of Text
  UINTN Length;
  bool Terminated;  // Text[Length] is NUL
};

extern std::array<BackendScript, 4> gScript;
extern std::vector<std::string> gCalls;  // "<index>.<operation>", in call order
extern std::vector<UINT64> gFiltersReceived;
extern std::vector<WriteRecord> gWrites;

// All back-ends active with their default filter, nothing recorded.
void Reset();

}  // namespace recording
