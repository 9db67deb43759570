// Every fatal-error code of the driver's library layer. The upper 16 bits
// name the library that raises a code (0x1 width-coded access, 0x7 heap-buffer
// list, 0x9 S3 save library), the lower 16 bits the site within it. ErrorTrap
// shows a code unchanged on the POST-code port.
#pragma once
#include "../uefi/UefiBase.h"

// Width-coded access: a width code outside 1, 2, 3, 0x81, 0x82, 0x83.
inline constexpr UINT32 ERROR_TRAP_WIDTH_IO_READ = 0x10133;
inline constexpr UINT32 ERROR_TRAP_WIDTH_IO_WRITE = 0x10170;
inline constexpr UINT32 ERROR_TRAP_WIDTH_MEM_READ = 0x10314;
inline constexpr UINT32 ERROR_TRAP_WIDTH_MEM_WRITE = 0x10355;

// Heap-buffer list.
inline constexpr UINT32 ERROR_TRAP_HEAP_NODE_RUNTIME_POOL = 0x70177;
inline constexpr UINT32 ERROR_TRAP_HEAP_NODE_BOOT_POOL = 0x70180;
inline constexpr UINT32 ERROR_TRAP_HEAP_LIST_PUBLISH = 0x70268;

// S3 save library.
inline constexpr UINT32 ERROR_TRAP_S3_TABLE_SIGNATURE = 0x90672;
inline constexpr UINT32 ERROR_TRAP_S3_TABLE_BOUNDARY = 0x90677;
inline constexpr UINT32 ERROR_TRAP_S3_SMM_BUFFER_TOKEN = 0x90821;
inline constexpr UINT32 ERROR_TRAP_S3_SMM_COMMUNICATION = 0x90835;
inline constexpr UINT32 ERROR_TRAP_S3_MMIO_CONFIG_DISABLED = 0x90869;
inline constexpr UINT32 ERROR_TRAP_S3_PRIVATE_DATA_POOL = 0x90875;
inline constexpr UINT32 ERROR_TRAP_S3_BOOT_SCRIPT_LOCK_EVENT = 0x90898;
inline constexpr UINT32 ERROR_TRAP_S3_CLOSE_TABLE_EVENT = 0x90915;

// Library tear-down: closing the S3 save library's events.
inline constexpr UINT32 ERROR_TRAP_TEARDOWN_BOOT_SCRIPT_LOCK_EVENT = 0x90941;
inline constexpr UINT32 ERROR_TRAP_TEARDOWN_CLOSE_TABLE_EVENT = 0x90946;
