// What the test application and the host harness that drives the emulator
// agree on. The application stops after loading the driver, writes the
// "harness.wait" line to the debug console and waits until the harness,
// having set its breakpoints in the loaded driver, writes the board to show
// into the plan word that line names.
#pragma once

// The boards the application shows the driver. Both have the same tokens;
// they differ in the S3 save table another module hands the S3 save library.
inline constexpr unsigned FIRMWARE_VM_BOARD_UNSET = 0;
inline constexpr unsigned FIRMWARE_VM_BOARD_SOUND_TABLE = 1;
inline constexpr unsigned FIRMWARE_VM_BOARD_BAD_SIGNATURE = 2;

// The broken table's signature: "XS3T" in memory order instead of "AS3T".
inline constexpr unsigned FIRMWARE_VM_BAD_TABLE_SIGNATURE = 0x54335358;
