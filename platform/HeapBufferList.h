// Heap-buffer list: copies of the heap buffers of the HOB list in one shared
// doubly linked list, and lookup by handle. The first DXE module that starts
// with this library builds and publishes the list; every later one uses the
// published list.
#pragma once
#include "../include/HeapBufferList.h"
#include "../uefi/UefiBase.h"

// Results of FindHeapBuffer.
#define HEAP_BUFFER_FOUND 0U
#define HEAP_BUFFER_NOT_FOUND 2U

// Head of the list in use: this module's own record's, or the one another
// module published. NULL before HeapBufferListStartup.
extern LIST_ENTRY *mHeapBufferListHead;

// Uses the published list if there is one; otherwise builds the list from the
// HOBs and publishes it (ErrorTrap 0x70268 when publishing fails).
VOID HeapBufferListStartup();

// Appends a node for every active "HEAP" buffer of the HOB list, in HOB-list
// order. HOBs that are malformed (shorter than their own header, a buffer
// running past its HOB) are skipped or end the walk.
VOID CollectHeapBuffers();

// Allocates a node for the buffer described by Header, copies the header
// into it and appends it to the list; the caller copies the data. Runtime
// pool for MemoryKind 8, boot-services pool otherwise; no pool traps
// (0x70177 / 0x70180) and returns EFI_UNSUPPORTED with no node made.
EFI_STATUS AddHeapBufferNode(CONST HEAP_BUFFER_HEADER *Header, HEAP_BUFFER_NODE **Node);

// Finds the first buffer with Locator->Handle; fills Size and Buffer and
// returns HEAP_BUFFER_FOUND, or sets them to 0 and NULL and returns
// HEAP_BUFFER_NOT_FOUND. Context is not used; callers pass NULL.
UINT32 FindHeapBuffer(HEAP_BUFFER_LOCATOR *Locator, VOID *Context);
