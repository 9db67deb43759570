// Boots the packaged UEFI firmware in a software-emulated q35 machine with a
// FAT drive holding the test application (as the removable-media boot file)
// and BoardHookDxe.efi, then checks the application's report, the serial
// console and the trace of port writes. One machine run serves all checks.
#include <fcntl.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <map>
#include <optional>
#include <sstream>
#include <string>
#include <vector>

#include <gtest/gtest.h>

extern char **environ;

namespace fs = std::filesystem;

namespace {

// A run ends by itself within about ten seconds; a CPU exception leaves the
// firmware waiting forever, which this limit ends.
constexpr int RUN_TIMEOUT_SECONDS = 30;

struct PortWrite {
  unsigned Port;
  unsigned Width;  // bytes
  std::uint32_t Value;
  bool operator==(const PortWrite &) const = default;
};

std::string Hex(std::uint64_t Value) {
  char Text[24];
  std::snprintf(Text, sizeof(Text), "0x%llx", static_cast<unsigned long long>(Value));
  return Text;
}

// Port 0x80 and 0xE0 writes from the memory_region_ops_write trace. A wide
// write to the POST-code port shows as consecutive byte writes at 0x80 to
// 0x83; they are put back together here. Only the first writes are kept:
// the display loop writes without pause on this machine.
class PortTrace {
 public:
  static constexpr std::size_t KEPT_WRITES = 4096;

  void AddLine(const std::string &Line) {
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

  void Close() {
    if (Pending_) {
      Keep(*Pending_);
      Pending_.reset();
    }
  }

  const std::vector<PortWrite> &Writes() const { return Writes_; }
  std::size_t Total() const { return Total_; }

 private:
  static std::optional<std::uint64_t> Number(const std::string &Line, const char *Key) {
    std::size_t At = Line.find(Key);
    if (At == std::string::npos) {
      return std::nullopt;
    }
    return std::strtoull(Line.c_str() + At + std::strlen(Key), nullptr, 0);
  }

  void AddPostCodeBytes(unsigned Address, std::uint64_t Value, unsigned Size) {
    unsigned Offset = Address - 0x80;
    if (Offset == 0 || !Pending_ || Pending_->Width != Offset) {
      Close();
      Pending_ = PortWrite{0x80, 0, 0};
    }
    Pending_->Value |= static_cast<std::uint32_t>(Value << (8 * Offset));
    Pending_->Width = Offset + Size;
  }

  void Keep(const PortWrite &Write) {
    Total_++;
    if (Writes_.size() < KEPT_WRITES) {
      Writes_.push_back(Write);
    }
  }

  std::vector<PortWrite> Writes_;
  std::optional<PortWrite> Pending_;
  std::size_t Total_ = 0;
};

// The application's report: the lines between REPORT BEGIN and REPORT END,
// each a label followed by key=value fields.
struct ReportLine {
  std::string Label;
  std::map<std::string, std::string> Fields;
};

struct Report {
  bool Complete = false;
  std::vector<ReportLine> Lines;

  // The first line with this label; an empty line if there is none.
  ReportLine Line(const std::string &Label) const {
    for (const ReportLine &Entry : Lines) {
      if (Entry.Label == Label) {
        return Entry;
      }
    }
    return {};
  }

  std::vector<ReportLine> All(const std::string &Label) const {
    std::vector<ReportLine> Found;
    for (const ReportLine &Entry : Lines) {
      if (Entry.Label == Label) {
        Found.push_back(Entry);
      }
    }
    return Found;
  }

