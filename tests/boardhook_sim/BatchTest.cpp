// boardhook-sim as a CI job runs it: several boards and directories in one
// run, one line each and a summary, the worst exit status; the same with
// worker processes; JSON for the batch; diff; --version, -o, - and errors
// as JSON.
#include <gtest/gtest.h>
#include <unistd.h>

#include <filesystem>
#include <fstream>
#include <sstream>
#include <string>
#include <vector>

#include "SimJson.h"
#include "ToolRun.h"

namespace {

using bootsim::Json;

using boardhook_sim_test::RunTool;
using boardhook_sim_test::TestBoard;

std::vector<std::string> Lines(const std::string &text) {
  std::vector<std::string> lines;
  std::istringstream in(text);
  for (std::string line; std::getline(in, line);) lines.push_back(line);
  return lines;
}

// A board that traps and one that boots: a line each in argument order, a
// summary, and the worse status; with two workers the same output.
TEST(BatchTest, OneLineEachAndTheWorstStatus) {
  const std::vector<std::string> boards = {TestBoard("type8.toml"), TestBoard("bad-s3-table.toml")};
  const boardhook_sim_test::ToolRun serial = RunTool(boards);
  EXPECT_EQ(serial.exitCode, 1) << serial.err;
  const std::vector<std::string> lines = Lines(serial.out);
  ASSERT_EQ(lines.size(), 3u) << serial.out;
  EXPECT_EQ(
      lines[0].rfind(TestBoard("type8.toml") + " [type 8]  ready-to-boot  no expectations", 0), 0u)
      << lines[0];
  EXPECT_NE(lines[1].find("  trap  "), std::string::npos) << lines[1];
  EXPECT_EQ(lines[2],
            "2 boards: 1 reached ReadyToBoot, 1 failed to boot, 0 could not be booted; "
            "expectations: 0 met, 0 not met; exit status 1");

  const boardhook_sim_test::ToolRun parallel = RunTool({"--jobs", "2", boards[0], boards[1]});
  EXPECT_EQ(parallel.exitCode, serial.exitCode);
  EXPECT_EQ(parallel.out, serial.out);
}

// Bad input outranks a failed boot, a simulator failure outranks both; a
// board that cannot be read is reported in its line, the others still boot.
TEST(BatchTest, BadBoardsAreReportedInTheirLine) {
  const boardhook_sim_test::ToolRun run =
      RunTool({TestBoard("bad-s3-table.toml"), "/nonexistent.toml", TestBoard("type5.toml")});
  EXPECT_EQ(run.exitCode, 2);
  const std::vector<std::string> lines = Lines(run.out);
  ASSERT_EQ(lines.size(), 4u) << run.out;
  EXPECT_EQ(lines[1],
            "/nonexistent.toml  error (exit 2): /nonexistent.toml: cannot read the file: No such "
            "file or directory");
  EXPECT_NE(lines[2].find("ready-to-boot"), std::string::npos);

  const boardhook_sim_test::ToolRun missingRunner = RunTool(
      {"--pei-runner", "/nonexistent/runner", TestBoard("type5.toml"), "/nonexistent.toml"});
  EXPECT_EQ(missingRunner.exitCode, 3) << missingRunner.out;
}

// A directory means its *.toml files, sorted; the JSON document holds every
// board's report and the summary.
TEST(BatchTest, DirectoriesAndJson) {
  const boardhook_sim_test::ToolRun run = RunTool({"--json", BOARDHOOK_SIM_BOARDS});
  ASSERT_FALSE(run.out.empty()) << run.err;
  const Json batch = Json::parse(run.out);
  EXPECT_EQ(batch.at("format"), "boardhook-sim-batch/1");
  std::vector<std::string> expected;
  for (const auto &entry : std::filesystem::directory_iterator(BOARDHOOK_SIM_BOARDS)) {
    if (entry.path().extension() == ".toml") expected.push_back(entry.path().string());
  }
  std::sort(expected.begin(), expected.end());
  std::vector<std::string> sources;
  int worst = 0;
  for (const Json &board : batch.at("boards")) {
    sources.push_back(board.at("source").get<std::string>());
    EXPECT_TRUE(board.at("report").is_object()) << board.at("error");
    worst = std::max(worst, board.at("exit_code").get<int>());
  }
  EXPECT_EQ(sources, expected);
  EXPECT_EQ(batch.at("summary").at("count"), expected.size());
  EXPECT_EQ(batch.at("summary").at("exit_code"), run.exitCode);
}

// A board boots in a batch as it does alone, report for report: nothing of
// one boot reaches the next. Each DXE phase runs in a child of the batch's
// process, whose heap the boots before it have grown; the DXE image must
// see the child's memory as memory wherever the allocator has put a block
// (a caller's buffer, the HOB list), also where the heap grew after the
// emulated processor started.
TEST(BatchTest, EachBoardBootsInABatchAsAlone) {
  const boardhook_sim_test::ToolRun batch = RunTool({"--json", BOARDHOOK_SIM_BOARDS});
  ASSERT_TRUE(batch.report.is_object()) << batch.err;
  for (const Json &board : batch.report.at("boards")) {
    const std::string source = board.at("source").get<std::string>();
    const boardhook_sim_test::ToolRun alone = RunTool({"--json", source});
    EXPECT_EQ(board.at("exit_code"), alone.exitCode) << source;
    EXPECT_TRUE(board.at("report") == alone.report)
        << source << ": " << Json::diff(alone.report, board.at("report")).dump();
  }
}

// diff boots both boards and names the fields whose results differ.
TEST(BatchTest, DiffNamesTheFieldsThatDiffer) {
  const boardhook_sim_test::ToolRun same =
      RunTool({"diff", TestBoard("type8.toml"), TestBoard("type8.toml")});
  EXPECT_EQ(same.exitCode, 0) << same.err;
  EXPECT_EQ(same.out, "no differences\n");

  const boardhook_sim_test::ToolRun differ =
      RunTool({"diff", TestBoard("type5.toml"), TestBoard("type8.toml")});
  EXPECT_EQ(differ.exitCode, 1) << differ.err;
  EXPECT_NE(differ.out.find("/identification/board_type: 5 -> 8\n"), std::string::npos)
      << differ.out;
  EXPECT_EQ(differ.out.find("/board/"), std::string::npos) << differ.out;
}

// The conventions of a command-line tool: --version names the images it
// boots, -o writes the report to a file, - reads the board from stdin, and
// under --json an error is a JSON document too.
TEST(BatchTest, Conventions) {
  const boardhook_sim_test::ToolRun version = RunTool({"--version"});
  EXPECT_EQ(version.exitCode, 0);
  EXPECT_EQ(version.out.rfind("boardhook-sim ", 0), 0u);
  EXPECT_NE(version.out.find("BoardHookDxe.efi"), std::string::npos) << version.out;

  std::ifstream file(TestBoard("type8.toml"));
  std::stringstream text;
  text << file.rdbuf();
  const boardhook_sim_test::ToolRun fromStdin = RunTool({"--json", "-"}, text.str());
  EXPECT_EQ(fromStdin.exitCode, 0) << fromStdin.err;
  const boardhook_sim_test::ToolRun fromFile = RunTool({"--json", TestBoard("type8.toml")});
  Json a = Json::parse(fromStdin.out), b = Json::parse(fromFile.out);
  a.erase("board");
  b.erase("board");
  EXPECT_EQ(a, b);

  const std::string path = ::testing::TempDir() + "/boardhook-sim-report.json";
  const boardhook_sim_test::ToolRun toFile =
      RunTool({"--json", "-o", path, TestBoard("type8.toml")});
  EXPECT_EQ(toFile.exitCode, 0);
  EXPECT_TRUE(toFile.out.empty());
  std::ifstream written(path);
  std::stringstream report;
  report << written.rdbuf();
  EXPECT_EQ(report.str(), fromFile.out);
  std::filesystem::remove(path);

  const boardhook_sim_test::ToolRun error = RunTool({"--json", "/nonexistent.toml"});
  EXPECT_EQ(error.exitCode, 2);
  const Json document = Json::parse(error.out);
  EXPECT_EQ(document.at("format"), "boardhook-sim-error/1");
  EXPECT_EQ(document.at("exit_code"), 2);
  EXPECT_NE(error.err.find("/nonexistent.toml"), std::string::npos);
}

}  // namespace

