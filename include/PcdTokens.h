// Configuration-database token numbers shared by both modules. Plain local
// token numbers, used without a token-space GUID; a number names the same
// item in PEI and DXE.
#pragma once
#include "../uefi/UefiBase.h"

enum : UINTN {
  PCD_TOKEN_ROOT_PORT1_LOCATION = 1,        // 32-bit, root-port location of port 1
  PCD_TOKEN_FUNCTION_SELECT = 3,            // 8-bit, function numbers / VPD selector
  PCD_TOKEN_BOARD_TYPE = 4,                 // 8-bit, written in PEI
  PCD_TOKEN_SETUP_ITEM_1779_SELECT = 445,   // 8-bit, compared with 1
  PCD_TOKEN_BOARD_ID_LOW = 446,             // 8-bit, bits 0-2 of identification byte 2
  PCD_TOKEN_BOARD_ID_MID = 447,             // 8-bit, bits 3-5 of identification byte 2
  PCD_TOKEN_BOARD_ID_HIGH = 442,            // 8-bit, bits 6-7 of identification byte 2
  PCD_TOKEN_BOARD_REVISION = 443,           // 8-bit, bits 4-5 of byte 1, reversed
  PCD_TOKEN_ROOT_PORT2_LOCATION = 449,      // 32-bit
  PCD_TOKEN_ROOT_PORT3_LOCATION = 450,      // 32-bit
  PCD_TOKEN_ROOT_PORT4_LOCATION = 451,      // 32-bit
  PCD_TOKEN_SETUP_OPTION = 501,             // 64-bit, 0xFF when the Setup option is set
  PCD_TOKEN_S3_LIB_PRIVATE_DATA = 584,      // 64-bit, address of the shared S3 record
  PCD_TOKEN_SMM_COMMUNICATION_BUFFER = 585  // 64-bit, address of the 40-byte buffer
};
