#include "Report.h"

#include "Expect.h"

#include <cstdio>
#include <sstream>

#include "board/SetupSuppress.h"
#include "include/PcdTokens.h"
#include "sim/core/EfiText.h"

namespace bootsim {

namespace {

std::string Hex(const Json &value) {
  return value.is_null() ? "-" : sim::HexText(value.get<uint64_t>());
}

// A token's number as the report names it and as its records key it.
std::string TokenText(UINTN number) { return std::to_string(number); }

// The token's value in an object keyed by token number.
std::string TokenValue(const Json &tokens, UINTN number) {
  return Hex(tokens.at(TokenText(number)));
}

// "CMOS counter (0x58)": the link-retry counter by its CMOS index.
std::string CmosCounterLabel() {
  return "CMOS counter (" + sim::HexText(LINK_RETRY_CMOS_INDEX) + ")";
}

std::string Status(const Json &value) {
  return value.is_null() ? "-" : sim::StatusText(sim::StatusFrom64(value.get<uint64_t>()));
}

std::string Join(const Json &list, const std::string &separator = ", ") {
  std::string text;
  for (const Json &item : list) {
    if (!text.empty()) text += separator;
    text += item.is_string() ? item.get<std::string>() : item.dump();
  }
  return text;
}

std::string Plural(uint64_t count, const char *one, const char *many) {
  return std::to_string(count) + " " + (count == 1 ? one : many);
}

std::string Counts(const Json &counts) {
  std::string text;
  for (auto &[kind, count] : counts.items()) {
    if (count.get<uint64_t>() == 0) continue;
    if (!text.empty()) text += ", ";
    text += kind + " " + std::to_string(count.get<uint64_t>());
  }
  return text.empty() ? "none" : text;
}

std::string Milliseconds(uint64_t ns) {
  char text[32];
  std::snprintf(text, sizeof text, "%.3f ms", static_cast<double>(ns) / 1e6);
  return text;
}

std::string MacListText(const Json &list) {
  const uint64_t size = list.at("size").get<uint64_t>();
  if (!list.at("touched").get<bool>()) return "untouched";
  std::string text = list.at("count").is_null()
                         ? std::string("no count byte inside the buffer")
                         : Plural(list.at("count").get<uint64_t>(), "entry", "entries");
  if (!list.at("entries").empty()) text += ": " + Join(list.at("entries"));
  text += "  [" + list.at("bytes").get<std::string>() + "]";
  if (list.at("overrun").get<bool>()) {
    text += "  OVERRUN: written past the " + std::to_string(size) + "-byte buffer";
  }
  return text;
}

// Debug text as the firmware sent it, quoted with its control characters
// visible (a CR before LF shows as \r\n), one line of the output for each
// line of the text.
void RenderDebugText(std::ostream &out, const std::string &indent, const std::string &text) {
  std::string line;
  auto flush = [&] {
    out << indent << "\"" << line << "\"\n";
    line.clear();
  };
  for (const char c : text) {
    switch (c) {
      case '\r':
        line += "\\r";
        break;
      case '\n':
        line += "\\n";
        break;
      case '\t':
        line += "\\t";
        break;
      case '"':
        line += "\\\"";
        break;
      case '\\':
        line += "\\\\";
        break;
      default:
        if (static_cast<unsigned char>(c) < 0x20 || static_cast<unsigned char>(c) >= 0x7F) {
          char escaped[8];
          std::snprintf(escaped, sizeof escaped, "\\x%02X", static_cast<unsigned char>(c));
          line += escaped;
        } else {
          line += c;
        }
    }
    if (c == '\n') flush();
  }
  if (!line.empty()) flush();
}

// Each notification's status, and the calls that failed, by where they
// were made.
void RenderPeiExplanations(std::ostream &out, const Json &explanations) {
  const Json &notifications = explanations.at("notifications");
  if (!notifications.empty()) {
    out << "    notifications:";
    for (const Json &notification : notifications) {
      out << " " << notification.at("ppi").get<std::string>() << " "
          << notification.at("status_text").get<std::string>() << ";";
    }
    out << "\n";
  }
  if (!explanations.at("entry").is_null() && !explanations.at("entry").at("failed").empty()) {
    out << "    failed in the entry: " << Join(explanations.at("entry").at("failed"), "; ") << "\n";
  }
  for (const Json &notification : notifications) {
    if (notification.at("failed").empty()) continue;
    out << "    failed in the notification for " << notification.at("ppi").get<std::string>()
        << ": " << Join(notification.at("failed"), "; ") << "\n";
  }
  if (!explanations.at("failed_elsewhere").empty()) {
    out << "    failed: " << Join(explanations.at("failed_elsewhere"), "; ") << "\n";
  }
}

// What each root port led Hook4 to, one line per port.
void RenderRootPorts(std::ostream &out, const Json &ports) {
  for (const Json &port : ports) {
    out << "      port " << port.at("port") << ": token " << port.at("token") << " = "
        << Hex(port.at("location"));
    if (!port.at("bridge").is_null()) out << " -> " << port.at("bridge").get<std::string>();
    if (port.at("device").is_null()) {
      out << "; no ID word read";
    } else {
      const uint64_t id = port.at("id_word").get<uint64_t>();
      out << "; " << port.at("device").get<std::string>() << " ID word "
          << (id == 0xFFFFFFFF ? std::string("all ones") : Hex(port.at("id_word")));
      if (!port.at("base_class").is_null()) out << ", class " << Hex(port.at("base_class"));
    }
    const Json &entry = port.at("entry");
    if (entry.is_null()) {
      out << "; no entry\n";
      continue;
    }
    out << "; entry " << entry.at("index") << " of the " << entry.at("list").get<std::string>()
        << " list";
    if (!entry.at("address").is_null()) out << " " << entry.at("address").get<std::string>();
    if (!port.at("source").is_null()) out << " from " << port.at("source").get<std::string>();
    if (!port.at("from").empty()) out << ": " << Join(port.at("from"), "; ");
    out << "\n";
  }
}

void RenderPei(std::ostream &out, const Json &pei, bool trace) {
  out << "  PEI phase (32-bit)\n";
  if (!pei.at("installed_before").empty()) {
    out << "    installed before the entry: " << Join(pei.at("installed_before")) << "\n";
  }
  out << "    entry: " << Status(pei.at("entry_status"));
  out << "; installed after it: "
      << (pei.at("installed").empty() ? "nothing" : Join(pei.at("installed"))) << "\n";
  const Json &bmc = pei.at("bmc");
  const uint64_t attempts = bmc.at("attempts").get<uint64_t>();
  out << "    BMC: ";
  if (attempts == 0) {
    out << "not asked\n";
  } else if (bmc.at("answered").get<bool>()) {
    out << "answered at attempt " << attempts << "\n";
  } else {
    out << "never answered (" << Plural(attempts, "attempt", "attempts") << ")\n";
  }
  if (attempts != 0) {
    out << "      answers:";
    for (const Json &answer : bmc.at("answers")) {
      out << " " << answer.at("status_text").get<std::string>() << "/length "
          << answer.at("response_length") << ";";
    }
    out << "\n";
  }
  out << "    SMBus:";
  if (pei.at("smbus").empty()) out << " no transfers";
  for (const Json &call : pei.at("smbus")) {
    const bool read = call.at("operation") == "read";
    out << " " << call.at("operation").get<std::string>() << " " << Hex(call.at("address"))
        << (read ? " -> " : " = ") << Hex(call.at("data"));
    if (call.at("status").get<uint64_t>() != 0)
      out << " (" << call.at("status_text").get<std::string>() << ")";
    out << ";";
  }
  out << "\n";
  const Json &i2c = pei.at("i2c");
  out << "    I2C tables: configured " << i2c.at("configure_calls") << ", filled "
      << i2c.at("fill_calls") << ", applied " << i2c.at("applies").size();
  for (const Json &apply : i2c.at("applies")) {
    out << " (device " << Hex(apply.at("slave_address")) << " channel " << apply.at("channel")
        << ", " << apply.at("entry_count") << " entries)";
  }
  out << "\n";
  out << "    stalls: " << Plural(pei.at("stalls").size(), "stall", "stalls") << ", "
      << pei.at("stalled_us") << " us\n";
  out << "    hardware accesses: " << Counts(pei.at("access_counts")) << "\n";
  if (pei.contains("unobserved_counts")) {
    for (const auto &[kind, reason] : pei.at("unobserved_counts").items()) {
      out << "    not counted: " << kind << " (" << reason.get<std::string>() << ")\n";
    }
  }
  RenderPeiExplanations(out, pei.at("explanations"));
  if (pei.at("outcome").at("end") != "returned") {
    out << "    ended: " << pei.at("outcome").at("description").get<std::string>() << "\n";
  }
  if (trace) {
    out << "    PEI services:\n";
    for (const Json &line : pei.at("services")) out << "      " << line.get<std::string>() << "\n";
    out << "    hardware-access trace:\n";
    for (const Json &record : pei.at("trace")) {
      out << "      " << record.at("text").get<std::string>() << "\n";
    }
  }
}

void RenderS3(std::ostream &out, const Json &s3) {
  out << "    S3 hand-off: ";
  if (s3.at("record").get<uint64_t>() == 0) {
    out << "no shared record (token " << TokenText(PCD_TOKEN_S3_LIB_PRIVATE_DATA) << " is 0)\n";
    return;
  }
  out << "record " << Hex(s3.at("record"))
      << (s3.at("boot_script_locked").get<bool>() ? ", locked" : ", not locked")
      << (s3.at("table_closed").get<bool>() ? ", table closed" : ", table not closed") << "\n";
  if (s3.at("messages").empty()) {
    out << "      no message sent to SMM\n";
  }
  for (const Json &message : s3.at("messages")) {
    out << "      message sent to SMM: " << message.at("size") << " bytes";
    if (message.contains("header_guid")) {
      out << ", " << message.at("header_guid").get<std::string>() << ", length "
          << message.at("message_length") << ", request " << message.at("request_code")
          << ", record " << Hex(message.at("record"));
    }
    out << "\n";
  }
  const Json &table = s3.at("table");
  if (table.is_null()) {
    out << "      no S3 save table on this board\n";
  } else if (!table.at("created").get<bool>()) {
    out << "      the table was never put into the record\n";
  } else {
    out << "      table " << Hex(table.at("address")) << ": end mark " << Hex(table.at("end_mark"))
        << (table.at("freed").get<bool>() ? ", freed" : ", not freed") << "\n";
  }
}

void RenderDxe(std::ostream &out, const Json &dxe, bool trace) {
  out << "  DXE phase (64-bit)\n";
  out << "    entry: " << Status(dxe.at("entry_status"))
      << "; reached: " << (dxe.at("reached").empty() ? "nothing" : Join(dxe.at("reached"))) << "\n";
  const Json &setup = dxe.at("setup_items");
  out << "    setup items suppressed";
  if (!setup.at("protocol_present").get<bool>()) {
    out << ": none (no SETUP_ITEM_SUPPRESS_PROTOCOL)\n";
  } else {
    out << " (" << setup.at("suppressed").size() << " calls): "
        << (setup.at("suppressed").empty() ? "none" : Join(setup.at("suppressed"), " ")) << "\n";
  }
  for (const Json &other : setup.at("other_form_sets")) {
    out << "      in form set \"" << other.at("form_set").get<std::string>()
        << "\": " << other.at("item") << "\n";
  }
  const Json &explanations = dxe.at("explanations");
  for (const Json &item : explanations.at("suppressed")) {
    out << "      " << item.at("item") << " after: "
        << (item.at("because").empty() ? std::string("nothing read")
                                       : Join(item.at("because"), "; "))
        << "\n";
  }
  const Json &hook4 = dxe.at("hook4");
  if (hook4.at("called").get<bool>()) {
    out << "    MAC lists (Hook4, " << Status(hook4.at("status")) << "):\n";
    const Json &first = hook4.at("first_list");
    const Json &second = hook4.at("second_list");
    out << "      first list (" << first.at("size")
        << " bytes, list at byte 3): " << MacListText(first) << "\n";
    out << "      second list (" << second.at("size") << " bytes): " << MacListText(second) << "\n";
    RenderRootPorts(out, explanations.at("root_ports"));
  } else if (hook4.contains("reason")) {
    out << "    MAC lists: Hook4 not called: " << hook4.at("reason").get<std::string>() << "\n";
  } else {
    out << "    MAC lists: Hook4 not called: the boot ended before\n";
  }
  RenderS3(out, dxe.at("s3"));
  out << "    " << CmosCounterLabel() << ": " << dxe.at("cmos_counter_before") << " -> "
      << dxe.at("cmos_counter_after") << "\n";
  if (!explanations.at("reset").is_null()) {
    out << "    reset (" << Hex(explanations.at("reset").at("value"))
        << " to port 0xCF9) after: " << Join(explanations.at("reset").at("because"), "; ") << "\n";
  }
  if (!explanations.at("trap").is_null()) {
    const Json &trap = explanations.at("trap");
    out << "    trap " << Hex(trap.at("code"));
    if (!trap.at("condition").is_null())
      out << " (" << trap.at("condition").get<std::string>() << ")";
    out << " after: "
        << (trap.at("because").empty() ? std::string("nothing read")
                                       : Join(trap.at("because"), "; "))
        << "\n";
  }
  out << "    POST codes:";
  if (dxe.at("post_codes").empty()) out << " none";
  for (const Json &code : dxe.at("post_codes")) {
    out << " " << Hex(code.at("port")) << "<-" << Hex(code.at("value")) << "/" << code.at("width");
  }
  out << "\n";
  const Json &text = dxe.at("debug_text");
  out << "    debug text:\n";
  const Json &redirect = text.at("port_redirect");
  out << "      port 0x80 redirect: "
      << (redirect.empty() ? "none" : Plural(redirect.size(), "text", "texts")) << "\n";
  for (const Json &each : redirect) RenderDebugText(out, "        ", each.get<std::string>());
  const std::string uart = text.at("uart").get<std::string>();
  out << "      UART 0x3F8: " << (uart.empty() ? "none" : std::to_string(uart.size()) + " bytes")
      << "\n";
  RenderDebugText(out, "        ", uart);
  const Json &tool = text.at("debug_tool");
  out << "      debug tool: breakpoint "
      << (tool.at("breakpoint_armed").get<bool>() ? "armed" : "not armed") << ", "
      << Plural(tool.at("hand_overs").size(), "hand-over", "hand-overs");
  if (!tool.at("hand_overs").empty()) {
    Json lengths = Json::array();
    for (const Json &handOver : tool.at("hand_overs")) lengths.push_back(handOver.at("ebx"));
    out << " (lengths " << Join(lengths) << ")";
  }
  out << ", " << Plural(tool.at("port_writes").size(), "write", "writes") << " to port 0xFFED";
  if (tool.at("header").is_null()) {
    out << "\n";
  } else {
    const std::string buffered = tool.at("header").at("buffered_text").get<std::string>();
    out << ", header buffer:" << (buffered.empty() ? " empty" : "") << "\n";
    RenderDebugText(out, "        ", buffered);
  }
  out << "    stalls: " << Plural(dxe.at("stalls").size(), "stall", "stalls") << ", "
      << dxe.at("stalled_us") << " us\n";
  out << "    hardware accesses: " << Counts(dxe.at("access_counts")) << "\n";
  if (!dxe.at("invalid_token_accesses").empty()) {
    out << "    token accesses the database refused or cut:\n";
    for (const Json &access : dxe.at("invalid_token_accesses")) {
      out << "      " << access.at("operation").get<std::string>() << " " << access.at("token")
          << "\n";
    }
  }
  if (!dxe.at("core_errors").empty()) {
    out << "    DXE core found misuse:\n";
    for (const Json &error : dxe.at("core_errors"))
      out << "      " << error.get<std::string>() << "\n";
  }
  if (dxe.at("outcome").at("end") != "returned") {
    out << "    ended: " << dxe.at("outcome").at("description").get<std::string>() << "\n";
  }
  if (trace) {
    out << "    hardware-access trace:\n";
    for (const Json &record : dxe.at("trace")) {
      out << "      " << record.at("text").get<std::string>() << "\n";
    }
  }
}

// The tokens the PEI module fills from the identification bytes, in the
// order the report shows them; the board type and the Setup option stand
// beside them.
constexpr UINTN kIdentificationTokens[] = {PCD_TOKEN_BOARD_ID_LOW, PCD_TOKEN_BOARD_ID_MID,
                                           PCD_TOKEN_BOARD_ID_HIGH, PCD_TOKEN_BOARD_REVISION};

std::string SentenceCase(std::string text) {
  if (!text.empty() && text[0] >= 'a' && text[0] <= 'z') {
    text[0] = static_cast<char>(text[0] - 'a' + 'A');
  }
  return text;
}

// The tokens the PEI phase handed over, by their numbers.
void RenderIdentification(std::ostream &out, const Json &identification) {
  const Json &boardType = identification.at("board_type");
  out << SentenceCase(FindPcdToken(PCD_TOKEN_BOARD_TYPE)->Name) << " "
      << (boardType.is_null() ? "-" : boardType.dump()) << "; identification tokens ";
  const Json &tokens = identification.at("tokens");
  const char *separator = "";
  for (const UINTN number : kIdentificationTokens) {
    out << separator << TokenText(number) << " = " << TokenValue(tokens, number);
    separator = ", ";
  }
  out << "; token " << TokenText(PCD_TOKEN_SETUP_OPTION) << " = "
      << TokenValue(tokens, PCD_TOKEN_SETUP_OPTION) << "\n";
}

const char *EndText(const std::string &end) {
  if (end == "ready-to-boot") return "reached ReadyToBoot";
  if (end == "reset") return "reset";
  if (end == "trap") return "fatal-error trap";
  return "never finished";
}

}  // namespace

std::string RenderText(const Json &report, bool trace) {
  std::ostringstream out;
  const Json &board = report.at("board");
  out << "boardhook-sim: "
      << (board.at("name").get<std::string>().empty() ? "(unnamed board)"
                                                      : board.at("name").get<std::string>())
      << " (" << board.at("source").get<std::string>() << ")\n";
  out << "  DXE driver: "
      << (report.at("dxe_build") == "debug-print"
              ? "debug-print build (DebugPrintEnable 1, everything else as shipped)"
          : report.at("dxe_build") == "user image" ? "an image named by the user"
                                                   : "as shipped")
      << "\n";
  for (const char *phase : {"pei", "dxe"}) {
    const Json &booted = report.at("booted").at(phase);
    out << "  " << (phase == std::string("pei") ? "PEI" : "DXE") << " booted: ";
    if (booted.at("from_source").get<bool>()) {
      out << "the host build of the sources (--from-source)\n";
    } else {
      out << booted.at("file").get<std::string>() << ", " << booted.at("size") << " bytes, SHA-256 "
          << booted.at("sha256").get<std::string>() << ", loaded at "
          << Hex(booted.at("load_address")) << "\n";
    }
  }
  if (!board.at("description").get<std::string>().empty()) {
    out << "  " << board.at("description").get<std::string>() << "\n";
  }
  const Json &result = report.at("result");
  out << "Result: " << result.at("message").get<std::string>() << " after "
      << Plural(result.at("boots").get<uint64_t>(), "boot", "boots") << " ("
      << Plural(result.at("resets").get<uint64_t>(), "reset", "resets") << "); exit status "
      << result.at("exit_code") << "\n";
  if (report.contains("expectations")) out << ExpectationText(report.at("expectations"));
  const Json &identification = report.at("identification");
  if (!identification.is_null()) RenderIdentification(out, identification);

  for (const Json &boot : report.at("boots")) {
    out << "\nBoot " << boot.at("number") << ": " << EndText(boot.at("end").get<std::string>());
    if (boot.contains("trap_code")) out << " " << Hex(boot.at("trap_code"));
    out << "\n";
    RenderPei(out, boot.at("pei"), trace);
    if (!boot.at("dxe").is_null()) RenderDxe(out, boot.at("dxe"), trace);
    out << "  tokens written:\n";
    if (boot.at("tokens_written").empty()) out << "    none\n";
    for (const Json &set : boot.at("tokens_written")) {
      char line[160];
      std::snprintf(line, sizeof line, "    %-4s %-6s %4llu = %-18s %s\n",
                    set.at("phase").get<std::string>().c_str(),
                    set.at("operation").get<std::string>().c_str(),
                    static_cast<unsigned long long>(set.at("token").get<uint64_t>()),
                    Hex(set.at("value")).c_str(), set.at("status_text").get<std::string>().c_str());
      out << line;
    }
  }

  const Json &totals = report.at("totals");
  const Json &resets = report.at("resets");
  out << "\nTotals\n";
  out << "  resets: " << resets.at("count");
  if (!resets.at("values").empty()) out << " (" << Join(resets.at("values")) << " to port 0xCF9)";
  out << "; " << CmosCounterLabel() << ": " << resets.at("cmos_counter") << "\n";
  const Json &stalled = totals.at("stalled_us");
  out << "  simulated time: " << Milliseconds(totals.at("simulated_time_ns").get<uint64_t>())
      << "; in stalls: PEI " << stalled.at("pei") << " us, DXE " << stalled.at("dxe")
      << " us, total " << stalled.at("total") << " us\n";
  out << "  hardware accesses: " << Counts(totals.at("access_counts").at("total")) << "\n";
  return out.str();
}

}  // namespace bootsim
