// Records of the S3 save library that other firmware modules and SMM code
// see: the private data record shared by address through configuration-
// database token 584, the fields of the S3 save table that the library
// checks and closes, and the message that hands the record to SMM. Their
// layouts are fixed formats with 64-bit addresses, whatever the build width.
#pragma once
#include "../uefi/UefiBase.h"

// 5C4061F0-D051-4F43-BC23-5E5E89B3CEC0: heads the message to the SMM handler.
inline constexpr EFI_GUID gS3SaveSmmGuid = {
    0x5C4061F0, 0xD051, 0x4F43, {0xBC, 0x23, 0x5E, 0x5E, 0x89, 0xB3, 0xCE, 0xC0}};

// The shared private data record: one per boot, in runtime pool, created by
// the first module that starts with the library and never freed.
struct S3_LIB_PRIVATE_DATA {
  UINT8 BootScriptLocked;  // 1 once the DXE SMM ready-to-lock protocol is installed
  UINT8 TableClosed;       // 1 once the table has been handed to SMM
  UINT8 Reserved[6];
  UINT64 TableBase;  // address of the S3 save table, 0 while there is none
};
ASSERT_SIZE(S3_LIB_PRIVATE_DATA, 16, 16);
ASSERT_OFFSET(S3_LIB_PRIVATE_DATA, BootScriptLocked, 0, 0);
ASSERT_OFFSET(S3_LIB_PRIVATE_DATA, TableClosed, 1, 1);
ASSERT_OFFSET(S3_LIB_PRIVATE_DATA, Reserved, 2, 2);
ASSERT_OFFSET(S3_LIB_PRIVATE_DATA, TableBase, 8, 8);

// "AS3T" in memory order.
#define S3_SAVE_TABLE_SIGNATURE 0x54335341U
// The 32-bit value that must stand at TableBase + BoundaryOffset.
#define S3_SAVE_TABLE_BOUNDARY_MARKER 0x01558844U
// The 16-bit mark written at TableBase + EndOffset when the table is closed.
#define S3_SAVE_TABLE_END_MARK 0xFFFFU

// The start of the S3 save table, as far as the library reads it. The bytes
// between Signature and BoundaryOffset and the entries after the header are
// not interpreted here.
struct S3_LIB_TABLE_HEADER {
  UINT32 Signature;
  UINT8 Reserved[28];
  UINT64 BoundaryOffset;  // offset of the 32-bit boundary marker
  UINT64 EndOffset;       // offset of the 16-bit end mark
};
ASSERT_SIZE(S3_LIB_TABLE_HEADER, 48, 48);
ASSERT_OFFSET(S3_LIB_TABLE_HEADER, Signature, 0, 0);
ASSERT_OFFSET(S3_LIB_TABLE_HEADER, BoundaryOffset, 32, 32);
ASSERT_OFFSET(S3_LIB_TABLE_HEADER, EndOffset, 40, 40);

// Request code of the message that hands the record to SMM.
#define S3_SAVE_SMM_REQUEST_CLOSE_TABLE 1U

// The message written into the buffer that token 585 names: an SMM
// communication header (GUID, then the length of the data that follows) with
// 16 bytes of data.
struct S3_SAVE_SMM_MESSAGE {
  EFI_GUID HeaderGuid;   // gS3SaveSmmGuid
  UINT64 MessageLength;  // 16: the bytes from RequestCode on
  UINT32 RequestCode;    // S3_SAVE_SMM_REQUEST_CLOSE_TABLE
  UINT32 Reserved;
  UINT64 PrivateData;  // address of the S3_LIB_PRIVATE_DATA, not of the table
};
ASSERT_SIZE(S3_SAVE_SMM_MESSAGE, 40, 40);
ASSERT_OFFSET(S3_SAVE_SMM_MESSAGE, MessageLength, 16, 16);
ASSERT_OFFSET(S3_SAVE_SMM_MESSAGE, RequestCode, 24, 24);
ASSERT_OFFSET(S3_SAVE_SMM_MESSAGE, Reserved, 28, 28);
ASSERT_OFFSET(S3_SAVE_SMM_MESSAGE, PrivateData, 32, 32);
