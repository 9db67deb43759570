// Little-endian fields of the firmware file formats, and the error every
// reader and writer of this tool throws.
#pragma once
#include <cstddef>
#include <cstdint>
#include <span>
#include <stdexcept>
#include <string>
#include <vector>

namespace fwimage {

class FormatError : public std::runtime_error {
 public:
  using std::runtime_error::runtime_error;
};

using Bytes = std::vector<uint8_t>;
using ByteView = std::span<const uint8_t>;

inline void PutLe(uint8_t *at, uint64_t value, unsigned size) {
  for (unsigned index = 0; index < size; index++)
    at[index] = static_cast<uint8_t>(value >> (8 * index));
}

inline uint64_t GetLe(const uint8_t *at, unsigned size) {
  uint64_t value = 0;
  for (unsigned index = 0; index < size; index++) value |= uint64_t{at[index]} << (8 * index);
  return value;
}

inline void AppendLe(Bytes &bytes, uint64_t value, unsigned size) {
  bytes.resize(bytes.size() + size);
  PutLe(bytes.data() + bytes.size() - size, value, size);
}

inline uint64_t AlignUp(uint64_t value, uint64_t alignment) {
  return (value + alignment - 1) / alignment * alignment;
}

std::string HexText(uint64_t value);

}  // namespace fwimage
