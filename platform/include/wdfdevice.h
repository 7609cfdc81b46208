#pragma once

#include <wdfobject.h>
#include <wdffileobject.h>
#include <wdfrequest.h>

/* ---- Plug and Play and power callbacks of a function device. ---- */

typedef enum _WDF_POWER_DEVICE_STATE {
    WdfPowerDeviceInvalid = 0,
    WdfPowerDeviceD0,
    WdfPowerDeviceD1,
    WdfPowerDeviceD2,
    WdfPowerDeviceD3,
    WdfPowerDeviceD3Final,
    WdfPowerDevicePrepareForHibernation,
    WdfPowerDeviceMaximum,
} WDF_POWER_DEVICE_STATE, *PWDF_POWER_DEVICE_STATE;

typedef enum _WDF_SPECIAL_FILE_TYPE {
    WdfSpecialFileUndefined = 0,
    WdfSpecialFilePaging = 1,
    WdfSpecialFileHibernation,
    WdfSpecialFileDump,
    WdfSpecialFileBoot,
    WdfSpecialFileMax,
} WDF_SPECIAL_FILE_TYPE;

typedef NTSTATUS EVT_WDF_DEVICE_D0_ENTRY(_In_ WDFDEVICE Device, _In_ WDF_POWER_DEVICE_STATE PreviousState);
typedef EVT_WDF_DEVICE_D0_ENTRY* PFN_WDF_DEVICE_D0_ENTRY;
typedef NTSTATUS EVT_WDF_DEVICE_D0_ENTRY_POST_INTERRUPTS_ENABLED(_In_ WDFDEVICE Device,
                                                                 _In_ WDF_POWER_DEVICE_STATE PreviousState);
typedef EVT_WDF_DEVICE_D0_ENTRY_POST_INTERRUPTS_ENABLED* PFN_WDF_DEVICE_D0_ENTRY_POST_INTERRUPTS_ENABLED;
typedef NTSTATUS EVT_WDF_DEVICE_D0_EXIT(_In_ WDFDEVICE Device, _In_ WDF_POWER_DEVICE_STATE TargetState);
typedef EVT_WDF_DEVICE_D0_EXIT* PFN_WDF_DEVICE_D0_EXIT;
typedef NTSTATUS EVT_WDF_DEVICE_D0_EXIT_PRE_INTERRUPTS_DISABLED(_In_ WDFDEVICE Device,
                                                                _In_ WDF_POWER_DEVICE_STATE TargetState);
typedef EVT_WDF_DEVICE_D0_EXIT_PRE_INTERRUPTS_DISABLED* PFN_WDF_DEVICE_D0_EXIT_PRE_INTERRUPTS_DISABLED;
/* The host gives no hardware resources: both lists are NULL. */
typedef NTSTATUS EVT_WDF_DEVICE_PREPARE_HARDWARE(_In_ WDFDEVICE Device, _In_ WDFCMRESLIST ResourcesRaw,
                                                 _In_ WDFCMRESLIST ResourcesTranslated);
typedef EVT_WDF_DEVICE_PREPARE_HARDWARE* PFN_WDF_DEVICE_PREPARE_HARDWARE;
typedef NTSTATUS EVT_WDF_DEVICE_RELEASE_HARDWARE(_In_ WDFDEVICE Device, _In_ WDFCMRESLIST ResourcesTranslated);
typedef EVT_WDF_DEVICE_RELEASE_HARDWARE* PFN_WDF_DEVICE_RELEASE_HARDWARE;
typedef VOID EVT_WDF_DEVICE_SELF_MANAGED_IO_CLEANUP(_In_ WDFDEVICE Device);
typedef EVT_WDF_DEVICE_SELF_MANAGED_IO_CLEANUP* PFN_WDF_DEVICE_SELF_MANAGED_IO_CLEANUP;
typedef VOID EVT_WDF_DEVICE_SELF_MANAGED_IO_FLUSH(_In_ WDFDEVICE Device);
typedef EVT_WDF_DEVICE_SELF_MANAGED_IO_FLUSH* PFN_WDF_DEVICE_SELF_MANAGED_IO_FLUSH;
typedef NTSTATUS EVT_WDF_DEVICE_SELF_MANAGED_IO_INIT(_In_ WDFDEVICE Device);
typedef EVT_WDF_DEVICE_SELF_MANAGED_IO_INIT* PFN_WDF_DEVICE_SELF_MANAGED_IO_INIT;
typedef NTSTATUS EVT_WDF_DEVICE_SELF_MANAGED_IO_SUSPEND(_In_ WDFDEVICE Device);
typedef EVT_WDF_DEVICE_SELF_MANAGED_IO_SUSPEND* PFN_WDF_DEVICE_SELF_MANAGED_IO_SUSPEND;
typedef NTSTATUS EVT_WDF_DEVICE_SELF_MANAGED_IO_RESTART(_In_ WDFDEVICE Device);
typedef EVT_WDF_DEVICE_SELF_MANAGED_IO_RESTART* PFN_WDF_DEVICE_SELF_MANAGED_IO_RESTART;
typedef VOID EVT_WDF_DEVICE_SURPRISE_REMOVAL(_In_ WDFDEVICE Device);
typedef EVT_WDF_DEVICE_SURPRISE_REMOVAL* PFN_WDF_DEVICE_SURPRISE_REMOVAL;
typedef NTSTATUS EVT_WDF_DEVICE_QUERY_REMOVE(_In_ WDFDEVICE Device);
typedef EVT_WDF_DEVICE_QUERY_REMOVE* PFN_WDF_DEVICE_QUERY_REMOVE;
typedef NTSTATUS EVT_WDF_DEVICE_QUERY_STOP(_In_ WDFDEVICE Device);
typedef EVT_WDF_DEVICE_QUERY_STOP* PFN_WDF_DEVICE_QUERY_STOP;
typedef VOID EVT_WDF_DEVICE_USAGE_NOTIFICATION(_In_ WDFDEVICE Device, _In_ WDF_SPECIAL_FILE_TYPE NotificationType,
                                               _In_ BOOLEAN IsInNotificationPath);
