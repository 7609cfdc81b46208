#include "HartTrace.h"

#include <cstdarg>

/* 1 until the driver has read DebugLevel, so that errors before that show. */
ULONG TraceMask = 1;

VOID HartSetDebugLevel(ULONG Mask)
{
    TraceMask = Mask;
}

VOID HartTracePrint(ULONG Level, PCSTR Format, ...)
{
    va_list arguments;
    va_start(arguments, Format);
    if ((Level & HART_TRACE_TIMESTAMP) != 0) {
        LARGE_INTEGER systemTime;
        TIME_FIELDS timeFields;
        KeQuerySystemTime(&systemTime);
        RtlTimeToTimeFields(&systemTime, &timeFields);
        DbgPrintEx(HART_TRACE_COMPONENT, HART_TRACE_LEVEL, "HartDriver: [%d:%d:%d.%d]",
                   timeFields.Hour, timeFields.Minute, timeFields.Second, timeFields.Milliseconds);
        vDbgPrintExWithPrefix("-", HART_TRACE_COMPONENT, HART_TRACE_LEVEL, Format, arguments);
    } else {
        vDbgPrintExWithPrefix("HartDriver: ", HART_TRACE_COMPONENT, HART_TRACE_LEVEL, Format, arguments);
    }
    va_end(arguments);
}
