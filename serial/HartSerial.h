/*
 * The port's serial transport: the configuration of the serial port for
 * HART, the receive loop that keeps one one-character read outstanding, and
 * the transmit path that writes the pending frame in one serial write.
 */
#pragma once

#include <ntddser.h>

#include "link/HartLink.h"

/* Pool tag of every allocation on the serial paths: the bytes "HART" in memory. */
#define HART_POOL_TAG 0x54524148

/* Desired access when the port opens the serial target, and when it re-opens it. */
#define HART_SERIAL_OPEN_ACCESS 0x1F0000
#define HART_SERIAL_REOPEN_ACCESS 0x20000

/* The one purge the driver sends: end pending serial I/O and empty both buffers. */
#define HART_PURGE_ALL (SERIAL_PURGE_TXABORT | SERIAL_PURGE_RXABORT | SERIAL_PURGE_TXCLEAR | SERIAL_PURGE_RXCLEAR)

/* Configuration. */
NTSTATUS HartInitializeSerialPort(WDFDEVICE Device);
NTSTATUS HartSerialSetHandFlow(PHARTDEVICE_CONTEXT DeviceContext, PSERIAL_HANDFLOW HandFlow);
NTSTATUS HartSerialSetTimeouts(PHARTDEVICE_CONTEXT DeviceContext, PSERIAL_TIMEOUTS Timeouts);
NTSTATUS HartSetSerialBaudrate(PHARTDEVICE_CONTEXT DeviceContext, ULONG BaudRate);
NTSTATUS HartSetSerialLineControl(PHARTDEVICE_CONTEXT DeviceContext, PSERIAL_LINE_CONTROL LineControl);
NTSTATUS HartSetSerialFIFOControl(PHARTDEVICE_CONTEXT DeviceContext, ULONG FifoControl);
NTSTATUS HartSetSerialDtr(PHARTDEVICE_CONTEXT DeviceContext);
NTSTATUS HartSerialSetWaitMask(PHARTDEVICE_CONTEXT DeviceContext, ULONG WaitMask);
NTSTATUS HartPurgeSerialPort(WDFDEVICE Device, ULONG PurgeMask);
/* The same requests without waiting for them: for callbacks that must not block. */
NTSTATUS HartSendSerialIoctlAsync(PHARTDEVICE_CONTEXT DeviceContext, PCSTR OperationName, ULONG IoControlCode,
                                  ULONG Value);
EVT_WDF_REQUEST_COMPLETION_ROUTINE IoctlRequestToSerialPortCompletionRoutine;

/* Opens the serial target by the port's SerialPortName with the given access. */
NTSTATUS HartOpenSerialTarget(PHARTDEVICE_CONTEXT DeviceContext, ACCESS_MASK DesiredAccess);

/* Receive path. */
BOOLEAN HartReadDataFromPort(PHARTDEVICE_CONTEXT DeviceContext);
/* A transmission or an open starts the read loop again, even after a cancelled read held it. */
VOID HartRearmSerialRead(PHARTDEVICE_CONTEXT DeviceContext);
EVT_WDF_REQUEST_COMPLETION_ROUTINE HartGotDataFromSerialPort;
EVT_WDF_WORKITEM HartEvtWorkItemRead;

/* Transmit path. */
EVT_WDF_WORKITEM HartEvtWorkItemWrite;
EVT_WDF_REQUEST_COMPLETION_ROUTINE HartWriteRequestToSerialCompletion;
EVT_WDF_WORKITEM HartEvtWorkItemTriggerTx;

/* The port's removal callback, registered whenever the serial target is opened. */
EVT_WDF_IO_TARGET_REMOVE_COMPLETE HartEvtIoTargetRemoveComplete;
