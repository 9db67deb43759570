#include <gtest/gtest.h>

#include <sstream>

#include "ObjectReader.h"

namespace image_stack {
namespace {

std::vector<Function> Parse(Arch arch, const std::string &text) {
  std::istringstream in(text);
  return ParseDisassembly(arch, "a.obj", in);
}

// llvm-objdump -dr --no-show-raw-insn of two IA-32 functions: argument
// pushes before calls, a branch around a call, a call through a pointer, a
// direct call resolved by its relocation and a tail jump after the epilogue.
constexpr const char *kIa32 =
    "\n"
    "a.obj:\tfile format coff-i386\n"
    "\n"
    "Disassembly of section .text:\n"
    "\n"
    "00000000 <?rec@@YAXH@Z>:\n"
    "       0:      \tpushl\t%esi\n"
    "       1:      \tsubl\t$8, %esp                # imm = 0x8\n"
    "       4:      \ttestl\t%eax, %eax\n"
    "       6:      \tje\t0x14 <?rec@@YAXH@Z+0x14>\n"
    "       8:      \tpushl\t$2\n"
    "       a:      \tpushl\t%eax\n"
    "       b:      \tcalll\t0x10 <?rec@@YAXH@Z+0x10>\n"
    "\t\t\t0000000c:  IMAGE_REL_I386_REL32\t?rec@@YAXH@Z\n"
    "      10:      \taddl\t$8, %esp\n"
    "      13:      \tnop\n"
    "      14:      \tmovl\t(%ecx), %eax\n"
    "      16:      \tpushl\t%ecx\n"
    "      17:      \tcalll\t*0x18(%eax)\n"
    "      1a:      \taddl\t$4, %esp\n"
    "      1d:      \taddl\t$8, %esp\n"
    "      20:      \tpopl\t%esi\n"
    "      21:      \tjmp\t0x26 <?rec@@YAXH@Z+0x26>\n"
    "\t\t\t00000022:  IMAGE_REL_I386_REL32\t_ext\n"
    "\n"
    "Disassembly of section .text:\n"
    "\n"
    "00000000 <_Entry>:\n"
    "       0:      \tpushl\t%ebp\n"
    "       1:      \tmovl\t%esp, %ebp\n"
    "       3:      \tsubl\t$16, %esp\n"
    "       6:      \tjmpl\t*0x0(,%eax,4)\n"
    "\t\t\t00000009:  IMAGE_REL_I386_DIR32\t.rdata\n"
    "       d:      \tcalll\t0x12 <_Entry+0x12>\n"
    "\t\t\t0000000e:  IMAGE_REL_I386_REL32\t_Helper\n"
    "      12:      \tmovl\t%ebp, %esp\n"
    "      14:      \tpopl\t%ebp\n"
    "      15:      \tretl\n";

TEST(ObjectReader, DisassemblyGivesCallsWithTheStackHeldAtEach) {
  const std::vector<Function> functions = Parse(Arch::Ia32, kIa32);
  ASSERT_EQ(functions.size(), 2u);

  const Function &rec = functions[0];
  EXPECT_EQ(rec.name, "?rec@@YAXH@Z");
  EXPECT_EQ(rec.object, "a.obj");
  ASSERT_EQ(rec.calls.size(), 3u);
  // Saved register, frame and two pushed arguments.
  EXPECT_EQ(rec.calls[0].callee, "?rec@@YAXH@Z");
  EXPECT_EQ(rec.calls[0].depth, 4u + 8 + 8);
  EXPECT_FALSE(rec.calls[0].tail);
  // Reached through the branch at 0x6, one argument pushed.
  EXPECT_EQ(rec.calls[1].callee, "");
  EXPECT_EQ(rec.calls[1].operand, "*0x18(%eax)");
  EXPECT_EQ(rec.calls[1].depth, 4u + 8 + 4);
  // The C symbol loses its '_'; the epilogue left nothing on the stack.
  EXPECT_EQ(rec.calls[2].callee, "ext");
  EXPECT_EQ(rec.calls[2].depth, 0u);
  EXPECT_TRUE(rec.calls[2].tail);

  const Function &entry = functions[1];
  EXPECT_EQ(entry.name, "Entry");
  // The jump table is no call; the code only it reaches holds the stack of
  // the jump.
  ASSERT_EQ(entry.calls.size(), 1u);
  EXPECT_EQ(entry.calls[0].callee, "Helper");
  EXPECT_EQ(entry.calls[0].depth, 20u);
}

TEST(ObjectReader, X64FramePointerEpilogueIndirectTailJumpAndJumpTable) {
  // A switch through a jump table that lies after the code (its bytes decode
  // as garbage), a frame-pointer epilogue and a tail jump through a register.
  const std::vector<Function> functions =
      Parse(Arch::X64,
            "0000000000000000 <_Keep>:\n"
            "       0:      \tpushq\t%rbp\n"
            "       1:      \tmovq\t%rsp, %rbp\n"
            "       4:      \tsubq\t$48, %rsp\n"
            "       8:      \tleaq\t(%rip), %rdx            # 0xf <_Keep+0xf>\n"
            "\t\t000000000000000b:  IMAGE_REL_AMD64_REL32\tgTable\n"
            "       f:      \tleaq\t18(%rip), %rcx          # 0x28 <_Keep+0x28>\n"
            "      16:      \tjmpq\t*%rax\n"
            "      18:      \tpushq\t$1\n"
            "      1a:      \tcallq\t*%rax\n"
            "      1c:      \tleaq\t-0(%rbp), %rsp\n"
            "      20:      \tpopq\t%rbp\n"
            "      21:      \tjmpq\t*%rcx\n"
            "      28:      \tcallq\t*-1(%rcx)\n"
            "      2b:      \tcallq\t0x30 <_Keep+0x30>\n");
  ASSERT_EQ(functions.size(), 1u);
  EXPECT_EQ(functions[0].name, "_Keep");  // only IA-32 C symbols carry the '_'
  ASSERT_EQ(functions[0].calls.size(), 2u);
  EXPECT_EQ(functions[0].calls[0].operand, "*%rax");
  EXPECT_EQ(functions[0].calls[0].depth, 64u);
  EXPECT_FALSE(functions[0].calls[0].tail);
  EXPECT_EQ(functions[0].calls[1].operand, "*%rcx");
  EXPECT_EQ(functions[0].calls[1].depth, 0u);
  EXPECT_TRUE(functions[0].calls[1].tail);
}

TEST(ObjectReader, StackUsageRecords) {
  std::istringstream in(
      "/src/board/Setup.cpp:12:?Load@@YA_KPEAX@Z\t4136\tstatic\n"
      "C:12:weird:7:Name\t16\tdynamic,bounded\n"
      "garbage line\n"
      "a.cpp:6:Entry\t40\tstatic\n"
      "/build/Image.lto.bc:?Inlined@@YAXXZ\t72\tstatic\n");
  const std::vector<FrameRecord> records = ParseStackUsage(in);
  ASSERT_EQ(records.size(), 4u);
  EXPECT_EQ(records[0].name, "?Load@@YA_KPEAX@Z");
  EXPECT_EQ(records[0].bytes, 4136u);
  EXPECT_FALSE(records[0].dynamic);
  EXPECT_EQ(records[1].name, "weird:7:Name");
  EXPECT_TRUE(records[1].dynamic);
  EXPECT_EQ(records[2].name, "Entry");
  // From bitcode (link-time optimisation) a record has no source line.
  EXPECT_EQ(records[3].name, "?Inlined@@YAXXZ");
  EXPECT_EQ(records[3].bytes, 72u);
}

TEST(ObjectReader, LinkerMapListsPlacedSymbols) {
  std::istringstream in(
      " Start         Length     Name                   Class\n"
      " 0001:00000000 00000048H .text                   CODE\n"
      "  Address         Publics by Value              Rva+Base               Lib:Object\n"
      " 0001:00000000       ?rec@@YAXH@Z               0000000000401000     a.obj\n"
      " 0001:00000017       _Entry                     0000000000401017     a.obj\n"
      " entry point at         0001:00000017\n");
  EXPECT_EQ(ParseLinkerMap(Arch::Ia32, in), (std::vector<std::string>{"?rec@@YAXH@Z", "Entry"}));
}

TEST(ObjectReader, ShortDemangledNames) {
  const std::pair<const char *, const char *> cases[] = {
      {"int __cdecl mid(int)", "mid"},
      {"public: static unsigned __int64 __cdecl Ns::Cls::Run(struct A *, int (__cdecl *)(int))",
       "Ns::Cls::Run"},
      {"static void __cdecl `anonymous namespace'::Notify(void *)", "Notify"},
      {"void __cdecl Table<struct X, 4>::Add(int) const", "Table<struct X, 4>::Add"},
      {"gSomething", "gSomething"},
  };
  for (const auto &[demangled, expected] : cases) {
    EXPECT_EQ(ShortDemangled(demangled), expected) << demangled;
  }
}

}  // namespace
}  // namespace image_stack
