// What the tool hands the 32-bit PEI runner (the job: the parts of the board
// that the PEI phase sees) and what the runner hands back (the record: the
// configuration database in its serialized hand-over form, and what happened
// for the report). Both travel as JSON through the runner's stdin and stdout.
#pragma once
#include <array>
#include <cstdint>
#include <map>
#include <optional>
#include <string>
#include <vector>

#include "Board.h"
#include "SimJson.h"

namespace bootsim {

struct TokenDeclaration {
  uint32_t token = 0;
  unsigned size = 0;  // 0: the token is taken out of the database
  uint64_t value = 0;
};

struct PeiJob {
  std::vector<TokenDeclaration> tokens;  // the database as the build left it
  SmbusDescription smbus;
  BmcDescription bmc;
  SetupVariableDescription setupVariable;
  // The platform's PPIs present before the module runs.
  bool pcdPpi = true;
  bool stallPpi = true;
  bool readOnlyVariablePpi = true;
  std::vector<PeiStep> sequence;  // the entry and the installations, in order
  std::vector<PeiServiceFailure> failures;
  CpuDescription cpu;
  std::array<uint8_t, 128> cmos{};
  bool trace = false;
  std::string image;  // the PEI module's image to load; empty: the host build
};

struct SmbusCallRecord {
  uint8_t address = 0;
  std::string operation;  // "read", "write" or another operation's number
  uint8_t data = 0;
  uint64_t status = 0;  // 64-bit form
};

struct BmcCallRecord {
  uint8_t netFunction = 0;
  uint8_t command = 0;
  std::vector<uint8_t> request;
  uint8_t responseLength = 0;
  uint64_t status = 0;
};

struct I2cApplyRecord {
  uint32_t slaveAddress = 0;
  uint32_t channel = 0;
  uint32_t entryCount = 0;
  std::vector<uint8_t> table;
};

// One call the PEI foundation recorded (service or stand-in PPI member).
struct PeiCallRecord {
  std::string service;             // "LocatePpi", "Notify", "PpiMember", ...
  std::vector<std::string> ppis;   // by name where the foundation knows one
  uint64_t argument = 0;           // LocatePpi: the instance; AllocatePool: the size
  std::optional<uint64_t> status;  // 64-bit form; none when the call reports none
  std::optional<size_t> parent;    // index of the call in progress when it was made
  std::string text;
};

struct PeiRecord {
  std::string handOver;  // the configuration database, serialized
  bool entryRan = false;
  uint64_t entryStatus = 0;  // 64-bit form
  // The installations before and after the entry, in order: "smbus", or
  // "i2c-table + i2c-apply" for PPIs installed in one list.
  std::vector<std::string> installedBefore;
  std::vector<std::string> installed;
  RunSummary outcome;
  std::vector<std::string> services;  // the foundation's trace
  std::vector<PeiCallRecord> calls;   // the same calls, typed
  std::vector<SmbusCallRecord> smbus;
  std::vector<BmcCallRecord> bmc;
  std::vector<uint64_t> stalls;  // microseconds of each stall call
  uint64_t stalledMicroseconds = 0;
  uint32_t i2cConfigureCalls = 0;
  uint32_t i2cFillCalls = 0;
  std::vector<I2cApplyRecord> i2cApplies;
  uint64_t timeNs = 0;
  Json accessCounts = Json::object();
  Json trace = Json::array();
  std::array<uint8_t, 128> cmos{};
  // Access kinds this run could not count (left out of accessCounts), with
  // the reason.
  std::map<std::string, std::string> unobserved;
  uint32_t loadAddress = 0;  // where the image ran, when one did
};

Json ToJson(const PeiJob &job);
PeiJob PeiJobFromJson(const Json &json);
Json ToJson(const PeiRecord &record);
PeiRecord PeiRecordFromJson(const Json &json);

inline constexpr const char *kPeiJobFormat = "boardhook-pei-job/1";
inline constexpr const char *kPeiRecordFormat = "boardhook-pei-record/1";

}  // namespace bootsim
