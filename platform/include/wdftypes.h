/*
 * Handle types and small helpers shared by every framework header.
 */
#pragma once

#include <ntddk.h>

#define WDFAPI
#define WDFEXPORT(a) a

#ifndef DECLARE_HANDLE
#define DECLARE_HANDLE(name) \
    struct name##__ {        \
        int unused;          \
    };                       \
    typedef struct name##__* name
#endif

/* Every handle converts to WDFOBJECT, as in the framework; the reverse needs a cast. */
typedef HANDLE WDFOBJECT, *PWDFOBJECT;

DECLARE_HANDLE(WDFDRIVER);
DECLARE_HANDLE(WDFDEVICE);
DECLARE_HANDLE(WDFQUEUE);
DECLARE_HANDLE(WDFREQUEST);
DECLARE_HANDLE(WDFTIMER);
DECLARE_HANDLE(WDFWORKITEM);
DECLARE_HANDLE(WDFWAITLOCK);
DECLARE_HANDLE(WDFSPINLOCK);
DECLARE_HANDLE(WDFCOLLECTION);
DECLARE_HANDLE(WDFIOTARGET);
DECLARE_HANDLE(WDFMEMORY);
DECLARE_HANDLE(WDFFILEOBJECT);
DECLARE_HANDLE(WDFKEY);
DECLARE_HANDLE(WDFSTRING);
DECLARE_HANDLE(WDFCMRESLIST);

typedef struct WDFDEVICE_INIT* PWDFDEVICE_INIT;
typedef PVOID WDFCONTEXT;

#define WDF_NO_HANDLE nullptr
#define WDF_NO_OBJECT_ATTRIBUTES nullptr
#define WDF_NO_CONTEXT nullptr
#define WDF_NO_SEND_OPTIONS nullptr
#define WDF_NO_EVENT_CALLBACK nullptr

typedef enum _WDF_TRI_STATE {
    WdfFalse = FALSE,
    WdfTrue = TRUE,
    WdfUseDefault = 2,
} WDF_TRI_STATE, *PWDF_TRI_STATE;

/* Timeouts in the framework's units: 100 ns, negative for relative. */
#define WDF_TIMEOUT_TO_SEC ((LONGLONG)1 * 10 * 1000 * 1000)
#define WDF_TIMEOUT_TO_MS ((LONGLONG)1 * 10 * 1000)
#define WDF_TIMEOUT_TO_US ((LONGLONG)1 * 10)

inline LONGLONG WDF_REL_TIMEOUT_IN_SEC(_In_ ULONGLONG Time)
{
    return (LONGLONG)Time * -WDF_TIMEOUT_TO_SEC;
}
inline LONGLONG WDF_ABS_TIMEOUT_IN_SEC(_In_ ULONGLONG Time)
{
    return (LONGLONG)Time * WDF_TIMEOUT_TO_SEC;
}
inline LONGLONG WDF_REL_TIMEOUT_IN_MS(_In_ ULONGLONG Time)
{
    return (LONGLONG)Time * -WDF_TIMEOUT_TO_MS;
}
inline LONGLONG WDF_ABS_TIMEOUT_IN_MS(_In_ ULONGLONG Time)
{
    return (LONGLONG)Time * WDF_TIMEOUT_TO_MS;
}
inline LONGLONG WDF_REL_TIMEOUT_IN_US(_In_ ULONGLONG Time)
{
    return (LONGLONG)Time * -WDF_TIMEOUT_TO_US;
}
inline LONGLONG WDF_ABS_TIMEOUT_IN_US(_In_ ULONGLONG Time)
{
    return (LONGLONG)Time * WDF_TIMEOUT_TO_US;
}