  ReportLine Watch(const std::string &Name) const {
    for (const ReportLine &Entry : All("watch")) {
      if (Entry.Fields.count("name") && Entry.Fields.at("name") == Name) {
        return Entry;
      }
    }
    return {};
  }
};

Report ParseReport(const std::string &Text) {
  Report Parsed;
  std::istringstream Stream(Text);
  std::string Line;
  bool Inside = false;
  while (std::getline(Stream, Line)) {
    if (Line == "REPORT BEGIN") {
      Parsed = {};
      Inside = true;
      continue;
    }
    if (Line == "REPORT END") {
      Parsed.Complete = Inside;
      break;
    }
    if (!Inside) {
      continue;
    }
    ReportLine Entry;
    std::istringstream Words(Line);
    std::string Word;
    bool First = true;
    while (Words >> Word) {
      std::size_t Equals = Word.find('=');
      if (Equals == std::string::npos) {
        if (First) {
          Entry.Label = Word;
        }
      } else {
        Entry.Fields[Word.substr(0, Equals)] = Word.substr(Equals + 1);
      }
      First = false;
    }
    Parsed.Lines.push_back(Entry);
  }
  return Parsed;
}

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

struct MachineRun {
  std::string SkipReason;
  int ExitStatus = -1;
  std::string Report;
  std::string Serial;
  PortTrace Trace;
};

// Runs the machine once; the trace comes through a pipe (QEMU opens it as
// /dev/fd/3) so the display loop's flood of writes never reaches the disk.
MachineRun RunMachine() {
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

  fs::path Dir = FIRMWARE_VM_RUN_DIR;
  fs::remove_all(Dir);
  fs::create_directories(Dir / "drive" / "EFI" / "BOOT");
  fs::copy_file(FIRMWARE_VM_TEST_APP_IMAGE, Dir / "drive" / "EFI" / "BOOT" / "BOOTX64.EFI");
  // FIRMWARE_VM_DRIVER runs another driver image in the same harness.
  fs::copy_file(EnvOr("FIRMWARE_VM_DRIVER", BOARDHOOK_DXE_IMAGE),
                Dir / "drive" / "BoardHookDxe.efi");
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
  };
  std::vector<char *> Argv;
  for (std::string &Arg : Args) {
    Argv.push_back(Arg.data());
  }
  Argv.push_back(nullptr);

  int Pipe[2];
  if (pipe2(Pipe, O_CLOEXEC) != 0) {
    ADD_FAILURE() << "pipe2 failed";
    return Run;
  }
  posix_spawn_file_actions_t Actions;
  posix_spawn_file_actions_init(&Actions);
  posix_spawn_file_actions_adddup2(&Actions, Pipe[1], 3);
  posix_spawn_file_actions_addopen(&Actions, 1, (Dir / "qemu.out").c_str(),
                                   O_WRONLY | O_CREAT | O_TRUNC, 0644);
  posix_spawn_file_actions_addopen(&Actions, 2, (Dir / "qemu.err").c_str(),
                                   O_WRONLY | O_CREAT | O_TRUNC, 0644);
  pid_t Child = -1;
  int SpawnError = posix_spawnp(&Child, "timeout", &Actions, nullptr, Argv.data(), environ);
  posix_spawn_file_actions_destroy(&Actions);
  close(Pipe[1]);
  if (SpawnError != 0) {
    close(Pipe[0]);
    ADD_FAILURE() << "cannot start timeout/qemu: " << SpawnError;
    return Run;
  }

  // Keep the trace's other lines, and the kept port writes, for diagnosis.
  std::ofstream TraceCopy(Dir / "trace-other.log");
  FILE *Stream = fdopen(Pipe[0], "r");
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

  int Status = 0;
  waitpid(Child, &Status, 0);
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

class FirmwareVmBoot : public ::testing::Test {
 protected:
  static void SetUpTestSuite() {
    Run_ = new MachineRun(RunMachine());
    Parsed_ = new Report(ParseReport(Run_->Report));
  }
  static void TearDownTestSuite() {
    delete Run_;
    delete Parsed_;
  }
  void SetUp() override {
    if (!Run_->SkipReason.empty()) {
      GTEST_SKIP() << Run_->SkipReason;
    }
  }

  // The application's report, which every check but the first relies on.
  static void RequireReport() {
    ASSERT_TRUE(Parsed_->Complete)
        << "no complete report on the debug console; see " << FIRMWARE_VM_RUN_DIR << "\n"
        << Run_->Report;
  }

  static const MachineRun &Run() { return *Run_; }
  static const Report &Parsed() { return *Parsed_; }

