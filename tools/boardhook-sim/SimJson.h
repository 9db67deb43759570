// JSON forms of the simulated machine's records, shared by the PEI runner
// (32-bit) and the tool (64-bit): a run's outcome, the access counts by kind
// and the access trace.
#pragma once
#include <cstdint>
#include <string>
#include <vector>

#include <nlohmann/json.hpp>

#include "sim/machine/Machine.h"

namespace bootsim {

using Json = nlohmann::ordered_json;

// How a phase's run ended, as the report shows it.
struct RunSummary {
  std::string end;        // "returned", "reset" or "hung"
  std::string hangCause;  // "error-display", "no-progress", "time-limit" (hung only)
  uint8_t resetValue = 0;
  uint32_t trapCode = 0;  // error-display only
  std::vector<uint32_t> frames;
  std::string lastAccess;  // hung only
  std::string description;
};

RunSummary Summarize(const sim::RunOutcome &outcome);
Json ToJson(const RunSummary &summary);
RunSummary RunSummaryFromJson(const Json &json);

// {"IoRead": n, ...} for every kind of firmware access, zero counts
// included (stall and restart records are not accesses).
Json AccessCounts(const sim::AccessTrace &trace);
// One object per record: kind, width, address, value, aux, time_ns, repeat.
Json TraceRecords(const sim::AccessTrace &trace);

// Bytes as two hexadecimal digits each, upper case, no separators.
std::string HexBytes(const uint8_t *bytes, size_t size);
std::vector<uint8_t> BytesFromHex(const std::string &text);

}  // namespace bootsim
