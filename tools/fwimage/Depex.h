// Dependency expressions: the condition a dispatcher evaluates before it
// runs a module, as a postfix program of PUSH <GUID>, AND, OR, NOT, TRUE,
// FALSE and END. Written here as text in the usual infix form:
//
//   gPcdPpiGuid AND gEfiPeiReadOnlyVariable2PpiGuid
//   NOT (A OR B) AND TRUE
//
// An operand is a known interface name (KnownGuids.h) or a GUID in registry
// form; NOT binds tighter than AND, AND tighter than OR.
#pragma once
#include <string>
#include <string_view>

#include "Bytes.h"

namespace fwimage {

// A PEI module's expression knows only the opcodes above; a DXE driver's
// may also be BEFORE <GUID>, AFTER <GUID> or start with SOR.
enum class DepexKind { Pei, Dxe };

// FormatError naming the word at fault.
Bytes CompileDepex(std::string_view text);

// The expression as text (known GUIDs by name), after checking it is one
// well-formed program: every opcode known to its kind, PUSH followed by a
// whole GUID, no operator short of operands, END last with one value left.
std::string DecodeDepex(ByteView program, DepexKind kind);

}  // namespace fwimage
