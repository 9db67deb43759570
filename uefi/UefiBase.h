// Base types of the UEFI and PI standards, as this project uses them.
// Widths follow the build: UINTN and pointers are 64 bits in the DXE driver
// and 32 bits in the PEI module.
#pragma once

#if defined(__x86_64__) || defined(_M_X64)
#define BOARDHOOK_64BIT 1
#else
#define BOARDHOOK_64BIT 0
#endif

// The interface calling convention: the Microsoft x64 convention on x86-64
// (also in the 64-bit host build, so host tests call through the real ABI),
// the default cdecl on IA-32.
#if BOARDHOOK_64BIT
#define EFIAPI __attribute__((ms_abi))
#else
#define EFIAPI
#endif

#define IN
#define OUT
#define OPTIONAL
#define CONST const
#define VOID void

typedef unsigned char UINT8;
typedef signed char INT8;
typedef unsigned short UINT16;
typedef short INT16;
typedef unsigned int UINT32;
typedef int INT32;
// UEFI's IA-32 layout aligns 64-bit members to 8 bytes; the Linux i386 ABI
// aligns them to 4. Only the 32-bit host build needs the attribute: on the
// firmware targets it is the default, and an aligned typedef there would
// override packing.
#if !BOARDHOOK_64BIT && defined(__linux__)
typedef unsigned long long UINT64 __attribute__((aligned(8)));
typedef long long INT64 __attribute__((aligned(8)));
#else
typedef unsigned long long UINT64;
typedef long long INT64;
#endif

#if BOARDHOOK_64BIT
typedef UINT64 UINTN;
typedef INT64 INTN;
#else
typedef UINT32 UINTN;
typedef INT32 INTN;
#endif

typedef UINT8 BOOLEAN;
typedef char CHAR8;
typedef UINT16 CHAR16;

#define TRUE ((BOOLEAN)1)
#define FALSE ((BOOLEAN)0)
#ifndef NULL
#define NULL nullptr
#endif

typedef UINTN EFI_STATUS;
typedef VOID *EFI_HANDLE;
typedef VOID *EFI_EVENT;
typedef UINTN EFI_TPL;
typedef UINT64 EFI_PHYSICAL_ADDRESS;
typedef UINT64 EFI_VIRTUAL_ADDRESS;

typedef __builtin_va_list VA_LIST;
#define VA_START(Marker, Parameter) __builtin_va_start(Marker, Parameter)
#define VA_ARG(Marker, Type) __builtin_va_arg(Marker, Type)
#define VA_END(Marker) __builtin_va_end(Marker)
#define VA_COPY(Dest, Start) __builtin_va_copy(Dest, Start)

struct EFI_GUID {
  UINT32 Data1;
  UINT16 Data2;
  UINT16 Data3;
  UINT8 Data4[8];
};
static_assert(sizeof(EFI_GUID) == 16);

#define MAX_BIT ((UINTN)1 << (sizeof(UINTN) * 8 - 1))
#define ENCODE_ERROR(Code) ((EFI_STATUS)(MAX_BIT | (Code)))
#define ENCODE_WARNING(Code) ((EFI_STATUS)(Code))
#define EFI_ERROR(Status) (((INTN)(EFI_STATUS)(Status)) < 0)

#define EFI_SUCCESS ((EFI_STATUS)0)
#define EFI_LOAD_ERROR ENCODE_ERROR(1)
#define EFI_INVALID_PARAMETER ENCODE_ERROR(2)
#define EFI_UNSUPPORTED ENCODE_ERROR(3)
#define EFI_BAD_BUFFER_SIZE ENCODE_ERROR(4)
#define EFI_BUFFER_TOO_SMALL ENCODE_ERROR(5)
#define EFI_NOT_READY ENCODE_ERROR(6)
#define EFI_DEVICE_ERROR ENCODE_ERROR(7)
#define EFI_WRITE_PROTECTED ENCODE_ERROR(8)
#define EFI_OUT_OF_RESOURCES ENCODE_ERROR(9)
#define EFI_VOLUME_CORRUPTED ENCODE_ERROR(10)
#define EFI_VOLUME_FULL ENCODE_ERROR(11)
#define EFI_NO_MEDIA ENCODE_ERROR(12)
#define EFI_MEDIA_CHANGED ENCODE_ERROR(13)
#define EFI_NOT_FOUND ENCODE_ERROR(14)
#define EFI_ACCESS_DENIED ENCODE_ERROR(15)
#define EFI_NO_RESPONSE ENCODE_ERROR(16)
#define EFI_NO_MAPPING ENCODE_ERROR(17)
#define EFI_TIMEOUT ENCODE_ERROR(18)
#define EFI_NOT_STARTED ENCODE_ERROR(19)
#define EFI_ALREADY_STARTED ENCODE_ERROR(20)
#define EFI_ABORTED ENCODE_ERROR(21)
#define EFI_ICMP_ERROR ENCODE_ERROR(22)
#define EFI_TFTP_ERROR ENCODE_ERROR(23)
#define EFI_PROTOCOL_ERROR ENCODE_ERROR(24)
#define EFI_INCOMPATIBLE_VERSION ENCODE_ERROR(25)
#define EFI_SECURITY_VIOLATION ENCODE_ERROR(26)
#define EFI_CRC_ERROR ENCODE_ERROR(27)
#define EFI_END_OF_MEDIA ENCODE_ERROR(28)
#define EFI_END_OF_FILE ENCODE_ERROR(31)
#define EFI_INVALID_LANGUAGE ENCODE_ERROR(32)
#define EFI_COMPROMISED_DATA ENCODE_ERROR(33)

#define EFI_WARN_UNKNOWN_GLYPH ENCODE_WARNING(1)
#define EFI_WARN_DELETE_FAILURE ENCODE_WARNING(2)
#define EFI_WARN_WRITE_FAILURE ENCODE_WARNING(3)
#define EFI_WARN_BUFFER_TOO_SMALL ENCODE_WARNING(4)
#define EFI_WARN_STALE_DATA ENCODE_WARNING(5)

// Compares two GUIDs as the two 64-bit halves they consist of.
inline BOOLEAN GuidEquals(const EFI_GUID *A, const EFI_GUID *B) {
  const UINT8 *Left = reinterpret_cast<const UINT8 *>(A);
  const UINT8 *Right = reinterpret_cast<const UINT8 *>(B);
  for (UINTN Index = 0; Index < sizeof(EFI_GUID); Index++) {
    if (Left[Index] != Right[Index]) {
      return FALSE;
    }
  }
  return TRUE;
}

// Layout checks for records that cross module boundaries.
#define ASSERT_SIZE(Type, Size64, Size32) \
  static_assert(sizeof(Type) == (BOARDHOOK_64BIT ? (Size64) : (Size32)), #Type " size")
#define ASSERT_OFFSET(Type, Field, Off64, Off32)                                          \
  static_assert(__builtin_offsetof(Type, Field) == (BOARDHOOK_64BIT ? (Off64) : (Off32)), \
                #Type "." #Field " offset")

// Doubly linked list link of the UEFI standard; a list's head is a link of
// its own, and an empty list's head points to itself both ways.
struct LIST_ENTRY {
  LIST_ENTRY *ForwardLink;
  LIST_ENTRY *BackLink;
};
ASSERT_SIZE(LIST_ENTRY, 16, 8);
