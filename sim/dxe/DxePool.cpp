// The simulated DXE core's pool: every block is a host allocation or a
// block of a fixed-address arena (in both cases the sanitizers see
// overruns), filled with a non-zero pattern (a driver cannot
// rely on zeroed pool), and tracked by address so invalid and double frees
// are caught.
#include <algorithm>
#include <cstdlib>
#include <cstring>
#include <iterator>

#if defined(__SANITIZE_ADDRESS__)
#include <sanitizer/asan_interface.h>
#else
#define ASAN_POISON_MEMORY_REGION(address, size) ((void)(address), (void)(size))
#define ASAN_UNPOISON_MEMORY_REGION(address, size) ((void)(address), (void)(size))
#endif

#include "DxeCoreInternal.h"

namespace sim {

namespace {

constexpr uint8_t kFreshPoolByte = 0xAF;
// Larger requests fail as exhausted pool instead of exhausting the host.
constexpr size_t kLargestPoolBlock = size_t{1} << 30;
// Arena blocks: aligned as pool, with a gap after each that the sanitizers
// treat as out of bounds.
constexpr size_t kArenaAlignment = 16;
constexpr size_t kArenaGap = 16;

bool IsPoolType(EFI_MEMORY_TYPE type) {
  uint32_t value = type;
  if (value >= 0x70000000u) {
    return true;  // OEM and operating-system defined types
  }
  return value < EfiMaxMemoryType && value != EfiConventionalMemory &&
         value != EfiPersistentMemory && value != EfiUnacceptedMemoryType;
}

}  // namespace

void *DxeCore::AllocatePoolBlock(EFI_MEMORY_TYPE type, size_t size) {
  void *address = nullptr;
  if (arena_ != nullptr) {
    const size_t start = (arena_used_ + kArenaGap + kArenaAlignment - 1) & ~(kArenaAlignment - 1);
    if (start > arena_->size || size > arena_->size - start) {
      return nullptr;
    }
    address = arena_->base + start;
    arena_used_ = start + size;
    ASAN_UNPOISON_MEMORY_REGION(address, size);
  } else {
    address = std::malloc(size != 0 ? size : 1);
    if (address == nullptr) {
      std::abort();
    }
  }
  std::memset(address, kFreshPoolByte, size);
  pool_[address] = PoolBlock{address, size, type, ++serial_};
  released_.erase(address);
  return address;
}

void DxeCore::SetPoolArena(PoolArena arena) {
  arena_storage_ = arena;
  arena_ = &arena_storage_;
  arena_used_ = 0;
  ASAN_POISON_MEMORY_REGION(arena.base, arena.size);
}

void DxeCore::ReleasePoolArena() {
  if (arena_ != nullptr) {
    ASAN_UNPOISON_MEMORY_REGION(arena_->base, arena_->size);
  }
}

void *DxeCore::AllocatePoolForPlatform(EFI_MEMORY_TYPE type, size_t size) {
  return AllocatePoolBlock(type, size);
}

std::vector<PoolBlock> DxeCore::LiveAllocations() const {
  std::vector<PoolBlock> blocks;
  for (const auto &[address, block] : pool_) {
    blocks.push_back(block);
  }
  std::sort(blocks.begin(), blocks.end(),
            [](const PoolBlock &a, const PoolBlock &b) { return a.serial < b.serial; });
  return blocks;
}

EFI_STATUS DxeCore::AllocatePoolService(EFI_MEMORY_TYPE type, UINTN size, VOID **buffer) {
  CallScope call(*this, Service::AllocatePool, TPL_NOTIFY);
  call.Arg(0, type);
  call.Arg(1, size);
  if (call.Fault()) {
    if (buffer != nullptr) {
      *buffer = nullptr;
    }
    return call.Return(*call.Fault());
  }
  if (buffer == nullptr || !IsPoolType(type)) {
    return call.Return(EFI_INVALID_PARAMETER);
  }
  if (size > kLargestPoolBlock) {
    *buffer = nullptr;
    return call.Return(EFI_OUT_OF_RESOURCES);
  }
  *buffer = AllocatePoolBlock(type, size);
  if (*buffer == nullptr) {
    return call.Return(EFI_OUT_OF_RESOURCES);
  }
  call.Arg(2, reinterpret_cast<uintptr_t>(*buffer));
  return call.Return(EFI_SUCCESS);
}

EFI_STATUS DxeCore::FreePoolService(VOID *buffer) {
  CallScope call(*this, Service::FreePool, TPL_NOTIFY);
  call.Arg(0, reinterpret_cast<uintptr_t>(buffer));
  if (call.Fault()) {
    return call.Return(*call.Fault());
  }
  if (buffer == nullptr) {
    return call.Return(EFI_INVALID_PARAMETER);
  }
  auto found = pool_.find(buffer);
  if (found == pool_.end()) {
    auto released = released_.find(buffer);
    auto after = pool_.upper_bound(buffer);
    if (released != released_.end()) {
      Error(Format("FreePool: double free of %p (allocation #%llu)", buffer,
                   static_cast<unsigned long long>(released->second)));
    } else if (after != pool_.begin() && static_cast<const uint8_t *>(buffer) <
                                             static_cast<const uint8_t *>(std::prev(after)->first) +
                                                 std::prev(after)->second.size) {
      Error(Format("FreePool: %p points inside the block at %p", buffer,
                   std::prev(after)->second.address));
    } else {
      Error(Format("FreePool: %p was not allocated from pool", buffer));
    }
    return call.Return(EFI_INVALID_PARAMETER);
  }
  PoolBlock block = found->second;
  const auto *bytes = static_cast<const uint8_t *>(block.address);
  freed_blocks_.push_back(FreedBlock{block, std::vector<uint8_t>(bytes, bytes + block.size)});
  pool_.erase(found);
  released_[block.address] = block.serial;
  if (arena_ != nullptr) {
    ASAN_POISON_MEMORY_REGION(block.address, block.size);
  } else {
    std::free(block.address);
  }
  return call.Return(EFI_SUCCESS);
}

}  // namespace sim
