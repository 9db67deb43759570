// The public configuration-database interfaces: PCD_PROTOCOL (DXE) and
// PCD_PPI (PEI) share one slot layout. This system uses plain token numbers,
// without a token-space GUID.
#pragma once
#include "UefiBase.h"

typedef VOID(EFIAPI *PCD_CALLBACK)(const EFI_GUID *CallBackGuid, UINTN CallBackToken,
                                   VOID *TokenData, UINTN TokenDataSize);

#define PCD_INTERFACE_MEMBERS                                                   \
  VOID(EFIAPI *SetSku)(UINTN SkuId);                                            \
  UINT8(EFIAPI *Get8)(UINTN TokenNumber);                                       \
  UINT16(EFIAPI *Get16)(UINTN TokenNumber);                                     \
  UINT32(EFIAPI *Get32)(UINTN TokenNumber);                                     \
  UINT64(EFIAPI *Get64)(UINTN TokenNumber);                                     \
  VOID *(EFIAPI * GetPtr)(UINTN TokenNumber);                                   \
  BOOLEAN(EFIAPI *GetBool)(UINTN TokenNumber);                                  \
  UINTN(EFIAPI *GetSize)(UINTN TokenNumber);                                    \
  UINT8(EFIAPI *Get8Ex)(const EFI_GUID *Guid, UINTN TokenNumber);               \
  UINT16(EFIAPI *Get16Ex)(const EFI_GUID *Guid, UINTN TokenNumber);             \
  UINT32(EFIAPI *Get32Ex)(const EFI_GUID *Guid, UINTN TokenNumber);             \
  UINT64(EFIAPI *Get64Ex)(const EFI_GUID *Guid, UINTN TokenNumber);             \
  VOID *(EFIAPI * GetPtrEx)(const EFI_GUID *Guid, UINTN TokenNumber);           \
  BOOLEAN(EFIAPI *GetBoolEx)(const EFI_GUID *Guid, UINTN TokenNumber);          \
  UINTN(EFIAPI *GetSizeEx)(const EFI_GUID *Guid, UINTN TokenNumber);            \
  EFI_STATUS(EFIAPI *Set8)(UINTN TokenNumber, UINT8 Value);                     \
  EFI_STATUS(EFIAPI *Set16)(UINTN TokenNumber, UINT16 Value);                   \
  EFI_STATUS(EFIAPI *Set32)(UINTN TokenNumber, UINT32 Value);                   \
  EFI_STATUS(EFIAPI *Set64)(UINTN TokenNumber, UINT64 Value);                   \
  EFI_STATUS(EFIAPI *SetPtr)                                                    \
  (UINTN TokenNumber, UINTN * SizeOfBuffer, VOID * Buffer);                     \
  EFI_STATUS(EFIAPI *SetBool)(UINTN TokenNumber, BOOLEAN Value);                \
  EFI_STATUS(EFIAPI *Set8Ex)                                                    \
  (const EFI_GUID *Guid, UINTN TokenNumber, UINT8 Value);                       \
  EFI_STATUS(EFIAPI *Set16Ex)                                                   \
  (const EFI_GUID *Guid, UINTN TokenNumber, UINT16 Value);                      \
  EFI_STATUS(EFIAPI *Set32Ex)                                                   \
  (const EFI_GUID *Guid, UINTN TokenNumber, UINT32 Value);                      \
  EFI_STATUS(EFIAPI *Set64Ex)                                                   \
  (const EFI_GUID *Guid, UINTN TokenNumber, UINT64 Value);                      \
  EFI_STATUS(EFIAPI *SetPtrEx)                                                  \
  (const EFI_GUID *Guid, UINTN TokenNumber, UINTN *SizeOfBuffer, VOID *Buffer); \
  EFI_STATUS(EFIAPI *SetBoolEx)                                                 \
  (const EFI_GUID *Guid, UINTN TokenNumber, BOOLEAN Value);                     \
  EFI_STATUS(EFIAPI *CallbackOnSet)                                             \
  (const EFI_GUID *Guid, UINTN TokenNumber, PCD_CALLBACK CallBackFunction);     \
  EFI_STATUS(EFIAPI *CancelCallback)                                            \
  (const EFI_GUID *Guid, UINTN TokenNumber, PCD_CALLBACK CallBackFunction);     \
  EFI_STATUS(EFIAPI *GetNextToken)(const EFI_GUID *Guid, UINTN *TokenNumber);   \
  EFI_STATUS(EFIAPI *GetNextTokenSpace)(const EFI_GUID **Guid);

struct PCD_PROTOCOL {
  PCD_INTERFACE_MEMBERS
};
struct PCD_PPI {
  PCD_INTERFACE_MEMBERS
};
#undef PCD_INTERFACE_MEMBERS

#define ASSERT_PCD_LAYOUT(Type)              \
  ASSERT_SIZE(Type, 31 * 8, 31 * 4);         \
  ASSERT_OFFSET(Type, Get8, 1 * 8, 1 * 4);   \
  ASSERT_OFFSET(Type, Get32, 3 * 8, 3 * 4);  \
  ASSERT_OFFSET(Type, Get64, 4 * 8, 4 * 4);  \
  ASSERT_OFFSET(Type, Set8, 15 * 8, 15 * 4); \
  ASSERT_OFFSET(Type, Set64, 18 * 8, 18 * 4)
ASSERT_PCD_LAYOUT(PCD_PROTOCOL);
ASSERT_PCD_LAYOUT(PCD_PPI);
#undef ASSERT_PCD_LAYOUT

// 11B34006-D85B-4D0A-A290-D5A571310EF7
inline constexpr EFI_GUID gPcdProtocolGuid = {
    0x11B34006, 0xD85B, 0x4D0A, {0xA2, 0x90, 0xD5, 0xA5, 0x71, 0x31, 0x0E, 0xF7}};
// 06E81C58-4AD7-44BC-8390-F10265F72480
inline constexpr EFI_GUID gPcdPpiGuid = {
    0x06E81C58, 0x4AD7, 0x44BC, {0x83, 0x90, 0xF1, 0x02, 0x65, 0xF7, 0x24, 0x80}};
