// Debug-tool back-end: the text handed to a hardware debug tool (HDT)
// attached to the processor. A 32-bit write to HDT_OUT_PORT, with the text's
// address in EAX and its length in EBX, trips an I/O breakpoint in DR2 and
// the tool takes the text. Earlier firmware may hand over a buffer header
// (HDT_OUT_HEADER, heap buffer HDT_OUT_BUFFER_HANDLE) with the tool's output
// settings and, in buffered mode, a data area that collects the text.
#pragma once
#include "../include/HdtOutHeader.h"
#include "DebugPrintBackend.h"

#define HDT_OUT_PORT 0x99CC
// EDX of a hand-over: the port in the low half, 0xC0BF in the high half.
#define HDT_OUT_COMMAND 0xC0BF99CCU
// Receives the first two bytes of every message collected in buffered mode.
#define HDT_OUT_MESSAGE_PORT 0xFFED

// Breakpoint 2 enabled globally (bit 5), on I/O read or write (R/W2 = 10b,
// bits 24-25), one byte long (LEN2 = 00b), reserved bit 10 set.
#define HDT_OUT_DR7_BREAKPOINT 0x02000420U
// CR4.DE, debugging extensions: I/O breakpoints need it.
#define CR4_DEBUGGING_EXTENSIONS 0x8U
// Bit 0 of this MSR is set when the back-end arms the breakpoint.
#define MSR_DEBUG_BREAKPOINT_CONTROL 0xC001100AU
#define MSR_DEBUG_BREAKPOINT_CONTROL_ENABLE 0x1U

extern const DEBUG_PRINT_BACKEND HdtOutBackend;

// FALSE when HdtOutEnable is 0; TRUE when DebugPrintEnable is exactly 1;
// otherwise TRUE when DR2 holds HDT_OUT_PORT. No side effects.
BOOLEAN EFIAPI HdtOutIsActive();

// Arms the I/O breakpoint on HDT_OUT_PORT (MSR bit, DR2, DR7, CR4.DE) when the
// back-end is active and the breakpoint is not armed yet.
VOID EFIAPI HdtOutInitialize();

// Replaces *Filter with the header's OutputFilter when there is a header.
// Returns TRUE.
BOOLEAN EFIAPI HdtOutAdjustFilter(UINT64 *Filter);

// Hands the text over at once, collects it in the header's data area, or
// drops it, as the header says; without a header it hands it over at once.
// A header whose heap buffer cannot hold its data area (or whose capacity is
// 0) is not buffered into: its text is handed over at once.
VOID EFIAPI HdtOutWrite(CONST CHAR8 *Text, UINTN Length);

// Finds the header: DR3 must be non-zero, heap buffer HDT_OUT_BUFFER_HANDLE
// must exist, be large enough for the fields read here and start with
// HDT_OUT_SIGNATURE. BufferBytes (may be NULL) receives the heap buffer's
// size, which bounds the data area usable for buffered mode.
BOOLEAN HdtOutGetHeader(HDT_OUT_HEADER **Header, UINT32 *BufferBytes);

// TRUE when the MSR enable bit, the DR7 breakpoint bits and CR4.DE are set.
BOOLEAN HdtOutIsArmed();

// Writes the message's first two bytes to HDT_OUT_MESSAGE_PORT, then stores
// the text in the data area, handing the full area over each time it fills.
VOID HdtOutBufferedWrite(CONST CHAR8 *Text, UINTN Length, HDT_OUT_HEADER *Header);

// The trapped hand-over: EDX = Command, EAX = Address, EBX = Length, then a
// 32-bit write of EAX to the port in DX.
VOID HdtOutSend(UINT32 Command, UINT32 Address, UINT32 Length);
