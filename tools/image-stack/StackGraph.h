// The call graph of one firmware image and its worst-case stack depths.
#pragma once

#include <cstddef>
#include <cstdint>
#include <map>
#include <optional>
#include <string>
#include <vector>

namespace image_stack {

// One call instruction (or tail jump) in a function's code.
struct CallSite {
  std::string callee{};   // symbol of a direct call; empty for a call through a pointer
  std::string operand{};  // the instruction's operand, named in the report for indirect calls
  // Bytes the function has below its return address at the call, when the
  // disassembly tracking reached the instruction (i686 pushes arguments).
  std::optional<std::uint32_t> depth{};
  bool tail = false;  // a jump that reuses the caller's return address
};

struct Function {
  std::string name;         // symbol name as in the object (ia32 C names without '_')
  std::string object;       // the object file that defines it
  std::uint32_t frame = 0;  // own frame from the compiler's stack-usage record
  bool frameKnown = false;
  bool frameDynamic = false;  // the frame grows at run time (alloca, variable arrays)
  std::vector<CallSite> calls{};
};

// Worst-case stack use of one function and everything it calls directly.
struct Depth {
  std::uint64_t bytes = 0;         // own frame + return address + deepest callee chain
  std::vector<std::size_t> chain;  // the deepest chain, starting with the function
  bool recursive = false;          // the function is part of a call cycle
};

struct Recursion {
  std::vector<std::size_t> members;  // functions of one call cycle
};

class StackGraph {
 public:
  explicit StackGraph(std::uint32_t returnAddressBytes) : returnAddress_(returnAddressBytes) {}

  // Adds a function; a name defined in two objects is kept apart per object.
  std::size_t Add(Function function);
  // Attaches the compiler's frame size to the function of that name (in the
  // object, if given); returns false when no such function exists.
  bool SetFrame(const std::string &name, const std::string &object, std::uint32_t bytes,
                bool dynamic);
  // Keeps only the functions named in `keep` (those the linker put in the image).
  void Retain(const std::vector<std::string> &keep);

  // Resolves calls and computes every function's depth; call once after adding.
  void Compute();

  const std::vector<Function> &Functions() const { return functions_; }
  const std::vector<Depth> &Depths() const { return depths_; }
  const std::vector<Recursion> &Recursions() const { return recursions_; }
  // Functions that no direct call from outside their own cycle reaches.
  const std::vector<std::size_t> &Roots() const { return roots_; }
  std::optional<std::size_t> Find(const std::string &name) const;
  // The function a call from `caller` to `callee` reaches, preferring a
  // definition in the caller's own object.
  std::optional<std::size_t> Resolve(std::size_t caller, const std::string &callee) const;
  // Every function reachable from `root` through direct calls, the root included.
  std::vector<std::size_t> Reachable(std::size_t root) const;
  std::uint32_t ReturnAddressBytes() const { return returnAddress_; }

 private:
  std::uint64_t CallCost(std::size_t caller, const CallSite &call, std::uint64_t calleeBytes) const;

  std::uint32_t returnAddress_;
  std::vector<Function> functions_;
  std::multimap<std::string, std::size_t> byName_;
  std::vector<Depth> depths_;
  std::vector<Recursion> recursions_;
  std::vector<std::size_t> roots_;
};

}  // namespace image_stack
