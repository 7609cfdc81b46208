/*
 * The driver as a whole: its entry and registry configuration, the main
 * device with its client count and power callbacks, and the enumeration of
 * the system's serial ports into port devices.
 */
#pragma once

#include "link/HartDeviceContext.h"
#include "port/HartPort.h"

/* Entry and configuration. */
extern "C" DRIVER_INITIALIZE DriverEntry;
NTSTATUS HartUtilRegistryValueGet(PCUNICODE_STRING RegistryPath, PCUNICODE_STRING ValueName, PULONG Value);
VOID HartPrintBanner(VOID);

/* Main device. */
EVT_WDF_DRIVER_DEVICE_ADD HartEvtDriverDeviceAdd;
EVT_WDF_DRIVER_UNLOAD HartMainEvtDriverUnload;
EVT_WDF_DEVICE_FILE_CREATE HartMainEvtDeviceFileCreate;
EVT_WDF_FILE_CLEANUP HartMainEvtFileCleanup;
EVT_WDF_FILE_CLOSE HartMainEvtFileClose;
EVT_WDF_OBJECT_CONTEXT_CLEANUP HartEvtDeviceContextCleanup;
EVT_WDF_DEVICE_SELF_MANAGED_IO_CLEANUP HartMainEvtDeviceSelfManagedIoCleanup;
EVT_WDF_DEVICE_SELF_MANAGED_IO_FLUSH HartMainEvtDeviceSelfManagedIoFlush;
EVT_WDF_DEVICE_SELF_MANAGED_IO_SUSPEND HartMainEvtDeviceSelfManagedIoSuspend;
EVT_WDF_DEVICE_SELF_MANAGED_IO_RESTART HartMainEvtDeviceSelfManagedIoRestart;
EVT_WDF_WORKITEM HartEvtWorkItemCleanup;

/* Ticks of the link timer for which a port stays quiet after its I/O restarts. */
#define HART_RESTART_DELAY_TICKS 200

/* Port enumeration and the main device's control requests. */
NTSTATUS CreateHartDevices(WDFDEVICE Device);
NTSTATUS DeleteHartDevices(PDRIVER_CONTEXT DriverContext);
/*
 * Tears down a port device the caller has taken out of the driver's
 * collection. It waits for the port's callbacks, so the caller must not hold
 * the driver's lock: a serial port's removal, running meanwhile, takes it.
 */
VOID HartDeletePortDevice(WDFDEVICE Port);
EVT_WDF_IO_QUEUE_IO_DEVICE_CONTROL HartFuncDeviceQueueEvtIoDeviceControl;

/* The serial device map the enumeration reads. */
#define HART_SERIAL_DEVICE_MAP u"\\Registry\\Machine\\Hardware\\DeviceMap\\SERIALCOMM"
