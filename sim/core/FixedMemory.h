// The simulated platform's RAM at fixed addresses of the simulator's own
// process: loaded images, the pool and the stack the images run on. Fixed
// addresses make every boot place the driver's records at the same
// addresses, so reports repeat byte for byte; the same addresses serve the
// image on the emulated processor, which shares this memory.
#pragma once
#include <sys/mman.h>

#include <cerrno>
#include <cstdint>
#include <cstring>
#include <stdexcept>
#include <string>

namespace sim {

// Below 4 GiB, clear of ECAM (0xE0000000) and the BAR windows boards use,
// and inside the application range the sanitizers leave free.
inline constexpr uint64_t kDxeImageBase = 0x10000000;
inline constexpr uint64_t kDxeImageSpan = 0x01000000;
inline constexpr uint64_t kPoolArenaBase = 0x11000000;
inline constexpr uint64_t kPoolArenaSize = 0x04000000;
inline constexpr uint64_t kImageStackBase = 0x15000000;
inline constexpr uint64_t kImageStackSize = 0x00100000;
// The PEI module, in the 32-bit runner's address space.
inline constexpr uint32_t kPeiImageBase = 0x10000000;

// Anonymous read-write memory at exactly `address`, released on
// destruction. Throws std::runtime_error when the range is taken.
class FixedMemory {
 public:
  FixedMemory(uint64_t address, uint64_t size, bool executable = false) : size_(size) {
    const int protection = PROT_READ | PROT_WRITE | (executable ? PROT_EXEC : 0);
    void *mapped =
        mmap(reinterpret_cast<void *>(static_cast<uintptr_t>(address)), static_cast<size_t>(size),
             protection, MAP_PRIVATE | MAP_ANONYMOUS | MAP_FIXED_NOREPLACE, -1, 0);
    if (mapped == MAP_FAILED || reinterpret_cast<uintptr_t>(mapped) != address) {
      const std::string reason = mapped == MAP_FAILED ? std::strerror(errno) : "placed elsewhere";
      if (mapped != MAP_FAILED) munmap(mapped, static_cast<size_t>(size));
      char text[96];
      std::snprintf(text, sizeof text, "memory at 0x%llX (0x%llX bytes) is not available: ",
                    static_cast<unsigned long long>(address),
                    static_cast<unsigned long long>(size));
      throw std::runtime_error(text + reason);
    }
    base_ = static_cast<uint8_t *>(mapped);
  }
  ~FixedMemory() { munmap(base_, static_cast<size_t>(size_)); }
  FixedMemory(const FixedMemory &) = delete;
  FixedMemory &operator=(const FixedMemory &) = delete;

  uint8_t *Base() const { return base_; }
  uint64_t Address() const { return reinterpret_cast<uintptr_t>(base_); }
  uint64_t Size() const { return size_; }

 private:
  uint8_t *base_ = nullptr;
  uint64_t size_;
};

}  // namespace sim
