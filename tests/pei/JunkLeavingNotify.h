// A NotifyPpi service that leaves junk on the stack. The PEI entry calls
// NotifyPpi just before it copies the "Setup" variable into a buffer on its
// stack, and that buffer lies where NotifyPpi's frame was: a byte of the
// copy that nobody writes then reads as junk instead of whatever happened to
// be there. Install() puts it into a foundation's services table in front of
// the foundation's own NotifyPpi.
//
// The junk starts close below the entry's frame only if this frame keeps
// little else: it calls nothing but the foundation's NotifyPpi (same calling
// convention, so no registers of another convention are saved here) and
// carries no sanitizer or coverage calls.
#pragma once
#include <cstddef>
#include <cstdint>

#include "uefi/PiPei.h"

struct JunkLeavingNotify {
  static constexpr size_t kJunkBytes = 16384;
  static inline decltype(EFI_PEI_SERVICES::NotifyPpi) Original = nullptr;
  static inline uint8_t Junk = 0xA5;
  static inline uintptr_t JunkLow = 0;
  static inline uintptr_t JunkHigh = 0;

  static void Install(const EFI_PEI_SERVICES **Services) {
    auto *Table = const_cast<EFI_PEI_SERVICES *>(*Services);
    if (Table->NotifyPpi != NotifyPpi) {
      Original = Table->NotifyPpi;
      Table->NotifyPpi = NotifyPpi;
    }
  }
  // Whether the junk of the last call covered Address.
  static bool Covers(uintptr_t Address) { return Address >= JunkLow && Address < JunkHigh; }

#if defined(__clang__)
  __attribute__((no_sanitize("address", "undefined", "coverage")))
#else
  __attribute__((no_sanitize("address", "undefined")))
#endif
  static EFI_STATUS EFIAPI
  NotifyPpi(const EFI_PEI_SERVICES **Services, const EFI_PEI_NOTIFY_DESCRIPTOR *List) {
    volatile uint8_t Bytes[kJunkBytes];
    for (size_t At = 0; At < kJunkBytes; At++) Bytes[At] = Junk;
    JunkLow = reinterpret_cast<uintptr_t>(&Bytes[0]);
    JunkHigh = JunkLow + kJunkBytes;
    return Original(Services, List);
  }
};
