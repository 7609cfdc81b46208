#pragma once

#include <wdfobject.h>

typedef ULONG DEVICE_TYPE;
#define FILE_DEVICE_UNKNOWN 0x00000022
#define FILE_DEVICE_SERIAL_PORT 0x0000001b

/* The returned init structure belongs to the caller until WdfDeviceCreate
   succeeds (which clears the caller's pointer) or WdfDeviceInitFree. */
PWDFDEVICE_INIT WdfControlDeviceInitAllocate(_In_ WDFDRIVER Driver, _In_ PCUNICODE_STRING SDDLString);
VOID WdfDeviceInitFree(_In_ PWDFDEVICE_INIT DeviceInit);
NTSTATUS WdfDeviceInitAssignName(_Inout_ PWDFDEVICE_INIT DeviceInit, _In_opt_ PCUNICODE_STRING DeviceName);
VOID WdfDeviceInitSetExclusive(_Inout_ PWDFDEVICE_INIT DeviceInit, _In_ BOOLEAN IsExclusive);
VOID WdfDeviceInitSetDeviceType(_Inout_ PWDFDEVICE_INIT DeviceInit, _In_ DEVICE_TYPE DeviceType);

NTSTATUS WdfDeviceCreate(_Inout_ PWDFDEVICE_INIT* DeviceInit, _In_opt_ PWDF_OBJECT_ATTRIBUTES DeviceAttributes,
                         _Out_ WDFDEVICE* Device);
VOID WdfControlFinishInitializing(_In_ WDFDEVICE Device);
WDFDRIVER WdfDeviceGetDriver(_In_ WDFDEVICE Device);
