#include "PeiJob.h"

#include <stdexcept>

namespace bootsim {

namespace {

template <class T>
Json Optional(const std::optional<T> &value) {
  return value ? Json(*value) : Json(nullptr);
}

template <class T>
std::optional<T> OptionalFrom(const Json &json, const char *key) {
  if (!json.contains(key) || json.at(key).is_null()) return std::nullopt;
  return json.at(key).get<T>();
}

void Expect(const Json &json, const char *format) {
  if (!json.is_object() || json.value("format", std::string()) != format) {
    throw std::invalid_argument(std::string("not a ") + format + " document");
  }
}

}  // namespace

Json ToJson(const PeiJob &job) {
  Json tokens = Json::array();
  for (const TokenDeclaration &token : job.tokens) {
    tokens.push_back({{"token", token.token}, {"size", token.size}, {"value", token.value}});
  }
  Json failures = Json::array();
  for (const SmbusFailure &failure : job.smbus.failures) {
    failures.push_back({{"address", failure.address},
                        {"write", failure.write},
                        {"status", failure.status},
                        {"call", failure.call}});
  }
  Json msrs = Json::array();
  for (const MsrValue &msr : job.cpu.msrs) {
    msrs.push_back({{"index", msr.index}, {"value", msr.value}});
  }
  Json attempts = Json::array();
  for (const BmcAttempt &attempt : job.bmc.attempts) {
    attempts.push_back({{"status", attempt.status},
                        {"response_length", attempt.responseLength},
                        {"length_written", attempt.lengthWritten}});
  }
  Json serviceFailures = Json::array();
  for (const PeiServiceFailure &failure : job.failures) {
    serviceFailures.push_back({{"service", failure.service},
                               {"ppi", failure.ppi},
                               {"call", failure.call},
                               {"status", failure.status}});
  }
  return {
      {"format", kPeiJobFormat},
      {"tokens", tokens},
      {"smbus",
       {{"id_byte_1", job.smbus.idByte1},
        {"id_byte_2", job.smbus.idByte2},
        {"absent", job.smbus.absent},
        {"failures", failures}}},
      {"bmc",
       {{"present", job.bmc.present},
        {"answer_after", Optional(job.bmc.answerAfter)},
        {"response_length", job.bmc.responseLength},
        {"failure_status", job.bmc.failureStatus},
        {"attempts", attempts}}},
      {"setup_variable",
       {{"present", job.setupVariable.present},
        {"data", HexBytes(job.setupVariable.data.data(), job.setupVariable.data.size())}}},
      {"ppis",
       {{"pcd", job.pcdPpi},
        {"stall", job.stallPpi},
        {"read_only_variable", job.readOnlyVariablePpi}}},
      {"sequence", job.sequence},
      {"service_failures", serviceFailures},
      {"cpu",
       {{"msrs", msrs},
        {"dr2", Optional(job.cpu.dr2)},
        {"dr3", Optional(job.cpu.dr3)},
        {"dr7", Optional(job.cpu.dr7)},
        {"cr4", Optional(job.cpu.cr4)},
        {"back_door_answer", job.cpu.backDoorAnswer},
        {"tsc_hz", Optional(job.cpu.tscHz)}}},
      {"cmos", HexBytes(job.cmos.data(), job.cmos.size())},
      {"trace", job.trace},
      {"image", job.image},
  };
}

PeiJob PeiJobFromJson(const Json &json) {
  Expect(json, kPeiJobFormat);
  PeiJob job;
  for (const Json &token : json.at("tokens")) {
    job.tokens.push_back({token.at("token").get<uint32_t>(), token.at("size").get<unsigned>(),
                          token.at("value").get<uint64_t>()});
  }
  const Json &smbus = json.at("smbus");
  job.smbus.idByte1 = smbus.at("id_byte_1").get<uint8_t>();
  job.smbus.idByte2 = smbus.at("id_byte_2").get<uint8_t>();
  job.smbus.absent = smbus.at("absent").get<std::vector<uint8_t>>();
  for (const Json &failure : smbus.at("failures")) {
    job.smbus.failures.push_back(
        {failure.at("address").get<uint8_t>(), failure.at("write").get<bool>(),
         failure.at("status").get<uint64_t>(), failure.at("call").get<uint32_t>()});
  }
  const Json &bmc = json.at("bmc");
  job.bmc.present = bmc.at("present").get<bool>();
  job.bmc.answerAfter = OptionalFrom<uint32_t>(bmc, "answer_after");
  job.bmc.responseLength = bmc.at("response_length").get<uint8_t>();
  job.bmc.failureStatus = bmc.at("failure_status").get<uint64_t>();
  for (const Json &attempt : bmc.at("attempts")) {
    job.bmc.attempts.push_back({attempt.at("status").get<uint64_t>(),
                                attempt.at("response_length").get<uint8_t>(),
                                attempt.at("length_written").get<bool>()});
  }
  const Json &variable = json.at("setup_variable");
  job.setupVariable.present = variable.at("present").get<bool>();
  job.setupVariable.data = BytesFromHex(variable.at("data").get<std::string>());
  const Json &ppis = json.at("ppis");
  job.pcdPpi = ppis.at("pcd").get<bool>();
  job.stallPpi = ppis.at("stall").get<bool>();
  job.readOnlyVariablePpi = ppis.at("read_only_variable").get<bool>();
  job.sequence = json.at("sequence").get<std::vector<PeiStep>>();
  for (const Json &failure : json.at("service_failures")) {
    job.failures.push_back(
        {failure.at("service").get<std::string>(), failure.at("ppi").get<std::string>(),
         failure.at("call").get<uint32_t>(), failure.at("status").get<uint64_t>()});
  }
  const Json &cpu = json.at("cpu");
  for (const Json &msr : cpu.at("msrs")) {
    job.cpu.msrs.push_back({msr.at("index").get<uint32_t>(), msr.at("value").get<uint64_t>()});
  }
  job.cpu.dr2 = OptionalFrom<uint64_t>(cpu, "dr2");
  job.cpu.dr3 = OptionalFrom<uint64_t>(cpu, "dr3");
  job.cpu.dr7 = OptionalFrom<uint64_t>(cpu, "dr7");
  job.cpu.cr4 = OptionalFrom<uint64_t>(cpu, "cr4");
  job.cpu.backDoorAnswer = cpu.at("back_door_answer").get<uint16_t>();
  job.cpu.tscHz = OptionalFrom<uint64_t>(cpu, "tsc_hz");
  const std::vector<uint8_t> cmos = BytesFromHex(json.at("cmos").get<std::string>());
  if (cmos.size() != job.cmos.size()) throw std::invalid_argument("CMOS is not 128 bytes");
  std::copy(cmos.begin(), cmos.end(), job.cmos.begin());
  job.trace = json.at("trace").get<bool>();
  job.image = json.at("image").get<std::string>();
  return job;
}

Json ToJson(const PeiRecord &record) {
  Json smbus = Json::array();
  for (const SmbusCallRecord &call : record.smbus) {
    smbus.push_back({{"address", call.address},
                     {"operation", call.operation},
                     {"data", call.data},
                     {"status", call.status}});
  }
  Json bmc = Json::array();
  for (const BmcCallRecord &call : record.bmc) {
    bmc.push_back({{"net_function", call.netFunction},
                   {"command", call.command},
                   {"request", HexBytes(call.request.data(), call.request.size())},
                   {"response_length", call.responseLength},
                   {"status", call.status}});
  }
  Json applies = Json::array();
  for (const I2cApplyRecord &apply : record.i2cApplies) {
    applies.push_back({{"slave_address", apply.slaveAddress},
                       {"channel", apply.channel},
                       {"entry_count", apply.entryCount},
                       {"table", HexBytes(apply.table.data(), apply.table.size())}});
  }
  Json calls = Json::array();
  for (const PeiCallRecord &call : record.calls) {
    calls.push_back({{"service", call.service},
                     {"ppis", call.ppis},
                     {"argument", call.argument},
                     {"status", Optional(call.status)},
                     {"parent", Optional(call.parent)},
                     {"text", call.text}});
  }
  return {
      {"format", kPeiRecordFormat},
      {"hand_over", record.handOver},
      {"entry_ran", record.entryRan},
      {"entry_status", record.entryStatus},
      {"installed_before", record.installedBefore},
      {"installed", record.installed},
      {"outcome", ToJson(record.outcome)},
      {"services", record.services},
      {"calls", calls},
      {"smbus", smbus},
      {"bmc", bmc},
      {"stalls", record.stalls},
      {"stalled_us", record.stalledMicroseconds},
      {"i2c_configure_calls", record.i2cConfigureCalls},
      {"i2c_fill_calls", record.i2cFillCalls},
      {"i2c_applies", applies},
      {"time_ns", record.timeNs},
      {"access_counts", record.accessCounts},
      {"trace", record.trace},
      {"cmos", HexBytes(record.cmos.data(), record.cmos.size())},
      {"unobserved", record.unobserved},
      {"load_address", record.loadAddress},
  };
}

PeiRecord PeiRecordFromJson(const Json &json) {
  Expect(json, kPeiRecordFormat);
  PeiRecord record;
  record.handOver = json.at("hand_over").get<std::string>();
  record.entryRan = json.at("entry_ran").get<bool>();
  record.entryStatus = json.at("entry_status").get<uint64_t>();
  record.installedBefore = json.at("installed_before").get<std::vector<std::string>>();
  record.installed = json.at("installed").get<std::vector<std::string>>();
  record.outcome = RunSummaryFromJson(json.at("outcome"));
  record.services = json.at("services").get<std::vector<std::string>>();
  for (const Json &call : json.at("calls")) {
    record.calls.push_back(
        {call.at("service").get<std::string>(), call.at("ppis").get<std::vector<std::string>>(),
         call.at("argument").get<uint64_t>(), OptionalFrom<uint64_t>(call, "status"),
         OptionalFrom<size_t>(call, "parent"), call.at("text").get<std::string>()});
  }
  for (const Json &call : json.at("smbus")) {
    record.smbus.push_back({call.at("address").get<uint8_t>(),
                            call.at("operation").get<std::string>(), call.at("data").get<uint8_t>(),
                            call.at("status").get<uint64_t>()});
  }
  for (const Json &call : json.at("bmc")) {
    record.bmc.push_back({call.at("net_function").get<uint8_t>(), call.at("command").get<uint8_t>(),
                          BytesFromHex(call.at("request").get<std::string>()),
                          call.at("response_length").get<uint8_t>(),
                          call.at("status").get<uint64_t>()});
  }
  record.stalls = json.at("stalls").get<std::vector<uint64_t>>();
  record.stalledMicroseconds = json.at("stalled_us").get<uint64_t>();
  record.i2cConfigureCalls = json.at("i2c_configure_calls").get<uint32_t>();
  record.i2cFillCalls = json.at("i2c_fill_calls").get<uint32_t>();
  for (const Json &apply : json.at("i2c_applies")) {
    record.i2cApplies.push_back({apply.at("slave_address").get<uint32_t>(),
                                 apply.at("channel").get<uint32_t>(),
                                 apply.at("entry_count").get<uint32_t>(),
                                 BytesFromHex(apply.at("table").get<std::string>())});
  }
  record.timeNs = json.at("time_ns").get<uint64_t>();
  record.accessCounts = json.at("access_counts");
  record.trace = json.at("trace");
  const std::vector<uint8_t> cmos = BytesFromHex(json.at("cmos").get<std::string>());
  if (cmos.size() != record.cmos.size()) throw std::invalid_argument("CMOS is not 128 bytes");
  std::copy(cmos.begin(), cmos.end(), record.cmos.begin());
  record.unobserved = json.at("unobserved").get<std::map<std::string, std::string>>();
  record.loadAddress = json.at("load_address").get<uint32_t>();
  return record;
}

}  // namespace bootsim
