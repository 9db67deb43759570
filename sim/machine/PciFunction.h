// One PCI function of the simulated machine: 4 KiB of configuration space
// reached through ECAM and through ports 0xCF8/0xCFC. The board description
// sets its header (IDs, class, subsystem word, BARs, expansion ROM base,
// bridge bus numbers), its capability list and any extended configuration
// bytes; the firmware reads it and writes the writable registers. A restart
// of the board brings every register back to its described value.
#pragma once
#include <array>
#include <compare>
#include <cstdint>
#include <initializer_list>
#include <memory>
#include <span>
#include <vector>

#include "Device.h"
#include "RegisterWindow.h"

namespace sim {

struct PciAddress {
  uint8_t bus = 0;
  uint8_t device = 0;    // 0 to 31
  uint8_t function = 0;  // 0 to 7

  // From a 16-bit bus/device/function word: bus 15:8, device 7:3, function 2:0.
  static constexpr PciAddress FromBdf(uint16_t bdf) {
    return {static_cast<uint8_t>(bdf >> 8), static_cast<uint8_t>((bdf >> 3) & 0x1F),
            static_cast<uint8_t>(bdf & 7)};
  }
  constexpr uint16_t Bdf() const {
    return static_cast<uint16_t>(bus << 8 | (device & 0x1F) << 3 | (function & 7));
  }
  auto operator<=>(const PciAddress &) const = default;
};

// The VPD capability (ID 0x03): the address register at +2 and the data
// register at +4. Writing the address with bit 15 clear asks for the dword at
// that VPD address; bit 15 reads set once the request completes, after a
// programmable number of address-register reads that still show it clear,
// and the data register then holds the dword. Writing bit 15 set stores the
// data register at the address; bit 15 then reads clear once done.
class VpdCapability {
 public:
  static constexpr uint32_t kNever = UINT32_MAX;

  uint8_t Offset() const { return offset_; }
  // The VPD contents; addresses beyond the image read 0xFF.
  VpdCapability &SetImage(std::vector<uint8_t> image) {
    image_ = std::move(image);
    return *this;
  }
  const std::vector<uint8_t> &Image() const { return image_; }
  // Address-register reads after a request that still show it pending
  // (0: the first read shows it done; kNever: it never completes).
  VpdCapability &SetCompletionReads(uint32_t reads) {
    completionReads_ = reads;
    return *this;
  }
  // Read requests for this VPD address and above never complete (a device
  // that stops answering part-way through its VPD).
  VpdCapability &SetStopsCompletingAt(uint16_t address) {
    stopsCompletingAt_ = address;
    return *this;
  }
  uint64_t Requests() const { return requests_; }

 private:
  friend class PciFunction;
  explicit VpdCapability(uint8_t offset) : offset_(offset) {}

  uint8_t offset_;
  std::vector<uint8_t> image_;
  uint32_t completionReads_ = 0;
  uint32_t stopsCompletingAt_ = UINT32_MAX;
  bool busy_ = false;
  bool writing_ = false;
  uint16_t address_ = 0;
  uint32_t readsLeft_ = 0;
  uint64_t requests_ = 0;
};

class PciFunction {
 public:
  static constexpr uint16_t kConfigSize = 4096;
  static constexpr uint16_t kCommandMemorySpace = 0x2;
  static constexpr uint16_t kCommandBusMaster = 0x4;

  PciFunction(PciAddress address, uint32_t idWord, bool bridge);
  virtual ~PciFunction() = default;
  PciFunction(const PciFunction &) = delete;
  PciFunction &operator=(const PciFunction &) = delete;

  PciAddress Address() const { return address_; }
  bool IsBridge() const { return bridge_; }

