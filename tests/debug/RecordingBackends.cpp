#include "RecordingBackends.h"

#include "debug/HdtOutBackend.h"
#include "debug/RedirectBackend.h"
#include "debug/SerialBackend.h"
#include "debug/UartFifoBackend.h"

namespace recording {

std::array<BackendScript, 4> gScript;
std::vector<std::string> gCalls;
std::vector<UINT64> gFiltersReceived;
std::vector<WriteRecord> gWrites;

void Reset() {
  gScript.fill(BackendScript{});
  gCalls.clear();
  gFiltersReceived.clear();
  gWrites.clear();
}

namespace {

void Record(int Index, const char *Operation) {
  gCalls.push_back(std::to_string(Index) + "." + Operation);
}

template <int Index>
BOOLEAN EFIAPI IsActive() {
  Record(Index, "IsActive");
  return gScript[Index].Active ? TRUE : FALSE;
}

template <int Index>
VOID EFIAPI Initialize() {
  Record(Index, "Initialize");
}

template <int Index>
BOOLEAN EFIAPI AdjustFilter(UINT64 *Filter) {
  Record(Index, "AdjustFilter");
  gFiltersReceived.push_back(*Filter);
  if (gScript[Index].ReplaceFilter) {
    *Filter = gScript[Index].Filter;
    return TRUE;
  }
  return FALSE;
}

template <int Index>
VOID EFIAPI Write(CONST CHAR8 *Text, UINTN Length) {
  Record(Index, "Write");
  gWrites.push_back({Index, Text, std::string(Text, Length), Length, Text[Length] == 0});
}

}  // namespace
}  // namespace recording

using namespace recording;

constinit const DEBUG_PRINT_BACKEND RedirectBackend = {IsActive<0>, Initialize<0>, AdjustFilter<0>,
                                                       Write<0>};
constinit const DEBUG_PRINT_BACKEND HdtOutBackend = {IsActive<1>, Initialize<1>, AdjustFilter<1>,
                                                     Write<1>};
constinit const DEBUG_PRINT_BACKEND SerialBackend = {IsActive<2>, Initialize<2>, AdjustFilter<2>,
                                                     Write<2>};
constinit const DEBUG_PRINT_BACKEND UartFifoBackend = {IsActive<3>, Initialize<3>, AdjustFilter<3>,
                                                       Write<3>};
