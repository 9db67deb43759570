// Device registers behind a BAR, as plain bytes: what the board description
// puts there is read back, firmware writes are kept until the board
// restarts, and bytes never described read 0. Sparse, so that a large BAR
// costs only the bytes it holds.
#pragma once
#include <cstdint>
#include <initializer_list>
#include <map>
#include <span>

#include "Device.h"

namespace sim {

class RegisterWindow final : public MmioDevice {
 public:
  RegisterWindow &SetBytes(uint64_t offset, std::span<const uint8_t> bytes);
  RegisterWindow &SetBytes(uint64_t offset, std::initializer_list<uint8_t> bytes) {
    return SetBytes(offset, std::span<const uint8_t>(bytes.begin(), bytes.size()));
  }
  RegisterWindow &Set32(uint64_t offset, uint32_t value);
  uint8_t Byte(uint64_t offset) const;

  uint32_t MmioRead(uint64_t offset, unsigned width) override;
  void MmioWrite(uint64_t offset, unsigned width, uint32_t value) override;
  void Restart() override { live_ = described_; }

 private:
  std::map<uint64_t, uint8_t> described_;
  std::map<uint64_t, uint8_t> live_;
};

inline RegisterWindow &RegisterWindow::SetBytes(uint64_t offset, std::span<const uint8_t> bytes) {
  for (size_t i = 0; i < bytes.size(); ++i) {
    described_[offset + i] = bytes[i];
    live_[offset + i] = bytes[i];
  }
  return *this;
}

inline RegisterWindow &RegisterWindow::Set32(uint64_t offset, uint32_t value) {
  const uint8_t bytes[4] = {static_cast<uint8_t>(value), static_cast<uint8_t>(value >> 8),
                            static_cast<uint8_t>(value >> 16), static_cast<uint8_t>(value >> 24)};
  return SetBytes(offset, bytes);
}

inline uint8_t RegisterWindow::Byte(uint64_t offset) const {
  auto it = live_.find(offset);
  return it == live_.end() ? 0 : it->second;
}

inline uint32_t RegisterWindow::MmioRead(uint64_t offset, unsigned width) {
  uint32_t value = 0;
  for (unsigned i = 0; i < width / 8; ++i)
    value |= static_cast<uint32_t>(Byte(offset + i)) << (8 * i);
  return value;
}

inline void RegisterWindow::MmioWrite(uint64_t offset, unsigned width, uint32_t value) {
  for (unsigned i = 0; i < width / 8; ++i)
    live_[offset + i] = static_cast<uint8_t>(value >> (8 * i));
}

}  // namespace sim
