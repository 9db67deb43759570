// Heap-buffer list: built from the HOB list at start-up, published for the
// other DXE modules, searched by handle.
#include "HeapBufferList.h"

#include "../uefi/Hob.h"
#include "../uefi/UefiTables.h"
#include "ErrorTrap.h"
#include "LibraryStartup.h"

constinit LIST_ENTRY *mHeapBufferListHead = NULL;

namespace {

// The record this module publishes when it is the first to start; other
// modules keep its address, so it is static module data.
constinit HEAP_BUFFER_LIST_PROTOCOL mHeapBufferListProtocol = {HEAP_BUFFER_LIST_REVISION,
                                                               {NULL, NULL}};

// HOBs are read by copy: the list comes from another phase, and a HobLength
// that is not a multiple of 8 would leave later HOBs unaligned.
template <typename T>
T ReadRecord(CONST UINT8 *Address) {
  T Record;
  __builtin_memcpy(&Record, Address, sizeof(Record));
  return Record;
}

}  // namespace

VOID HeapBufferListStartup() {
  VOID *Published = NULL;
  EFI_STATUS Status = gBS->LocateProtocol(&gHeapBufferListProtocolGuid, NULL, &Published);
  if (Status == EFI_SUCCESS && Published != NULL) {
    mHeapBufferListHead = &static_cast<HEAP_BUFFER_LIST_PROTOCOL *>(Published)->ListHead;
    return;
  }

  LIST_ENTRY *Head = &mHeapBufferListProtocol.ListHead;
  Head->ForwardLink = Head;
  Head->BackLink = Head;
  mHeapBufferListHead = Head;
  CollectHeapBuffers();

  // Published only once complete, so no other module sees a partial list.
  EFI_HANDLE Handle = NULL;
  Status = gBS->InstallProtocolInterface(&Handle, &gHeapBufferListProtocolGuid,
                                         EFI_NATIVE_INTERFACE, &mHeapBufferListProtocol);
  if (Status != EFI_SUCCESS) {
    ErrorTrap(ERROR_TRAP_HEAP_LIST_PUBLISH);
  }
}

VOID CollectHeapBuffers() {
  CONST UINT8 *Hob = static_cast<CONST UINT8 *>(FindHobList());
  if (Hob == NULL) {
    return;
  }

  for (;;) {
    EFI_HOB_GENERIC_HEADER Generic = ReadRecord<EFI_HOB_GENERIC_HEADER>(Hob);
    // A HOB shorter than its generic header would never advance the walk.
    if (Generic.HobType == EFI_HOB_TYPE_END_OF_HOB_LIST ||
        Generic.HobLength < sizeof(EFI_HOB_GENERIC_HEADER)) {
      return;
    }

    if (Generic.HobType == EFI_HOB_TYPE_GUID_EXTENSION &&
        Generic.HobLength >= sizeof(EFI_HOB_GUID_TYPE)) {
      EFI_GUID Name = ReadRecord<EFI_GUID>(Hob + __builtin_offsetof(EFI_HOB_GUID_TYPE, Name));
      // A buffer whose header or data would run past its HOB is not taken.
      if (GuidEquals(&Name, &gHeapBufferHobGuid) && Generic.HobLength >= sizeof(HEAP_BUFFER_HOB)) {
        HEAP_BUFFER_HEADER Header =
            ReadRecord<HEAP_BUFFER_HEADER>(Hob + __builtin_offsetof(HEAP_BUFFER_HOB, Header));
        if (Header.Signature == HEAP_BUFFER_SIGNATURE && Header.Active == HEAP_BUFFER_ACTIVE &&
            Header.Size <= Generic.HobLength - sizeof(HEAP_BUFFER_HOB)) {
          HEAP_BUFFER_NODE *Node = NULL;
          if (AddHeapBufferNode(&Header, &Node) == EFI_SUCCESS && Header.Size != 0) {
            __builtin_memcpy(HeapBufferNodeData(Node), Hob + sizeof(HEAP_BUFFER_HOB), Header.Size);
          }
        }
      }
    }

    Hob += Generic.HobLength;
  }
}

EFI_STATUS AddHeapBufferNode(CONST HEAP_BUFFER_HEADER *Header, HEAP_BUFFER_NODE **Node) {
  UINT64 NodeSize = static_cast<UINT64>(Header->Size) + sizeof(HEAP_BUFFER_NODE);
  EFI_MEMORY_TYPE PoolType = EfiBootServicesData;
  UINT32 NoPoolCode = ERROR_TRAP_HEAP_NODE_BOOT_POOL;
  if (Header->MemoryKind == HEAP_BUFFER_MEMORY_KIND_RUNTIME) {
    PoolType = EfiRuntimeServicesData;
    NoPoolCode = ERROR_TRAP_HEAP_NODE_RUNTIME_POOL;
  }

  VOID *Buffer = NULL;
  EFI_STATUS Status = gBS->AllocatePool(PoolType, static_cast<UINTN>(NodeSize), &Buffer);
  if (EFI_ERROR(Status) || Buffer == NULL) {
    ErrorTrap(NoPoolCode);
    return EFI_UNSUPPORTED;
  }

  HEAP_BUFFER_NODE *NewNode = static_cast<HEAP_BUFFER_NODE *>(Buffer);
  *Node = NewNode;
  NewNode->Header = *Header;

  LIST_ENTRY *Head = mHeapBufferListHead;
  NewNode->Link.ForwardLink = Head;
  NewNode->Link.BackLink = Head->BackLink;
  Head->BackLink->ForwardLink = &NewNode->Link;
  Head->BackLink = &NewNode->Link;
  return EFI_SUCCESS;
}

UINT32 FindHeapBuffer(HEAP_BUFFER_LOCATOR *Locator, VOID *Context) {
  (void)Context;
  LIST_ENTRY *Head = mHeapBufferListHead;
  // Before start-up there is no list, which finds nothing.
  if (Head != NULL) {
    for (LIST_ENTRY *Link = Head->ForwardLink; Link != Head; Link = Link->ForwardLink) {
      // Link is the node's first member.
      HEAP_BUFFER_NODE *Node = reinterpret_cast<HEAP_BUFFER_NODE *>(Link);
      if (Node->Header.Handle == Locator->Handle &&
          Node->Header.Signature == HEAP_BUFFER_SIGNATURE) {
        Locator->Buffer = HeapBufferNodeData(Node);
        Locator->Size = Node->Header.Size;
        return HEAP_BUFFER_FOUND;
      }
    }
  }
  Locator->Buffer = NULL;
  Locator->Size = 0;
  return HEAP_BUFFER_NOT_FOUND;
}
