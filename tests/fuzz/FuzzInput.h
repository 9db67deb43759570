// Shared pieces of the fuzz targets: a reader that takes the fuzzer's bytes
// front to back (so seed inputs can be written by hand), and the check that
// turns a broken invariant into a finding.
#pragma once
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <initializer_list>
#include <string>
#include <vector>

namespace fuzz {

// Reads little-endian numbers and byte runs from the input, front to back.
// Past the end every read yields zeros, so every input is a complete case.
class FuzzInput {
 public:
  FuzzInput(const uint8_t *data, size_t size) : data_(data), size_(size) {}

  bool Empty() const { return offset_ >= size_; }
  size_t Remaining() const { return Empty() ? 0 : size_ - offset_; }

  uint8_t U8() { return Empty() ? 0 : data_[offset_++]; }
  uint16_t U16() { return static_cast<uint16_t>(U8() | U8() << 8); }
  uint32_t U32() { return static_cast<uint32_t>(U16()) | static_cast<uint32_t>(U16()) << 16; }
  uint64_t U64() { return static_cast<uint64_t>(U32()) | static_cast<uint64_t>(U32()) << 32; }
  bool Bit() { return (U8() & 1) != 0; }
  // A number from 0 to Count - 1 (Count > 0).
  size_t Below(size_t Count) { return U16() % Count; }

  template <typename T>
  T Pick(std::initializer_list<T> Choices) {
    return Choices.begin()[Below(Choices.size())];
  }

  // Count bytes, zero-padded past the end of the input.
  std::vector<uint8_t> Bytes(size_t Count) {
    std::vector<uint8_t> Result(Count, 0);
    for (size_t Index = 0; Index < Count && !Empty(); Index++) Result[Index] = U8();
    return Result;
  }
  // The bytes up to the next NUL (consumed, not included) or the end, at
  // most Limit of them.
  std::string Text(size_t Limit) {
    std::string Result;
    while (!Empty() && Result.size() < Limit) {
      const uint8_t Byte = U8();
      if (Byte == 0) break;
      Result.push_back(static_cast<char>(Byte));
    }
    return Result;
  }
  // Everything not read yet.
  std::vector<uint8_t> Rest() { return Bytes(Remaining()); }

 private:
  const uint8_t *data_;
  size_t size_;
  size_t offset_ = 0;
};

[[noreturn]] inline void Fail(const char *File, int Line, const char *Condition,
                              const std::string &Detail) {
  std::fprintf(stderr, "%s:%d: invariant broken: %s %s\n", File, Line, Condition, Detail.c_str());
  std::abort();
}

}  // namespace fuzz

// Aborts (a finding for the fuzzer) when Condition does not hold.
#define FUZZ_CHECK(Condition, ...)                                                            \
  do {                                                                                        \
    if (!(Condition)) ::fuzz::Fail(__FILE__, __LINE__, #Condition, std::string(__VA_ARGS__)); \
  } while (0)
