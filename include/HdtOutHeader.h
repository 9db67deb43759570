// The debug-tool buffer header (HDT_OUT_HEADER) that earlier firmware hands
// over as a heap buffer: the tool's output settings and, in buffered mode,
// the data area that collects the text. The debug back-end and the tool
// both read and write it.
#pragma once
#include "../uefi/UefiBase.h"

// The heap-buffer handle of the header.
#define HDT_OUT_BUFFER_HANDLE 0xA014U
#define HDT_OUT_SIGNATURE 0xDB1099CCU

// The buffer header, as found at the start of heap buffer
// HDT_OUT_BUFFER_HANDLE. Only these fields are the debug back-end's; the bytes in
// between and those from 32 to 512 belong to the header's producer and the
// tool, and are neither read nor written here. The data area starts at
// HDT_OUT_DATA_OFFSET and holds BufferSize bytes.
struct HDT_OUT_HEADER {
  UINT32 Signature;  // HDT_OUT_SIGNATURE, else there is no header
  UINT8 Reserved4[2];
  UINT16 BufferSize;  // capacity of the data area
  UINT16 WriteIndex;  // bytes held in the data area
  UINT8 PrintEnable;  // 1: output on; other values: off
  UINT8 Reserved11[7];
  UINT8 BufferedMode;  // 1: collect text in the data area
  UINT8 Reserved19[5];
  UINT64 OutputFilter;  // this back-end's error-level filter
};
ASSERT_SIZE(HDT_OUT_HEADER, 32, 32);
ASSERT_OFFSET(HDT_OUT_HEADER, Signature, 0, 0);
ASSERT_OFFSET(HDT_OUT_HEADER, BufferSize, 6, 6);
ASSERT_OFFSET(HDT_OUT_HEADER, WriteIndex, 8, 8);
ASSERT_OFFSET(HDT_OUT_HEADER, PrintEnable, 10, 10);
ASSERT_OFFSET(HDT_OUT_HEADER, BufferedMode, 18, 18);
ASSERT_OFFSET(HDT_OUT_HEADER, OutputFilter, 24, 24);

#define HDT_OUT_DATA_OFFSET 513U

inline UINT8 *HdtOutData(HDT_OUT_HEADER *Header) {
  return reinterpret_cast<UINT8 *>(Header) + HDT_OUT_DATA_OFFSET;
}
