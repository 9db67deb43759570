// The images, firmware files and volume the build made, and small helpers
// for damaging copies of them.
#pragma once
#include <cstdint>
#include <cstring>
#include <string>
#include <vector>

namespace fwimage_test {

std::vector<uint8_t> Built(const std::string &name);
std::string BuiltPath(const std::string &name);

inline void PutWord(std::vector<uint8_t> &bytes, size_t offset, uint64_t value, unsigned size) {
  for (unsigned index = 0; index < size; index++) {
    bytes[offset + index] = static_cast<uint8_t>(value >> (8 * index));
  }
}

}  // namespace fwimage_test
