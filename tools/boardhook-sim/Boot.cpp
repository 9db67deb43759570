#include "Boot.h"

#include <map>
#include <memory>

#include "DxePhase.h"
#include "Explain.h"
#include "Subprocess.h"
#include "board/SetupSuppress.h"
#include "include/PcdTokens.h"
#include "sim/core/EfiText.h"
#include "sim/core/FixedMemory.h"

namespace bootsim {

namespace {

Json TokenAccessJson(const Json &access) {
  const uint64_t status = access.at("status").get<uint64_t>();
  return {{"phase", access.at("phase")},
          {"operation", access.at("operation")},
          {"token", access.at("token")},
          {"value", access.at("value")},
          {"status", status},
          {"status_text", sim::StatusText(sim::StatusFrom64(status))},
          {"valid", access.at("valid")}};
}

// What the configuration database carried from PEI to DXE: token values
// and the PEI phase's sets.
struct HandOverView {
  Json tokens = Json::object();  // token number (text) -> value
  Json sets = Json::array();
};

HandOverView ReadHandOver(const std::string &handOver) {
  HandOverView view;
  const Json json = Json::parse(handOver);
  for (const Json &token : json.at("tokens")) {
    view.tokens[std::to_string(token.at("token").get<uint64_t>())] = token.at("value");
  }
  for (const Json &access : json.at("accesses")) {
    if (access.at("operation").get<std::string>().rfind("Set", 0) == 0) {
      view.sets.push_back(TokenAccessJson(access));
    }
  }
  return view;
}

// The tokens the PEI module writes, as the DXE phase found them.
Json Identification(const HandOverView &handOver) {
  auto value = [&](uint64_t token) -> Json {
    const std::string key = std::to_string(token);
    return handOver.tokens.contains(key) ? handOver.tokens[key] : Json(nullptr);
  };
  Json tokens = Json::object();
  for (const PCD_TOKEN_INFO &info : PCD_TOKENS) {
    if (info.Writer == PcdWrittenInPei) tokens[std::to_string(info.Number)] = value(info.Number);
  }
  return {{"board_type", value(PCD_TOKEN_BOARD_TYPE)}, {"tokens", tokens}};
}

Json PeiJson(const PeiRecord &record, const HandOverView &handOver, bool trace) {
  Json smbus = Json::array();
  for (const SmbusCallRecord &call : record.smbus) {
    smbus.push_back({{"address", call.address},
                     {"operation", call.operation},
                     {"data", call.data},
                     {"status", call.status},
                     {"status_text", sim::StatusText(sim::StatusFrom64(call.status))}});
  }
  bool answered = false;
  Json answers = Json::array();
  for (const BmcCallRecord &call : record.bmc) {
    answered = answered || (!EFI_ERROR(sim::StatusFrom64(call.status)) && call.responseLength == 1);
    answers.push_back({{"status", call.status},
                       {"status_text", sim::StatusText(sim::StatusFrom64(call.status))},
                       {"response_length", call.responseLength}});
  }
  Json applies = Json::array();
  for (const I2cApplyRecord &apply : record.i2cApplies) {
    applies.push_back({{"slave_address", apply.slaveAddress},
                       {"channel", apply.channel},
                       {"entry_count", apply.entryCount}});
  }
  Json json = {
      {"outcome", ToJson(record.outcome)},
      {"entry_status", record.entryRan ? Json(record.entryStatus) : Json(nullptr)},
      {"installed_before", record.installedBefore},
      {"installed", record.installed},
      {"bmc", {{"attempts", record.bmc.size()}, {"answered", answered}, {"answers", answers}}},
      {"smbus", smbus},
      {"i2c",
       {{"configure_calls", record.i2cConfigureCalls},
        {"fill_calls", record.i2cFillCalls},
        {"applies", applies}}},
      {"token_sets", handOver.sets},
      {"stalls", record.stalls},
      {"stalled_us", record.stalledMicroseconds},
      {"time_ns", record.timeNs},
      {"access_counts", record.accessCounts},
      {"services", record.services},
  };
  if (!record.unobserved.empty()) json["unobserved_counts"] = record.unobserved;
  json["explanations"] = ExplainPei(record);
  if (trace) json["trace"] = record.trace;
  return json;
}

Json AddCounts(const Json &a, const Json &b) {
  Json sum = a;
  for (auto &[kind, count] : b.items()) {
    sum[kind] = sum.value(kind, uint64_t{0}) + count.get<uint64_t>();
  }
  return sum;
}

std::array<uint8_t, 128> CmosFromHex(const Json &text) {
  const std::vector<uint8_t> bytes = BytesFromHex(text.get<std::string>());
  std::array<uint8_t, 128> cmos{};
  std::copy_n(bytes.begin(), std::min(bytes.size(), cmos.size()), cmos.begin());
  return cmos;
}

}  // namespace

Json BootBoard(const Board &board, const BootOptions &options, PeiRunnerSession *runner) {
  std::unique_ptr<PeiRunnerSession> ownRunner;
  if (runner == nullptr) {
    ownRunner = std::make_unique<PeiRunnerSession>(options.runner);
    runner = ownRunner.get();
  }
  std::array<uint8_t, 128> cmos{};
  for (size_t index = 0; index < cmos.size(); index++) cmos[index] = board.cmos[index].value_or(0);

  Json boots = Json::array();
  Json resetValues = Json::array();
  Json peiCounts = Json::object(), dxeCounts = Json::object();
  std::map<std::string, std::string> unobserved;
  uint64_t peiStalls = 0, dxeStalls = 0, timeNs = 0;
  Json identification = nullptr;
  Json result = Json::object();

  for (unsigned number = 1;; number++) {
    Json boot = {{"number", number}};
    PeiJob job = MakePeiJob(board, cmos, options.trace);
    if (options.firmware.pei) job.image = options.firmware.pei->path;
    const PeiRecord pei = runner->Run(job);
    cmos = pei.cmos;
    const HandOverView handOver = ReadHandOver(pei.handOver);
    identification = Identification(handOver);
    boot["pei"] = PeiJson(pei, handOver, options.trace);
    boot["identification"] = identification;
    peiCounts = AddCounts(peiCounts, pei.accessCounts);
    unobserved.insert(pei.unobserved.begin(), pei.unobserved.end());
    peiStalls += pei.stalledMicroseconds;
    timeNs += pei.timeNs;

    RunSummary end = pei.outcome;
    std::string where = "PEI";
    Json tokenSets = handOver.sets;
    if (pei.outcome.end == "returned") {
      DxeInput input;
      input.board = &board;
      input.handOver = pei.handOver;
      input.cmos = cmos;
      input.trace = options.trace;
      input.image = options.firmware.dxe ? &*options.firmware.dxe : nullptr;
      Json dxe = RunDxePhaseIsolated(input);
      cmos = CmosFromHex(dxe.at("cmos"));
      dxe.erase("cmos");
      end = RunSummaryFromJson(dxe.at("outcome"));
      where = "DXE";
      for (const Json &set : dxe.at("token_sets")) tokenSets.push_back(set);
      dxeCounts = AddCounts(dxeCounts, dxe.at("access_counts"));
      dxeStalls += dxe.at("stalled_us").get<uint64_t>();
      timeNs += dxe.at("time_ns").get<uint64_t>();
      boot["dxe"] = std::move(dxe);
    } else {
      boot["dxe"] = nullptr;
    }
    boot["tokens_written"] = tokenSets;
    boot["cmos_counter"] = cmos[LINK_RETRY_CMOS_INDEX];

    std::string status;
    if (end.end == "returned") {
      status = where == "DXE" ? "ready-to-boot" : "hang";
    } else if (end.end == "reset") {
      status = "reset";
      resetValues.push_back(end.resetValue);
    } else if (end.hangCause == "error-display") {
      status = "trap";
      boot["trap_code"] = end.trapCode;
    } else {
      status = "hang";
      boot["hang_cause"] = end.hangCause;
    }
    boot["end"] = status;
    boot["ended_in"] = where;
    boots.push_back(boot);

    if (status == "reset" && resetValues.size() <= options.maxResets) continue;

    result["boots"] = number;
    result["resets"] = resetValues.size();
    if (status == "reset") {
      result["status"] = "reset-loop";
      result["message"] = "reset loop: the board reset " + std::to_string(resetValues.size()) +
                          " times in a row (limit " + std::to_string(options.maxResets) + ")";
    } else if (status == "ready-to-boot") {
      result["status"] = status;
      result["message"] = "reached ReadyToBoot";
    } else if (status == "trap") {
      result["status"] = status;
      result["trap_code"] = end.trapCode;
      result["message"] =
          "fatal-error trap with code " + sim::HexText(end.trapCode) + " in " + where;
    } else {
      result["status"] = "hang";
      result["hang_cause"] = end.hangCause;
      result["message"] = "the " + where + " phase never finished: " + end.description;
    }
    result["exit_code"] = status == "ready-to-boot" ? kExitReadyToBoot : kExitFailedBoot;
    break;
  }

  // A kind one phase could not count has no total.
  Json totalCounts = AddCounts(peiCounts, dxeCounts);
  for (const auto &[kind, reason] : unobserved) totalCounts.erase(kind);

  Json report = {
      {"format", "boardhook-sim-report/1"},
      {"board",
       {{"name", board.name}, {"description", board.description}, {"source", board.source}}},
      {"dxe_build", options.dxeBuild},
      {"booted",
       {{"pei", BootedJson(options.firmware.pei, sim::kPeiImageBase, "host build")},
        {"dxe", BootedJson(options.firmware.dxe, sim::kDxeImageBase, "host build")}}},
      {"result", result},
      {"identification", identification},
      {"resets",
       {{"count", resetValues.size()},
        {"values", resetValues},
        {"cmos_counter", cmos[LINK_RETRY_CMOS_INDEX]}}},
      {"boots", boots},
      {"totals",
       {{"stalled_us", {{"pei", peiStalls}, {"dxe", dxeStalls}, {"total", peiStalls + dxeStalls}}},
        {"simulated_time_ns", timeNs},
        {"access_counts", {{"pei", peiCounts}, {"dxe", dxeCounts}, {"total", totalCounts}}}}},
  };
  return report;
}

}  // namespace bootsim
