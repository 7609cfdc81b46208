#pragma once

#include <wdfobject.h>

typedef VOID EVT_WDF_TIMER(_In_ WDFTIMER Timer);
typedef EVT_WDF_TIMER* PFN_WDF_TIMER;

typedef struct _WDF_TIMER_CONFIG {
    ULONG Size;
    PFN_WDF_TIMER EvtTimerFunc;
    ULONG Period; /* milliseconds; 0 for a one-shot timer */
    BOOLEAN AutomaticSerialization;
    ULONG TolerableDelay;
} WDF_TIMER_CONFIG, *PWDF_TIMER_CONFIG;

inline VOID WDF_TIMER_CONFIG_INIT(_Out_ PWDF_TIMER_CONFIG Config, _In_ PFN_WDF_TIMER EvtTimerFunc)
{
    RtlZeroMemory(Config, sizeof(WDF_TIMER_CONFIG));
    Config->Size = sizeof(WDF_TIMER_CONFIG);
    Config->EvtTimerFunc = EvtTimerFunc;
    Config->Period = 0;
    Config->AutomaticSerialization = TRUE;
    Config->TolerableDelay = 0;
}

inline VOID WDF_TIMER_CONFIG_INIT_PERIODIC(_Out_ PWDF_TIMER_CONFIG Config, _In_ PFN_WDF_TIMER EvtTimerFunc,
                                           _In_ LONG Period)
{
    RtlZeroMemory(Config, sizeof(WDF_TIMER_CONFIG));
    Config->Size = sizeof(WDF_TIMER_CONFIG);
    Config->EvtTimerFunc = EvtTimerFunc;
    Config->Period = static_cast<ULONG>(Period);
    Config->AutomaticSerialization = TRUE;
    Config->TolerableDelay = 0;
}

/* Attributes->ParentObject is required: a device or an object below one. */
NTSTATUS WdfTimerCreate(_In_ PWDF_TIMER_CONFIG Config, _In_ PWDF_OBJECT_ATTRIBUTES Attributes,
                        _Out_ WDFTIMER* Timer);
/* DueTime in 100 ns: negative is relative, positive an absolute system time.
   Returns TRUE when the timer was already waiting (it is re-armed). */
BOOLEAN WdfTimerStart(_In_ WDFTIMER Timer, _In_ LONGLONG DueTime);
/* Returns TRUE when the timer was waiting and has been taken out. */
BOOLEAN WdfTimerStop(_In_ WDFTIMER Timer, _In_ BOOLEAN Wait);
WDFOBJECT WdfTimerGetParentObject(_In_ WDFTIMER Timer);
