#include "HostBridgeFunction.h"

namespace sim {

namespace {
bool Touches(uint16_t first, uint16_t last, uint16_t reg) {
  return first <= reg + 3 && reg <= last;
}
}  // namespace

HostBridgeFunction::HostBridgeFunction() : PciFunction({0, 0, 0}, kDefaultIdWord, false) {
  SetClass(0x06, 0x00);
  SetWritable(kControl, 32, 0xFFFFFFFF);
  SetWritable(kIndex, 32, 0xFFFFFFFF);
  SetWritable(kData, 32, 0xFFFFFFFF);
  for (unsigned g = 0; g < kBusGroups; ++g) {
    SetIndirect(BusRangeIndex(g), DefaultBusRange(g));
  }
}

HostBridgeFunction &HostBridgeFunction::SetBusRange(unsigned group, uint8_t firstBus,
                                                    uint8_t lastBus) {
  if (group >= kBusGroups) MachineMisuse("bus group %u (0 to 7)", group);
  return SetIndirect(BusRangeIndex(group), BusRangeValue(firstBus, lastBus));
}

HostBridgeFunction &HostBridgeFunction::SetIndirect(uint32_t index, uint32_t value) {
  describedIndirect_[index] = value;
  liveIndirect_[index] = value;
  return *this;
}

uint32_t HostBridgeFunction::Indirect(uint32_t index) const {
  auto it = liveIndirect_.find(index);
  return it == liveIndirect_.end() ? 0 : it->second;
}

void HostBridgeFunction::BeforeRead(uint16_t first, uint16_t last) {
  if (Touches(first, last, kData)) SetLive32(kData, Indirect(Config32(kIndex)));
  PciFunction::BeforeRead(first, last);
}

// A write of part of the data register keeps the rest of the indexed value.
void HostBridgeFunction::BeforeWrite(uint16_t first, uint16_t last) {
  if (Touches(first, last, kData)) SetLive32(kData, Indirect(Config32(kIndex)));
}

void HostBridgeFunction::AfterWrite(uint16_t first, uint16_t last) {
  if (Touches(first, last, kData)) liveIndirect_[Config32(kIndex)] = Config32(kData);
  PciFunction::AfterWrite(first, last);
}

void HostBridgeFunction::Restart() {
  PciFunction::Restart();
  liveIndirect_ = describedIndirect_;
}

}  // namespace sim
