#include "MachineRun.h"

#include <fcntl.h>
#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <regex>
#include <sstream>
#include <stdexcept>
#include <thread>

#include "GdbRemote.h"
#include "HexText.h"
#include "ImageCode.h"

extern char **environ;

namespace firmware_vm {

namespace fs = std::filesystem;

namespace {

// A run ends by itself within about fifteen seconds on a busy machine; a CPU
// exception leaves the firmware waiting forever, which this limit ends.
constexpr int RUN_TIMEOUT_SECONDS = 30;

// How often the harness looks at the debug console while the application
// has not yet reached its wait.
constexpr std::chrono::milliseconds WAIT_LINE_POLL{25};

constexpr std::uint32_t MSR_MMIO_CONFIGURATION_BASE = 0xC0010058;
// The longest hand-over the harness reads; the debug text buffer is 512 bytes.
constexpr std::uint32_t LONGEST_HAND_OVER = 4096;

constexpr std::uint32_t REDIRECT_START = 0x5F535452;  // "RTS_"
constexpr std::uint32_t REDIRECT_END = 0x5F454E44;    // "DNE_"

std::string ReadFile(const fs::path &Path) {
  std::ifstream Stream(Path, std::ios::binary);
  std::ostringstream Text;
  Text << Stream.rdbuf();
  return Text.str();
}

std::optional<fs::path> FindInPath(const std::string &Program) {
  const char *Path = std::getenv("PATH");
  std::istringstream Dirs(Path != nullptr ? Path : "/usr/bin:/bin");
  std::string Dir;
  while (std::getline(Dirs, Dir, ':')) {
    fs::path Candidate = fs::path(Dir) / Program;
    if (access(Candidate.c_str(), X_OK) == 0) {
      return Candidate;
    }
  }
  return std::nullopt;
}

fs::path EnvOr(const char *Name, const char *Default) {
  const char *Value = std::getenv(Name);
  return Value != nullptr && *Value != '\0' ? Value : Default;
}

std::optional<std::uint64_t> Number(const std::string &Line, const char *Key) {
  std::size_t At = Line.find(Key);
  if (At == std::string::npos) {
    return std::nullopt;
  }
  return std::strtoull(Line.c_str() + At + std::strlen(Key), nullptr, 0);
}

// The application's line "harness.wait plan=0x... driver_base=0x... ...".
struct WaitLine {
  std::uint64_t Plan = 0;
  std::uint64_t DriverBase = 0;
};

std::optional<WaitLine> FindWaitLine(const std::string &Console) {
  static const std::regex Line(
      "harness\\.wait plan=(0x[0-9a-f]+) driver_base=(0x[0-9a-f]+)[^\\n]*\\n");
  std::smatch Match;
  if (!std::regex_search(Console, Match, Line)) {
    return std::nullopt;
  }
  return WaitLine{std::stoull(Match[1], nullptr, 16), std::stoull(Match[2], nullptr, 16)};
}

// The parts of the processor the harness plays, at instructions of the
// loaded driver.
class HarnessSession {
 public:
  HarnessSession(GdbRemote &Gdb, const RunPlan &Plan, fs::path Console, HarnessLog &Log,
                 std::ofstream &Journal)
      : Gdb_(Gdb), Plan_(Plan), Console_(std::move(Console)), Log_(Log), Journal_(Journal) {}

  // Until the machine ends.
  void Run() {
    Gdb_.Start();
    Gdb_.Continue();
    WaitLine Wait = AwaitApplication();
    Gdb_.Interrupt();
    while (!Gdb_.WaitForStop(std::chrono::seconds(10))) {
    }
    Attach(Wait);
    Gdb_.Continue();
    for (;;) {
      if (Gdb_.WaitForStop(std::chrono::hours(1))) {
        OnStop();
      }
    }
  }

 private:
  WaitLine AwaitApplication() {
    for (;;) {
      if (Gdb_.WaitForStop(WAIT_LINE_POLL)) {
        Gdb_.Continue();  // no breakpoint stands yet: nothing of ours
      }
      if (std::optional<WaitLine> Wait = FindWaitLine(ReadFile(Console_))) {
        return *Wait;
      }
    }
  }

