/*
 * I/O queues: how requests that reach a device are handed to the driver.
 */
#pragma once

#include <wdfobject.h>
#include <wdfrequest.h>

#ifndef STATUS_WDF_PAUSED
#define STATUS_WDF_PAUSED ((NTSTATUS)0xC0200203L)
#endif

typedef enum _WDF_IO_QUEUE_DISPATCH_TYPE {
    WdfIoQueueDispatchInvalid = 0,
    WdfIoQueueDispatchSequential,
    WdfIoQueueDispatchParallel,
    WdfIoQueueDispatchManual,
    WdfIoQueueDispatchMax,
} WDF_IO_QUEUE_DISPATCH_TYPE;

typedef enum _WDF_IO_QUEUE_STATE {
    WdfIoQueueAcceptRequests = 0x01,
    WdfIoQueueDispatchRequests = 0x02,
    WdfIoQueueNoRequests = 0x04,
    WdfIoQueueDriverNoRequests = 0x08,
    WdfIoQueuePnpHeld = 0x10,
} WDF_IO_QUEUE_STATE;

#define WDF_IO_QUEUE_IDLE(state) \
    (((state) & (WdfIoQueueNoRequests | WdfIoQueueDriverNoRequests)) == (WdfIoQueueNoRequests | WdfIoQueueDriverNoRequests))
#define WDF_IO_QUEUE_READY(state) \
    (((state) & (WdfIoQueueAcceptRequests | WdfIoQueueDispatchRequests)) == (WdfIoQueueAcceptRequests | WdfIoQueueDispatchRequests))
#define WDF_IO_QUEUE_STOPPED(state) \
    ((((state) & WdfIoQueueDispatchRequests) == 0) && WDF_IO_QUEUE_IDLE(state))
#define WDF_IO_QUEUE_PURGED(state) \
    ((((state) & (WdfIoQueueAcceptRequests | WdfIoQueueDispatchRequests)) == 0) && WDF_IO_QUEUE_IDLE(state))

typedef VOID EVT_WDF_IO_QUEUE_IO_DEFAULT(_In_ WDFQUEUE Queue, _In_ WDFREQUEST Request);
typedef EVT_WDF_IO_QUEUE_IO_DEFAULT* PFN_WDF_IO_QUEUE_IO_DEFAULT;
typedef VOID EVT_WDF_IO_QUEUE_IO_STOP(_In_ WDFQUEUE Queue, _In_ WDFREQUEST Request, _In_ ULONG ActionFlags);
typedef EVT_WDF_IO_QUEUE_IO_STOP* PFN_WDF_IO_QUEUE_IO_STOP;
typedef VOID EVT_WDF_IO_QUEUE_IO_RESUME(_In_ WDFQUEUE Queue, _In_ WDFREQUEST Request);
typedef EVT_WDF_IO_QUEUE_IO_RESUME* PFN_WDF_IO_QUEUE_IO_RESUME;
typedef VOID EVT_WDF_IO_QUEUE_IO_READ(_In_ WDFQUEUE Queue, _In_ WDFREQUEST Request, _In_ size_t Length);
typedef EVT_WDF_IO_QUEUE_IO_READ* PFN_WDF_IO_QUEUE_IO_READ;
typedef VOID EVT_WDF_IO_QUEUE_IO_WRITE(_In_ WDFQUEUE Queue, _In_ WDFREQUEST Request, _In_ size_t Length);
typedef EVT_WDF_IO_QUEUE_IO_WRITE* PFN_WDF_IO_QUEUE_IO_WRITE;
typedef VOID EVT_WDF_IO_QUEUE_IO_DEVICE_CONTROL(_In_ WDFQUEUE Queue, _In_ WDFREQUEST Request,
                                               _In_ size_t OutputBufferLength, _In_ size_t InputBufferLength,
                                               _In_ ULONG IoControlCode);
typedef EVT_WDF_IO_QUEUE_IO_DEVICE_CONTROL* PFN_WDF_IO_QUEUE_IO_DEVICE_CONTROL;
typedef VOID EVT_WDF_IO_QUEUE_IO_INTERNAL_DEVICE_CONTROL(_In_ WDFQUEUE Queue, _In_ WDFREQUEST Request,
                                                        _In_ size_t OutputBufferLength, _In_ size_t InputBufferLength,
                                                        _In_ ULONG IoControlCode);
typedef EVT_WDF_IO_QUEUE_IO_INTERNAL_DEVICE_CONTROL* PFN_WDF_IO_QUEUE_IO_INTERNAL_DEVICE_CONTROL;
/* A request waiting in the queue was cancelled (by its client, or by a purge
   or a file's cleanup): the driver now owns it and completes it. */
typedef VOID EVT_WDF_IO_QUEUE_IO_CANCELED_ON_QUEUE(_In_ WDFQUEUE Queue, _In_ WDFREQUEST Request);
typedef EVT_WDF_IO_QUEUE_IO_CANCELED_ON_QUEUE* PFN_WDF_IO_QUEUE_IO_CANCELED_ON_QUEUE;
typedef VOID EVT_WDF_IO_QUEUE_STATE(_In_ WDFQUEUE Queue, _In_ WDFCONTEXT Context);
typedef EVT_WDF_IO_QUEUE_STATE* PFN_WDF_IO_QUEUE_STATE;