namespace {

std::string WriteBoard(const std::string &name, const std::string &text) {
  const std::string path = ::testing::TempDir() + "/" + name;
  std::ofstream(path) << text;
  return path;
}

// The example boards carry the expectations their boots meet: a CI job over
// boards/, one batch in one process, is green, a trap that was expected
// included; every board but the reference board says what it expects.
TEST(ExpectationsTest, TheExampleBoardsMeetTheirExpectations) {
  const boardhook_sim_test::ToolRun run = RunTool({"--json", BOARDHOOK_SIM_EXAMPLE_BOARDS});
  EXPECT_EQ(run.exitCode, 0) << run.err;
  ASSERT_TRUE(run.report.is_object()) << run.err;
  for (const Json &board : run.report.at("boards")) {
    const std::string source = board.at("source").get<std::string>();
    EXPECT_EQ(board.at("exit_code"), 0) << source << ": " << board.at("error");
    if (std::filesystem::path(source).filename() == "reference.toml") continue;
    ASSERT_TRUE(board.at("report").is_object()) << source << ": " << board.at("error");
    ASSERT_TRUE(board.at("report").contains("expectations")) << source;
    EXPECT_TRUE(board.at("report").at("expectations").at("met").get<bool>())
        << source << ": " << board.at("report").at("expectations").at("differences");
  }
}

// What an example board shows beyond its expectations: the BMC wait, and
// the debug-tool header, which only a driver that prints makes use of.
TEST(ExpectationsTest, TheExampleBoardsShowWhatTheyAreNamedFor) {
  const struct {
    const char *board;
    int attempts;
    bool answered;
    int stalledUs;
  } bmcBoards[] = {{"bmc-never-answers.toml", 10, false, 1000000},
                   {"bmc-answers-late.toml", 4, true, 300000}};
  for (const auto &c : bmcBoards) {
    const boardhook_sim_test::ToolRun run =
        RunTool({"--json", std::string(BOARDHOOK_SIM_EXAMPLE_BOARDS) + "/" + c.board});
    ASSERT_TRUE(run.report.is_object()) << c.board << run.err;
    const Json &pei = run.report.at("boots")[0].at("pei");
    EXPECT_EQ(pei.at("bmc").at("attempts"), c.attempts) << c.board;
    EXPECT_EQ(pei.at("bmc").at("answered"), c.answered) << c.board;
    EXPECT_EQ(pei.at("stalled_us"), c.stalledUs) << c.board;
  }

  const std::string header = std::string(BOARDHOOK_SIM_EXAMPLE_BOARDS) + "/debug-tool-header.toml";
  const boardhook_sim_test::ToolRun shipped = RunTool({"--json", header});
  ASSERT_TRUE(shipped.report.is_object()) << shipped.err;
  const Json &silent = shipped.report.at("boots")[0].at("dxe").at("debug_text").at("debug_tool");
  EXPECT_EQ(silent.at("breakpoint_armed"), true);  // DR2 held the tool's port at start-up
  EXPECT_TRUE(silent.at("hand_overs").empty()) << silent;
  EXPECT_TRUE(silent.at("port_writes").empty()) << silent;
  EXPECT_EQ(silent.at("header").at("write_index"), 0);

  // Printing on: "S3LibPrivateData allocation\r\n" (29 bytes) and
  // "S3SaveCloseTableCallBack\r\n" (26) pass through the 32-byte buffer. The
  // second message fills it after three bytes: one hand-over of 32 bytes,
  // and the other 23 bytes stay collected.
  const boardhook_sim_test::ToolRun debug = RunTool({"--json", "--debug-print", header});
  ASSERT_TRUE(debug.report.is_object()) << debug.err;
  const Json &tool = debug.report.at("boots")[0].at("dxe").at("debug_text").at("debug_tool");
  ASSERT_EQ(tool.at("hand_overs").size(), 1u) << tool;
  EXPECT_EQ(tool.at("hand_overs")[0].at("ebx"), 32);
  ASSERT_EQ(tool.at("port_writes").size(), 2u) << tool;
  for (const Json &write : tool.at("port_writes")) EXPECT_EQ(write.at("value"), 'S' | '3' << 8);
  EXPECT_EQ(tool.at("header").at("write_index"), 23);
  EXPECT_EQ(tool.at("header").at("buffered_text"), "aveCloseTableCallBack\r\n");
}

// A boot that differs exits 4 and names each field, expected against got;
// the fields that agree are not listed.
TEST(ExpectationsTest, DifferencesArePerField) {
  const std::string board = WriteBoard("expect-differs.toml",
                                       "[smbus]\nid_byte_1 = 0x10\n[expect]\noutcome = \"trap\"\n"
                                       "board_type = 0\nresets = 0\ntokens = {446 = 7}\n");
  const boardhook_sim_test::ToolRun text = RunTool({board});
  EXPECT_EQ(text.exitCode, 4) << text.err;
  EXPECT_NE(text.out.find("Expectations: NOT met (exit status 4)\n"
                          "  outcome: expected \"trap\", got \"ready-to-boot\"\n"
                          "  tokens.446: expected 7, got 0\n"),
            std::string::npos)
      << text.out;
  EXPECT_EQ(text.out.find("board_type: expected"), std::string::npos) << text.out;

  const boardhook_sim_test::ToolRun json = RunTool({"--json", board});
  const Json &expectations = json.report.at("expectations");
  EXPECT_EQ(expectations.at("met"), false);
  EXPECT_EQ(expectations.at("exit_code"), 4);
  EXPECT_EQ(expectations.at("checked"), Json({"outcome", "board_type", "tokens.446", "resets"}));
}

// --check validates the expectations as any other table.
TEST(ExpectationsTest, BadExpectationsAreBadInput) {
  const struct {
    std::string text;
    std::string message;
  } cases[] = {
      {"[expect]\noutcome = \"sideways\"\n", ":2: key 'expect.outcome': expected"},
      {"[expect]\nresets = 1\nwhatever = 2\n", ":3: key 'expect.whatever': unknown key"},
      {"[expect]\nmac = {first_list = [\"00:1B\"]}\n", "key 'expect.mac.first_list[0]'"},
      {"[expect]\n", "an [expect] table with nothing to check"},
  };
  int index = 0;
  for (const auto &c : cases) {
    const std::string board = WriteBoard("bad-expect-" + std::to_string(index++) + ".toml", c.text);
    const boardhook_sim_test::ToolRun run = RunTool({"--check", board});
    EXPECT_EQ(run.exitCode, 2) << c.text;
    EXPECT_NE(run.err.find(c.message), std::string::npos) << run.err;
  }
}

}  // namespace