  // Breakpoints by symbol in the driver as loaded, then the board.
  void Attach(const WaitLine &Wait) {
    fs::path Map = Plan_.Driver;
    Map.replace_extension(".map");
    ImageCode Code(Plan_.Driver, Map, FIRMWARE_VM_OBJDUMP);
    std::uint64_t Base = Wait.DriverBase;
    Log_.DriverBase = Base;
    if (Plan_.MmioConfigurationAnswer) {
      MsrRead_ = Base + Code.Find("HwReadMsr", "rdmsr").NextRva;
      Gdb_.InsertBreakpoint(*MsrRead_);
    }
    BackDoor_ = Base + Code.Find("HwCpuidBackDoor", "cpuid").NextRva;
    Gdb_.InsertBreakpoint(BackDoor_);
    // A build whose DebugPrintEnable is 0 leaves the debug tool's
    // hand-over out: nothing of it could run.
    Log_.HandOverInImage = Code.Has("HwDebugToolHandOver");
    if (Log_.HandOverInImage) {
      Instruction HandOver = Code.Find("HwDebugToolHandOver", "outl");
      HandOver_ = Base + HandOver.Rva;
      AfterHandOver_ = Base + HandOver.NextRva;
      Gdb_.InsertBreakpoint(*HandOver_);
    }
    Entry_ = Base + Code.EntryRva();
    Gdb_.InsertBreakpoint(*Entry_);
    Journal_ << "attach base=" << Hex(Base) << " entry=" << Hex(*Entry_)
             << " back_door=" << Hex(BackDoor_)
             << (HandOver_ ? " hand_over=" + Hex(*HandOver_) : std::string())
             << (MsrRead_ ? " msr_read=" + Hex(*MsrRead_) : std::string()) << "\n";

    std::vector<std::uint8_t> Board;
    for (int Byte = 0; Byte < 4; Byte++) {
      Board.push_back(static_cast<std::uint8_t>(Plan_.Board >> (8 * Byte)));
    }
    Gdb_.WriteMemory(Wait.Plan, Board);
    Log_.Attached = true;
  }

  void OnStop() {
    std::uint64_t Rip = Gdb_.ReadRegister(Register::Rip);
    if (Entry_ && Rip == *Entry_) {
      EnterDriver();
    } else if (Return_ && Rip == *Return_) {
      ReturnFromDriver();
    } else if (MsrRead_ && Rip == *MsrRead_) {
      AnswerMsrRead();
    } else if (Rip == BackDoor_) {
      AnswerBackDoor();
    } else if (HandOver_ && Rip == *HandOver_) {
      TakeHandOver();
    } else {
      Journal_ << "stop at " << Hex(Rip) << ", not a breakpoint of the harness\n";
      Gdb_.Continue();
    }
  }

  // The firmware calls the entry: the return address on the stack is where
  // it gets the status back.
  void EnterDriver() {
    Log_.EntryReached = true;
    std::vector<std::uint8_t> Bytes = Gdb_.ReadMemory(Gdb_.ReadRegister(Register::Rsp), 8);
    std::uint64_t ReturnAddress = 0;
    for (int Byte = 7; Byte >= 0; Byte--) {
      ReturnAddress = ReturnAddress << 8 | Bytes[static_cast<std::size_t>(Byte)];
    }
    Journal_ << "entry reached, returns to " << Hex(ReturnAddress) << "\n";
    Gdb_.RemoveBreakpoint(*Entry_);
    Entry_.reset();
    Return_ = ReturnAddress;
    Gdb_.InsertBreakpoint(*Return_);
    Gdb_.Continue();
  }

  void ReturnFromDriver() {
    Log_.EntryStatus = Gdb_.ReadRegister(Register::Rax);
    Journal_ << "entry returned " << Hex(*Log_.EntryStatus) << "\n";
    Gdb_.RemoveBreakpoint(*Return_);
    Return_.reset();
    Gdb_.Continue();
  }

