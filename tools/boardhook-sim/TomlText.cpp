#include "TomlText.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cctype>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <map>
#include <vector>

#include "BoardFile.h"

namespace bootsim {

std::string ReadBoardText(const std::string &path) {
  if (path.empty()) {
    throw BoardError("\"\"", 0, "",
                     "the board file's path is empty (without a path the built-in reference "
                     "board boots)");
  }
  // Non-blocking open, so a pipe without a writer is not waited for.
  const int fd = open(path.c_str(), O_RDONLY | O_NONBLOCK | O_CLOEXEC);
  if (fd < 0) {
    throw BoardError(path, 0, "", std::string("cannot read the file: ") + std::strerror(errno));
  }
  struct stat status = {};
  if (fstat(fd, &status) != 0 || S_ISDIR(status.st_mode)) {
    close(fd);
    throw BoardError(path, 0, "", "cannot read the file: it is a directory");
  }
  fcntl(fd, F_SETFL, fcntl(fd, F_GETFL) & ~O_NONBLOCK);
  std::string text;
  char chunk[65536];
  for (;;) {
    const ssize_t got = read(fd, chunk, sizeof chunk);
    if (got < 0 && errno == EINTR) continue;
    if (got < 0) {
      const int error = errno;
      close(fd);
      throw BoardError(path, 0, "", std::string("cannot read the file: ") + std::strerror(error));
    }
    if (got == 0) break;
    text.append(chunk, static_cast<size_t>(got));
    if (text.size() > kMaxBoardFileSize) {
      close(fd);
      const auto line =
          std::count(text.begin(), text.begin() + static_cast<ptrdiff_t>(kMaxBoardFileSize), '\n');
      throw BoardError(path, static_cast<uint32_t>(line + 1), "",
                       "the description is larger than 4 MiB (" +
                           std::to_string(kMaxBoardFileSize) +
                           " bytes), the most boardhook-sim reads");
    }
  }
  close(fd);
  return text;
}

namespace {

// One character of UTF-8 text; length 0 when the bytes are not UTF-8.
struct Character {
  char32_t code = 0;
  size_t length = 0;
};

Character Decode(std::string_view text, size_t at) {
  const auto byte = [&](size_t index) { return static_cast<uint8_t>(text[index]); };
  const uint8_t lead = byte(at);
  if (lead < 0x80) return {lead, 1};
  size_t length = 0;
  char32_t code = 0, least = 0;
  if ((lead & 0xE0) == 0xC0) {
    length = 2, code = lead & 0x1F, least = 0x80;
  } else if ((lead & 0xF0) == 0xE0) {
    length = 3, code = lead & 0x0F, least = 0x800;
  } else if ((lead & 0xF8) == 0xF0) {
    length = 4, code = lead & 0x07, least = 0x10000;
  } else {
    return {};
  }
  if (text.size() - at < length) return {};
  for (size_t index = 1; index < length; index++) {
    if ((byte(at + index) & 0xC0) != 0x80) return {};
    code = code << 6 | (byte(at + index) & 0x3F);
  }
  // Overlong forms, UTF-16 surrogates and code points beyond Unicode are
  // not UTF-8.
  if (code < least || code > 0x10FFFF || (code >= 0xD800 && code <= 0xDFFF)) return {};
  return {code, length};
}

std::string Escaped(char32_t code) {
  char text[16];
  if (code <= 0xFFFF) {
    std::snprintf(text, sizeof text, "\\u%04X", static_cast<unsigned>(code));
  } else {
    std::snprintf(text, sizeof text, "\\U%08X", static_cast<unsigned>(code));
  }
  return text;
}

std::string_view Trimmed(std::string_view text) {
  const size_t first = text.find_first_not_of(" \t\r");
  if (first == std::string_view::npos) return {};
  return text.substr(first, text.find_last_not_of(" \t\r") - first + 1);
}

class AsciiConverter {
 public:
  AsciiConverter(std::string_view text, const std::string &file) : text_(text), file_(file) {}

  std::string Run() {
    if (text_.substr(0, 3) == "\xEF\xBB\xBF") at_ = 3;  // a byte-order mark
    StartLine();
    while (at_ < text_.size()) {
      const char c = text_[at_];
      if (c == '#') {
        Comment();
      } else if (c == '"') {
        text_.substr(at_, 3) == "\"\"\"" ? MultiLineBasic() : Basic();
      } else if (c == '\'') {
        Literal(text_.substr(at_, 3) == "'''");
      } else if (static_cast<uint8_t>(c) >= 0x80) {
        const Character character = Next();
        Fail("non-ASCII character " + Describe(character) +
             " outside a string or comment (a key with other characters is quoted: \"...\")");
      } else {
        if (c == '{' || c == ',') keyStart_ = at_ + 1;
        if (c == '=') value_ = Key(at_);
        if (!headerLine_) {
          if (std::isdigit(static_cast<unsigned char>(c)) && ValueStarts()) CheckNumber();
          Bracket(c);
        }
        if (c != ' ' && c != '\t' && c != '\n' && c != '\r') previous_ = c;
        Copy(1);
        if (c == '\n') StartLine();
      }
    }
    return std::move(out_);
  }

