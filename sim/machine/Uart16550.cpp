#include "Uart16550.h"

namespace sim {

namespace {
constexpr unsigned kThr = 0, kIer = 1, kLcr = 3, kLsr = 5;
constexpr uint8_t kLcrDivisorLatch = 0x80;
}  // namespace

bool Uart16550::Bit::Read() {
  switch (readiness.mode) {
    case UartReadiness::Mode::AtOnce:
      return true;
    case UartReadiness::Mode::Never:
      return false;
    case UartReadiness::Mode::AfterReads:
      if (readsLeft == 0) return true;
      --readsLeft;
      return false;
  }
  return false;
}

Uart16550 &Uart16550::SetTransmitReady(UartReadiness readiness) {
  transmitReady_.readiness = readiness;
  transmitReady_.Rearm();
  return *this;
}

Uart16550 &Uart16550::SetTransmitterEmpty(UartReadiness readiness) {
  transmitterEmpty_.readiness = readiness;
  transmitterEmpty_.Rearm();
  return *this;
}

void Uart16550::Restart() {
  registers_.fill(0);
  divisor_ = 0;
  transmitReady_.Rearm();
  transmitterEmpty_.Rearm();
}

// Only the low byte of a register access counts; registers that do not start
// at the offset (a stride of 4 leaves gaps) read as 0.
uint32_t Uart16550::Read(uint64_t offset, unsigned) {
  if (offset % stride_ != 0 || offset / stride_ >= 8) return 0;
  unsigned reg = static_cast<unsigned>(offset / stride_);
  bool latch = (registers_[kLcr] & kLcrDivisorLatch) != 0;
  if (latch && reg == kThr) return divisor_ & 0xFF;
  if (latch && reg == kIer) return divisor_ >> 8;
  if (reg == kThr) return 0;  // receive buffer: nothing arrives
  if (reg == kLsr) {
    ++lsrReads_;
    uint8_t lsr = 0;
    if (transmitReady_.Read()) lsr |= kLsrTransmitReady;
    if (transmitterEmpty_.Read()) lsr |= kLsrTransmitterEmpty;
    return lsr;
  }
  return registers_[reg];
}

void Uart16550::Write(uint64_t offset, unsigned, uint32_t value) {
  if (offset % stride_ != 0 || offset / stride_ >= 8) return;
  unsigned reg = static_cast<unsigned>(offset / stride_);
  uint8_t byte = static_cast<uint8_t>(value);
  bool latch = (registers_[kLcr] & kLcrDivisorLatch) != 0;
  if (latch && reg == kThr) {
    divisor_ = static_cast<uint16_t>((divisor_ & 0xFF00) | byte);
  } else if (latch && reg == kIer) {
    divisor_ = static_cast<uint16_t>((divisor_ & 0x00FF) | byte << 8);
  } else if (reg == kThr) {
    transmitted_.push_back(byte);
    transmitReady_.Rearm();
    transmitterEmpty_.Rearm();
  } else if (reg != kLsr) {
    registers_[reg] = byte;
  }
}

}  // namespace sim
