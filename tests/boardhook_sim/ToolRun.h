// Runs the boardhook-sim program as a user does, and keeps every JSON
// document it prints for the schema check that runs after the tests.
#pragma once
#include <gtest/gtest.h>

#include <algorithm>
#include <filesystem>
#include <fstream>
#include <string>
#include <vector>

#include "SimJson.h"
#include "Subprocess.h"

namespace boardhook_sim_test {

struct ToolRun {
  int exitCode = -1;
  std::string out;
  std::string err;
  bootsim::Json report;  // the parsed stdout of a --json run
};

// Saves a JSON document the tool printed, named after the running test.
inline void KeepForSchemaCheck(const std::string &document) {
  static int count = 0;
  const ::testing::TestInfo *test = ::testing::UnitTest::GetInstance()->current_test_info();
  const std::string name = test == nullptr
                               ? std::string("outside-a-test")
                               : std::string(test->test_suite_name()) + "." + test->name();
  std::filesystem::create_directories(BOARDHOOK_SIM_REPORTS);
  std::ofstream(std::string(BOARDHOOK_SIM_REPORTS) + "/" + name + "-" + std::to_string(++count) +
                ".json")
      << document;
}

// A board of the test suite's own, by file name.
inline std::string TestBoard(const std::string &name) {
  return std::string(BOARDHOOK_SIM_BOARDS) + "/" + name;
}

// Whether a JSON list of texts holds the text.
inline bool Contains(const bootsim::Json &texts, const std::string &text) {
  return std::find(texts.begin(), texts.end(), bootsim::Json(text)) != texts.end();
}

inline ToolRun RunTool(std::vector<std::string> args, const std::string &input = "") {
  args.insert(args.begin(), BOARDHOOK_SIM_TOOL);
  const bootsim::ChildResult result = bootsim::RunProgram(args, input);
  ToolRun run{result.exitCode, result.out, result.err, nullptr};
  const bool json = std::find(args.begin(), args.end(), "--json") != args.end();
  const bool toFile = std::find(args.begin(), args.end(), "-o") != args.end();
  if (json && !toFile && !result.out.empty()) {
    run.report = bootsim::Json::parse(result.out);
    KeepForSchemaCheck(result.out);
  }
  return run;
}

// Whether the tool cannot boot for want of the host32 tree's PEI runner
// (scripts/build host32 builds it; a host64-only build does not).
inline bool PeiRunnerMissing() {
  static const bool missing = [] {
    const ToolRun boot = RunTool({"--json"});
    return boot.exitCode == 3 && boot.err.find("PEI runner") != std::string::npos;
  }();
  return missing;
}

}  // namespace boardhook_sim_test
