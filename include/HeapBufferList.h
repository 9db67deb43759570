// Heap buffers: data buffers that earlier boot phases hand over in the HOB
// list, each in a GUID-extension HOB of its own and named by a 32-bit handle,
// and the list record through which every DXE module shares their copies.
// Layouts are fixed formats shared between separately built modules.
#pragma once
#include "../uefi/Hob.h"
#include "../uefi/UefiBase.h"

// D97D161A-16CD-4ADA-B9F6-AEC3F9FCCC2C: name of a heap-buffer HOB.
inline constexpr EFI_GUID gHeapBufferHobGuid = {
    0xD97D161A, 0x16CD, 0x4ADA, {0xB9, 0xF6, 0xAE, 0xC3, 0xF9, 0xFC, 0xCC, 0x2C}};

// AF62673D-DEDA-43AE-8F03-9C2D89FD78DA: the published HEAP_BUFFER_LIST_PROTOCOL.
inline constexpr EFI_GUID gHeapBufferListProtocolGuid = {
    0xAF62673D, 0xDEDA, 0x43AE, {0x8F, 0x03, 0x9C, 0x2D, 0x89, 0xFD, 0x78, 0xDA}};

// "HEAP" in memory order.
#define HEAP_BUFFER_SIGNATURE 0x50414548U
// MemoryKind that puts the node into runtime pool; any other value means
// boot-services pool.
#define HEAP_BUFFER_MEMORY_KIND_RUNTIME 8
// Active value of a buffer that is taken into the list.
#define HEAP_BUFFER_ACTIVE 1
#define HEAP_BUFFER_LIST_REVISION 1

struct HEAP_BUFFER_HEADER {
  UINT32 Signature;
  UINT32 Handle;
  UINT32 Size;  // data bytes that follow the header
  UINT8 MemoryKind;
  UINT8 Active;
  UINT8 Reserved[2];
};
ASSERT_SIZE(HEAP_BUFFER_HEADER, 16, 16);
ASSERT_OFFSET(HEAP_BUFFER_HEADER, Handle, 4, 4);
ASSERT_OFFSET(HEAP_BUFFER_HEADER, Size, 8, 8);
ASSERT_OFFSET(HEAP_BUFFER_HEADER, MemoryKind, 12, 12);
ASSERT_OFFSET(HEAP_BUFFER_HEADER, Active, 13, 13);

// The HOB that carries a heap buffer; Header.Size data bytes follow it.
struct HEAP_BUFFER_HOB {
  EFI_HOB_GUID_TYPE Hob;  // Name is gHeapBufferHobGuid
  HEAP_BUFFER_HEADER Header;
};
ASSERT_SIZE(HEAP_BUFFER_HOB, 40, 40);
ASSERT_OFFSET(HEAP_BUFFER_HOB, Header, 24, 24);

// A list node: one pool allocation of Header.Size + sizeof(HEAP_BUFFER_NODE)
// bytes; the copy of the buffer's data follows the node.
struct HEAP_BUFFER_NODE {
  LIST_ENTRY Link;
  HEAP_BUFFER_HEADER Header;
};
ASSERT_SIZE(HEAP_BUFFER_NODE, 32, 24);
ASSERT_OFFSET(HEAP_BUFFER_NODE, Header, 16, 8);

inline UINT8 *HeapBufferNodeData(HEAP_BUFFER_NODE *Node) {
  return reinterpret_cast<UINT8 *>(Node + 1);
}

// The shared list record, installed under gHeapBufferListProtocolGuid by the
// first module that starts with the heap-buffer list.
struct HEAP_BUFFER_LIST_PROTOCOL {
  UINT64 Revision;
  LIST_ENTRY ListHead;  // circular list of HEAP_BUFFER_NODE.Link
};
ASSERT_SIZE(HEAP_BUFFER_LIST_PROTOCOL, 24, 16);
ASSERT_OFFSET(HEAP_BUFFER_LIST_PROTOCOL, ListHead, 8, 8);

// Lookup record of FindHeapBuffer.
struct HEAP_BUFFER_LOCATOR {
  UINT32 Handle;  // in
  UINT32 Size;    // out: the buffer's Size, 0 when not found
  VOID *Buffer;   // out: the buffer's data, NULL when not found
};
ASSERT_SIZE(HEAP_BUFFER_LOCATOR, 16, 12);
ASSERT_OFFSET(HEAP_BUFFER_LOCATOR, Size, 4, 4);
ASSERT_OFFSET(HEAP_BUFFER_LOCATOR, Buffer, 8, 8);
