#pragma once

#include <wdfobject.h>
#include <wdfmemory.h>

typedef enum _WDF_REQUEST_TYPE {
    WdfRequestTypeCreate = 0x0,
    WdfRequestTypeCreateNamedPipe = 0x1,
    WdfRequestTypeClose = 0x2,
    WdfRequestTypeRead = 0x3,
    WdfRequestTypeWrite = 0x4,
    WdfRequestTypeQueryInformation = 0x5,
    WdfRequestTypeSetInformation = 0x6,
    WdfRequestTypeQueryEA = 0x7,
    WdfRequestTypeSetEA = 0x8,
    WdfRequestTypeFlushBuffers = 0x9,
    WdfRequestTypeQueryVolumeInformation = 0xa,
    WdfRequestTypeSetVolumeInformation = 0xb,
    WdfRequestTypeDirectoryControl = 0xc,
    WdfRequestTypeFileSystemControl = 0xd,
    WdfRequestTypeDeviceControl = 0xe,
    WdfRequestTypeDeviceControlInternal = 0xf,
    WdfRequestTypeShutdown = 0x10,
    WdfRequestTypeLockControl = 0x11,
    WdfRequestTypeCleanup = 0x12,
    WdfRequestTypeCreateMailSlot = 0x13,
    WdfRequestTypeQuerySecurity = 0x14,
    WdfRequestTypeSetSecurity = 0x15,
    WdfRequestTypePower = 0x16,
    WdfRequestTypeSystemControl = 0x17,
    WdfRequestTypeDeviceChange = 0x18,
    WdfRequestTypeQueryQuota = 0x19,
    WdfRequestTypeSetQuota = 0x1A,
    WdfRequestTypePnp = 0x1B,
    WdfRequestTypeOther = 0x1C,
    WdfRequestTypeUsb = 0x40,
    WdfRequestTypeNoFormat = 0xFF,
    WdfRequestTypeMax,
} WDF_REQUEST_TYPE;

typedef struct _WDF_REQUEST_PARAMETERS {
    USHORT Size;
    UCHAR MinorFunction;
    WDF_REQUEST_TYPE Type;
    union {
        struct {
            size_t Length;
            ULONG Key;
            LONGLONG DeviceOffset;
        } Read;
        struct {
            size_t Length;
            ULONG Key;
            LONGLONG DeviceOffset;
        } Write;
        struct {
            size_t OutputBufferLength;
            size_t InputBufferLength;
            ULONG IoControlCode;
            PVOID Type3InputBuffer;
        } DeviceIoControl;
        struct {
            PVOID Arg1;
            PVOID Arg2;
            ULONG IoControlCode;
            PVOID Arg4;
        } Others;
    } Parameters;
} WDF_REQUEST_PARAMETERS, *PWDF_REQUEST_PARAMETERS;

inline VOID WDF_REQUEST_PARAMETERS_INIT(_Out_ PWDF_REQUEST_PARAMETERS Parameters)
{
    RtlZeroMemory(Parameters, sizeof(WDF_REQUEST_PARAMETERS));
    Parameters->Size = sizeof(WDF_REQUEST_PARAMETERS);
}

typedef struct _WDF_REQUEST_COMPLETION_PARAMS {
    ULONG Size;
    WDF_REQUEST_TYPE Type;
    IO_STATUS_BLOCK IoStatus;
    union {
        struct {
            WDFMEMORY Buffer;
            size_t Length;
            size_t Offset;
        } Write;
        struct {
            WDFMEMORY Buffer;
            size_t Length;
            size_t Offset;
        } Read;
        struct {
            ULONG IoControlCode;
            struct {
                WDFMEMORY Buffer;
                size_t Offset;
            } Input;
            struct {
                WDFMEMORY Buffer;
                size_t Offset;
                size_t Length;
            } Output;
        } Ioctl;
        struct {
            union {
                PVOID Ptr;
                ULONG_PTR Value;
            } Argument1;
            union {
                PVOID Ptr;
                ULONG_PTR Value;
            } Argument2;
            union {
                PVOID Ptr;
                ULONG_PTR Value;
            } Argument3;
            union {
                PVOID Ptr;
                ULONG_PTR Value;
            } Argument4;
        } Others;
    } Parameters;
} WDF_REQUEST_COMPLETION_PARAMS, *PWDF_REQUEST_COMPLETION_PARAMS;

