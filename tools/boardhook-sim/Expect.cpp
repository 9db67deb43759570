#include "Expect.h"

namespace bootsim {

namespace {

const Json &LastBoot(const Json &report) { return report.at("boots").back(); }

// The last boot's DXE record, or null when the boot ended in PEI.
Json LastDxe(const Json &report) {
  const Json &dxe = LastBoot(report).at("dxe");
  return dxe.is_null() ? Json(nullptr) : dxe;
}

Json MacEntries(const Json &dxe, const char *list) {
  if (dxe.is_null() || !dxe.at("hook4").at("called").get<bool>()) return nullptr;
  return dxe.at("hook4").at(list).at("entries");
}

Json LastTokenWrite(const Json &report, uint32_t token) {
  Json value = nullptr;
  for (const Json &boot : report.at("boots")) {
    for (const Json &set : boot.at("tokens_written")) {
      if (set.at("token").get<uint32_t>() == token) value = set.at("value");
    }
  }
  return value;
}

}  // namespace

bool Expectations::Empty() const {
  return !outcome && !boardType && tokens.empty() && !firstList && !secondList && !suppressed &&
         !resets && !cmosCounter && !postCodes && !trapCode && !s3Locked && !s3Closed &&
         !s3Messages && !s3EndMark && !s3TableFreed;
}

Json CheckExpectations(const Expectations &expect, const Json &report) {
  Json differences = Json::array();
  Json checked = Json::array();
  auto check = [&](const std::string &field, const Json &expected, const Json &got) {
    checked.push_back(field);
    if (expected != got) {
      differences.push_back({{"field", field}, {"expected", expected}, {"got", got}});
    }
  };
  const Json dxe = LastDxe(report);
  const Json s3 = dxe.is_null() ? Json(nullptr) : dxe.at("s3");
  const Json table = s3.is_null() ? Json(nullptr) : s3.at("table");
  if (expect.outcome) check("outcome", *expect.outcome, report.at("result").at("status"));
  if (expect.boardType) {
    const Json &identification = report.at("identification");
    check("board_type", *expect.boardType,
          identification.is_null() ? Json(nullptr) : identification.at("board_type"));
  }
  for (const auto &[token, value] : expect.tokens) {
    check("tokens." + std::to_string(token), value, LastTokenWrite(report, token));
  }
  if (expect.firstList) check("mac.first_list", *expect.firstList, MacEntries(dxe, "first_list"));
  if (expect.secondList) {
    check("mac.second_list", *expect.secondList, MacEntries(dxe, "second_list"));
  }
  if (expect.suppressed) {
    check("suppressed", *expect.suppressed,
          dxe.is_null() ? Json(nullptr) : dxe.at("setup_items").at("suppressed"));
  }
  if (expect.resets) check("resets", *expect.resets, report.at("resets").at("count"));
  if (expect.cmosCounter) {
    check("cmos_counter", *expect.cmosCounter, report.at("resets").at("cmos_counter"));
  }
  if (expect.postCodes) {
    Json values = Json::array();
    if (!dxe.is_null()) {
      for (const Json &write : dxe.at("post_codes")) values.push_back(write.at("value"));
    }
    check("post_codes", *expect.postCodes, values);
  }
  if (expect.trapCode) {
    const Json &result = report.at("result");
    check("trap_code", *expect.trapCode,
          result.contains("trap_code") ? result.at("trap_code") : Json(nullptr));
  }
  auto s3Value = [&](const char *name) {
    return s3.is_null() ? Json(nullptr) : s3.value(name, Json(nullptr));
  };
  if (expect.s3Locked) check("s3.locked", *expect.s3Locked, s3Value("boot_script_locked"));
  if (expect.s3Closed) check("s3.closed", *expect.s3Closed, s3Value("table_closed"));
  if (expect.s3Messages) {
    check("s3.messages", *expect.s3Messages,
          s3.is_null() ? Json(nullptr) : Json(s3.at("messages").size()));
  }
  if (expect.s3EndMark) {
    check("s3.end_mark", *expect.s3EndMark,
          table.is_null() ? Json(nullptr) : table.value("end_mark", Json(nullptr)));
  }
  if (expect.s3TableFreed) {
    check("s3.table_freed", *expect.s3TableFreed,
          table.is_null() ? Json(nullptr) : table.value("freed", Json(nullptr)));
  }
  return {{"met", differences.empty()}, {"differences", differences}, {"checked", checked}};
}

std::string ExpectationText(const Json &result) {
  if (result.at("differences").empty()) {
    return "Expectations: met (" + std::to_string(result.at("checked").size()) + " fields)\n";
  }
  std::string text = "Expectations: NOT met (exit status 4)\n";
  for (const Json &difference : result.at("differences")) {
    text += "  " + difference.at("field").get<std::string>() + ": expected " +
            difference.at("expected").dump() + ", got " + difference.at("got").dump() + "\n";
  }
  return text;
}

}  // namespace bootsim