typedef struct _WDF_IO_QUEUE_CONFIG {
    ULONG Size;
    WDF_IO_QUEUE_DISPATCH_TYPE DispatchType;
    /* WdfUseDefault: power-managed on a function device, not on a control device. */
    WDF_TRI_STATE PowerManaged;
    BOOLEAN AllowZeroLengthRequests;
    BOOLEAN DefaultQueue;
    PFN_WDF_IO_QUEUE_IO_DEFAULT EvtIoDefault;
    PFN_WDF_IO_QUEUE_IO_READ EvtIoRead;
    PFN_WDF_IO_QUEUE_IO_WRITE EvtIoWrite;
    PFN_WDF_IO_QUEUE_IO_DEVICE_CONTROL EvtIoDeviceControl;
    PFN_WDF_IO_QUEUE_IO_INTERNAL_DEVICE_CONTROL EvtIoInternalDeviceControl;
    PFN_WDF_IO_QUEUE_IO_STOP EvtIoStop;
    PFN_WDF_IO_QUEUE_IO_RESUME EvtIoResume;
    PFN_WDF_IO_QUEUE_IO_CANCELED_ON_QUEUE EvtIoCanceledOnQueue;
    union {
        struct {
            ULONG NumberOfPresentedRequests;
        } Parallel;
    } Settings;
    WDFDRIVER Driver;
} WDF_IO_QUEUE_CONFIG, *PWDF_IO_QUEUE_CONFIG;

inline VOID WDF_IO_QUEUE_CONFIG_INIT(_Out_ PWDF_IO_QUEUE_CONFIG Config, _In_ WDF_IO_QUEUE_DISPATCH_TYPE DispatchType)
{
    RtlZeroMemory(Config, sizeof(WDF_IO_QUEUE_CONFIG));
    Config->Size = sizeof(WDF_IO_QUEUE_CONFIG);
    Config->PowerManaged = WdfUseDefault;
    Config->DispatchType = DispatchType;
    if (Config->DispatchType == WdfIoQueueDispatchParallel) {
        Config->Settings.Parallel.NumberOfPresentedRequests = (ULONG)-1;
    }
}

inline VOID WDF_IO_QUEUE_CONFIG_INIT_DEFAULT_QUEUE(_Out_ PWDF_IO_QUEUE_CONFIG Config,
                                                   _In_ WDF_IO_QUEUE_DISPATCH_TYPE DispatchType)
{
    WDF_IO_QUEUE_CONFIG_INIT(Config, DispatchType);
    Config->DefaultQueue = TRUE;
}

/* The queue's parent is Device (QueueAttributes->ParentObject must be empty).
   A queue starts accepting and dispatching. */
NTSTATUS WdfIoQueueCreate(_In_ WDFDEVICE Device, _In_ PWDF_IO_QUEUE_CONFIG Config,
                          _In_opt_ PWDF_OBJECT_ATTRIBUTES QueueAttributes, _Out_opt_ WDFQUEUE* Queue);
WDF_IO_QUEUE_STATE WdfIoQueueGetState(_In_ WDFQUEUE Queue, _Out_opt_ PULONG QueueRequests,
                                      _Out_opt_ PULONG DriverRequests);
/* Accepts and dispatches requests again (also after a purge). */
VOID WdfIoQueueStart(_In_ WDFQUEUE Queue);
/* Stops dispatching; requests still arrive and wait. StopComplete runs once
   the driver owns none of the queue's requests. */
VOID WdfIoQueueStop(_In_ WDFQUEUE Queue, _When_(Context != 0, _In_) _In_opt_ PFN_WDF_IO_QUEUE_STATE StopComplete,
                    _When_(StopComplete != 0, _In_) _In_opt_ WDFCONTEXT Context);
VOID WdfIoQueueStopSynchronously(_In_ WDFQUEUE Queue);
/* Stops accepting and dispatching, cancels every waiting request (through
   EvtIoCanceledOnQueue, else with STATUS_CANCELLED); PurgeComplete runs once
   the driver owns none of the queue's requests. New requests fail with
   STATUS_INVALID_DEVICE_STATE until WdfIoQueueStart. */
VOID WdfIoQueuePurge(_In_ WDFQUEUE Queue, _When_(Context != 0, _In_) _In_opt_ PFN_WDF_IO_QUEUE_STATE PurgeComplete,
                     _When_(PurgeComplete != 0, _In_) _In_opt_ WDFCONTEXT Context);
/* The same, and waits (running the dispatcher) until that point. */
VOID WdfIoQueuePurgeSynchronously(_In_ WDFQUEUE Queue);
/* Oldest request first. STATUS_NO_MORE_ENTRIES when none waits,
   STATUS_WDF_PAUSED while the queue is stopped. */
NTSTATUS WdfIoQueueRetrieveNextRequest(_In_ WDFQUEUE Queue, _Out_ WDFREQUEST* OutRequest);
WDFDEVICE WdfIoQueueGetDevice(_In_ WDFQUEUE Queue);
