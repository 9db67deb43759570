// The simulated machine's record of every hardware access the firmware made,
// in order, with its simulated time. Tests assert exact sequences and counts
// on it; the boot simulator reports it.
#pragma once
#include <cstddef>
#include <cstdint>
#include <functional>
#include <iosfwd>
#include <string>
#include <vector>

namespace sim {

enum class AccessKind : uint8_t {
  IoRead,
  IoWrite,
  MmioRead,
  MmioWrite,
  MsrRead,
  MsrWrite,
  RegisterRead,   // address: 0 DR2, 1 DR3, 2 DR7, 3 CR4
  RegisterWrite,  // (the order of HardwarePlatform::Register)
  CpuidBackDoor,  // address: ECX; value: the answer (SI); aux: EAX | EBX << 32
  TscRead,
  Pause,
  IdtBaseRead,
  DebugToolHandOver,  // address: EDX; value: EAX; aux: EBX
  Stall,              // a stall service of the firmware core; value: microseconds
  Restart,            // the board restarted (reset or Machine::Restart)
};
inline constexpr size_t kAccessKindCount = static_cast<size_t>(AccessKind::Restart) + 1;

const char *AccessKindName(AccessKind kind);
bool IsWriteKind(AccessKind kind);

struct TraceRecord {
  AccessKind kind = AccessKind::IoRead;
  uint8_t width = 0;  // bits: 8, 16, 32 for ports and MMIO, 64 for MSRs and registers
  uint64_t address = 0;
  uint64_t value = 0;
  uint64_t aux = 0;
  uint64_t timeNs = 0;  // simulated time when the access started
  // Identical reads in a row (a polling loop) share one record; this counts
  // them. Every other record has repeat 1.
  uint64_t repeat = 1;

  bool SameAccess(const TraceRecord &other) const {
    return kind == other.kind && width == other.width && address == other.address &&
           value == other.value && aux == other.aux;
  }
  std::string ToString() const;
};
std::ostream &operator<<(std::ostream &out, const TraceRecord &record);

class AccessTrace {
 public:
  static constexpr size_t kDefaultCapacity = size_t{1} << 20;

  void Add(const TraceRecord &record);
  void Clear();

  // Records kept; beyond the capacity records are dropped (Truncated()) but
  // still counted.
  const std::vector<TraceRecord> &Records() const { return records_; }
  size_t Capacity() const { return capacity_; }
  void SetCapacity(size_t records) { capacity_ = records; }
  bool Truncated() const { return truncated_; }

  // A position in the trace; pass it as `from` to look only at later records.
  size_t Mark() const { return records_.size(); }
  std::vector<TraceRecord> Since(size_t from) const;

  // Every access of a kind so far, repeats included, dropped records too.
  uint64_t Count(AccessKind kind) const { return counts_[static_cast<size_t>(kind)]; }
  // Accesses of a kind at one address (port, MMIO address, MSR, register),
  // repeats included, among the kept records from `from` on.
  uint64_t Count(AccessKind kind, uint64_t address, size_t from = 0) const;

  std::vector<TraceRecord> Select(AccessKind kind, size_t from = 0) const;
  std::vector<TraceRecord> Select(AccessKind kind, uint64_t address, size_t from = 0) const;
  std::vector<TraceRecord> Where(const std::function<bool(const TraceRecord &)> &keep,
                                 size_t from = 0) const;
  // Values of the accesses of a kind at one address, one per access (a
  // repeated read appears `repeat` times).
  std::vector<uint64_t> Values(AccessKind kind, uint64_t address, size_t from = 0) const;

  std::vector<TraceRecord> IoWrites(uint16_t port, size_t from = 0) const {
    return Select(AccessKind::IoWrite, port, from);
  }
  std::vector<TraceRecord> IoReads(uint16_t port, size_t from = 0) const {
    return Select(AccessKind::IoRead, port, from);
  }
  std::vector<TraceRecord> MmioWrites(uint64_t address, size_t from = 0) const {
    return Select(AccessKind::MmioWrite, address, from);
  }
  std::vector<TraceRecord> MmioReads(uint64_t address, size_t from = 0) const {
    return Select(AccessKind::MmioRead, address, from);
  }

  // "IoRead 12, IoWrite 3, ..." for the kinds seen.
  std::string Summary() const;
  // One line per record, at most `limit` records from `from` on.
  std::string Dump(size_t from = 0, size_t limit = 200) const;

 private:
  std::vector<TraceRecord> records_;
  uint64_t counts_[kAccessKindCount] = {};
  size_t capacity_ = kDefaultCapacity;
  bool truncated_ = false;
};

}  // namespace sim
