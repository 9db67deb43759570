#include "CmosRam.h"

namespace sim {

uint8_t CmosRam::ReadByte(uint16_t offset) const {
  if (offset == 0) return static_cast<uint8_t>(index_ | (nmiMasked_ ? 0x80 : 0));
  return bytes_[index_];
}

void CmosRam::WriteByte(uint16_t offset, uint8_t value) {
  if (offset == 0) {
    index_ = value & 0x7F;
    nmiMasked_ = (value & 0x80) != 0;
  } else {
    bytes_[index_] = value;
  }
}

// A wider access covers the following ports, low byte first, as on the bus.
uint32_t CmosRam::IoRead(uint16_t offset, unsigned width) {
  uint32_t value = 0;
  for (unsigned i = 0; i < width / 8; ++i) {
    uint16_t port = static_cast<uint16_t>(offset + i);
    value |= static_cast<uint32_t>(port < 2 ? ReadByte(port) : 0xFF) << (8 * i);
  }
  return value;
}

void CmosRam::IoWrite(uint16_t offset, unsigned width, uint32_t value) {
  for (unsigned i = 0; i < width / 8; ++i) {
    uint16_t port = static_cast<uint16_t>(offset + i);
    if (port < 2) WriteByte(port, static_cast<uint8_t>(value >> (8 * i)));
  }
}

}  // namespace sim
