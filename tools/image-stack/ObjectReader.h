// Reads what the toolchain says about an image's objects: the disassembly with
// relocations (llvm-objdump -dr), the compiler's stack-usage records (.su) and
// the linker's map.
#pragma once

#include <cstdint>
#include <istream>
#include <string>
#include <vector>

#include "StackGraph.h"

namespace image_stack {

enum class Arch { X64, Ia32 };

// A symbol as the compiler's records name it: IA-32 C symbols carry a
// leading '_' in the object that the stack-usage records leave out.
std::string NormalizeSymbol(Arch arch, const std::string &symbol);

// The functions of one object's disassembly, with their calls and the stack
// depth the code holds at each call (pushes, pops and stack-pointer
// arithmetic followed along the function's branches).
std::vector<Function> ParseDisassembly(Arch arch, const std::string &object, std::istream &text);

struct FrameRecord {
  std::string name;
  std::uint32_t bytes = 0;
  bool dynamic = false;
};
// Lines "file:line:name<TAB>bytes<TAB>static|dynamic[,bounded]".
std::vector<FrameRecord> ParseStackUsage(std::istream &text);

// The symbols a linker map lists as placed in the image.
std::vector<std::string> ParseLinkerMap(Arch arch, std::istream &text);

// "int __cdecl Foo::Bar(int)" -> "Foo::Bar": the qualified name without the
// return type, calling convention and parameters.
std::string ShortDemangled(const std::string &demangled);

}  // namespace image_stack
