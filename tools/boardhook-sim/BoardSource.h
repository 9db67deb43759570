// Where each value of a board description stands and how it was written:
// the line of every key the reader took and the base of every number, so a
// message names the key that is wrong, on its own line, and shows numbers
// the way the user wrote them.
#pragma once
#include <cstdint>
#include <map>
#include <string>

namespace bootsim {

enum class NumberBase : uint8_t { Decimal, Hexadecimal, Octal, Binary };

// 255, 0xFF, 0o377 or 0b11111111.
std::string NumberText(uint64_t value, NumberBase base);

class BoardSource {
 public:
  explicit BoardSource(std::string file) : file_(std::move(file)) {}

  const std::string &File() const { return file_; }

  // Records where `key` ("device[0].bars[1].base") stands.
  void Note(const std::string &key, uint32_t line, NumberBase base = NumberBase::Hexadecimal) {
    entries_[key] = {line, base};
  }
  // The line of the key, else of the nearest enclosing key that was noted.
  uint32_t Line(const std::string &key) const;
  // `value` in the base the key's number was written in (decimal for a key
  // not written, whose default the format states in decimal).
  std::string Number(const std::string &key, uint64_t value) const;

  // A BoardError for the key, on its line.
  [[noreturn]] void Fail(const std::string &key, const std::string &message) const;

 private:
  struct Entry {
    uint32_t line;
    NumberBase base;
  };
  std::string file_;
  std::map<std::string, Entry> entries_;
};

}  // namespace bootsim
