/*
 * The driver's one trace operation. A message is printed only when its level
 * mask shares a bit with TraceMask; the test is inline so that a silent trace
 * costs a load and a branch on the receiver's per-character path.
 */
#pragma once

#include <ntddk.h>

/* Component and level under which every trace line reaches the debug output. */
#define HART_TRACE_COMPONENT DPFLTR_IHVDRIVER_ID
#define HART_TRACE_LEVEL 0x1267

/* Level bit that asks for a time-stamped line. */
#define HART_TRACE_TIMESTAMP 0x80

extern ULONG TraceMask;

VOID HartSetDebugLevel(ULONG Mask);
VOID HartTracePrint(ULONG Level, PCSTR Format, ...);

template <typename... Args>
inline VOID HartTrace(ULONG Level, PCSTR Format, Args... Arguments)
{
    if ((TraceMask & Level) != 0) {
        HartTracePrint(Level, Format, Arguments...);
    }
}