  // --- Board description (takes effect at once and survives restarts) ---
  // Vendor ID in bits 15:0, device ID in bits 31:16.
  PciFunction &SetIdWord(uint32_t idWord) { return SetConfig32(0x00, idWord); }
  PciFunction &SetClass(uint8_t baseClass, uint8_t subClass = 0, uint8_t progIf = 0);
  PciFunction &SetRevision(uint8_t revision) { return SetConfig8(0x08, revision); }
  // Offset 0x2C: subsystem vendor ID in bits 15:0, subsystem ID in bits 31:16.
  PciFunction &SetSubsystemWord(uint32_t word) { return SetConfig32(0x2C, word); }
  PciFunction &SetCommand(uint16_t command) { return SetConfig16(0x04, command); }
  // Expansion ROM base register (0x30, or 0x38 on a bridge); `size` decides
  // which address bits the firmware can write.
  PciFunction &SetRomBase(uint32_t value, uint32_t size = 0x10000);
  PciFunction &SetBusNumbers(uint8_t primary, uint8_t secondary, uint8_t subordinate);
  // Memory BARs; `size` is a power of two of at least 16. The BAR's window
  // holds the device registers (Registers()) and answers while memory space
  // decoding (command bit 1) is on and the BAR is not 0.
  PciFunction &SetBar32(unsigned index, uint32_t base, uint32_t size, bool prefetchable = false);
  PciFunction &SetBar64(unsigned index, uint64_t base, uint64_t size, bool prefetchable = true);
  RegisterWindow &Registers(unsigned barIndex);
  PciFunction &SetRegisterBytes(unsigned barIndex, uint64_t offset,
                                std::initializer_list<uint8_t> bytes) {
    Registers(barIndex).SetBytes(offset, bytes);
    return *this;
  }
  // A device model of its own behind a BAR instead of plain register bytes.
  PciFunction &SetBarDevice(unsigned barIndex, MmioDevice &device);
  // Appends a capability to the list (linked in the order added); `body`
  // follows the ID and next-pointer bytes. Offset 0 places it after the
  // previous one, from 0x40 on.
  PciFunction &AddCapability(uint8_t id, std::span<const uint8_t> body = {}, uint8_t offset = 0);
  VpdCapability &AddVpdCapability(std::vector<uint8_t> image, uint8_t offset = 0);
  VpdCapability *Vpd() { return vpd_.get(); }
  // Raw configuration bytes (e.g. extended configuration space from 0x100 on),
  // read-only to the firmware unless made writable.
  PciFunction &SetConfigBytes(uint16_t offset, std::span<const uint8_t> bytes);
  PciFunction &SetConfigBytes(uint16_t offset, std::initializer_list<uint8_t> bytes) {
    return SetConfigBytes(offset, std::span<const uint8_t>(bytes.begin(), bytes.size()));
  }
  PciFunction &SetConfig8(uint16_t offset, uint8_t value);
  PciFunction &SetConfig16(uint16_t offset, uint16_t value);
  PciFunction &SetConfig32(uint16_t offset, uint32_t value);
  // Which bits of the `width`-bit register at `offset` the firmware can write.
  PciFunction &SetWritable(uint16_t offset, unsigned width, uint32_t mask);

  // --- Inspection of the current state (no side effects) ---
  uint8_t Config8(uint16_t offset) const { return offset < kConfigSize ? live_[offset] : 0xFF; }
  uint16_t Config16(uint16_t offset) const;
  uint32_t Config32(uint16_t offset) const;
  uint16_t Command() const { return Config16(0x04); }

  // --- Firmware accesses through the configuration mechanisms ---
  uint32_t ConfigRead(uint16_t offset, unsigned width);
  void ConfigWrite(uint16_t offset, unsigned width, uint32_t value);
  virtual void Restart();

  // The window of a BAR that decodes `address`, with the offset in it.
  bool ClaimMmio(uint64_t address, MmioDevice *&device, uint64_t &offset) const;

 protected:
  // Registers with side effects: called for the byte range of each access,
  // before a read composes its value, before a write is merged into the
  // register bytes and after it has been stored.
  virtual void BeforeRead(uint16_t first, uint16_t last);
  virtual void BeforeWrite(uint16_t, uint16_t) {}
  virtual void AfterWrite(uint16_t first, uint16_t last);
  void SetLive32(uint16_t offset, uint32_t value);

 private:
  struct Bar {
    uint64_t size = 0;
    bool is64 = false;
    std::unique_ptr<RegisterWindow> registers;
    MmioDevice *device = nullptr;
  };
  unsigned BarCount() const { return bridge_ ? 2 : 6; }
  Bar &BarAt(unsigned index);
  void SetDescribed(uint16_t offset, unsigned bytes, uint32_t value);
  void CompleteVpd();

  PciAddress address_;
  bool bridge_;
  std::array<uint8_t, kConfigSize> described_{};
  std::array<uint8_t, kConfigSize> live_{};
  std::array<uint8_t, kConfigSize> writable_{};
  std::array<Bar, 6> bars_;
  uint8_t lastCapability_ = 0;
  uint16_t nextCapability_ = 0x40;
  std::unique_ptr<VpdCapability> vpd_;
};

}  // namespace sim