 private:
  [[noreturn]] void Fail(const std::string &message) {
    throw BoardError(file_, line_, Context(), message);
  }

  std::string Describe(const Character &character) {
    char code[16];
    std::snprintf(code, sizeof code, "U+%04X", static_cast<unsigned>(character.code));
    return "'" + std::string(text_.substr(at_ - character.length, character.length)) + "' (" +
           code + ")";
  }

  // The next character, which must be UTF-8; moves past it.
  Character Next() {
    const Character character = Decode(text_, at_);
    if (character.length == 0) {
      char byte[8];
      std::snprintf(byte, sizeof byte, "0x%02X", static_cast<uint8_t>(text_[at_]));
      Fail(std::string("the text is not UTF-8 (byte ") + byte + ")");
    }
    at_ += character.length;
    if (character.code == '\n') line_++;
    return character;
  }

  void Copy(size_t count) {
    for (size_t index = 0; index < count; index++) {
      if (text_[at_] == '\n') line_++;
      out_ += text_[at_++];
    }
  }

  // Whether a value starts here: after '=', or as an element of an array.
  bool ValueStarts() const {
    return previous_ == '=' ||
           ((previous_ == '[' || previous_ == ',') && !open_.empty() && open_.back() == '[');
  }

  // A value that starts with a digit is a number here. The library reads
  // dates and times too, and one of its paths for them (a date, a space, a
  // digit, then the end of the value) breaks an assertion of its own; no
  // key of a board takes them, so they are refused here.
  void CheckNumber() {
    const size_t end = text_.find_first_of(" \t\r\n,]}#", at_);
    const std::string_view token = text_.substr(at_, end - at_);
    if (token.find_first_of("-:") != std::string_view::npos) {
      Fail("'" + std::string(token) +
           "' is not a number (dates and times are no part of a board description)");
    }
  }

  // Brackets of values (arrays, inline tables), apart from headers. The
  // library asserts that an array's element does not start with '}', so a
  // closing bracket must match the open one.
  void Bracket(char c) {
    if (c == '[' || c == '{') {
      open_.push_back(c);
      keyPrefixes_.push_back(value_.empty() ? table_ : value_);
    } else if ((c == ']' || c == '}') && !open_.empty()) {
      if ((c == ']') != (open_.back() == '[')) {
        Fail(std::string("'") + c + "' closes no " + (c == ']' ? "array" : "inline table") +
             ": the " + (open_.back() == '[' ? "array" : "inline table") + " is still open");
      }
      open_.pop_back();
      keyPrefixes_.pop_back();
    }
  }

  // A new line outside strings. Outside a value, a table header changes the
  // table that messages name; inside one (an array over several lines) the
  // key stays that of the value.
  void StartLine() {
    keyStart_ = at_;
    headerLine_ = false;
    if (open_.empty()) previous_ = '\n';
    if (!open_.empty()) return;
    value_.clear();
    const size_t end = std::min(text_.find('\n', at_), text_.size());
    const std::string_view line = Trimmed(text_.substr(at_, end - at_));
    headerLine_ = !line.empty() && line[0] == '[';
    if (!headerLine_) return;
    const bool array = line.substr(0, 2) == "[[";
    const size_t open = array ? 2 : 1;
    const size_t close = line.find(']');
    const std::string name(Trimmed(line.substr(
        open, close == std::string_view::npos ? std::string_view::npos : close - open)));
    table_ = array ? name + "[" + std::to_string(arrayCounts_[name]++) + "]" : name;
    // The library requires a header's name to start as a key does (it
    // asserts so); anything else is refused here.
    const std::string_view rest = line.substr(open);
    const size_t at = rest.find_first_not_of(" \t");
    const char first = at == std::string_view::npos ? '\n' : rest[at];
    if (!std::isalnum(static_cast<unsigned char>(first)) && first != '_' && first != '-' &&
        first != '"' && first != '\'' && first != ']') {
      Fail("a table name starts with a letter, a digit, _, - or a quote");
    }
  }

  // The key being written before `end` on this line (a comment holds none).
  std::string Key(size_t end) const {
    end = std::min(end, text_.find('#', keyStart_));
    const std::string key(Trimmed(text_.substr(keyStart_, end - keyStart_)));
    const std::string &base = keyPrefixes_.empty() ? table_ : keyPrefixes_.back();
    return base.empty() || key.empty() ? base + key : base + "." + key;
  }