inline VOID WDF_REQUEST_COMPLETION_PARAMS_INIT(_Out_ PWDF_REQUEST_COMPLETION_PARAMS Params)
{
    RtlZeroMemory(Params, sizeof(WDF_REQUEST_COMPLETION_PARAMS));
    Params->Size = sizeof(WDF_REQUEST_COMPLETION_PARAMS);
    Params->Type = WdfRequestTypeNoFormat;
}

/* A request is completed exactly once; the handle is dead afterwards. */
VOID WdfRequestComplete(_In_ WDFREQUEST Request, _In_ NTSTATUS Status);
VOID WdfRequestCompleteWithInformation(_In_ WDFREQUEST Request, _In_ NTSTATUS Status,
                                       _In_ ULONG_PTR Information);
VOID WdfRequestSetInformation(_In_ WDFREQUEST Request, _In_ ULONG_PTR Information);
ULONG_PTR WdfRequestGetInformation(_In_ WDFREQUEST Request);
NTSTATUS WdfRequestGetStatus(_In_ WDFREQUEST Request);
VOID WdfRequestGetParameters(_In_ WDFREQUEST Request, _Out_ PWDF_REQUEST_PARAMETERS Parameters);
VOID WdfRequestGetCompletionParams(_In_ WDFREQUEST Request, _Out_ PWDF_REQUEST_COMPLETION_PARAMS Params);
/* The buffers of a buffered request: STATUS_BUFFER_TOO_SMALL when the buffer
   is empty or shorter than MinimumRequiredLength, STATUS_INVALID_DEVICE_REQUEST
   when the request's type has no such buffer (a write's output, a read's input). */
NTSTATUS WdfRequestRetrieveInputBuffer(_In_ WDFREQUEST Request, _In_ size_t MinimumRequiredLength,
                                       _Outptr_ PVOID* Buffer, _Out_opt_ size_t* Length);
NTSTATUS WdfRequestRetrieveOutputBuffer(_In_ WDFREQUEST Request, _In_ size_t MinimumRequiredSize,
                                        _Outptr_ PVOID* Buffer, _Out_opt_ size_t* Length);
NTSTATUS WdfRequestRetrieveInputMemory(_In_ WDFREQUEST Request, _Out_ WDFMEMORY* Memory);
NTSTATUS WdfRequestRetrieveOutputMemory(_In_ WDFREQUEST Request, _Out_ WDFMEMORY* Memory);

/* ---- Requests the driver creates and sends to an I/O target. ---- */

typedef VOID EVT_WDF_REQUEST_COMPLETION_ROUTINE(_In_ WDFREQUEST Request, _In_ WDFIOTARGET Target,
                                                _In_ PWDF_REQUEST_COMPLETION_PARAMS Params,
                                                _In_ WDFCONTEXT Context);
typedef EVT_WDF_REQUEST_COMPLETION_ROUTINE* PFN_WDF_REQUEST_COMPLETION_ROUTINE;

typedef enum _WDF_REQUEST_SEND_OPTIONS_FLAGS {
    WDF_REQUEST_SEND_OPTION_TIMEOUT = 0x00000001,
    WDF_REQUEST_SEND_OPTION_SYNCHRONOUS = 0x00000002,
    WDF_REQUEST_SEND_OPTION_IGNORE_TARGET_STATE = 0x00000004,
    WDF_REQUEST_SEND_OPTION_SEND_AND_FORGET = 0x00000008,
} WDF_REQUEST_SEND_OPTIONS_FLAGS;

typedef struct _WDF_REQUEST_SEND_OPTIONS {
    ULONG Size;
    ULONG Flags;
    LONGLONG Timeout;
} WDF_REQUEST_SEND_OPTIONS, *PWDF_REQUEST_SEND_OPTIONS;

