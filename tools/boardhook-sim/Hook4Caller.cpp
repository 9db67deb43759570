#include "Hook4Caller.h"

#include <algorithm>
#include <cstdio>
#include <string>

namespace bootsim {

namespace {

constexpr uint8_t kGuardFill = 0x5A;
// Room for any entry an 8-bit count can reach (1 + 6 x 255 bytes past a
// list that starts at byte 3).
constexpr size_t kGuardSize = 2048;

std::string MacText(const uint8_t *mac) {
  char text[24];
  std::snprintf(text, sizeof text, "%02X:%02X:%02X:%02X:%02X:%02X", mac[0], mac[1], mac[2], mac[3],
                mac[4], mac[5]);
  return text;
}

}  // namespace

ListBuffer::ListBuffer(const Hook4Buffer &description)
    : size(description.size), initial(description.size, description.fill) {
  std::copy(description.bytes.begin(), description.bytes.end(), initial.begin());
  bytes = initial;
  bytes.resize(size + kGuardSize, kGuardFill);
}

bool ListBuffer::Touched() const {
  return !std::equal(initial.begin(), initial.end(), bytes.begin());
}

bool ListBuffer::Overrun() const {
  return std::any_of(bytes.begin() + static_cast<ptrdiff_t>(size), bytes.end(),
                     [](uint8_t byte) { return byte != kGuardFill; });
}

Json MacList(const ListBuffer &buffer, size_t offset) {
  Json entries = Json::array();
  Json count = nullptr;
  if (offset < buffer.size) {
    count = buffer.bytes[offset];
    for (size_t entry = 0; entry < buffer.bytes[offset]; entry++) {
      const size_t at = offset + 1 + 6 * entry;
      if (at + 6 > buffer.size) break;
      entries.push_back(MacText(&buffer.bytes[at]));
    }
  }
  return {{"size", buffer.size},
          {"touched", buffer.Touched()},
          {"count", count},
          {"entries", entries},
          {"bytes", HexBytes(buffer.bytes.data(), buffer.size)},
          {"overrun", buffer.Overrun()}};
}

}  // namespace bootsim
