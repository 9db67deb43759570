#include "SimJson.h"

#include <cstdio>
#include <stdexcept>

namespace bootsim {

namespace {

const char *EndText(sim::RunEnd end) {
  switch (end) {
    case sim::RunEnd::Returned:
      return "returned";
    case sim::RunEnd::Reset:
      return "reset";
    case sim::RunEnd::Hung:
      return "hung";
  }
  return "?";
}

const char *HangText(sim::HangCause cause) {
  switch (cause) {
    case sim::HangCause::None:
      return "";
    case sim::HangCause::ErrorDisplay:
      return "error-display";
    case sim::HangCause::NoProgress:
      return "no-progress";
    case sim::HangCause::TimeLimit:
      return "time-limit";
  }
  return "?";
}

}  // namespace

RunSummary Summarize(const sim::RunOutcome &outcome) {
  RunSummary summary;
  summary.end = EndText(outcome.end);
  summary.description = outcome.Describe();
  if (outcome.end == sim::RunEnd::Reset) summary.resetValue = outcome.resetValue;
  if (outcome.end == sim::RunEnd::Hung) {
    summary.hangCause = HangText(outcome.hang);
    if (outcome.hang == sim::HangCause::ErrorDisplay) {
      summary.trapCode = outcome.trapCode;
      summary.frames = outcome.frames;
    } else {
      summary.lastAccess = outcome.lastAccess.ToString();
    }
  }
  return summary;
}

Json ToJson(const RunSummary &summary) {
  Json json = {{"end", summary.end}, {"description", summary.description}};
  if (summary.end == "reset") json["reset_value"] = summary.resetValue;
  if (summary.end == "hung") {
    json["hang_cause"] = summary.hangCause;
    if (summary.hangCause == "error-display") {
      json["trap_code"] = summary.trapCode;
      json["frames"] = summary.frames;
    } else {
      json["last_access"] = summary.lastAccess;
    }
  }
  return json;
}

RunSummary RunSummaryFromJson(const Json &json) {
  RunSummary summary;
  summary.end = json.at("end").get<std::string>();
  summary.description = json.at("description").get<std::string>();
  summary.resetValue = json.value("reset_value", uint8_t{0});
  summary.hangCause = json.value("hang_cause", std::string());
  summary.trapCode = json.value("trap_code", uint32_t{0});
  summary.frames = json.value("frames", std::vector<uint32_t>());
  summary.lastAccess = json.value("last_access", std::string());
  return summary;
}

Json AccessCounts(const sim::AccessTrace &trace) {
  Json counts = Json::object();
  for (size_t kind = 0; kind < sim::kAccessKindCount; kind++) {
    const auto accessKind = static_cast<sim::AccessKind>(kind);
    // Stalls and restarts are in the trace but are no accesses of the
    // firmware; the report counts them apart.
    if (accessKind == sim::AccessKind::Stall || accessKind == sim::AccessKind::Restart) continue;
    counts[sim::AccessKindName(accessKind)] = trace.Count(accessKind);
  }
  return counts;
}

Json TraceRecords(const sim::AccessTrace &trace) {
  Json records = Json::array();
  for (const sim::TraceRecord &record : trace.Records()) {
    records.push_back({{"kind", sim::AccessKindName(record.kind)},
                       {"width", record.width},
                       {"address", record.address},
                       {"value", record.value},
                       {"aux", record.aux},
                       {"time_ns", record.timeNs},
                       {"repeat", record.repeat},
                       {"text", record.ToString()}});
  }
  return records;
}

std::string HexBytes(const uint8_t *bytes, size_t size) {
  static constexpr char kDigits[] = "0123456789ABCDEF";
  std::string text;
  text.reserve(size * 2);
  for (size_t index = 0; index < size; index++) {
    text.push_back(kDigits[bytes[index] >> 4]);
    text.push_back(kDigits[bytes[index] & 0xF]);
  }
  return text;
}

std::vector<uint8_t> BytesFromHex(const std::string &text) {
  if (text.size() % 2 != 0) throw std::invalid_argument("odd number of hexadecimal digits");
  auto digit = [](char c) -> uint8_t {
    if (c >= '0' && c <= '9') return static_cast<uint8_t>(c - '0');
    if (c >= 'A' && c <= 'F') return static_cast<uint8_t>(c - 'A' + 10);
    if (c >= 'a' && c <= 'f') return static_cast<uint8_t>(c - 'a' + 10);
    throw std::invalid_argument("not a hexadecimal digit");
  };
  std::vector<uint8_t> bytes(text.size() / 2);
  for (size_t index = 0; index < bytes.size(); index++) {
    bytes[index] = static_cast<uint8_t>(digit(text[2 * index]) << 4 | digit(text[2 * index + 1]));
  }
  return bytes;
}

}  // namespace bootsim
