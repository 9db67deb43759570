// The harness's readers, on small samples of what the emulator's trace, the
// linker's map and the disassembler write. No emulator needed.
#include <cstdio>
#include <sstream>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "ImageCode.h"
#include "MachineRun.h"

namespace firmware_vm {
namespace {

std::string TraceLine(unsigned Address, unsigned Value, unsigned Size, const char *Region) {
  char Line[160];
  std::snprintf(Line, sizeof(Line),
                "memory_region_ops_write cpu 0 mr 0x55d0 addr 0x%x value 0x%x size %u name '%s'",
                Address, Value, Size, Region);
  return Line;
}

// A 32-bit port write shows as four byte writes at 0x80 to 0x83.
void AddWord(PortTrace &Trace, std::uint32_t Value) {
  for (unsigned Byte = 0; Byte < 4; Byte++) {
    Trace.AddLine(TraceLine(0x80 + Byte, (Value >> (8 * Byte)) & 0xFF, 1, "ioport80"));
  }
}

TEST(PortTraceTest, PutsWideWritesBackTogetherAndFindsTheRedirectFrames) {
  PortTrace Trace;
  AddWord(Trace, 0x5F535452);  // "RTS_"
  Trace.AddLine(TraceLine(0x80, 'O', 1, "ioport80"));
  Trace.AddLine(TraceLine(0x80, 'K', 1, "ioport80"));
  AddWord(Trace, 0x5F454E44);                      // "DNE_"
  Trace.AddLine(TraceLine(0x2FF, 0xAA, 1, "io"));  // another port: not kept
  Trace.AddLine(TraceLine(0xE0, 0xDEAD, 2, "io"));
  AddWord(Trace, 0x00090672);
  AddWord(Trace, 0x720000DE);
  Trace.AddLine("qemu notice without a write");
  Trace.Close();

  const std::vector<PortWrite> Expected = {
      {0x80, 4, 0x5F535452}, {0x80, 1, 'O'},        {0x80, 1, 'K'},       {0x80, 4, 0x5F454E44},
      {0xE0, 2, 0xDEAD},     {0x80, 4, 0x00090672}, {0x80, 4, 0x720000DE}};
  EXPECT_EQ(Trace.Writes(), Expected);
  EXPECT_EQ(Trace.Total(), Expected.size());

  PostCodePort Port = SplitRedirectFrames(Trace.Writes());
  EXPECT_EQ(Port.RedirectTexts, std::vector<std::string>{"OK"});
  const std::vector<PortWrite> Others = {
      {0xE0, 2, 0xDEAD}, {0x80, 4, 0x00090672}, {0x80, 4, 0x720000DE}};
  EXPECT_EQ(Port.Others, Others);
}

TEST(ImageCodeTest, ReadsSymbolOffsetsFromTheLinkerMap) {
  std::istringstream Map(R"( BoardHookDxe

 Preferred load address is 0000000140000000

 Start         Length     Name                   Class
 0001:00000000 00001d97H .text                   CODE
 0002:00000000 00000278H .rdata                  DATA

  Address         Publics by Value              Rva+Base               Lib:Object

 0001:00000000       BoardHookDxeImageEntry     0000000140001000     board_BoardHookDxe.cpp.obj
 0001:00001d38       ?HwReadMsr@@YA_KI@Z        0000000140002d38     hw_HwAccessX86.cpp.obj
 0002:00000000       ?gBoardHookProtocolGuid@@3UEFI_GUID@@B 0000000140003000     board_BoardHookDxe.cpp.obj
)");
  LinkerMap Parsed = ParseLinkerMap(Map);
  EXPECT_EQ(Parsed.PreferredBase, 0x140000000u);
  ASSERT_EQ(Parsed.Symbols.size(), 3u);
  EXPECT_EQ(Parsed.Symbols[0].Name, "BoardHookDxeImageEntry");
  EXPECT_EQ(Parsed.Symbols[0].Rva, 0x1000u);
  EXPECT_TRUE(Parsed.Symbols[0].Code);
  EXPECT_EQ(Parsed.Symbols[1].Name, "?HwReadMsr@@YA_KI@Z");
  EXPECT_EQ(Parsed.Symbols[1].Rva, 0x2D38u);
  EXPECT_FALSE(Parsed.Symbols[2].Code);
}

TEST(ImageCodeTest, ReadsInstructionsAndTheirEndsFromTheDisassembly) {
  std::istringstream Listing(
      "\nBoardHookDxe.efi:\tfile format coff-x86-64\n\nDisassembly of section .text:\n\n"
      "0000000140001000 <.text>:\n"
      "140002d38: 0f 32                       \trdmsr\n"
      "140002d3a: 48 c1 e2 20                 \tshlq\t$32, %rdx\n"
      "140002d94: ef                          \toutl\t%eax, %dx\n");
  std::vector<Instruction> Parsed = ParseDisassembly(Listing);
  ASSERT_EQ(Parsed.size(), 3u);
  EXPECT_EQ(Parsed[0].Mnemonic, "rdmsr");
  EXPECT_EQ(Parsed[0].Rva, 0x140002D38u);
  EXPECT_EQ(Parsed[0].NextRva, 0x140002D3Au);
  EXPECT_EQ(Parsed[1].Mnemonic, "shlq");
  EXPECT_EQ(Parsed[2].Mnemonic, "outl");
  EXPECT_EQ(Parsed[2].NextRva, 0x140002D95u);
}

}  // namespace
}  // namespace firmware_vm
