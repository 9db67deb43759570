// Child processes of the tool: a program started with its input on stdin
// (the PEI runner), and a forked copy of the tool that runs one function
// (the DXE phase, so that every boot starts from the driver's load-time
// data). Both hand back what the child wrote.
#pragma once
#include <functional>
#include <stdexcept>
#include <string>
#include <vector>

namespace bootsim {

// The simulator itself could not do its work (a runner missing or failing);
// not a fault of the board or of the firmware.
class SimulatorError : public std::runtime_error {
 public:
  using std::runtime_error::runtime_error;
};

struct ChildResult {
  int exitCode = -1;  // -1 when a signal ended the child
  int signal = 0;
  std::string out;
  std::string err;

  bool Succeeded() const { return exitCode == 0; }
  // "exit status 2" or "signal 11 (Segmentation fault)".
  std::string EndText() const;
};

// Starts `argv` (argv[0] is the program's path), writes `input` to its stdin
// and collects stdout and stderr until it ends. SimulatorError when it
// cannot be started.
ChildResult RunProgram(const std::vector<std::string> &argv, const std::string &input);

// A program that answers one line for every line it is given (the PEI
// runner serving a batch). It lives until the object is destroyed, which
// closes its input and waits for it; its stderr is the tool's.
class LineServer {
 public:
  explicit LineServer(const std::vector<std::string> &argv);
  ~LineServer();
  LineServer(const LineServer &) = delete;
  LineServer &operator=(const LineServer &) = delete;
  // Sends `line` (without its newline) and returns the answer line.
  // SimulatorError when the program has ended.
  std::string Exchange(const std::string &line);

 private:
  std::string program_;
  int pid_ = -1;
  int in_ = -1;
  int out_ = -1;
  std::string pending_;  // read past the last answer
};

// Runs `body` in a forked child of this process; what it returns is the
// child's stdout. An exception in the body ends the child with exit status 3
// and its message on stderr.
ChildResult RunForked(const std::function<std::string()> &body);

}  // namespace bootsim
