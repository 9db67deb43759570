#include "SimulatedBoard.h"

#include <sys/wait.h>

#include <cstdio>
#include <memory>
#include <nlohmann/json.hpp>
#include <toml++/toml.h>

namespace firmware_vm {

namespace fs = std::filesystem;

std::optional<std::uint64_t> BoardMsr(const fs::path &Board, std::uint32_t Index) {
  toml::table Parsed;
  try {
    Parsed = toml::parse_file(Board.string());
  } catch (const toml::parse_error &) {
    return std::nullopt;
  }
  const toml::array *Msrs = Parsed["cpu"]["msrs"].as_array();
  if (Msrs == nullptr) {
    return std::nullopt;
  }
  for (const toml::node &Entry : *Msrs) {
    const toml::table *Msr = Entry.as_table();
    if (Msr != nullptr && (*Msr)["index"].value<std::int64_t>() == std::int64_t{Index}) {
      if (std::optional<std::int64_t> Value = (*Msr)["value"].value<std::int64_t>()) {
        return static_cast<std::uint64_t>(*Value);
      }
    }
  }
  return std::nullopt;
}

SimulatedDebugText SimulateDebugPrintBoot(const fs::path &Tool, const fs::path &Board) {
  SimulatedDebugText Result;
  std::string Command =
      "'" + Tool.string() + "' --debug-print --json '" + Board.string() + "' 2>&1";
  FILE *Pipe = popen(Command.c_str(), "r");
  if (Pipe == nullptr) {
    Result.Error = "cannot run " + Command;
    return Result;
  }
  std::string Output;
  char Buffer[4096];
  std::size_t Count;
  while ((Count = fread(Buffer, 1, sizeof(Buffer), Pipe)) > 0) {
    Output.append(Buffer, Count);
  }
  int Status = pclose(Pipe);
  // Exit status 1: the boot ended in a trap, which the board asks for.
  if (!WIFEXITED(Status) || WEXITSTATUS(Status) > 1) {
    Result.Error = Command + " failed (status " + std::to_string(Status) + "):\n" + Output;
    return Result;
  }
  try {
    nlohmann::json Report = nlohmann::json::parse(Output);
    const nlohmann::json &Text = Report.at("boots").back().at("dxe").at("debug_text");
    for (const nlohmann::json &Each : Text.at("port_redirect")) {
      Result.RedirectTexts.push_back(Each.get<std::string>());
    }
    Result.Uart = Text.at("uart").get<std::string>();
    for (const nlohmann::json &Each : Text.at("debug_tool").at("hand_overs")) {
      Result.HandOvers.push_back(
          {Each.at("edx").get<std::uint32_t>(), Each.at("ebx").get<std::uint32_t>()});
    }
  } catch (const std::exception &Error) {
    Result.Error = std::string("unreadable report of ") + Command + ": " + Error.what();
  }
  return Result;
}

}  // namespace firmware_vm
