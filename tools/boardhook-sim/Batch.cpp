#include "Batch.h"

#include <poll.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <memory>
#include <optional>

#include "BoardFile.h"
#include "Expect.h"
#include "Warnings.h"
#include "Subprocess.h"

namespace bootsim {

namespace {

int Severity(int status) {
  switch (status) {
    case 0:
      return 0;
    case 1:
      return 1;
    case kExitExpectationsUnmet:
      return 2;
    case 2:
      return 3;
    default:
      return 4;
  }
}

Json RunToJson(const BoardRun &run) {
  return {{"source", run.source},
          {"name", run.name},
          {"exit_code", run.exitCode},
          {"error", run.error},
          {"report", run.report}};
}

BoardRun RunFromJson(const Json &json) {
  BoardRun run;
  run.source = json.at("source").get<std::string>();
  run.name = json.at("name").get<std::string>();
  run.exitCode = json.at("exit_code").get<int>();
  run.error = json.at("error").get<std::string>();
  run.report = json.at("report");
  return run;
}

// A worker process's share of a batch: every board whose index modulo
// `count` is `worker`, one JSON line each on `fd`.
void RunWorker(const std::vector<std::string> &sources, const std::string &standardInput,
               const BootOptions &options, unsigned worker, unsigned count, int fd) {
  std::unique_ptr<PeiRunnerSession> runner;
  std::string startError;
  try {
    runner = std::make_unique<PeiRunnerSession>(options.runner);
  } catch (const SimulatorError &error) {
    startError = error.what();
  }
  for (size_t index = worker; index < sources.size(); index += count) {
    BoardRun run;
    if (runner) {
      run = RunBoard(sources[index], standardInput, options, runner.get());
    } else {
      run = {sources[index], "", kExitSimulatorFailure, startError, nullptr};
    }
    const std::string line = Json{{"index", index}, {"run", RunToJson(run)}}.dump() + "\n";
    size_t done = 0;
    while (done < line.size()) {
      const ssize_t n = write(fd, line.data() + done, line.size() - done);
      if (n < 0 && errno == EINTR) continue;
      if (n <= 0) return;
      done += static_cast<size_t>(n);
    }
  }
}

std::string Seconds(uint64_t nanoseconds) {
  char text[32];
  std::snprintf(text, sizeof text, "%.3f s", static_cast<double>(nanoseconds) / 1e9);
  return text;
}

}  // namespace

int WorseStatus(int a, int b) { return Severity(a) >= Severity(b) ? a : b; }

std::vector<std::string> ExpandBoardArguments(const std::vector<std::string> &arguments) {
  std::vector<std::string> sources;
  for (const std::string &argument : arguments) {
    std::error_code error;
    if (argument != "-" && std::filesystem::is_directory(argument, error)) {
      std::vector<std::string> files;
      for (const auto &entry : std::filesystem::directory_iterator(argument, error)) {
        if (entry.path().extension() == ".toml" && !entry.is_directory()) {
          files.push_back(entry.path().string());
        }
      }
      std::sort(files.begin(), files.end());
      sources.insert(sources.end(), files.begin(), files.end());
    } else {
      sources.push_back(argument);
    }
  }
  return sources;
}

BoardRun RunBoard(const std::string &source, const std::string &standardInput,
                  const BootOptions &options, PeiRunnerSession *runner) {
  BoardRun run;
  run.source = source;
  Board board;
  try {
    if (source.empty()) {
      board = LoadReferenceBoard();
    } else if (source == "-") {
      board = ParseBoard(standardInput, "<stdin>");
    } else {
      board = LoadBoardFile(source);
    }
  } catch (const BoardError &error) {
    run.exitCode = kExitBadInput;
    run.error = error.what();
    return run;
  }
  run.name = board.name;
  PrintBoardWarnings(board);
  try {
    run.report = BootBoard(board, options, runner);
    run.exitCode = run.report.at("result").at("exit_code").get<int>();
    if (!board.expect.Empty()) {
      Json check = CheckExpectations(board.expect, run.report);
      run.exitCode = check.at("met").get<bool>() ? kExitReadyToBoot : kExitExpectationsUnmet;
      check["exit_code"] = run.exitCode;
      run.report["expectations"] = check;
    }
  } catch (const SimulatorError &error) {
    run.exitCode = kExitSimulatorFailure;
    run.error = error.what();
  }
  return run;
}

std::vector<BoardRun> RunBatch(const std::vector<std::string> &sources,
                               const std::string &standardInput, const BootOptions &options,
                               unsigned jobs) {
  std::vector<BoardRun> runs(sources.size());
  jobs = std::max(1u, std::min<unsigned>(jobs, static_cast<unsigned>(sources.size())));
  if (jobs == 1) {
    std::unique_ptr<PeiRunnerSession> runner;
    try {
      runner = std::make_unique<PeiRunnerSession>(options.runner);
    } catch (const SimulatorError &error) {
      for (size_t index = 0; index < sources.size(); index++) {
        runs[index] = {sources[index], "", kExitSimulatorFailure, error.what(), nullptr};
      }
      return runs;
    }
    for (size_t index = 0; index < sources.size(); index++) {
      runs[index] = RunBoard(sources[index], standardInput, options, runner.get());
    }
    return runs;
  }

  struct Worker {
    pid_t pid;
    int fd;
    std::string pending;
  };
  std::vector<Worker> workers;
  std::vector<bool> done(sources.size(), false);
  std::fflush(nullptr);
  for (unsigned worker = 0; worker < jobs; worker++) {
    int fds[2];
    if (pipe(fds) != 0)
      throw SimulatorError(std::string("cannot create a pipe: ") + strerror(errno));
    const pid_t pid = fork();
    if (pid < 0) throw SimulatorError(std::string("cannot fork: ") + std::strerror(errno));
    if (pid == 0) {
      close(fds[0]);
      for (const Worker &other : workers) close(other.fd);
      RunWorker(sources, standardInput, options, worker, jobs, fds[1]);
      close(fds[1]);
      _exit(0);
    }
    close(fds[1]);
    workers.push_back({pid, fds[0], ""});
  }
  size_t open = workers.size();
  while (open > 0) {
    std::vector<pollfd> fds;
    for (const Worker &worker : workers) {
      if (worker.fd >= 0) fds.push_back({worker.fd, POLLIN, 0});
    }
    if (poll(fds.data(), fds.size(), -1) < 0) {
      if (errno == EINTR) continue;
      break;
    }
    for (Worker &worker : workers) {
      if (worker.fd < 0) continue;
      const auto ready = std::find_if(fds.begin(), fds.end(),
                                      [&](const pollfd &fd) { return fd.fd == worker.fd; });
      if (ready == fds.end() || ready->revents == 0) continue;
      char buffer[65536];
      const ssize_t n = read(worker.fd, buffer, sizeof buffer);
      if (n < 0 && errno == EINTR) continue;
      if (n <= 0) {
        close(worker.fd);
        worker.fd = -1;
        open--;
        continue;
      }
      worker.pending.append(buffer, static_cast<size_t>(n));
      for (size_t end; (end = worker.pending.find('\n')) != std::string::npos;) {
        const Json line = Json::parse(worker.pending.substr(0, end));
        worker.pending.erase(0, end + 1);
        const size_t index = line.at("index").get<size_t>();
        runs.at(index) = RunFromJson(line.at("run"));
        done[index] = true;
      }
    }
  }
  for (const Worker &worker : workers) {
    int status = 0;
    while (waitpid(worker.pid, &status, 0) < 0 && errno == EINTR) {
    }
  }
  for (size_t index = 0; index < sources.size(); index++) {
    if (!done[index]) {
      runs[index] = {sources[index], "", kExitSimulatorFailure,
                     "the worker process that booted this board ended early", nullptr};
    }
  }
  return runs;
}

std::string BatchLine(const BoardRun &run) {
  const std::string source = run.source.empty() ? "(reference board)" : run.source;
  std::string line = source;
  if (!run.name.empty()) line += " [" + run.name + "]";
  if (run.report.is_null()) {
    return line + "  error (exit " + std::to_string(run.exitCode) + "): " + run.error;
  }
  const Json &result = run.report.at("result");
  line += "  " + result.at("status").get<std::string>();
  if (run.report.contains("expectations")) {
    const Json &expectations = run.report.at("expectations");
    const size_t unmet = expectations.at("differences").size();
    line += unmet == 0 ? "  expectations met"
                       : "  expectations NOT met (" + std::to_string(unmet) + " fields)";
  } else {
    line += "  no expectations";
  }
  line += "  " + Seconds(run.report.at("totals").at("simulated_time_ns").get<uint64_t>());
  line += "  exit " + std::to_string(run.exitCode);
  return line;
}

std::string BatchSummary(const std::vector<BoardRun> &runs) {
  size_t ready = 0, failed = 0, errors = 0, met = 0, unmet = 0;
  int worst = 0;
  for (const BoardRun &run : runs) {
    worst = WorseStatus(worst, run.exitCode);
    if (run.report.is_null()) {
      errors++;
      continue;
    }
    (run.report.at("result").at("status") == "ready-to-boot" ? ready : failed)++;
    if (run.report.contains("expectations")) {
      (run.report.at("expectations").at("differences").empty() ? met : unmet)++;
    }
  }
  return std::to_string(runs.size()) + (runs.size() == 1 ? " board: " : " boards: ") +
         std::to_string(ready) + " reached ReadyToBoot, " + std::to_string(failed) +
         " failed to boot, " + std::to_string(errors) +
         " could not be booted; expectations: " + std::to_string(met) + " met, " +
         std::to_string(unmet) + " not met; exit status " + std::to_string(worst);
}

Json BatchJson(const std::vector<BoardRun> &runs) {
  Json boards = Json::array();
  int worst = 0;
  for (const BoardRun &run : runs) {
    boards.push_back(RunToJson(run));
    worst = WorseStatus(worst, run.exitCode);
  }
  return {
      {"format", "boardhook-sim-batch/1"},
      {"boards", boards},
      {"summary", {{"count", runs.size()}, {"exit_code", worst}, {"text", BatchSummary(runs)}}}};
}

}  // namespace bootsim
