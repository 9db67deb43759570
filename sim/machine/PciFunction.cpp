#include "PciFunction.h"

#include <algorithm>

namespace sim {

namespace {
constexpr uint16_t kStatus = 0x06;
constexpr uint8_t kStatusCapabilityList = 0x10;
constexpr uint16_t kCapabilityPointer = 0x34;
constexpr uint8_t kVpdCapabilityId = 0x03;
constexpr uint8_t kVpdDone = 0x80;  // bit 15 of the address register, in its high byte

bool Overlaps(uint16_t first, uint16_t last, uint16_t regFirst, uint16_t regLast) {
  return first <= regLast && regFirst <= last;
}
}  // namespace

PciFunction::PciFunction(PciAddress address, uint32_t idWord, bool bridge)
    : address_(address), bridge_(bridge) {
  SetIdWord(idWord);
  SetConfig8(0x0E, bridge ? 0x01 : 0x00);
  if (bridge) SetClass(0x06, 0x04);
  SetWritable(0x04, 16, 0x07FF);  // command register
  SetWritable(0x0C, 16, 0xFFFF);  // cache line size, latency timer
  SetWritable(0x3C, 8, 0xFF);     // interrupt line
  if (bridge) {
    SetWritable(0x18, 32, 0xFFFFFFFF);  // primary, secondary, subordinate bus, latency
    for (uint16_t window = 0x1C; window < 0x30; window += 4) SetWritable(window, 32, 0xFFFFFFFF);
  }
}

void PciFunction::SetDescribed(uint16_t offset, unsigned bytes, uint32_t value) {
  if (offset + bytes > kConfigSize) {
    MachineMisuse("configuration offset 0x%x beyond 4 KiB", static_cast<unsigned>(offset));
  }
  for (unsigned i = 0; i < bytes; ++i) {
    described_[offset + i] = live_[offset + i] = static_cast<uint8_t>(value >> (8 * i));
  }
}

PciFunction &PciFunction::SetConfig8(uint16_t offset, uint8_t value) {
  SetDescribed(offset, 1, value);
  return *this;
}
PciFunction &PciFunction::SetConfig16(uint16_t offset, uint16_t value) {
  SetDescribed(offset, 2, value);
  return *this;
}
PciFunction &PciFunction::SetConfig32(uint16_t offset, uint32_t value) {
  SetDescribed(offset, 4, value);
  return *this;
}

PciFunction &PciFunction::SetConfigBytes(uint16_t offset, std::span<const uint8_t> bytes) {
  for (size_t i = 0; i < bytes.size(); ++i) {
    SetDescribed(static_cast<uint16_t>(offset + i), 1, bytes[i]);
  }
  return *this;
}

PciFunction &PciFunction::SetWritable(uint16_t offset, unsigned width, uint32_t mask) {
  if (offset + width / 8 > kConfigSize) {
    MachineMisuse("configuration offset 0x%x beyond 4 KiB", static_cast<unsigned>(offset));
  }
  for (unsigned i = 0; i < width / 8; ++i)
    writable_[offset + i] = static_cast<uint8_t>(mask >> (8 * i));
  return *this;
}

PciFunction &PciFunction::SetClass(uint8_t baseClass, uint8_t subClass, uint8_t progIf) {
  SetConfig8(0x09, progIf);
  SetConfig8(0x0A, subClass);
  return SetConfig8(0x0B, baseClass);
}

PciFunction &PciFunction::SetRomBase(uint32_t value, uint32_t size) {
  if (size < 0x800 || (size & (size - 1)) != 0) MachineMisuse("ROM size 0x%x", size);
  uint16_t offset = bridge_ ? 0x38 : 0x30;
  SetConfig32(offset, value);
  return SetWritable(offset, 32, (~(size - 1) & 0xFFFFF800u) | 1);
}

PciFunction &PciFunction::SetBusNumbers(uint8_t primary, uint8_t secondary, uint8_t subordinate) {
  SetConfig8(0x18, primary);
  SetConfig8(0x19, secondary);
  return SetConfig8(0x1A, subordinate);
}

PciFunction::Bar &PciFunction::BarAt(unsigned index) {
  if (index >= BarCount()) MachineMisuse("BAR %u of a function with %u BARs", index, BarCount());
  return bars_[index];
}

PciFunction &PciFunction::SetBar32(unsigned index, uint32_t base, uint32_t size,
                                   bool prefetchable) {
  if (size < 16 || (size & (size - 1)) != 0) MachineMisuse("BAR size 0x%x", size);
  Bar &bar = BarAt(index);
  bar.size = size;
  bar.is64 = false;
  Registers(index);
  uint16_t offset = static_cast<uint16_t>(0x10 + 4 * index);
  SetConfig32(offset, (base & ~0xFu) | (prefetchable ? 0x8 : 0));
  return SetWritable(offset, 32, ~(size - 1) & ~0xFu);
}

PciFunction &PciFunction::SetBar64(unsigned index, uint64_t base, uint64_t size,
                                   bool prefetchable) {
  if (size < 16 || (size & (size - 1)) != 0) {
    MachineMisuse("BAR size 0x%llx", static_cast<unsigned long long>(size));
  }
  Bar &bar = BarAt(index);
  BarAt(index + 1);  // the upper half must exist
  bar.size = size;
  bar.is64 = true;
  Registers(index);
  uint16_t offset = static_cast<uint16_t>(0x10 + 4 * index);
  SetConfig32(offset,
              static_cast<uint32_t>(base & ~uint64_t{0xF}) | 0x4 | (prefetchable ? 0x8 : 0));
  SetConfig32(offset + 4, static_cast<uint32_t>(base >> 32));
  SetWritable(offset, 32, static_cast<uint32_t>(~(size - 1)) & ~0xFu);
  return SetWritable(offset + 4, 32, static_cast<uint32_t>(~(size - 1) >> 32));
}

RegisterWindow &PciFunction::Registers(unsigned barIndex) {
  Bar &bar = BarAt(barIndex);
  if (!bar.registers) bar.registers = std::make_unique<RegisterWindow>();
  return *bar.registers;
}

PciFunction &PciFunction::SetBarDevice(unsigned barIndex, MmioDevice &device) {
  BarAt(barIndex).device = &device;
  return *this;
}

PciFunction &PciFunction::AddCapability(uint8_t id, std::span<const uint8_t> body, uint8_t offset) {
  uint16_t at = offset != 0 ? offset : static_cast<uint16_t>((nextCapability_ + 3) & ~3u);
  if (at < 0x40 || at + 2 + body.size() > 0x100) {
    MachineMisuse("capability 0x%x at 0x%x does not fit in the standard header space",
                  static_cast<unsigned>(id), static_cast<unsigned>(at));
  }
  SetConfig8(at, id);
  SetConfig8(static_cast<uint16_t>(at + 1), 0);
  SetConfigBytes(static_cast<uint16_t>(at + 2), body);
  SetConfig8(lastCapability_ == 0 ? kCapabilityPointer : static_cast<uint16_t>(lastCapability_ + 1),
             static_cast<uint8_t>(at));
  SetConfig8(kStatus, Config8(kStatus) | kStatusCapabilityList);
  lastCapability_ = static_cast<uint8_t>(at);
  nextCapability_ =
      std::max<uint16_t>(nextCapability_, static_cast<uint16_t>(at + 2 + body.size()));
  return *this;
}

VpdCapability &PciFunction::AddVpdCapability(std::vector<uint8_t> image, uint8_t offset) {
  if (vpd_) MachineMisuse("a second VPD capability");
  const uint8_t registers[6] = {};
  AddCapability(kVpdCapabilityId, registers, offset);
  vpd_.reset(new VpdCapability(lastCapability_));
  vpd_->SetImage(std::move(image));
  SetWritable(static_cast<uint16_t>(lastCapability_ + 2), 16, 0xFFFF);
  SetWritable(static_cast<uint16_t>(lastCapability_ + 4), 32, 0xFFFFFFFF);
  return *vpd_;
}

uint16_t PciFunction::Config16(uint16_t offset) const {
  return static_cast<uint16_t>(Config8(offset) | Config8(offset + 1) << 8);
}

uint32_t PciFunction::Config32(uint16_t offset) const {
  return static_cast<uint32_t>(Config16(offset)) | static_cast<uint32_t>(Config16(offset + 2))
                                                       << 16;
}

void PciFunction::SetLive32(uint16_t offset, uint32_t value) {
  for (unsigned i = 0; i < 4; ++i) live_[offset + i] = static_cast<uint8_t>(value >> (8 * i));
}

uint32_t PciFunction::ConfigRead(uint16_t offset, unsigned width) {
  unsigned bytes = width / 8;
  if (offset < kConfigSize) {
    BeforeRead(offset,
               static_cast<uint16_t>(std::min<unsigned>(offset + bytes - 1, kConfigSize - 1)));
  }
  uint32_t value = 0;
  for (unsigned i = 0; i < bytes; ++i) {
    value |= static_cast<uint32_t>(Config8(static_cast<uint16_t>(offset + i))) << (8 * i);
  }
  return value;
}

void PciFunction::ConfigWrite(uint16_t offset, unsigned width, uint32_t value) {
  if (offset >= kConfigSize) return;
  unsigned bytes = std::min<unsigned>(width / 8, kConfigSize - offset);
  BeforeWrite(offset, static_cast<uint16_t>(offset + bytes - 1));
  for (unsigned i = 0; i < bytes; ++i) {
    uint8_t mask = writable_[offset + i];
    uint8_t byte = static_cast<uint8_t>(value >> (8 * i));
    live_[offset + i] = static_cast<uint8_t>((live_[offset + i] & ~mask) | (byte & mask));
  }
  AfterWrite(offset, static_cast<uint16_t>(offset + bytes - 1));
}

void PciFunction::BeforeRead(uint16_t first, uint16_t last) {
  if (!vpd_ || !vpd_->busy_) return;
  uint16_t address = static_cast<uint16_t>(vpd_->offset_ + 2);
  if (!Overlaps(first, last, address, address + 1)) return;
  if (vpd_->completionReads_ == VpdCapability::kNever) return;
  if (!vpd_->writing_ && vpd_->address_ >= vpd_->stopsCompletingAt_) return;
  if (vpd_->readsLeft_ > 0) {
    --vpd_->readsLeft_;
    return;
  }
  CompleteVpd();
}

void PciFunction::AfterWrite(uint16_t first, uint16_t last) {
  if (!vpd_) return;
  uint16_t address = static_cast<uint16_t>(vpd_->offset_ + 2);
  if (!Overlaps(first, last, address, address + 1)) return;
  uint16_t request = Config16(address);
  vpd_->address_ = request & 0x7FFF;
  vpd_->writing_ = (request & 0x8000) != 0;
  vpd_->busy_ = true;
  vpd_->readsLeft_ = vpd_->completionReads_;
  vpd_->requests_++;
}

void PciFunction::CompleteVpd() {
  VpdCapability &vpd = *vpd_;
  uint16_t data = static_cast<uint16_t>(vpd.offset_ + 4);
  uint16_t flagByte = static_cast<uint16_t>(vpd.offset_ + 3);
  if (vpd.writing_) {
    for (unsigned i = 0; i < 4; ++i) {
      size_t at = vpd.address_ + i;
      if (at < vpd.image_.size()) vpd.image_[at] = live_[data + i];
    }
    live_[flagByte] &= static_cast<uint8_t>(~kVpdDone);
  } else {
    uint32_t dword = 0;
    for (unsigned i = 0; i < 4; ++i) {
      size_t at = vpd.address_ + i;
      dword |= static_cast<uint32_t>(at < vpd.image_.size() ? vpd.image_[at] : 0xFF) << (8 * i);
    }
    SetLive32(data, dword);
    live_[flagByte] |= kVpdDone;
  }
  vpd.busy_ = false;
}

void PciFunction::Restart() {
  live_ = described_;
  if (vpd_) {
    vpd_->busy_ = false;
    vpd_->address_ = 0;
  }
  for (Bar &bar : bars_) {
    if (bar.registers) bar.registers->Restart();
    if (bar.device) bar.device->Restart();
  }
}

bool PciFunction::ClaimMmio(uint64_t address, MmioDevice *&device, uint64_t &offset) const {
  if ((Command() & kCommandMemorySpace) == 0) return false;
  for (unsigned i = 0; i < BarCount(); ++i) {
    const Bar &bar = bars_[i];
    if (bar.size == 0) continue;
    uint16_t reg = static_cast<uint16_t>(0x10 + 4 * i);
    uint64_t base = Config32(reg) & ~uint64_t{0xF};
    if (bar.is64) base |= static_cast<uint64_t>(Config32(reg + 4)) << 32;
    if (base == 0 || address - base >= bar.size) continue;
    device = bar.device != nullptr ? bar.device : bar.registers.get();
    offset = address - base;
    return true;
  }
  return false;
}

}  // namespace sim
