#include "ObjectReader.h"

#include <algorithm>
#include <cctype>
#include <charconv>
#include <map>
#include <optional>
#include <sstream>

namespace image_stack {
namespace {

struct Instruction {
  std::uint64_t offset = 0;
  std::string mnemonic{};
  std::string operands{};
  std::string comment{};     // objdump's note after '#'
  std::string relocation{};  // symbol of a relocation inside the instruction
};

// Stack depth below the return address at one instruction, and the depth
// saved in the frame pointer.
struct StackState {
  std::int64_t depth = 0;
  std::int64_t framePointer = 0;
};

bool StartsWith(const std::string &text, const char *prefix) { return text.starts_with(prefix); }

std::optional<std::int64_t> ParseInteger(const std::string &text) {
  std::string digits = text;
  bool negative = false;
  if (!digits.empty() && digits[0] == '-') {
    negative = true;
    digits.erase(0, 1);
  }
  int base = 10;
  if (StartsWith(digits, "0x")) {
    base = 16;
    digits.erase(0, 2);
  }
  std::int64_t value = 0;
  auto [end, error] = std::from_chars(digits.data(), digits.data() + digits.size(), value, base);
  if (error != std::errc{} || end == digits.data()) {
    return std::nullopt;
  }
  return negative ? -value : value;
}

std::string Trim(const std::string &text) {
  const auto first = text.find_first_not_of(" \t");
  if (first == std::string::npos) {
    return {};
  }
  return text.substr(first, text.find_last_not_of(" \t") - first + 1);
}

// Operands "src, dst" of a two-operand instruction.
std::pair<std::string, std::string> SplitOperands(const std::string &operands) {
  // The last top-level comma separates the destination (memory operands
  // such as "(%eax,%ecx,4)" carry commas inside parentheses).
  int parens = 0;
  for (std::size_t i = operands.size(); i-- > 0;) {
    if (operands[i] == ')') {
      ++parens;
    } else if (operands[i] == '(') {
      --parens;
    } else if (operands[i] == ',' && parens == 0) {
      return {Trim(operands.substr(0, i)), Trim(operands.substr(i + 1))};
    }
  }
  return {Trim(operands), {}};
}

std::int64_t OperandBytes(Arch arch, const std::string &mnemonic) {
  switch (mnemonic.back()) {
    case 'q':
      return 8;
    case 'l':
      return 4;
    case 'w':
      return 2;
    default:
      return arch == Arch::X64 ? 8 : 4;
  }
}

bool IsStackPointer(const std::string &operand) { return operand == "%rsp" || operand == "%esp"; }
bool IsFramePointer(const std::string &operand) { return operand == "%rbp" || operand == "%ebp"; }

// The stack state after `insn`, given the state before it.
StackState Step(Arch arch, const Instruction &insn, StackState state) {
  const std::string &m = insn.mnemonic;
  auto [source, destination] = SplitOperands(insn.operands);
  if (StartsWith(m, "pusha")) {
    state.depth += 8 * OperandBytes(arch, m);
  } else if (StartsWith(m, "popa")) {
    state.depth -= 8 * OperandBytes(arch, m);
  } else if (StartsWith(m, "push")) {
    state.depth += OperandBytes(arch, m);
  } else if (StartsWith(m, "pop")) {
    state.depth -= OperandBytes(arch, m);
  } else if (StartsWith(m, "leave")) {
    state.depth = state.framePointer - OperandBytes(arch, m);
  } else if ((StartsWith(m, "sub") || StartsWith(m, "add")) && IsStackPointer(destination) &&
             StartsWith(source, "$")) {
    if (auto amount = ParseInteger(source.substr(1))) {
      state.depth += StartsWith(m, "sub") ? *amount : -*amount;
    }
  } else if (StartsWith(m, "lea") && IsStackPointer(destination)) {
    // "lea N(%rsp), %rsp" moves the stack pointer; "lea -N(%rbp), %rsp"
    // restores it relative to the frame pointer.
    const auto open = source.find('(');
    const auto displacement = ParseInteger(source.substr(0, open));
    const std::string base = source.substr(open + 1, source.find(')') - open - 1);
    if (open != std::string::npos && IsStackPointer(base)) {
      state.depth -= displacement.value_or(0);
    } else if (open != std::string::npos && IsFramePointer(base)) {
      state.depth = state.framePointer - displacement.value_or(0);
    }
  } else if (StartsWith(m, "mov") && IsStackPointer(source) && IsFramePointer(destination)) {
    state.framePointer = state.depth;
  } else if (StartsWith(m, "mov") && IsFramePointer(source) && IsStackPointer(destination)) {
    state.depth = state.framePointer;
  }
  return state;
}

bool IsCall(const std::string &m) { return StartsWith(m, "call"); }
bool IsJump(const std::string &m) { return StartsWith(m, "jmp"); }
bool IsConditionalJump(const std::string &m) { return m[0] == 'j' && !IsJump(m); }
bool IsReturn(const std::string &m) { return StartsWith(m, "ret") || m == "ud2"; }
bool IsIndirect(const std::string &operands) { return StartsWith(operands, "*"); }

// The address of a direct branch ("0x13 <Name+0x13>").
std::optional<std::uint64_t> BranchTarget(const std::string &operands) {
  const auto space = operands.find(' ');
  const auto value = ParseInteger(operands.substr(0, space));
  if (!value || *value < 0) {
    return std::nullopt;
  }
  return static_cast<std::uint64_t>(*value);
}

// The symbol objdump names for a branch target ("0x13 <Name+0x13>" -> Name).
std::string BranchSymbol(const std::string &operands) {
  const auto open = operands.find('<');
  if (open == std::string::npos) {
    return {};
  }
  const auto end = operands.find_first_of("+>", open + 1);
  return operands.substr(open + 1, end - open - 1);
}

// x64 jump tables lie in the function's own section after its code, found
// through an unrelocated RIP-relative lea of an address inside the function;
// decoded as instructions they would be garbage calls and jumps.
void DropJumpTables(const std::string &symbol, std::vector<Instruction> &code) {
  const std::string inside = "<" + symbol + "+";
  std::optional<std::uint64_t> dataStart;
  for (const Instruction &insn : code) {
    if (!StartsWith(insn.mnemonic, "lea") || !insn.relocation.empty() ||
        insn.operands.find("(%rip)") == std::string::npos ||
        insn.comment.find(inside) == std::string::npos) {
      continue;
    }
    const auto address = BranchTarget(insn.comment);
    if (address && (!dataStart || *address < *dataStart)) {
      dataStart = address;
    }
  }
  if (dataStart) {
    std::erase_if(code, [&](const Instruction &insn) { return insn.offset >= *dataStart; });
  }
}

Function Finish(Arch arch, const std::string &object, std::string name, std::uint64_t start,
                const std::vector<Instruction> &code) {
  Function function{.name = std::move(name), .object = object};
  std::map<std::uint64_t, std::size_t> byOffset;
  for (std::size_t i = 0; i < code.size(); ++i) {
    byOffset.emplace(code[i].offset, i);
  }
  auto localTarget = [&](const Instruction &insn) -> std::optional<std::size_t> {
    if (!insn.relocation.empty() || IsIndirect(insn.operands)) {
      return std::nullopt;
    }
    auto target = BranchTarget(insn.operands);
    if (!target) {
      return std::nullopt;
    }
    auto it = byOffset.find(*target);
    if (it == byOffset.end()) {
      return std::nullopt;
    }
    return it->second;
  };

  // Follow the branches from the entry, each instruction once: compiled code
  // has one stack depth per instruction whichever way it is reached.
  std::vector<std::optional<StackState>> states(code.size());
  std::vector<std::size_t> work;
  if (!code.empty() && code.front().offset == start) {
    states[0] = StackState{};
    work.push_back(0);
  }
  // A jump table's targets start with the stack its jump holds; code that
  // only a jump table reaches is followed from there.
  std::optional<StackState> jumpTable;
  auto follow = [&] {
    while (!work.empty()) {
      const std::size_t i = work.back();
      work.pop_back();
      const Instruction &insn = code[i];
      const StackState after = Step(arch, insn, *states[i]);
      std::vector<std::size_t> next;
      const bool leaves =
          IsJump(insn.mnemonic) && (!insn.relocation.empty() || IsIndirect(insn.operands));
      if (leaves && IsIndirect(insn.operands) && states[i]->depth != 0 &&
          (!jumpTable || jumpTable->depth < states[i]->depth)) {
        jumpTable = states[i];
      }
      if (IsReturn(insn.mnemonic) || leaves) {
        // Leaves the function or goes through a jump table.
      } else if (IsJump(insn.mnemonic)) {
        if (auto target = localTarget(insn)) {
          next.push_back(*target);
        }
      } else {
        if (i + 1 < code.size()) {
          next.push_back(i + 1);
        }
        if (IsConditionalJump(insn.mnemonic)) {
          if (auto target = localTarget(insn)) {
            next.push_back(*target);
          }
        }
      }
      for (std::size_t n : next) {
        if (!states[n]) {
          states[n] = after;
          work.push_back(n);
        }
      }
    }
  };
  follow();
  for (std::size_t i = 0; i < code.size() && jumpTable; ++i) {
    if (!states[i]) {
      states[i] = jumpTable;
      work.push_back(i);
      follow();
    }
  }

  for (std::size_t i = 0; i < code.size(); ++i) {
    const Instruction &insn = code[i];
    const bool call = IsCall(insn.mnemonic);
    const bool jump = IsJump(insn.mnemonic);
    if (!call && !jump) {
      continue;
    }
    CallSite site{.operand = insn.operands, .tail = jump};
    if (states[i] && states[i]->depth >= 0) {
      site.depth = static_cast<std::uint32_t>(states[i]->depth);
    }
    if (IsIndirect(insn.operands)) {
      // An indirect jump with something still on the stack is a jump table
      // inside the function, not a call.
      if (jump && (!site.depth || *site.depth != 0)) {
        continue;
      }
    } else if (!insn.relocation.empty()) {
      site.callee = NormalizeSymbol(arch, insn.relocation);
    } else if (call) {
      site.callee = NormalizeSymbol(arch, BranchSymbol(insn.operands));
    } else {
      continue;  // a branch inside the function
    }
    if (jump && site.callee == function.name) {
      continue;  // a loop written as a jump to the function's own start
    }
    function.calls.push_back(std::move(site));
  }
  return function;
}

}  // namespace

std::string NormalizeSymbol(Arch arch, const std::string &symbol) {
  if (arch == Arch::Ia32 && StartsWith(symbol, "_")) {
    return symbol.substr(1);
  }
  return symbol;
}

std::vector<Function> ParseDisassembly(Arch arch, const std::string &object, std::istream &text) {
  std::vector<Function> functions;
  std::optional<std::string> current;
  std::uint64_t start = 0;
  std::vector<Instruction> code;
  auto finish = [&] {
    if (current) {
      DropJumpTables(*current, code);
      functions.push_back(Finish(arch, object, NormalizeSymbol(arch, *current), start, code));
    }
    current.reset();
    code.clear();
  };
  std::string line;
  while (std::getline(text, line)) {
    if (line.empty()) {
      continue;
    }
    if (StartsWith(line, "Disassembly of section")) {
      finish();
      continue;
    }
    if (std::isxdigit(static_cast<unsigned char>(line[0])) && line.ends_with(">:")) {
      // "0000000000000000 <Name>:" starts a function.
      finish();
      const auto open = line.find(" <");
      if (open == std::string::npos) {
        continue;
      }
      start = static_cast<std::uint64_t>(ParseInteger("0x" + line.substr(0, open)).value_or(0));
      current = line.substr(open + 2, line.size() - open - 4);
      continue;
    }
    if (!current) {
      continue;
    }
    if (line[0] == '\t' && line.find("IMAGE_REL_") != std::string::npos) {
      // "\t\t000000000000000f:  IMAGE_REL_AMD64_REL32\tName" belongs to the
      // instruction before it.
      if (!code.empty()) {
        code.back().relocation = line.substr(line.rfind('\t') + 1);
      }
      continue;
    }
    // "      e: e8 00 00 00 00    \tcallq\t0x13 <Name+0x13>"
    const auto colon = line.find(':');
    const auto tab = line.find('\t');
    if (colon == std::string::npos || tab == std::string::npos || colon > tab) {
      continue;
    }
    const auto offset = ParseInteger("0x" + Trim(line.substr(0, colon)));
    if (!offset) {
      continue;
    }
    Instruction insn{.offset = static_cast<std::uint64_t>(*offset)};
    const auto operandsTab = line.find('\t', tab + 1);
    insn.mnemonic = Trim(line.substr(tab + 1, operandsTab - tab - 1));
    if (operandsTab != std::string::npos) {
      // objdump's trailing comment ("# imm = 0x1008") kept apart.
      const std::string operands = line.substr(operandsTab + 1);
      const auto hash = operands.find('#');
      insn.operands = Trim(operands.substr(0, hash));
      if (hash != std::string::npos) {
        insn.comment = Trim(operands.substr(hash + 1));
      }
    }
    if (insn.mnemonic.empty()) {
      continue;
    }
    code.push_back(std::move(insn));
  }
  finish();
  return functions;
}

std::vector<FrameRecord> ParseStackUsage(std::istream &text) {
  std::vector<FrameRecord> records;
  std::string line;
  while (std::getline(text, line)) {
    const auto firstTab = line.find('\t');
    const auto secondTab = line.find('\t', firstTab + 1);
    if (firstTab == std::string::npos || secondTab == std::string::npos) {
      continue;
    }
    // "file:line:name": the name follows the first ":<digits>:". An object
    // compiled from bitcode (link-time optimisation) has no source lines:
    // "file:name".
    const std::string location = line.substr(0, firstTab);
    std::size_t nameStart = std::string::npos;
    for (std::size_t colon = location.find(':'); colon != std::string::npos;
         colon = location.find(':', colon + 1)) {
      const auto next = location.find(':', colon + 1);
      if (next != std::string::npos && next > colon + 1 &&
          std::all_of(location.begin() + colon + 1, location.begin() + next,
                      [](char c) { return std::isdigit(static_cast<unsigned char>(c)); })) {
        nameStart = next + 1;
        break;
      }
    }
    if (nameStart == std::string::npos && location.find(':') != std::string::npos) {
      nameStart = location.find(':') + 1;
    }
    const auto bytes = ParseInteger(line.substr(firstTab + 1, secondTab - firstTab - 1));
    if (nameStart == std::string::npos || !bytes || *bytes < 0) {
      continue;
    }
    records.push_back({.name = location.substr(nameStart),
                       .bytes = static_cast<std::uint32_t>(*bytes),
                       .dynamic = StartsWith(line.substr(secondTab + 1), "dynamic")});
  }
  return records;
}

std::vector<std::string> ParseLinkerMap(Arch arch, std::istream &text) {
  // " 0001:00000017       _Entry        0000000000401017     a.obj"
  std::vector<std::string> symbols;
  std::string line;
  bool symbolTable = false;
  while (std::getline(text, line)) {
    if (line.find("Publics by Value") != std::string::npos ||
        line.find("Static symbols") != std::string::npos) {
      symbolTable = true;
      continue;
    }
    if (line.find("entry point at") != std::string::npos) {
      symbolTable = false;
    }
    std::istringstream fields(line);
    if (!symbolTable) {
      continue;
    }
    std::string address, name;
    if (!(fields >> address >> name)) {
      continue;
    }
    const bool sectionAddress = address.size() == 13 && address[4] == ':' &&
                                std::all_of(address.begin(), address.end(), [](char c) {
                                  return c == ':' || std::isxdigit(static_cast<unsigned char>(c));
                                });
    if (sectionAddress) {
      symbols.push_back(NormalizeSymbol(arch, name));
    }
  }
  return symbols;
}

std::string ShortDemangled(const std::string &demangled) {
  std::string text = demangled;
  for (const std::string anonymous : {"`anonymous namespace'::"}) {
    for (auto at = text.find(anonymous); at != std::string::npos; at = text.find(anonymous)) {
      text.erase(at, anonymous.size());
    }
  }
  const auto close = text.rfind(')');
  if (close == std::string::npos) {
    return text;
  }
  int depth = 0;
  std::size_t open = close;
  for (std::size_t i = close + 1; i-- > 0;) {
    depth += text[i] == ')' ? 1 : text[i] == '(' ? -1 : 0;
    if (depth == 0) {
      open = i;
      break;
    }
  }
  const std::string name = text.substr(0, open);
  int angles = 0;
  for (std::size_t i = name.size(); i-- > 0;) {
    angles += name[i] == '>' ? 1 : name[i] == '<' ? -1 : 0;
    if (name[i] == ' ' && angles == 0) {
      return name.substr(i + 1);
    }
  }
  return name;
}

}  // namespace image_stack
