// Fatal-error trap: POST-code display and the endless scrolling loop.
#include "ErrorTrap.h"

#include "../hw/HwAccess.h"

namespace {

constexpr UINT16 POST_CODE_PORT = 0x80;
constexpr UINT16 POST_CODE_HIGH_PORT = 0xE0;
constexpr UINT16 DEAD_WORD = 0xDEAD;

constexpr UINT32 BACK_DOOR_LEAF = 0xBACCD00B;
constexpr UINT32 BACK_DOOR_ERROR_TRAP_COMMAND = 2;

constexpr UINT32 MSR_PSTATE_STATUS = 0xC0010063;
constexpr UINT32 MSR_PSTATE_DEFINITION_0 = 0xC0010064;

// One frame is 2.5 s at the current core clock.
constexpr UINT64 CORE_CLOCK_HZ_PER_FREQUENCY_ID = 200000000;
constexpr UINT64 FRAME_MICROSECONDS = 2500000;
constexpr UINT64 MICROSECONDS_PER_SECOND = 1000000;

constexpr UINT64 RotateLeft64(UINT64 Value, UINT32 Bits) {
  return (Value << Bits) | (Value >> (64 - Bits));
}

// Time-stamp ticks of one frame at the current P-state, assuming the counter
// runs at the core clock.
UINT64 FrameTicks() {
  UINT32 PState = static_cast<UINT32>(HwReadMsr(MSR_PSTATE_STATUS) & 0x7);
  UINT64 Definition = HwReadMsr(MSR_PSTATE_DEFINITION_0 + PState);
  UINT64 FrequencyId = Definition & 0xFF;
  UINT64 DivisorId = (Definition >> 8) & 0x3F;
  if (DivisorId == 0) {
    DivisorId = 1;
  }
  UINT64 CoreClockHz = (FrequencyId * CORE_CLOCK_HZ_PER_FREQUENCY_ID) / DivisorId;
  return CoreClockHz * FRAME_MICROSECONDS / MICROSECONDS_PER_SECOND;
}

VOID WaitOneFrame() {
  UINT64 Ticks = FrameTicks();
  UINT64 Start = HwReadTsc();
  // Elapsed ticks rather than an end value, so a counter wrap cannot end the
  // frame early or stretch it.
  do {
    HwPause();
  } while (HwReadTsc() - Start <= Ticks);
}

}  // namespace

UINT16 BackDoorQuery(UINT32 Value) {
  return HwCpuidBackDoor(BACK_DOOR_LEAF, BACK_DOOR_ERROR_TRAP_COMMAND, Value);
}

VOID ErrorTrap(UINT32 ErrorCode) {
  HwIoWrite16(POST_CODE_HIGH_PORT, DEAD_WORD);
  HwIoWrite32(POST_CODE_PORT, ErrorCode);
  if (BackDoorQuery(ErrorCode) != 0) {
    return;
  }

  // From the top byte down: DE AD, the four code bytes, 00 00. Six 8-bit
  // rotations show each window of it in turn; 16 more bits close the circle.
  UINT64 Pattern = (0xFFFFDEAD00000000ULL | ErrorCode) << 16;
  for (;;) {
    for (UINT32 Frame = 0; Frame < 6; Frame++) {
      Pattern = RotateLeft64(Pattern, 8);
      HwIoWrite32(POST_CODE_PORT, static_cast<UINT32>(Pattern));
      WaitOneFrame();
    }
    Pattern = RotateLeft64(Pattern, 16);
  }
}
