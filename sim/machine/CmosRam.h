// CMOS RAM behind ports 0x70 (index) and 0x71 (data): 128 bytes of
// battery-backed memory that survive a restart of the board. Bit 7 of the
// index byte (the NMI mask on real chipsets) is kept apart from the index.
#pragma once
#include <array>
#include <cstdint>

#include "Device.h"

namespace sim {

class CmosRam final : public IoDevice {
 public:
  static constexpr uint16_t kIndexPort = 0x70;
  static constexpr uint16_t kSize = 128;

  uint8_t Get(uint8_t index) const { return bytes_[index % kSize]; }
  void Set(uint8_t index, uint8_t value) { bytes_[index % kSize] = value; }
  // The battery was removed: every byte back to 0.
  void Clear() { bytes_.fill(0); }
  uint8_t SelectedIndex() const { return index_; }
  bool NmiMasked() const { return nmiMasked_; }

  uint32_t IoRead(uint16_t offset, unsigned width) override;
  void IoWrite(uint16_t offset, unsigned width, uint32_t value) override;
  // The NVRAM keeps its bytes; only the index register goes back to 0.
  void Restart() override { index_ = 0; }

 private:
  uint8_t ReadByte(uint16_t offset) const;
  void WriteByte(uint16_t offset, uint8_t value);

  std::array<uint8_t, kSize> bytes_{};
  uint8_t index_ = 0;
  bool nmiMasked_ = false;
};

}  // namespace sim