typedef EVT_WDF_DEVICE_USAGE_NOTIFICATION* PFN_WDF_DEVICE_USAGE_NOTIFICATION;
typedef VOID EVT_WDF_DEVICE_RELATIONS_QUERY(_In_ WDFDEVICE Device, _In_ ULONG RelationType);
typedef EVT_WDF_DEVICE_RELATIONS_QUERY* PFN_WDF_DEVICE_RELATIONS_QUERY;
typedef NTSTATUS EVT_WDF_DEVICE_USAGE_NOTIFICATION_EX(_In_ WDFDEVICE Device,
                                                      _In_ WDF_SPECIAL_FILE_TYPE NotificationType,
                                                      _In_ BOOLEAN IsInNotificationPath);
typedef EVT_WDF_DEVICE_USAGE_NOTIFICATION_EX* PFN_WDF_DEVICE_USAGE_NOTIFICATION_EX;

typedef struct _WDF_PNPPOWER_EVENT_CALLBACKS {
    ULONG Size;
    PFN_WDF_DEVICE_D0_ENTRY EvtDeviceD0Entry;
    PFN_WDF_DEVICE_D0_ENTRY_POST_INTERRUPTS_ENABLED EvtDeviceD0EntryPostInterruptsEnabled;
    PFN_WDF_DEVICE_D0_EXIT EvtDeviceD0Exit;
    PFN_WDF_DEVICE_D0_EXIT_PRE_INTERRUPTS_DISABLED EvtDeviceD0ExitPreInterruptsDisabled;
    PFN_WDF_DEVICE_PREPARE_HARDWARE EvtDevicePrepareHardware;
    PFN_WDF_DEVICE_RELEASE_HARDWARE EvtDeviceReleaseHardware;
    PFN_WDF_DEVICE_SELF_MANAGED_IO_CLEANUP EvtDeviceSelfManagedIoCleanup;
    PFN_WDF_DEVICE_SELF_MANAGED_IO_FLUSH EvtDeviceSelfManagedIoFlush;
    PFN_WDF_DEVICE_SELF_MANAGED_IO_INIT EvtDeviceSelfManagedIoInit;
    PFN_WDF_DEVICE_SELF_MANAGED_IO_SUSPEND EvtDeviceSelfManagedIoSuspend;
    PFN_WDF_DEVICE_SELF_MANAGED_IO_RESTART EvtDeviceSelfManagedIoRestart;
    PFN_WDF_DEVICE_SURPRISE_REMOVAL EvtDeviceSurpriseRemoval;
    PFN_WDF_DEVICE_QUERY_REMOVE EvtDeviceQueryRemove;
    PFN_WDF_DEVICE_QUERY_STOP EvtDeviceQueryStop;
    PFN_WDF_DEVICE_USAGE_NOTIFICATION EvtDeviceUsageNotification;
    PFN_WDF_DEVICE_RELATIONS_QUERY EvtDeviceRelationsQuery;
    PFN_WDF_DEVICE_USAGE_NOTIFICATION_EX EvtDeviceUsageNotificationEx;
} WDF_PNPPOWER_EVENT_CALLBACKS, *PWDF_PNPPOWER_EVENT_CALLBACKS;

