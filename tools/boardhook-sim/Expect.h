// What a board's [expect] table says its boot must report, and the check
// of a report against it: per field, expected against got.
#pragma once
#include <cstdint>
#include <map>
#include <optional>
#include <string>
#include <vector>

#include "SimJson.h"

namespace bootsim {

struct Expectations {
  std::optional<std::string> outcome;  // "ready-to-boot", "trap", "reset-loop" or "hang"
  std::optional<uint64_t> boardType;
  std::map<uint32_t, uint64_t> tokens;  // the last value the firmware wrote to each token
  std::optional<std::vector<std::string>> firstList;   // MAC entries Hook4 returned
  std::optional<std::vector<std::string>> secondList;  // (last boot)
  std::optional<std::vector<uint64_t>> suppressed;     // setup items, in call order (last boot)
  std::optional<uint64_t> resets;
  std::optional<uint64_t> cmosCounter;
  std::optional<std::vector<uint64_t>> postCodes;  // values written to 0x80/0xE0 (last boot)
  std::optional<uint64_t> trapCode;
  // The S3 hand-off of the last boot.
  std::optional<bool> s3Locked;
  std::optional<bool> s3Closed;
  std::optional<uint64_t> s3Messages;
  std::optional<uint64_t> s3EndMark;
  std::optional<bool> s3TableFreed;

  bool Empty() const;
};

// {"met": bool, "differences": [{"field", "expected", "got"}], "checked": [field...]}
Json CheckExpectations(const Expectations &expect, const Json &report);

// "field: expected X, got Y" lines for people.
std::string ExpectationText(const Json &result);

}  // namespace bootsim