  // After rdmsr: EDX:EAX hold the value, ECX still the index.
  void AnswerMsrRead() {
    auto Index = static_cast<std::uint32_t>(Gdb_.ReadRegister(Register::Rcx));
    Log_.MsrReads.push_back(Index);
    Journal_ << "msr read " << Hex(Index) << "\n";
    if (Index != MSR_MMIO_CONFIGURATION_BASE) {
      Gdb_.Step();
      Gdb_.Continue();
      return;
    }
    std::uint64_t Answer = *Plan_.MmioConfigurationAnswer;
    Gdb_.WriteRegister(Register::Rax, Answer & 0xFFFFFFFF);
    Gdb_.WriteRegister(Register::Rdx, Answer >> 32);
    Log_.MmioConfigurationAnswers++;
    // Read once, by the S3 save library's start-up; later reads (the P-state
    // registers of a display loop) go on without the harness.
    Gdb_.RemoveBreakpoint(*MsrRead_);
    MsrRead_.reset();
    Gdb_.Continue();
  }

  // After cpuid: the answer is in SI.
  void AnswerBackDoor() {
    Log_.BackDoorQueries++;
    Journal_ << "back door query" << (Plan_.BackDoorAnswer ? ", answered" : "") << "\n";
    if (Plan_.BackDoorAnswer) {
      std::uint64_t Rsi = Gdb_.ReadRegister(Register::Rsi);
      Gdb_.WriteRegister(Register::Rsi, (Rsi & ~std::uint64_t{0xFFFF}) | *Plan_.BackDoorAnswer);
    }
    Gdb_.Step();
    Gdb_.Continue();
  }

  // At the trapped port write: the tool takes the text and lets the
  // processor go on after the write, as the I/O breakpoint's debug
  // exception would never reach the firmware with the tool attached.
  void TakeHandOver() {
    ToolHandOver Taken;
    Taken.Edx = static_cast<std::uint32_t>(Gdb_.ReadRegister(Register::Rdx));
    Taken.Eax = static_cast<std::uint32_t>(Gdb_.ReadRegister(Register::Rax));
    Taken.Ebx = static_cast<std::uint32_t>(Gdb_.ReadRegister(Register::Rbx));
    if (Taken.Ebx <= LONGEST_HAND_OVER) {
      std::vector<std::uint8_t> Bytes = Gdb_.ReadMemory(Taken.Eax, Taken.Ebx);
      Taken.Text.assign(Bytes.begin(), Bytes.end());
    }
    Journal_ << "hand-over edx=" << Hex(Taken.Edx) << " eax=" << Hex(Taken.Eax)
             << " ebx=" << Taken.Ebx << "\n";
    Log_.HandOvers.push_back(std::move(Taken));
    Gdb_.WriteRegister(Register::Rip, AfterHandOver_);
    Gdb_.Continue();
  }