namespace {

// Legal but suspicious boards are booted as described; a warning on the
// standard error says what looks wrong, and the exit status does not change.
TEST(WarningsTest, SuspiciousBoardsWarnWithoutFailing) {
  const struct {
    std::string text;
    std::vector<std::string> warnings;
  } cases[] = {
      {"", {"the description is empty"}},
      {"[[device]]\naddress = \"05:00.0\"\nid = 0xFFFFFFFF\n",
       {"device 05:00.0 lies behind no root port", "device 05:00.0 has the ID word 0xFFFFFFFF"}},
      {"[board]\nname = \"quiet\"\n", {}},
  };
  int index = 0;
  for (const auto &c : cases) {
    const std::string board = WriteBoard("warn-" + std::to_string(index++) + ".toml", c.text);
    for (const std::vector<std::string> &args :
         {std::vector<std::string>{"--check", board}, std::vector<std::string>{board}}) {
      const boardhook_sim_test::ToolRun run = RunTool(args);
      EXPECT_EQ(run.exitCode, 0) << run.err;
      for (const std::string &warning : c.warnings) {
        EXPECT_NE(run.err.find("boardhook-sim: warning: " + board + ": " + warning),
                  std::string::npos)
            << run.err;
      }
      if (c.warnings.empty()) {
        EXPECT_EQ(run.err.find("warning"), std::string::npos) << run.err;
      }
    }
  }
}

}  // namespace