inline VOID WDF_REQUEST_SEND_OPTIONS_INIT(_Out_ PWDF_REQUEST_SEND_OPTIONS Options, _In_ ULONG Flags)
{
    RtlZeroMemory(Options, sizeof(WDF_REQUEST_SEND_OPTIONS));
    Options->Size = sizeof(WDF_REQUEST_SEND_OPTIONS);
    Options->Flags = Flags;
}

inline VOID WDF_REQUEST_SEND_OPTIONS_SET_TIMEOUT(_Inout_ PWDF_REQUEST_SEND_OPTIONS Options, _In_ LONGLONG Timeout)
{
    Options->Flags |= WDF_REQUEST_SEND_OPTION_TIMEOUT;
    Options->Timeout = Timeout;
}

typedef enum _WDF_REQUEST_REUSE_FLAGS {
    WDF_REQUEST_REUSE_NO_FLAGS = 0x00000000,
    WDF_REQUEST_REUSE_SET_NEW_IRP = 0x00000001,
} WDF_REQUEST_REUSE_FLAGS;

typedef struct _WDF_REQUEST_REUSE_PARAMS {
    ULONG Size;
    ULONG Flags;
    NTSTATUS Status;
    PIRP NewIrp;
} WDF_REQUEST_REUSE_PARAMS, *PWDF_REQUEST_REUSE_PARAMS;

inline VOID WDF_REQUEST_REUSE_PARAMS_INIT(_Out_ PWDF_REQUEST_REUSE_PARAMS Params, _In_ ULONG Flags,
                                          _In_ NTSTATUS Status)
{
    RtlZeroMemory(Params, sizeof(WDF_REQUEST_REUSE_PARAMS));
    Params->Size = sizeof(WDF_REQUEST_REUSE_PARAMS);
    Params->Flags = Flags;
    Params->Status = Status;
}

/* Without attributes (or a ParentObject) the request belongs to the driver.
   It can be formatted and sent again once its completion routine has run. */
NTSTATUS WdfRequestCreate(_In_opt_ PWDF_OBJECT_ATTRIBUTES RequestAttributes, _In_opt_ WDFIOTARGET IoTarget,
                          _Out_ WDFREQUEST* Request);
/* Clears the status, the information, the formatting and the completion routine. */
NTSTATUS WdfRequestReuse(_In_ WDFREQUEST Request, _In_ PWDF_REQUEST_REUSE_PARAMS ReuseParams);
VOID WdfRequestSetCompletionRoutine(_In_ WDFREQUEST Request,
                                    _In_opt_ PFN_WDF_REQUEST_COMPLETION_ROUTINE CompletionRoutine,
                                    _In_opt_ WDFCONTEXT CompletionContext);
/* TRUE when the request went to the target (its completion routine will run
   exactly once, possibly before this returns). FALSE when it was refused (a
   target that is not open, an unformatted request): nothing runs, and
   WdfRequestGetStatus tells why. */
BOOLEAN WdfRequestSend(_In_ WDFREQUEST Request, _In_ WDFIOTARGET Target, _In_opt_ PWDF_REQUEST_SEND_OPTIONS Options);
/* TRUE when the request was on its way and has been asked to end; it then
   completes (usually with STATUS_CANCELLED) through its completion routine. */
BOOLEAN WdfRequestCancelSentRequest(_In_ WDFREQUEST Request);

/* ---- Requests between queues, and what came with them. ---- */

/* The request leaves the queue it came from (a sequential queue then hands
   out the next one) and waits in DestinationQueue, of the same device. */
NTSTATUS WdfRequestForwardToIoQueue(_In_ WDFREQUEST Request, _In_ WDFQUEUE DestinationQueue);
WDFQUEUE WdfRequestGetIoQueue(_In_ WDFREQUEST Request);
WDFFILEOBJECT WdfRequestGetFileObject(_In_ WDFREQUEST Request);
BOOLEAN WdfRequestIsCanceled(_In_ WDFREQUEST Request);
KPROCESSOR_MODE WdfRequestGetRequestorMode(_In_ WDFREQUEST Request);
/* The request's IRP: RequestorMode UserMode for what clients sent, KernelMode for driver-created requests. */
PIRP WdfRequestWdmGetIrp(_In_ WDFREQUEST Request);
