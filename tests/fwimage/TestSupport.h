// The images, firmware files and volume the build made, and small helpers
// for damaging copies of them and expecting them refused.
#pragma once
#include <gtest/gtest.h>

#include <cstdint>
#include <stdexcept>
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

// Expects `read` to throw an Error whose text holds `message`; `what` names
// the case in a failure.
template <typename Error = std::runtime_error, typename Read>
void ExpectRefused(const std::string &what, const std::string &message, Read read) {
  try {
    read();
    ADD_FAILURE() << what << ": accepted";
  } catch (const Error &error) {
    EXPECT_NE(std::string(error.what()).find(message), std::string::npos)
        << what << ": " << error.what();
  }
}

}  // namespace fwimage_test