 private:
  static inline MachineRun *Run_ = nullptr;
  static inline Report *Parsed_ = nullptr;
};

// EfiBootServicesCode: the firmware took the image as a boot-service driver.
constexpr const char *BOOT_SERVICES_CODE = "3";

TEST_F(FirmwareVmBoot, MachineShutsDownCleanlyWithoutCpuException) {
  EXPECT_EQ(Run().ExitStatus, 0) << "124 means the run timed out";
  EXPECT_EQ(Run().Serial.find("Exception Type"), std::string::npos)
      << "CPU exception on the serial console:\n"
      << Run().Serial;
  EXPECT_NE(Run().Report.find("app.start"), std::string::npos);
}

TEST_F(FirmwareVmBoot, FirmwareLoadsRelocatesAndStartsTheDriver) {
  ASSERT_NO_FATAL_FAILURE(RequireReport());
  ReportLine Standins = Parsed().Line("standins");
  EXPECT_EQ(Standins.Fields["pcd_proxy"], "0x0");
  EXPECT_EQ(Standins.Fields["setup_item_suppress"], "0x0");

  ReportLine Driver = Parsed().Line("driver");
  EXPECT_EQ(Driver.Fields["load_status"], "0x0");
  EXPECT_EQ(Driver.Fields["code_type"], BOOT_SERVICES_CODE);
  EXPECT_NE(Driver.Fields["base"], "0x0");
  EXPECT_EQ(Driver.Fields["started"], "yes");
}

// The last step of the start-up chain, the S3 save library's, checks the MMIO
// configuration enable bit of MSR 0xC0010058, which reads 0 on this machine:
// the driver stops in the fatal-error display loop before its board entry
// (StartUpStopsInTheFatalErrorDisplayLoop below). The two checks that follow
// describe a driver that returns from its entry, as on a processor with the
// bit set; they stay off here and serve a driver image run through
// FIRMWARE_VM_DRIVER with --gtest_also_run_disabled_tests.
TEST_F(FirmwareVmBoot, DISABLED_DriverInstallsItsHookTableFromItsOwnImage) {
  ASSERT_NO_FATAL_FAILURE(RequireReport());
  ReportLine Driver = Parsed().Line("driver");
  EXPECT_EQ(Driver.Fields["returned"], "yes");
  EXPECT_EQ(Driver.Fields["start_status"], "0x0");
  ReportLine BoardHook = Parsed().Watch("board_hook");
  EXPECT_EQ(BoardHook.Fields["installed"], "1");
  EXPECT_EQ(BoardHook.Fields["in_driver_image"], "1");
  EXPECT_EQ(Parsed().Line("startup").Fields["reached_end"], "yes");

  // The constant members answer through the real calling convention.
  ReportLine Hooks = Parsed().Line("hooks");
  ASSERT_EQ(Hooks.Fields["called"], "yes");
  EXPECT_EQ(Hooks.Fields["hook0"], "0");
  EXPECT_EQ(Hooks.Fields["hook1"], "0x0");
  EXPECT_EQ(Hooks.Fields["hook2"], "0");
  EXPECT_EQ(Hooks.Fields["hook5"], "1");
  // Board type 8: the MAC hook clears the first list's count and leaves the
  // second list alone.
  EXPECT_EQ(Hooks.Fields["present"], "111011");
  EXPECT_EQ(Hooks.Fields["hook4"], "0x0");
  EXPECT_EQ(Hooks.Fields["hook4_first_count"], "0x0");
  EXPECT_EQ(Hooks.Fields["hook4_second_byte0"], "0xa5");
  // Installing the trigger runs the suppression callback, whose first item
  // comes from token 445 (0, not 1); the device rules see this machine's
  // PCI space, not the board's, so their items are not checked.
  EXPECT_EQ(Hooks.Fields["trigger_status"], "0x0");
  EXPECT_EQ(Parsed().Line("suppress").Fields["items"].substr(0, 5), "1779,");
}

TEST_F(FirmwareVmBoot, DISABLED_PostCodePortIsQuietWithoutAFatalError) {
  ASSERT_NO_FATAL_FAILURE(RequireReport());
  EXPECT_EQ(Run().Trace.Total(), 0u)
      << "port writes: see port-writes.log in " << FIRMWARE_VM_RUN_DIR;
}

// The driver with its complete start-up chain on this machine.

// The code of the S3 save library's start-up check on a processor whose MMIO
// configuration enable bit is clear, as every MSR reads 0 on this machine.
constexpr std::uint32_t MMIO_CONFIGURATION_DISABLED = 0x90869;

TEST_F(FirmwareVmBoot, DriverPublishesTheHeapBufferListFromItsOwnImage) {
  ASSERT_NO_FATAL_FAILURE(RequireReport());
  ReportLine List = Parsed().Watch("heap_buffer_list");
  EXPECT_EQ(List.Fields["installed"], "1");
  EXPECT_EQ(List.Fields["in_driver_image"], "1") << "the record is the driver's static data";
  EXPECT_EQ(List.Fields["revision"], "1");
  // The firmware hands over no heap-buffer HOBs.
  EXPECT_EQ(List.Fields["list_empty"], "1");
}

TEST_F(FirmwareVmBoot, S3SaveLibraryReadsItsRecordTokenThroughTheProxy) {
  ASSERT_NO_FATAL_FAILURE(RequireReport());
  bool Found = false;
  for (ReportLine &Call : Parsed().All("pcd.call")) {
    Found = Found || (Call.Fields["member"] == "Get64" && Call.Fields["token"] == "584" &&
                      Call.Fields["answer"] == "board" && Call.Fields["caller"] == "driver");
  }
  EXPECT_TRUE(Found) << Run().Report;
}

TEST_F(FirmwareVmBoot, StartUpStopsInTheFatalErrorDisplayLoop) {
  ASSERT_NO_FATAL_FAILURE(RequireReport());
  EXPECT_EQ(Parsed().Line("report").Fields["reason"], "watchdog");
  EXPECT_EQ(Parsed().Line("driver").Fields["returned"], "no");
  EXPECT_EQ(Parsed().Line("startup").Fields["reached_end"], "no");

  // 0xDEAD on port 0xE0, the code on port 0x80 as one 32-bit write, then the
  // six frames of the display loop over and over.
  const std::uint32_t Code = MMIO_CONFIGURATION_DISABLED;
  const std::vector<PortWrite> Frames = {
      {0x80, 4, ((Code & 0xFF) << 24) | 0xDE}, {0x80, 4, 0x0000DEAD},
      {0x80, 4, 0x00DEAD00 | (Code >> 24)},    {0x80, 4, 0xDEAD0000 | (Code >> 16)},
      {0x80, 4, 0xAD000000 | (Code >> 8)},     {0x80, 4, Code}};
  ASSERT_EQ(Frames[0].Value, 0x690000DEu);
  const std::vector<PortWrite> &Writes = Run().Trace.Writes();
  std::size_t Start = 0;
  while (Start + 1 < Writes.size() && !(Writes[Start] == PortWrite{0xE0, 2, 0xDEAD} &&
                                        Writes[Start + 1] == PortWrite{0x80, 4, Code})) {
    Start++;
  }
  ASSERT_LT(Start + 1, Writes.size())
      << "no 0xDEAD on port 0xE0 followed by " << Hex(Code)
      << " on port 0x80; see port-writes.log in " << FIRMWARE_VM_RUN_DIR;
  std::size_t Shown = Writes.size() - (Start + 2);
  EXPECT_GE(Shown, 2 * Frames.size()) << "fewer than two rounds of the display loop";
  for (std::size_t Index = 0; Index < Shown; Index++) {
    const PortWrite &Write = Writes[Start + 2 + Index];
    const PortWrite &Want = Frames[Index % Frames.size()];
    ASSERT_EQ(Write, Want) << "frame " << Index << ": port " << Hex(Write.Port) << " width "
                           << Write.Width << " value " << Hex(Write.Value) << ", expected "
                           << Hex(Want.Value);
  }
}

}  // namespace
