// The host bridge at bus 0, device 0, function 0. Besides its header it has
// an indirect register file reached through three configuration registers:
// a control register the firmware clears before use, the index and the
// data. Its bus-range registers, their indexes and their layout are the
// firmware's own (board/PciAccess.h).
#pragma once
#include <cstdint>
#include <map>

#include "../../board/PciAccess.h"
#include "PciFunction.h"

namespace sim {

class HostBridgeFunction final : public PciFunction {
 public:
  static constexpr uint16_t kControl = BUS_RANGE_CONTROL_OFFSET;
  static constexpr uint16_t kIndex = BUS_RANGE_INDEX_OFFSET;
  static constexpr uint16_t kData = BUS_RANGE_DATA_OFFSET;
  static constexpr unsigned kBusGroups = BUS_GROUP_COUNT;
  // Vendor 0xB0A5 is this simulator's own; no real bridge answers to it.
  static constexpr uint32_t kDefaultIdWord = 0x0001B0A5;

  // The groups start as 8 x 32 buses, group g covering buses 32g to 32g + 31,
  // so a board-relative bus number equals the physical one.
  HostBridgeFunction();
  // The range register of group g before any is described.
  static constexpr uint32_t DefaultBusRange(unsigned group) {
    return BusRangeValue(static_cast<uint8_t>(32 * group), static_cast<uint8_t>(32 * group + 31));
  }

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
