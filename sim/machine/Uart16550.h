// A 16550-compatible UART as the firmware's debug output sees it: writes to
// the transmit holding register are captured, and the line status register
// (LSR) reports readiness as the board description programs it. Registers
// are `stride` bytes apart: 1 for the I/O-port UART at 0x3F8, 4 for the
// memory-mapped variant. Nothing is received.
#pragma once
#include <array>
#include <cstdint>
#include <string>
#include <vector>

#include "Device.h"

namespace sim {

// When an LSR bit reports ready: at once, after a number of LSR reads that
// still show it clear (counted anew after every transmitted byte), or never.
struct UartReadiness {
  enum class Mode : uint8_t { AtOnce, AfterReads, Never };
  Mode mode = Mode::AtOnce;
  uint32_t reads = 0;

  static UartReadiness AtOnce() { return {}; }
  static UartReadiness AfterReads(uint32_t n) { return {Mode::AfterReads, n}; }
  static UartReadiness Never() { return {Mode::Never, 0}; }
};

class Uart16550 final : public IoDevice, public MmioDevice {
 public:
  static constexpr uint16_t kDefaultPort = 0x3F8;
  static constexpr uint8_t kLsrTransmitReady = 0x20;  // transmit holding register empty
  static constexpr uint8_t kLsrTransmitterEmpty = 0x40;

  explicit Uart16550(unsigned stride = 1) : stride_(stride) {}

  // Readiness of LSR bit 0x20 and, separately, of bit 0x40.
  Uart16550 &SetTransmitReady(UartReadiness readiness);
  Uart16550 &SetTransmitterEmpty(UartReadiness readiness);

  const std::vector<uint8_t> &Transmitted() const { return transmitted_; }
  std::string TransmittedText() const { return {transmitted_.begin(), transmitted_.end()}; }
  void ClearTransmitted() { transmitted_.clear(); }
  uint64_t LsrReads() const { return lsrReads_; }
  unsigned Stride() const { return stride_; }

  uint32_t IoRead(uint16_t offset, unsigned width) override { return Read(offset, width); }
  void IoWrite(uint16_t offset, unsigned width, uint32_t value) override {
    Write(offset, width, value);
  }
  uint32_t MmioRead(uint64_t offset, unsigned width) override { return Read(offset, width); }
  void MmioWrite(uint64_t offset, unsigned width, uint32_t value) override {
    Write(offset, width, value);
  }
  // The line registers go back to 0 and the readiness counts start anew; the
  // captured bytes are kept.
  void Restart() override;

 private:
  struct Bit {
    UartReadiness readiness;
    uint32_t readsLeft = 0;
    void Rearm() {
      readsLeft = readiness.mode == UartReadiness::Mode::AfterReads ? readiness.reads : 0;
    }
    // One LSR read: whether it shows the bit set.
    bool Read();
  };

  uint32_t Read(uint64_t offset, unsigned width);
  void Write(uint64_t offset, unsigned width, uint32_t value);

  unsigned stride_;
  Bit transmitReady_;
  Bit transmitterEmpty_;
  std::array<uint8_t, 8> registers_{};  // IER, IIR/FCR, LCR, MCR, LSR, MSR, SCR by number
  uint16_t divisor_ = 0;
  std::vector<uint8_t> transmitted_;
  uint64_t lsrReads_ = 0;
};

}  // namespace sim