  GdbRemote &Gdb_;
  const RunPlan &Plan_;
  fs::path Console_;
  HarnessLog &Log_;
  std::ofstream &Journal_;
  std::optional<std::uint64_t> Entry_;
  std::optional<std::uint64_t> Return_;
  std::optional<std::uint64_t> MsrRead_;
  std::uint64_t BackDoor_ = 0;
  std::optional<std::uint64_t> HandOver_;
  std::uint64_t AfterHandOver_ = 0;
};

struct Pipe {
  int Read = -1;
  int Write = -1;
  Pipe() {
    int Ends[2];
    if (pipe2(Ends, O_CLOEXEC) != 0) {
      throw std::runtime_error("pipe2 failed");
    }
    Read = Ends[0];
    Write = Ends[1];
  }
};

}  // namespace

void PortTrace::AddLine(const std::string &Line) {
  if (Line.find("memory_region_ops_write") == std::string::npos) {
    return;
  }
  std::optional<std::uint64_t> Address = Number(Line, " addr ");
  std::optional<std::uint64_t> Value = Number(Line, " value ");
  std::optional<std::uint64_t> Size = Number(Line, " size ");
  if (!Address || !Value || !Size) {
    return;
  }
  if (Line.find("name 'ioport80'") != std::string::npos) {
    AddPostCodeBytes(static_cast<unsigned>(*Address), *Value, static_cast<unsigned>(*Size));
  } else if (Line.find("name 'io'") != std::string::npos && *Address == 0xE0) {
    Close();
    Keep({0xE0, static_cast<unsigned>(*Size), static_cast<std::uint32_t>(*Value)});
  }
}

void PortTrace::Close() {
  if (Pending_) {
    Keep(*Pending_);
    Pending_.reset();
  }
}

void PortTrace::AddPostCodeBytes(unsigned Address, std::uint64_t Value, unsigned Size) {
  unsigned Offset = Address - 0x80;
  if (Offset == 0 || !Pending_ || Pending_->Width != Offset) {
    Close();
    Pending_ = PortWrite{0x80, 0, 0};
  }
  Pending_->Value |= static_cast<std::uint32_t>(Value << (8 * Offset));
  Pending_->Width = Offset + Size;
}

void PortTrace::Keep(const PortWrite &Write) {
  Total_++;
  if (Writes_.size() < KEPT_WRITES) {
    Writes_.push_back(Write);
  }
}

PostCodePort SplitRedirectFrames(const std::vector<PortWrite> &Writes) {
  PostCodePort Port;
  std::optional<std::string> Text;
  for (const PortWrite &Write : Writes) {
    if (!Text && Write == PortWrite{0x80, 4, REDIRECT_START}) {
      Text.emplace();
    } else if (Text && Write == PortWrite{0x80, 4, REDIRECT_END}) {
      Port.RedirectTexts.push_back(std::move(*Text));
      Text.reset();
    } else if (Text && Write.Port == 0x80 && Write.Width == 1) {
      Text->push_back(static_cast<char>(Write.Value));
    } else {
      Port.Others.push_back(Write);
    }
  }
  return Port;
}

MachineRun RunMachine(const RunPlan &Plan, const fs::path &RunRoot) {
  MachineRun Run;
  std::optional<fs::path> Qemu = FindInPath("qemu-system-x86_64");
  fs::path Code = EnvOr("FIRMWARE_VM_CODE", "/usr/share/OVMF/OVMF_CODE_4M.fd");
  fs::path Vars = EnvOr("FIRMWARE_VM_VARS", "/usr/share/OVMF/OVMF_VARS_4M.fd");
  if (!Qemu) {
    Run.SkipReason = "qemu-system-x86_64 not found (package qemu-system-x86)";
    return Run;
  }
  if (!fs::exists(Code) || !fs::exists(Vars)) {
    Run.SkipReason =
        "firmware files " + Code.string() + " / " + Vars.string() + " not found (package ovmf)";
    return Run;
  }

  fs::path Dir = RunRoot / Plan.Name;
  Run.Dir = Dir;
  fs::remove_all(Dir);
  fs::create_directories(Dir / "drive" / "EFI" / "BOOT");
  fs::copy_file(FIRMWARE_VM_TEST_APP_IMAGE, Dir / "drive" / "EFI" / "BOOT" / "BOOTX64.EFI");
  fs::copy_file(Plan.Volume, Dir / "drive" / "BoardHook.fv");
  fs::copy_file(Vars, Dir / "vars.fd");
  fs::permissions(Dir / "vars.fd", fs::perms::owner_write, fs::perm_options::add);

  std::vector<std::string> Args = {
      "timeout",
      "--kill-after=5",
      std::to_string(RUN_TIMEOUT_SECONDS),
      Qemu->string(),
      "-machine",
      "q35",
      "-cpu",
      "EPYC",
      "-m",
      "256",
      "-drive",
      "if=pflash,format=raw,readonly=on,file=" + Code.string(),
      "-drive",
      "if=pflash,format=raw,file=" + (Dir / "vars.fd").string(),
      "-drive",
      "format=raw,file=fat:rw:" + (Dir / "drive").string(),
      "-display",
      "none",
      "-monitor",
      "none",
      "-no-reboot",
      "-nic",
      "none",
      "-serial",
      "file:" + (Dir / "serial.log").string(),
      "-debugcon",
      "file:" + (Dir / "debugcon.log").string(),
      "-global",
      "isa-debugcon.iobase=0x402",
      "-trace",
      "memory_region_ops_write",
      "-D",
      "/dev/fd/3",
      // The gdb stub on stdin and stdout; the machine waits for the harness.
      "-S",
      "-gdb",
      "stdio",
  };
  std::vector<char *> Argv;
  for (std::string &Arg : Args) {
    Argv.push_back(Arg.data());
  }
  Argv.push_back(nullptr);

  // The harness writes to the stub after the machine may have ended.
  signal(SIGPIPE, SIG_IGN);
  Pipe ToStub, FromStub, Trace;
  posix_spawn_file_actions_t Actions;
  posix_spawn_file_actions_init(&Actions);
  posix_spawn_file_actions_adddup2(&Actions, ToStub.Read, 0);
  posix_spawn_file_actions_adddup2(&Actions, FromStub.Write, 1);
  posix_spawn_file_actions_adddup2(&Actions, Trace.Write, 3);
  posix_spawn_file_actions_addopen(&Actions, 2, (Dir / "qemu.err").c_str(),
                                   O_WRONLY | O_CREAT | O_TRUNC, 0644);
  auto Started = std::chrono::steady_clock::now();
  pid_t Child = -1;
  int SpawnError = posix_spawnp(&Child, "timeout", &Actions, nullptr, Argv.data(), environ);
  posix_spawn_file_actions_destroy(&Actions);
  close(ToStub.Read);
  close(FromStub.Write);
  close(Trace.Write);
  if (SpawnError != 0) {
    close(ToStub.Write);
    close(FromStub.Read);
    close(Trace.Read);
    Run.Harness.Error = "cannot start timeout/qemu: " + std::to_string(SpawnError);
    return Run;
  }

  // The trace comes through a pipe so the display loop's flood of writes
  // never reaches the disk; its other lines are kept for diagnosis.
  std::thread TraceReader([&] {
    std::ofstream TraceCopy(Dir / "trace-other.log");
    FILE *Stream = fdopen(Trace.Read, "r");
    char *Buffer = nullptr;
    std::size_t Capacity = 0;
    while (getline(&Buffer, &Capacity, Stream) > 0) {
      std::string Line(Buffer);
      if (Line.find("'ioport80'") == std::string::npos) {
        TraceCopy << Line;
      }
      Run.Trace.AddLine(Line);
    }
    std::free(Buffer);
    std::fclose(Stream);
    Run.Trace.Close();
  });

  {
    std::ofstream Journal(Dir / "harness.log");
    GdbRemote Gdb(ToStub.Write, FromStub.Read);
    HarnessSession Session(Gdb, Plan, Dir / "debugcon.log", Run.Harness, Journal);
    try {
      Session.Run();
    } catch (const GdbRemote::StubGone &) {
      Journal << "machine ended\n";
    } catch (const std::exception &Error) {
      Run.Harness.Error = Error.what();
      Journal << "harness error: " << Error.what() << "\n";
      kill(Child, SIGTERM);
    }
  }
  close(ToStub.Write);
  close(FromStub.Read);

  int Status = 0;
  waitpid(Child, &Status, 0);
  TraceReader.join();
  Run.WallSeconds =
      std::chrono::duration<double>(std::chrono::steady_clock::now() - Started).count();
  Run.ExitStatus = WIFEXITED(Status) ? WEXITSTATUS(Status) : 128 + WTERMSIG(Status);
  Run.Report = ReadFile(Dir / "debugcon.log");
  Run.Serial = ReadFile(Dir / "serial.log");
  std::ofstream Writes(Dir / "port-writes.log");
  for (const PortWrite &Write : Run.Trace.Writes()) {
    Writes << Hex(Write.Port) << " " << Write.Width << " " << Hex(Write.Value) << "\n";
  }
  Writes << "total " << Run.Trace.Total() << "\n";
  return Run;
}

}  // namespace firmware_vm
