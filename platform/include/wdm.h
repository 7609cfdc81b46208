/*
 * Kernel I/O: device objects, I/O request packets, event objects, handles
 * and symbolic links, as far as the driver uses them. Included by <ntddk.h>;
 * the driver does not include it by itself.
 *
 * Device objects and IRPs are the host's: the driver only passes them
 * around (a target's device object to IoBuildDeviceIoControlRequest and
 * IofCallDriver, a request's IRP for its RequestorMode).
 */
#pragma once

#include <ntddk.h>

#ifndef STATUS_WAIT_0
#define STATUS_WAIT_0 ((NTSTATUS)0x00000000L)
#endif
#ifndef STATUS_NO_SUCH_DEVICE
#define STATUS_NO_SUCH_DEVICE ((NTSTATUS)0xC000000EL)
#endif
#ifndef STATUS_ACCESS_DENIED
#define STATUS_ACCESS_DENIED ((NTSTATUS)0xC0000022L)
#endif
#ifndef STATUS_OBJECT_TYPE_MISMATCH
#define STATUS_OBJECT_TYPE_MISMATCH ((NTSTATUS)0xC0000024L)
#endif
#ifndef STATUS_OBJECT_NAME_INVALID
#define STATUS_OBJECT_NAME_INVALID ((NTSTATUS)0xC0000033L)
#endif
#ifndef STATUS_SHARING_VIOLATION
#define STATUS_SHARING_VIOLATION ((NTSTATUS)0xC0000043L)
#endif
#ifndef STATUS_INVALID_BUFFER_SIZE
#define STATUS_INVALID_BUFFER_SIZE ((NTSTATUS)0xC0000206L)
#endif
#ifndef STATUS_DEVICE_REMOVED
#define STATUS_DEVICE_REMOVED ((NTSTATUS)0xC00002B6L)
#endif

/* ---- GUIDs. ---- */

#ifndef GUID_DEFINED
#define GUID_DEFINED
typedef struct _GUID {
    ULONG Data1;
    USHORT Data2;
    USHORT Data3;
    UCHAR Data4[8];
} GUID;
#endif
typedef GUID* LPGUID;
typedef const GUID* LPCGUID;
typedef const GUID& REFGUID;

inline bool operator==(const GUID& a, const GUID& b)
{
    return std::memcmp(&a, &b, sizeof(GUID)) == 0;
}

/* One definition for the whole program, so INITGUID is not needed. */
#define DEFINE_GUID(name, l, w1, w2, b1, b2, b3, b4, b5, b6, b7, b8) \
    inline constexpr GUID name = {l, w1, w2, {b1, b2, b3, b4, b5, b6, b7, b8}}

#define IsEqualGUID(a, b) ((a) == (b))

/* ---- Access rights, sharing and create options. ---- */

typedef ULONG ACCESS_MASK;
typedef ACCESS_MASK* PACCESS_MASK;

#ifndef DELETE
#define DELETE 0x00010000L
#endif
#ifndef READ_CONTROL
#define READ_CONTROL 0x00020000L
#endif
#ifndef WRITE_DAC
#define WRITE_DAC 0x00040000L
#endif
#ifndef WRITE_OWNER
#define WRITE_OWNER 0x00080000L
#endif
#ifndef SYNCHRONIZE
#define SYNCHRONIZE 0x00100000L
#endif
#ifndef STANDARD_RIGHTS_REQUIRED
#define STANDARD_RIGHTS_REQUIRED 0x000F0000L
#endif
#ifndef STANDARD_RIGHTS_ALL
#define STANDARD_RIGHTS_ALL 0x001F0000L
#endif
#ifndef GENERIC_READ
#define GENERIC_READ 0x80000000L
#define GENERIC_WRITE 0x40000000L
#define GENERIC_EXECUTE 0x20000000L
#define GENERIC_ALL 0x10000000L
#endif

#define FILE_READ_DATA 0x0001
#define FILE_WRITE_DATA 0x0002
#define FILE_ANY_ACCESS 0
#define FILE_READ_ACCESS 0x0001
#define FILE_WRITE_ACCESS 0x0002

#define FILE_SHARE_READ 0x00000001
#define FILE_SHARE_WRITE 0x00000002
#define FILE_SHARE_DELETE 0x00000004

