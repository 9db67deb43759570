#include "BoardSource.h"

#include <cstdio>

#include "BoardFile.h"

namespace bootsim {

std::string NumberText(uint64_t value, NumberBase base) {
  char text[80];
  const auto number = static_cast<unsigned long long>(value);
  switch (base) {
    case NumberBase::Decimal:
      std::snprintf(text, sizeof text, "%llu", number);
      return text;
    case NumberBase::Octal:
      std::snprintf(text, sizeof text, "0o%llo", number);
      return text;
    case NumberBase::Binary: {
      std::string digits;
      do {
        digits.insert(digits.begin(), static_cast<char>('0' + (value & 1)));
        value >>= 1;
      } while (value != 0);
      return "0b" + digits;
    }
    case NumberBase::Hexadecimal:
      break;
  }
  std::snprintf(text, sizeof text, "0x%llX", number);
  return text;
}

namespace {

// "a.b[2].c" -> "a.b[2]" -> "a.b" -> "a" -> "".
std::string Parent(const std::string &key) {
  const size_t cut = key.find_last_of(".[");
  return cut == std::string::npos ? std::string() : key.substr(0, cut);
}

}  // namespace

uint32_t BoardSource::Line(const std::string &key) const {
  for (std::string at = key; !at.empty(); at = Parent(at)) {
    const auto found = entries_.find(at);
    if (found != entries_.end()) return found->second.line;
  }
  return 0;
}

std::string BoardSource::Number(const std::string &key, uint64_t value) const {
  const auto found = entries_.find(key);
  return NumberText(value, found == entries_.end() ? NumberBase::Decimal : found->second.base);
}

void BoardSource::Fail(const std::string &key, const std::string &message) const {
  throw BoardError(file_, Line(key), key, message);
}

}  // namespace bootsim
