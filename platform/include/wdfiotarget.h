/*
 * I/O targets: a lower device in the object namespace that the driver opens
 * by name and sends requests to.
 */
#pragma once

#include <wdfobject.h>
#include <wdfmemory.h>
#include <wdfrequest.h>

typedef enum _WDF_IO_TARGET_STATE {
    WdfIoTargetStateUndefined = 0,
    WdfIoTargetStarted,
    WdfIoTargetStopped,
    WdfIoTargetClosedForQueryRemove,
    WdfIoTargetClosed,
    WdfIoTargetDeleted,
} WDF_IO_TARGET_STATE, *PWDF_IO_TARGET_STATE;

typedef enum _WDF_IO_TARGET_OPEN_TYPE {
    WdfIoTargetOpenUndefined = 0,
    WdfIoTargetOpenUseExistingDevice = 1,
    WdfIoTargetOpenByName = 2,
    WdfIoTargetOpenReopen = 3,
    WdfIoTargetOpenLocalTargetByFile = 4,
} WDF_IO_TARGET_OPEN_TYPE;

typedef enum _WDF_IO_TARGET_SENT_IO_ACTION {
    WdfIoTargetSentIoUndefined = 0,
    WdfIoTargetCancelSentIo,
    WdfIoTargetWaitForSentIoToComplete,
    WdfIoTargetLeaveSentIoPending,
} WDF_IO_TARGET_SENT_IO_ACTION;

typedef NTSTATUS EVT_WDF_IO_TARGET_QUERY_REMOVE(_In_ WDFIOTARGET IoTarget);
typedef EVT_WDF_IO_TARGET_QUERY_REMOVE* PFN_WDF_IO_TARGET_QUERY_REMOVE;
typedef VOID EVT_WDF_IO_TARGET_REMOVE_CANCELED(_In_ WDFIOTARGET IoTarget);
typedef EVT_WDF_IO_TARGET_REMOVE_CANCELED* PFN_WDF_IO_TARGET_REMOVE_CANCELED;
/* The device behind the target went away. Runs once per open; the target is
   closed afterwards if the callback left it open. */
typedef VOID EVT_WDF_IO_TARGET_REMOVE_COMPLETE(_In_ WDFIOTARGET IoTarget);
typedef EVT_WDF_IO_TARGET_REMOVE_COMPLETE* PFN_WDF_IO_TARGET_REMOVE_COMPLETE;

typedef struct _WDF_IO_TARGET_OPEN_PARAMS {
    ULONG Size;
    WDF_IO_TARGET_OPEN_TYPE Type;
    PFN_WDF_IO_TARGET_QUERY_REMOVE EvtIoTargetQueryRemove;
    PFN_WDF_IO_TARGET_REMOVE_CANCELED EvtIoTargetRemoveCanceled;
    PFN_WDF_IO_TARGET_REMOVE_COMPLETE EvtIoTargetRemoveComplete;
    PDEVICE_OBJECT TargetDeviceObject;
    struct _FILE_OBJECT* TargetFileObject;
    UNICODE_STRING TargetDeviceName;
    ACCESS_MASK DesiredAccess;
    ULONG ShareAccess;
    ULONG FileAttributes;
    ULONG CreateDisposition;
    ULONG CreateOptions;
    PVOID EaBuffer;
    ULONG EaBufferLength;
    PLONGLONG AllocationSize;
    ULONG FileInformation;
} WDF_IO_TARGET_OPEN_PARAMS, *PWDF_IO_TARGET_OPEN_PARAMS;

inline VOID WDF_IO_TARGET_OPEN_PARAMS_INIT_OPEN_BY_NAME(_Out_ PWDF_IO_TARGET_OPEN_PARAMS Params,
                                                        _In_ PCUNICODE_STRING TargetDeviceName,
                                                        _In_ ACCESS_MASK DesiredAccess)
{
    RtlZeroMemory(Params, sizeof(WDF_IO_TARGET_OPEN_PARAMS));
    Params->Size = sizeof(WDF_IO_TARGET_OPEN_PARAMS);
    Params->Type = WdfIoTargetOpenByName;
    RtlCopyMemory(&Params->TargetDeviceName, TargetDeviceName, sizeof(UNICODE_STRING));
    Params->DesiredAccess = DesiredAccess;
    Params->CreateOptions = FILE_NON_DIRECTORY_FILE;
    Params->CreateDisposition = FILE_OPEN;
    Params->ShareAccess = FILE_SHARE_READ | FILE_SHARE_WRITE;
}

/* Without attributes (or a ParentObject) the target belongs to Device. A new target is closed. */
NTSTATUS WdfIoTargetCreate(_In_ WDFDEVICE Device, _In_opt_ PWDF_OBJECT_ATTRIBUTES IoTargetAttributes,
                           _Out_ WDFIOTARGET* IoTarget);
/* By name only: STATUS_OBJECT_NAME_NOT_FOUND for an unknown name,
   STATUS_SHARING_VIOLATION when ShareAccess 0 meets another open (or the
   other way round), else what the lower device answers. Started on success. */
NTSTATUS WdfIoTargetOpen(_In_ WDFIOTARGET IoTarget, _In_ PWDF_IO_TARGET_OPEN_PARAMS OpenParams);
/* Cancels what was sent, waits (running the dispatcher) until it has
   completed, and lets the device go. */
VOID WdfIoTargetClose(_In_ WDFIOTARGET IoTarget);
NTSTATUS WdfIoTargetStart(_In_ WDFIOTARGET IoTarget);
/* Requests sent while stopped wait in the target until it is started again.
   WdfIoTargetCancelSentIo cancels what was sent and waits for it. */
VOID WdfIoTargetStop(_In_ WDFIOTARGET IoTarget, _In_ WDF_IO_TARGET_SENT_IO_ACTION Action);
WDF_IO_TARGET_STATE WdfIoTargetGetState(_In_ WDFIOTARGET IoTarget);
WDFDEVICE WdfIoTargetGetDevice(_In_ WDFIOTARGET IoTarget);
/* NULL while the target is not open. */
PDEVICE_OBJECT WdfIoTargetWdmGetTargetDeviceObject(_In_ WDFIOTARGET IoTarget);

/* Memory given as a WDFMEMORY; the offsets select a part of it. DeviceOffset is ignored. */
NTSTATUS WdfIoTargetFormatRequestForRead(_In_ WDFIOTARGET IoTarget, _In_ WDFREQUEST Request,
                                         _In_opt_ WDFMEMORY OutputBuffer, _In_opt_ PWDFMEMORY_OFFSET OutputBufferOffset,
                                         _In_opt_ PLONGLONG DeviceOffset);
NTSTATUS WdfIoTargetFormatRequestForWrite(_In_ WDFIOTARGET IoTarget, _In_ WDFREQUEST Request,
                                          _In_opt_ WDFMEMORY InputBuffer, _In_opt_ PWDFMEMORY_OFFSET InputBufferOffset,
                                          _In_opt_ PLONGLONG DeviceOffset);
NTSTATUS WdfIoTargetFormatRequestForIoctl(_In_ WDFIOTARGET IoTarget, _In_ WDFREQUEST Request, _In_ ULONG IoctlCode,
                                          _In_opt_ WDFMEMORY InputBuffer, _In_opt_ PWDFMEMORY_OFFSET InputBufferOffset,
                                          _In_opt_ WDFMEMORY OutputBuffer,
                                          _In_opt_ PWDFMEMORY_OFFSET OutputBufferOffset);
