#include "Depex.h"

#include <cctype>
#include <vector>

#include "KnownGuids.h"

namespace fwimage {

namespace {

enum Opcode : uint8_t {
  kBefore = 0x00,
  kAfter = 0x01,
  kPush = 0x02,
  kAnd = 0x03,
  kOr = 0x04,
  kNot = 0x05,
  kTrue = 0x06,
  kFalse = 0x07,
  kEnd = 0x08,
  kSor = 0x09,
};

std::vector<std::string> Words(std::string_view text) {
  std::vector<std::string> words;
  std::string word;
  for (char c : text) {
    if (std::isspace(static_cast<unsigned char>(c)) || c == '(' || c == ')') {
      if (!word.empty()) words.push_back(word);
      word.clear();
      if (c == '(' || c == ')') words.emplace_back(1, c);
    } else {
      word += c;
    }
  }
  if (!word.empty()) words.push_back(word);
  return words;
}

// Recursive descent straight into postfix.
class Compiler {
 public:
  explicit Compiler(std::string_view text) : words_(Words(text)) {}

  Bytes Compile() {
    if (words_.empty()) throw FormatError("empty dependency expression");
    Or();
    if (next_ != words_.size()) throw FormatError("unexpected '" + words_[next_] + "'");
    program_.push_back(kEnd);
    return program_;
  }

 private:
  bool Take(const char *word) {
    if (next_ < words_.size() && words_[next_] == word) {
      next_++;
      return true;
    }
    return false;
  }
  void Or() {
    And();
    while (Take("OR")) {
      And();
      program_.push_back(kOr);
    }
  }
  void And() {
    Unary();
    while (Take("AND")) {
      Unary();
      program_.push_back(kAnd);
    }
  }
  void Unary() {
    if (next_ == words_.size()) throw FormatError("the dependency expression ends too early");
    if (Take("NOT")) {
      Unary();
      program_.push_back(kNot);
    } else if (Take("(")) {
      Or();
      if (!Take(")")) throw FormatError("missing ')' in the dependency expression");
    } else if (Take("TRUE")) {
      program_.push_back(kTrue);
    } else if (Take("FALSE")) {
      program_.push_back(kFalse);
    } else {
      const std::string &word = words_[next_++];
      std::optional<Guid> guid = KnownGuid(word);
      if (!guid) guid = ParseGuid(word);
      if (!guid) throw FormatError("'" + word + "' is neither a known interface nor a GUID");
      program_.push_back(kPush);
      program_.insert(program_.end(), guid->begin(), guid->end());
    }
  }

  std::vector<std::string> words_;
  size_t next_ = 0;
  Bytes program_;
};

struct Term {
  std::string text;
  int precedence;  // 3 operand or NOT, 2 AND, 1 OR
};

std::string GuidText(const Guid &guid) { return KnownGuidName(guid).value_or(FormatGuid(guid)); }

Guid ReadGuid(ByteView program, size_t at) {
  if (program.size() - at < 16) {
    throw FormatError("dependency expression: a GUID is cut short at byte " + std::to_string(at));
  }
  Guid guid;
  for (size_t index = 0; index < 16; index++) guid[index] = program[at + index];
  return guid;
}

}  // namespace

Bytes CompileDepex(std::string_view text) { return Compiler(text).Compile(); }

std::string DecodeDepex(ByteView program, DepexKind kind) {
  std::vector<Term> stack;
  std::string prefix;
  auto fail = [](size_t at, const std::string &what) {
    throw FormatError("dependency expression, byte " + std::to_string(at) + ": " + what);
  };
  auto pop = [&](size_t at) {
    if (stack.empty()) fail(at, "an operator without its operands");
    Term term = stack.back();
    stack.pop_back();
    return term;
  };
  auto wrap = [](const Term &term, int precedence) {
    return term.precedence < precedence ? "(" + term.text + ")" : term.text;
  };
  for (size_t at = 0; at < program.size(); at++) {
    const uint8_t opcode = program[at];
    switch (opcode) {
      case kBefore:
      case kAfter:
        if (kind != DepexKind::Dxe) fail(at, "BEFORE and AFTER belong to DXE drivers only");
        if (at != 0 || program.size() != 18 || program[17] != kEnd) {
          fail(at, "BEFORE and AFTER stand alone: the GUID, then END");
        }
        return (opcode == kBefore ? "BEFORE " : "AFTER ") + GuidText(ReadGuid(program, 1));
      case kSor:
        if (kind != DepexKind::Dxe) fail(at, "SOR belongs to DXE drivers only");
        if (at != 0) fail(at, "SOR must come first");
        prefix = "SOR ";
        break;
      case kPush:
        stack.push_back({GuidText(ReadGuid(program, at + 1)), 3});
        at += 16;
        break;
      case kTrue:
      case kFalse:
        stack.push_back({opcode == kTrue ? "TRUE" : "FALSE", 3});
        break;
      case kNot:
        stack.push_back({"NOT " + wrap(pop(at), 3), 3});
        break;
      case kAnd:
      case kOr: {
        const int precedence = opcode == kAnd ? 2 : 1;
        const Term right = pop(at);
        const Term left = pop(at);
        stack.push_back({wrap(left, precedence) + (opcode == kAnd ? " AND " : " OR ") +
                             wrap(right, precedence + 1),
                         precedence});
        break;
      }
      case kEnd:
        if (at + 1 != program.size()) fail(at, "END before the program's last byte");
        if (stack.size() != 1) {
          fail(at, "END with " + std::to_string(stack.size()) + " values, not one, left");
        }
        return prefix + stack.back().text;
      default:
        fail(at, "unknown opcode " + HexText(opcode));
    }
  }
  throw FormatError("dependency expression without END");
}

}  // namespace fwimage