#define FILE_SUPERSEDE 0x00000000
#define FILE_OPEN 0x00000001
#define FILE_CREATE 0x00000002
#define FILE_OPEN_IF 0x00000003
#define FILE_OVERWRITE 0x00000004
#define FILE_OVERWRITE_IF 0x00000005

#define FILE_DIRECTORY_FILE 0x00000001
#define FILE_WRITE_THROUGH 0x00000002
#define FILE_SYNCHRONOUS_IO_NONALERT 0x00000020
#define FILE_NON_DIRECTORY_FILE 0x00000040

/* ---- Device types and control codes. ---- */

typedef ULONG DEVICE_TYPE;
#ifndef FILE_DEVICE_UNKNOWN
#define FILE_DEVICE_UNKNOWN 0x00000022
#endif
#ifndef FILE_DEVICE_SERIAL_PORT
#define FILE_DEVICE_SERIAL_PORT 0x0000001b
#endif

#define METHOD_BUFFERED 0
#define METHOD_IN_DIRECT 1
#define METHOD_OUT_DIRECT 2
#define METHOD_NEITHER 3

#define CTL_CODE(DeviceType, Function, Method, Access) \
    (((ULONG)(DeviceType) << 16) | ((ULONG)(Access) << 14) | ((ULONG)(Function) << 2) | (ULONG)(Method))
#define DEVICE_TYPE_FROM_CTL_CODE(ctrlCode) (((ULONG)(ctrlCode) & 0xffff0000) >> 16)
#define METHOD_FROM_CTL_CODE(ctrlCode) ((ULONG)((ctrlCode) & 3))

/* ---- Modes, waits and priorities. ---- */

typedef CHAR CCHAR;
typedef CCHAR KPROCESSOR_MODE;
typedef enum _MODE {
    KernelMode,
    UserMode,
    MaximumMode,
} MODE;

typedef enum _KWAIT_REASON {
    Executive = 0,
    UserRequest = 6,
    Suspended = 5,
} KWAIT_REASON;

typedef LONG KPRIORITY;
#define IO_NO_INCREMENT 0
#define EVENT_INCREMENT 1
#define IO_SERIAL_INCREMENT 2

/* ---- Events. ---- */

typedef enum _EVENT_TYPE {
    NotificationEvent,
    SynchronizationEvent,
} EVENT_TYPE;

#define EVENT_QUERY_STATE 0x0001
#define EVENT_MODIFY_STATE 0x0002
#define EVENT_ALL_ACCESS (STANDARD_RIGHTS_REQUIRED | SYNCHRONIZE | 0x3)

typedef struct _DISPATCHER_HEADER {
    UCHAR Type; /* EVENT_TYPE */
    UCHAR Signalling;
    UCHAR Size;
    UCHAR Reserved;
    volatile LONG SignalState;
    /* The host links an event that a client waits on to its waiters here. */
    struct {
        PVOID Flink;
        PVOID Blink;
    } WaitListHead;
} DISPATCHER_HEADER;

typedef struct _KEVENT {
    DISPATCHER_HEADER Header;
} KEVENT, *PKEVENT, *PRKEVENT;

VOID KeInitializeEvent(_Out_ PRKEVENT Event, _In_ EVENT_TYPE Type, _In_ BOOLEAN State);
/* Returns the previous state. Wait = TRUE is not supported (nothing follows a set here). */
LONG KeSetEvent(_Inout_ PRKEVENT Event, _In_ KPRIORITY Increment, _In_ BOOLEAN Wait);
VOID KeClearEvent(_Inout_ PRKEVENT Event);
LONG KeResetEvent(_Inout_ PRKEVENT Event);
LONG KeReadStateEvent(_In_ PRKEVENT Event);

/*
 * Waits by running the host's dispatcher nested until the event is signalled
 * (or the timeout passes: STATUS_TIMEOUT). Timeout NULL waits for ever, 0
 * only looks, negative is relative in 100 ns. Any wait that is not a look is
 * a fault at DISPATCH_LEVEL.
 */
NTSTATUS KeWaitForSingleObject(_In_ PVOID Object, _In_ KWAIT_REASON WaitReason, _In_ KPROCESSOR_MODE WaitMode,
                               _In_ BOOLEAN Alertable, _In_opt_ PLARGE_INTEGER Timeout);

/* ---- Object manager: types, handles and references. ---- */

typedef struct _OBJECT_TYPE* POBJECT_TYPE;
extern POBJECT_TYPE* ExEventObjectType;