  // The key that a message names: the table of a header line, the key whose
  // value is being read, or the key being written; bytes that are not UTF-8
  // show as '?'.
  std::string Context() const {
    const std::string key = headerLine_ ? table_ : value_.empty() ? Key(at_) : value_;
    std::string printable;
    for (size_t index = 0; index < key.size();) {
      const size_t length = Decode(key, index).length;
      printable += length == 0 ? std::string("?") : key.substr(index, length);
      index += std::max<size_t>(length, 1);
    }
    return printable;
  }

  void Comment() {
    while (at_ < text_.size() && text_[at_] != '\n') {
      // The library reads nothing in a comment; its characters only have to
      // be UTF-8.
      if (static_cast<uint8_t>(text_[at_]) >= 0x80) {
        Next();
        out_ += ' ';
      } else {
        Copy(1);
      }
    }
  }

  // A character of a basic string: non-ASCII as its escape.
  void StringCharacter() {
    if (static_cast<uint8_t>(text_[at_]) >= 0x80) {
      out_ += Escaped(Next().code);
    } else {
      Copy(1);
    }
  }

  // A backslash and the character it escapes, which must be ASCII.
  void Escape() {
    Copy(1);
    if (at_ >= text_.size()) return;
    if (static_cast<uint8_t>(text_[at_]) >= 0x80) {
      const Character character = Next();
      Fail("invalid escape sequence '\\" +
           std::string(text_.substr(at_ - character.length, character.length)) + "'");
    }
    Copy(1);
  }

  void Basic() {
    Copy(1);
    while (at_ < text_.size()) {
      const char c = text_[at_];
      if (c == '\\') {
        Escape();
      } else if (c == '"') {
        Copy(1);
        return;
      } else if (c == '\n') {
        return;  // unterminated: the library says so
      } else {
        StringCharacter();
      }
    }
  }

  void MultiLineBasic() {
    Copy(3);
    while (at_ < text_.size()) {
      const char c = text_[at_];
      if (c == '\\') {
        Escape();
      } else if (c == '"') {
        const size_t run = QuoteRun('"');
        Copy(run);
        if (run >= 3) return;
      } else {
        StringCharacter();
      }
    }
  }

  size_t QuoteRun(char quote) const {
    size_t run = 0;
    while (at_ + run < text_.size() && text_[at_ + run] == quote) run++;
    return run;
  }

  // A literal string holds no escapes, so one with non-ASCII characters
  // becomes a basic string of the same contents.
  void Literal(bool multiLine) {
    const size_t open = multiLine ? 3 : 1;
    size_t end = at_ + open;  // where the closing quotes start
    size_t closing = 0;       // their count; 0: unterminated
    while (end < text_.size()) {
      if (text_[end] == '\'') {
        size_t run = 0;
        while (end + run < text_.size() && text_[end + run] == '\'') run++;
        if (!multiLine || run >= 3) {
          closing = multiLine ? run : 1;
          break;
        }
        end += run;
      } else if (!multiLine && text_[end] == '\n') {
        break;
      } else {
        end++;
      }
    }
    const std::string_view contents = text_.substr(at_ + open, end - at_ - open);
    const bool ascii = std::none_of(contents.begin(), contents.end(),
                                    [](char c) { return static_cast<uint8_t>(c) >= 0x80; });
    if (ascii) {
      Copy(end - at_ + closing);
      return;
    }
    // Quotes beyond the closing three belong to the contents (at most two).
    const size_t extra = multiLine && closing > 3 ? closing - 3 : 0;
    if (extra > 2) {
      at_ = end;
      Fail("a multi-line literal string ends in more than five quotes");
    }
    const char *quotes = multiLine ? "\"\"\"" : "\"";
    out_ += quotes;
    at_ += open;
    while (at_ < end) {
      const char c = text_[at_];
      if (c == '\\' || c == '"') {
        out_ += '\\';
        Copy(1);
      } else {
        StringCharacter();
      }
    }
    if (closing == 0) return;  // unterminated: the library says so
    out_ += std::string(extra, '\'');
    out_ += quotes;
    at_ += closing;
  }

  std::string_view text_;
  const std::string &file_;
  size_t at_ = 0;
  uint32_t line_ = 1;
  std::string out_;
  // For messages: the current table, where this line and its current key
  // key starts, and the key whose value follows.
  std::string table_;
  std::map<std::string, unsigned> arrayCounts_;
  size_t keyStart_ = 0;
  bool headerLine_ = false;
  std::string open_;                      // open brackets of values, innermost last
  std::vector<std::string> keyPrefixes_;  // the key of each open value
  char previous_ = '\n';                  // the last character outside strings, comments and blanks
  std::string value_;
};

}  // namespace

std::string AsciiTomlText(std::string_view text, const std::string &file) {
  return AsciiConverter(text, file).Run();
}

}  // namespace bootsim
