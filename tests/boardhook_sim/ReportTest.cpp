// The text report's lines that name tokens and the CMOS counter: the
// identification line, the S3 hand-off without a shared record and the
// counter in a boot and in the totals.
#include <gtest/gtest.h>

#include <initializer_list>
#include <string>

#include "Report.h"
#include "ToolRun.h"

namespace {

using boardhook_sim_test::RunTool;
using boardhook_sim_test::ToolRun;
using bootsim::Json;

class ReportTextTest : public ::testing::Test {
 protected:
  void SetUp() override {
    if (boardhook_sim_test::PeiRunnerMissing()) {
      GTEST_SKIP() << "the PEI runner is not built (scripts/build host32)";
    }
  }
};

void ExpectLines(const std::string &text, std::initializer_list<const char *> lines) {
  for (const char *line : lines) {
    EXPECT_NE(text.find(line), std::string::npos) << line << "\n" << text;
  }
}

// The reference board: type 14, identification 3, 5, 0, revision 2, the
// Setup option set; no reset, so the counter stays 0.
TEST_F(ReportTextTest, TokensAndCounterByTheirNumbers) {
  const ToolRun run = RunTool({});
  ASSERT_EQ(run.exitCode, 0) << run.err;
  ExpectLines(run.out,
              {"\nBoard type 14; identification tokens 446 = 0x3, 447 = 0x5, 442 = 0x0, "
               "443 = 0x2; token 501 = 0xFF\n",
               "\n    CMOS counter (0x58): 0 -> 0\n", "\n  resets: 0; CMOS counter (0x58): 0\n"});
}

// Records the PEI phase never handed over show as "-", and a boot whose
// shared S3 record was never created says which token is 0.
TEST_F(ReportTextTest, MissingValuesAndNoSharedRecord) {
  const ToolRun run = RunTool({"--json"});
  ASSERT_EQ(run.exitCode, 0) << run.err;
  Json report = run.report;
  Json &identification = report.at("identification");
  identification.at("board_type") = nullptr;
  for (Json &value : identification.at("tokens")) value = nullptr;
  report.at("boots")[0].at("dxe").at("s3").at("record") = 0;
  ExpectLines(bootsim::RenderText(report, false),
              {"\nBoard type -; identification tokens 446 = -, 447 = -, 442 = -, 443 = -; "
               "token 501 = -\n",
               "\n    S3 hand-off: no shared record (token 584 is 0)\n"});
}

}  // namespace
