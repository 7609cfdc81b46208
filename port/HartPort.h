/*
 * Port devices: the device object a client uses for one COM port, its open,
 * cleanup and close, and its read, write and control requests.
 */
#pragma once

#include "link/HartLink.h"
#include "port/HartIoctl.h"

/* Device object. */
NTSTATUS HartInitializeDeviceObject(WDFDEVICE MainDevice, PCUNICODE_STRING DeviceName,
                                    PCUNICODE_STRING SerialPortName, PCUNICODE_STRING SymbolicLinkName);
NTSTATUS HartCreateReadWriteQueues(PHARTDEVICE_CONTEXT DeviceContext);
NTSTATUS HartCreateSecondaryReadQueue(PHARTDEVICE_CONTEXT DeviceContext);
NTSTATUS HartCreateSecondaryWriteQueue(PHARTDEVICE_CONTEXT DeviceContext);
NTSTATUS HartCreateQueueIoctl(WDFDEVICE Device);
NTSTATUS HartInitializeWorkItems(WDFDEVICE Device);
/* Waits until none of the port's work items is queued or running. */
VOID HartFlushPortWorkItems(PHARTDEVICE_CONTEXT DeviceContext);

/* Open, cleanup, close and removal of the serial port. */
EVT_WDF_DEVICE_FILE_CREATE HartEvtDeviceFileCreate;
EVT_WDF_FILE_CLEANUP HartEvtFileCleanup;
EVT_WDF_FILE_CLOSE HartEvtFileClose;

/* Reads. */
EVT_WDF_IO_QUEUE_IO_READ HartQueueEvtIoRead;
NTSTATUS HartCompleteReadRequest(WDFREQUEST Request, PHARTDEVICE_CONTEXT DeviceContext);
EVT_WDF_IO_QUEUE_IO_CANCELED_ON_QUEUE HartEvtIoCanceledOnQueueRead;

/* Writes. */
EVT_WDF_IO_QUEUE_IO_WRITE HartQueueEvtIoWrite;
/* Completes the write the master holds, if any, with Status and forgets it and its retries. */
VOID HartEndPendingWrite(PHARTDEVICE_CONTEXT DeviceContext, NTSTATUS Status);
EVT_WDF_IO_QUEUE_IO_CANCELED_ON_QUEUE HartEvtIoCanceledOnQueueWrite;

/* Control requests. */
EVT_WDF_IO_QUEUE_IO_DEVICE_CONTROL HartQueueEvtIoDeviceControl;