inline VOID WDF_PNPPOWER_EVENT_CALLBACKS_INIT(_Out_ PWDF_PNPPOWER_EVENT_CALLBACKS Callbacks)
{
    RtlZeroMemory(Callbacks, sizeof(WDF_PNPPOWER_EVENT_CALLBACKS));
    Callbacks->Size = sizeof(WDF_PNPPOWER_EVENT_CALLBACKS);
}

typedef enum _WDF_DEVICE_IO_TYPE {
    WdfDeviceIoUndefined = 0,
    WdfDeviceIoNeither,
    WdfDeviceIoBuffered,
    WdfDeviceIoDirect,
    WdfDeviceIoBufferedOrDirect = 4,
    WdfDeviceIoMaximum,
} WDF_DEVICE_IO_TYPE, *PWDF_DEVICE_IO_TYPE;

/* ---- Device init blocks. ---- */

/* The returned init structure belongs to the caller until WdfDeviceCreate
   succeeds (which clears the caller's pointer) or WdfDeviceInitFree. The
   init block that EvtDriverDeviceAdd receives belongs to the framework. */
PWDFDEVICE_INIT WdfControlDeviceInitAllocate(_In_ WDFDRIVER Driver, _In_ PCUNICODE_STRING SDDLString);
VOID WdfDeviceInitFree(_In_ PWDFDEVICE_INIT DeviceInit);
NTSTATUS WdfDeviceInitAssignName(_Inout_ PWDFDEVICE_INIT DeviceInit, _In_opt_ PCUNICODE_STRING DeviceName);
/* A second open of an exclusive device is refused (STATUS_ACCESS_DENIED) before the driver sees it. */
VOID WdfDeviceInitSetExclusive(_Inout_ PWDFDEVICE_INIT DeviceInit, _In_ BOOLEAN IsExclusive);
VOID WdfDeviceInitSetDeviceType(_Inout_ PWDFDEVICE_INIT DeviceInit, _In_ DEVICE_TYPE DeviceType);
/* Only buffered I/O is offered. */
VOID WdfDeviceInitSetIoType(_Inout_ PWDFDEVICE_INIT DeviceInit, _In_ WDF_DEVICE_IO_TYPE IoType);
VOID WdfDeviceInitSetFileObjectConfig(_Inout_ PWDFDEVICE_INIT DeviceInit, _In_ PWDF_FILEOBJECT_CONFIG FileObjectConfig,
                                      _In_opt_ PWDF_OBJECT_ATTRIBUTES FileObjectAttributes);
/* Function devices only (the init block of EvtDriverDeviceAdd). */
VOID WdfDeviceInitSetPnpPowerEventCallbacks(_Inout_ PWDFDEVICE_INIT DeviceInit,
                                            _In_ PWDF_PNPPOWER_EVENT_CALLBACKS PnpPowerEventCallbacks);
VOID WdfDeviceInitSetPowerPolicyOwnership(_Inout_ PWDFDEVICE_INIT DeviceInit, _In_ BOOLEAN IsPowerPolicyOwner);

/* ---- Devices. ---- */

/* STATUS_OBJECT_NAME_COLLISION when the name is taken in the object namespace. */
NTSTATUS WdfDeviceCreate(_Inout_ PWDFDEVICE_INIT* DeviceInit, _In_opt_ PWDF_OBJECT_ATTRIBUTES DeviceAttributes,
                         _Out_ WDFDEVICE* Device);
/* Until this is called, a control device cannot be opened. */
VOID WdfControlFinishInitializing(_In_ WDFDEVICE Device);
WDFDRIVER WdfDeviceGetDriver(_In_ WDFDEVICE Device);
/* Sends every request of RequestType that reaches the device to Queue. One
   queue per type; a request of a type that no queue takes (and no default
   queue) is failed with STATUS_INVALID_DEVICE_REQUEST without reaching the driver. */
NTSTATUS WdfDeviceConfigureRequestDispatching(_In_ WDFDEVICE Device, _In_ WDFQUEUE Queue,
                                              _In_ WDF_REQUEST_TYPE RequestType);
/* Function devices only; the interface is enabled while the device is started. */
NTSTATUS WdfDeviceCreateDeviceInterface(_In_ WDFDEVICE Device, _In_ const GUID* InterfaceClassGUID,
                                        _In_opt_ PCUNICODE_STRING ReferenceString);
PDEVICE_OBJECT WdfDeviceWdmGetDeviceObject(_In_ WDFDEVICE Device);
