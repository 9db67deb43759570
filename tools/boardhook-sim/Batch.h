// Booting many boards in one run, as a CI job keeps a set of board variants
// green: the arguments expanded (a directory means its *.toml files, sorted;
// "-" the standard input), every board booted (in worker processes with
// --jobs), one line per board and a summary, and the worst exit status.
#pragma once
#include <string>
#include <vector>

#include "Boot.h"
#include "SimJson.h"

namespace bootsim {

// Exit statuses, from least to most severe in a batch's worst status:
// 0 ReadyToBoot or every expectation met; 1 a trap, reset loop or hang (on a
// board without expectations); 4 a report that differs from the board's
// expectations; 2 bad input; 3 the simulator could not run.
inline constexpr int kExitExpectationsUnmet = 4;
int WorseStatus(int a, int b);

// One board of a batch: where it came from and how it ended.
struct BoardRun {
  std::string source;  // the path, "-" or "" for the built-in reference board
  std::string name;
  int exitCode = 0;
  std::string error;  // the message when the board could not be booted
  Json report;        // the boot's report, null when it could not be booted
};

// The boards the arguments name, in order. A path that is neither a file
// nor a directory is kept, so its error is reported for it. An empty list
// stands for the built-in reference board.
std::vector<std::string> ExpandBoardArguments(const std::vector<std::string> &arguments);

// Reads, checks and boots one board; never throws.
BoardRun RunBoard(const std::string &source, const std::string &standardInput,
                  const BootOptions &options, PeiRunnerSession *runner);

// Boots every board, in `jobs` worker processes (each with its own PEI
// runner) when more than one; results in the order of `sources`.
std::vector<BoardRun> RunBatch(const std::vector<std::string> &sources,
                               const std::string &standardInput, const BootOptions &options,
                               unsigned jobs);

// "NAME  OUTCOME  expectations ...  TIME" for a board, and the summary.
std::string BatchLine(const BoardRun &run);
std::string BatchSummary(const std::vector<BoardRun> &runs);
Json BatchJson(const std::vector<BoardRun> &runs);

}  // namespace bootsim
