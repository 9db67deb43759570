// A client of the emulator's gdb remote-protocol stub, over a pair of pipes
// (the emulator started with "-gdb stdio"): just what the harness needs to
// act as the processor's answer at a few instructions of the driver under
// test. Errors throw std::runtime_error.
#pragma once

#include <chrono>
#include <cstdint>
#include <optional>
#include <string>
#include <vector>

namespace firmware_vm {

// Register numbers of the stub's x86-64 register description.
enum class Register : unsigned { Rax = 0, Rbx = 1, Rcx = 2, Rdx = 3, Rsi = 4, Rsp = 7, Rip = 16 };

class GdbRemote {
 public:
  GdbRemote(int ToStub, int FromStub) : ToStub_(ToStub), FromStub_(FromStub) {}

  // No-ack mode where the stub has it, then the target description: the stub answers single
  // register reads and writes only to a client that has read it.
  void Start();

  // Lets the machine run; the next stop comes from WaitForStop.
  void Continue();
  // Stops the running machine; WaitForStop returns the stop.
  void Interrupt();
  // The stop reply ("T05...") when the machine stops, nullopt on time-out.
  // The stub's end ("W.." or end of the pipe) throws StubGone.
  std::optional<std::string> WaitForStop(std::chrono::milliseconds Timeout);
  // One instruction, also from a breakpoint's address.
  void Step();

  std::uint64_t ReadRegister(Register Which);
  void WriteRegister(Register Which, std::uint64_t Value);
  std::vector<std::uint8_t> ReadMemory(std::uint64_t Address, std::size_t Length);
  void WriteMemory(std::uint64_t Address, const std::vector<std::uint8_t> &Bytes);
  void InsertBreakpoint(std::uint64_t Address);
  void RemoveBreakpoint(std::uint64_t Address);

  // The machine has ended: the stub reported its exit or closed the pipe.
  struct StubGone {};

 private:
  void Send(const std::string &Payload);
  std::optional<std::string> Receive(std::optional<std::chrono::milliseconds> Timeout);
  // Sends a request and returns the reply; an "E.." reply throws.
  std::string Request(const std::string &Payload);
  // A request whose only good reply is "OK" (an empty reply: not supported).
  void RequestOk(const std::string &Payload);
  // A stop reply, or StubGone for the stub's exit report.
  static std::string CheckStop(const std::string &Reply);

  int ToStub_;
  int FromStub_;
  std::string Pending_;
  bool Acknowledge_ = true;  // each packet from the stub is acknowledged with '+'
};

}  // namespace firmware_vm