typedef struct _OBJECT_HANDLE_INFORMATION {
    ULONG HandleAttributes;
    ACCESS_MASK GrantedAccess;
} OBJECT_HANDLE_INFORMATION, *POBJECT_HANDLE_INFORMATION;

/* Handles are those of the client side's event objects (the values a client
   passes in a buffer). STATUS_INVALID_HANDLE for an unknown one,
   STATUS_OBJECT_TYPE_MISMATCH for another type than asked. */
NTSTATUS ObReferenceObjectByHandle(_In_ HANDLE Handle, _In_ ACCESS_MASK DesiredAccess,
                                   _In_opt_ POBJECT_TYPE ObjectType, _In_ KPROCESSOR_MODE AccessMode,
                                   _Out_ PVOID* Object, _Out_opt_ POBJECT_HANDLE_INFORMATION HandleInformation);
LONG_PTR ObfReferenceObject(_In_ PVOID Object);
LONG_PTR ObfDereferenceObject(_In_ PVOID Object);
#define ObReferenceObject(Object) ObfReferenceObject(Object)
#define ObDereferenceObject(Object) ObfDereferenceObject(Object)

/* ---- Device objects and IRPs. ---- */

struct _IRP;

typedef struct _DEVICE_OBJECT {
    CSHORT Type;
    USHORT Size;
    LONG ReferenceCount;
    struct _DRIVER_OBJECT* DriverObject;
    struct _DEVICE_OBJECT* NextDevice;
    struct _DEVICE_OBJECT* AttachedDevice;
    struct _IRP* CurrentIrp;
    ULONG Flags;
    ULONG Characteristics;
    /* The host's record of the device. */
    PVOID DeviceExtension;
    DEVICE_TYPE DeviceType;
    CCHAR StackSize;
} DEVICE_OBJECT, *PDEVICE_OBJECT;

#define IRP_MJ_CREATE 0x00
#define IRP_MJ_CLOSE 0x02
#define IRP_MJ_READ 0x03
#define IRP_MJ_WRITE 0x04
#define IRP_MJ_DEVICE_CONTROL 0x0e
#define IRP_MJ_INTERNAL_DEVICE_CONTROL 0x0f
#define IRP_MJ_CLEANUP 0x12

typedef struct _IRP {
    CSHORT Type;
    USHORT Size;
    ULONG Flags;
    union {
        PVOID SystemBuffer;
    } AssociatedIrp;
    IO_STATUS_BLOCK IoStatus;
    KPROCESSOR_MODE RequestorMode;
    BOOLEAN PendingReturned;
    BOOLEAN Cancel;
    PIO_STATUS_BLOCK UserIosb;
    PKEVENT UserEvent;
    PVOID UserBuffer;
    UCHAR MajorFunction;
} IRP, *PIRP;

/*
 * A buffered device-control request for DeviceObject. The input is copied at
 * once; on completion the output is copied back, IoStatusBlock filled and
 * Event signalled, and the IRP freed, whether IofCallDriver returned
 * STATUS_PENDING or not.
 */
PIRP IoBuildDeviceIoControlRequest(_In_ ULONG IoControlCode, _In_ PDEVICE_OBJECT DeviceObject,
                                   _In_opt_ PVOID InputBuffer, _In_ ULONG InputBufferLength,
                                   _Out_opt_ PVOID OutputBuffer, _In_ ULONG OutputBufferLength,
                                   _In_ BOOLEAN InternalDeviceIoControl, _In_opt_ PKEVENT Event,
                                   _Out_ PIO_STATUS_BLOCK IoStatusBlock);
/* STATUS_PENDING when the device completes the IRP later, else its final status. */
NTSTATUS IofCallDriver(_In_ PDEVICE_OBJECT DeviceObject, _Inout_ PIRP Irp);
#define IoCallDriver(DeviceObject, Irp) IofCallDriver(DeviceObject, Irp)

/* ---- Symbolic links in the object namespace. ---- */

/* STATUS_OBJECT_NAME_COLLISION when the link name is taken. */
NTSTATUS IoCreateSymbolicLink(_In_ PUNICODE_STRING SymbolicLinkName, _In_ PUNICODE_STRING DeviceName);
/* STATUS_OBJECT_NAME_NOT_FOUND when there is no such link. */
NTSTATUS IoDeleteSymbolicLink(_In_ PUNICODE_STRING SymbolicLinkName);
