// Configuration-database tokens shared by both modules. Plain local token
// numbers, used without a token-space GUID; a number names the same item in
// PEI and DXE. PCD_TOKENS is the one list of them all, with width and name.
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

// Board types (the value of PCD_TOKEN_BOARD_TYPE) that the DXE driver
// treats in their own way.
enum : UINT8 {
  BOARD_TYPE_SINGLE_PORT = 5,         // port 1 only; its controller's class is checked
  BOARD_TYPE_SHARED_VPD = 7,          // the port-1 device's VPD holds the others' addresses
  BOARD_TYPE_NO_ONBOARD_NETWORK = 8,  // no MAC address is collected
  BOARD_TYPE_LINK_RETRY_A = 12,       // reset while an onboard controller is missing
  BOARD_TYPE_LINK_RETRY_B = 14        // the same
};

// Who gives a token its value in a boot.
enum PCD_TOKEN_WRITER : UINT8 {
  PcdWrittenOutside,  // another module or the database's build-time default
  PcdWrittenInPei,    // the PEI module (board identification, Setup option)
  PcdWrittenInDxe     // the DXE driver's S3 save library
};

struct PCD_TOKEN_INFO {
  UINT32 Number;
  UINT8 Size;  // bytes: 1, 4 or 8
  PCD_TOKEN_WRITER Writer;
  CONST CHAR8 *Name;
};

// Every token this system uses, in the order of the board's description.
inline constexpr PCD_TOKEN_INFO PCD_TOKENS[] = {
    {PCD_TOKEN_ROOT_PORT1_LOCATION, 4, PcdWrittenOutside, "root-port location of port 1"},
    {PCD_TOKEN_ROOT_PORT2_LOCATION, 4, PcdWrittenOutside, "root-port location of port 2"},
    {PCD_TOKEN_ROOT_PORT3_LOCATION, 4, PcdWrittenOutside, "root-port location of port 3"},
    {PCD_TOKEN_ROOT_PORT4_LOCATION, 4, PcdWrittenOutside, "root-port location of port 4"},
    {PCD_TOKEN_FUNCTION_SELECT, 1, PcdWrittenOutside, "function select"},
    {PCD_TOKEN_BOARD_TYPE, 1, PcdWrittenInPei, "board type"},
    {PCD_TOKEN_SETUP_ITEM_1779_SELECT, 1, PcdWrittenOutside, "item 1779 select"},
    {PCD_TOKEN_BOARD_ID_LOW, 1, PcdWrittenInPei, "identification byte 2, bits 0-2"},
    {PCD_TOKEN_BOARD_ID_MID, 1, PcdWrittenInPei, "identification byte 2, bits 3-5"},
    {PCD_TOKEN_BOARD_ID_HIGH, 1, PcdWrittenInPei, "identification byte 2, bits 6-7"},
    {PCD_TOKEN_BOARD_REVISION, 1, PcdWrittenInPei, "board revision"},
    {PCD_TOKEN_SETUP_OPTION, 8, PcdWrittenInPei, "Setup option"},
    {PCD_TOKEN_S3_LIB_PRIVATE_DATA, 8, PcdWrittenInDxe, "S3 save library record address"},
    {PCD_TOKEN_SMM_COMMUNICATION_BUFFER, 8, PcdWrittenOutside, "SMM communication buffer address"},
};

inline constexpr UINTN PCD_TOKEN_COUNT = sizeof(PCD_TOKENS) / sizeof(PCD_TOKENS[0]);

// The location tokens of root ports 1 to 4, in port order.
inline constexpr UINTN PCD_ROOT_PORT_LOCATION_TOKENS[] = {
    PCD_TOKEN_ROOT_PORT1_LOCATION, PCD_TOKEN_ROOT_PORT2_LOCATION, PCD_TOKEN_ROOT_PORT3_LOCATION,
    PCD_TOKEN_ROOT_PORT4_LOCATION};
inline constexpr UINT8 ROOT_PORT_COUNT = 4;

// The table's entry of a token, NULL for a token that is not this system's.
constexpr const PCD_TOKEN_INFO *FindPcdToken(UINT64 Number) {
  for (const PCD_TOKEN_INFO &Info : PCD_TOKENS) {
    if (Info.Number == Number) {
      return &Info;
    }
  }
  return NULL;
}

static_assert(FindPcdToken(PCD_TOKEN_BOARD_TYPE)->Size == 1, "board type is one byte");
static_assert(FindPcdToken(PCD_TOKEN_SETUP_OPTION)->Size == 8, "Setup option token is 64-bit");
