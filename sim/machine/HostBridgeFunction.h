// The host bridge at bus 0, device 0, function 0. Besides its header it has
// an indirect register file reached through three configuration registers:
// 0xC0 (a control register the firmware clears before use), the index at
// 0xC4 and the data at 0xC8. The registers at index 0x1C0A0 + 4 * g hold the
// bus range of bus group g (0 to 7): first bus in bits 23:16, last bus in
// bits 31:24.
#pragma once
#include <cstdint>
#include <map>

#include "PciFunction.h"

namespace sim {

class HostBridgeFunction final : public PciFunction {
 public:
  static constexpr uint16_t kControl = 0xC0;
  static constexpr uint16_t kIndex = 0xC4;
  static constexpr uint16_t kData = 0xC8;
  static constexpr uint32_t kBusRangeIndex = 0x1C0A0;
  static constexpr unsigned kBusGroups = 8;
  // Vendor 0xB0A5 is this simulator's own; no real bridge answers to it.
  static constexpr uint32_t kDefaultIdWord = 0x0001B0A5;

  // The groups start as 8 x 32 buses, group g covering buses 32g to 32g + 31,
  // so a board-relative bus number equals the physical one.
  HostBridgeFunction();

  HostBridgeFunction &SetBusRange(unsigned group, uint8_t firstBus, uint8_t lastBus);
  HostBridgeFunction &SetIndirect(uint32_t index, uint32_t value);
  // Current value (firmware writes through the data register included);
  // indexes never written read 0.
  uint32_t Indirect(uint32_t index) const;

  void Restart() override;

 protected:
  void BeforeRead(uint16_t first, uint16_t last) override;
  void BeforeWrite(uint16_t first, uint16_t last) override;
  void AfterWrite(uint16_t first, uint16_t last) override;

 private:
  std::map<uint32_t, uint32_t> describedIndirect_;
  std::map<uint32_t, uint32_t> liveIndirect_;
};

}  // namespace sim
