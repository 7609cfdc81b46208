/*
 * Port enumeration: one port device for every entry of the serial device map
 * whose COM name is well formed, the deletion of every port device, and the
 * main device's two control requests.
 */
#include "driver/HartDriver.h"
#include "link/HartTrace.h"

#define HART_KEY_READ 0x20019
#define HART_VALUE_BUFFER_SIZE 272
#define HART_COM_PREFIX_BYTES 6      /* "COM" */
#define HART_MIN_COM_NAME_BYTES 8    /* "COM", one more character or the NUL */
#define HART_MAX_COM_NAME_BYTES 162  /* keeps the device name within its 256 characters */
#define HART_DEVICE_PREFIX u"\\Device\\"
/* Entries in a row that fail before the map is taken as damaged and the walk ends. */
#define HART_MAX_MAP_FAILURES 64

VOID HartDeletePortLink(PHARTDEVICE_CONTEXT PortContext);

/* The three names built for one port, each in 256 wide characters zero-filled per entry. */
typedef struct _HART_PORT_NAMES {
    WCHAR DeviceName[HART_NAME_LENGTH];
    WCHAR LinkName[HART_NAME_LENGTH];
    WCHAR SerialName[HART_NAME_LENGTH];
    UNICODE_STRING Device;
    UNICODE_STRING Link;
    UNICODE_STRING Serial;
} HART_PORT_NAMES;

/* Appends Bytes of Text to a counted name whose buffer holds 256 wide characters. */
static VOID HartAppendName(PUNICODE_STRING Name, const WCHAR* Text, USHORT Bytes)
{
    USHORT room = (USHORT)(Name->MaximumLength - Name->Length);
    if (Bytes > room) {
        Bytes = room;
    }
    RtlCopyMemory((PUCHAR)Name->Buffer + Name->Length, Text, Bytes);
    Name->Length = (USHORT)(Name->Length + Bytes);
}

static VOID HartStartName(PUNICODE_STRING Name, WCHAR* Buffer)
{
    RtlZeroMemory(Buffer, HART_NAME_LENGTH * sizeof(WCHAR));
    Name->Buffer = Buffer;
    Name->Length = 0;
    /* One character stays zero, so that the name is also terminated. */
    Name->MaximumLength = (USHORT)((HART_NAME_LENGTH - 1) * sizeof(WCHAR));
}

/* The port device name and link name: each prefix, then the port suffix. */
static VOID HartBuildPortNames(HART_PORT_NAMES* Names, const WCHAR* Suffix, USHORT SuffixBytes)
{
    HartStartName(&Names->Device, Names->DeviceName);
    HartStartName(&Names->Link, Names->LinkName);
    HartStartName(&Names->Serial, Names->SerialName);
    HartAppendName(&Names->Device, HART_PORT_DEVICE_NAME_PREFIX, sizeof(HART_PORT_DEVICE_NAME_PREFIX) - sizeof(WCHAR));
    HartAppendName(&Names->Device, Suffix, SuffixBytes);
    HartAppendName(&Names->Link, HART_PORT_LINK_NAME_PREFIX, sizeof(HART_PORT_LINK_NAME_PREFIX) - sizeof(WCHAR));
    HartAppendName(&Names->Link, Suffix, SuffixBytes);
}

/* One map entry into a port device; the entry's own checks come first. */
static VOID HartCreatePortFromMapEntry(WDFDEVICE Device, PKEY_VALUE_FULL_INFORMATION Entry)
{
    const WCHAR* comName = (const WCHAR*)((PUCHAR)Entry + Entry->DataOffset);
    ULONG comBytes = Entry->DataLength;
    /* Half a character would shift the terminator test and leave a name with half a character in it. */
    if (comBytes < HART_MIN_COM_NAME_BYTES || (comBytes % sizeof(WCHAR)) != 0 ||
        (Entry->NameLength % sizeof(WCHAR)) != 0) {
        HartTrace(0x01, "%s Error: Ignoring bad-named COM port\n", "CreateHartDevices");
        return;
    }
    if (comName[0] != u'C' || comName[1] != u'O' || comName[2] != u'M') {
        HartTrace(0x01, "%s Error: Ignoring bad-named COM port (2).\n", "CreateHartDevices");
        return;
    }
    USHORT suffixBytes = (USHORT)(comBytes - HART_COM_PREFIX_BYTES);
    if (comName[comBytes / sizeof(WCHAR) - 1] == 0) {
        suffixBytes = (USHORT)(suffixBytes - sizeof(WCHAR));
    }
    HART_PORT_NAMES names;
    HartBuildPortNames(&names, comName + 3, suffixBytes);
    BOOLEAN prefixed = !(Entry->NameLength >= sizeof(WCHAR) && Entry->Name[0] == u'\\');
    if (prefixed) {
        HartAppendName(&names.Serial, HART_DEVICE_PREFIX, sizeof(HART_DEVICE_PREFIX) - sizeof(WCHAR));
    }
    HartAppendName(&names.Serial, Entry->Name, (USHORT)Entry->NameLength);
    HartTrace(0x01, prefixed ? "%s 2 portName: %ws Len: %d!\n" : "%s 1 portName: %ws Len: %d!\n", "CreateHartDevices",
              names.SerialName, (int)names.Serial.Length);
    HartInitializeDeviceObject(Device, &names.Device, &names.Serial, &names.Link);
}

NTSTATUS CreateHartDevices(WDFDEVICE Device)
{
    UNICODE_STRING mapName;
    RtlInitUnicodeString(&mapName, HART_SERIAL_DEVICE_MAP);
    OBJECT_ATTRIBUTES objectAttributes;
    InitializeObjectAttributes(&objectAttributes, &mapName, OBJ_CASE_INSENSITIVE | OBJ_KERNEL_HANDLE, NULL, NULL);
    HANDLE key = NULL;
    NTSTATUS status = ZwOpenKey(&key, HART_KEY_READ, &objectAttributes);
    if (!NT_SUCCESS(status)) {
        HartTrace(0x01, "%s Error: ZwOpenKey failed with status 0x%2X\n", "CreateHartDevices", (unsigned)status);
        return status;
    }
    alignas(8) UCHAR buffer[HART_VALUE_BUFFER_SIZE];
    ULONG failuresInARow = 0;
    for (ULONG index = 0;; index++) {
        RtlZeroMemory(buffer, sizeof(buffer));
        ULONG resultLength = 0;
        status = ZwEnumerateValueKey(key, index, KeyValueFullInformation, buffer, sizeof(buffer), &resultLength);
        if (status == STATUS_NO_MORE_ENTRIES) {
            break;
        }
        if (!NT_SUCCESS(status)) {
            HartTrace(0x01, "%s Error: ZwEnumerateValueKey failed with status 0x%2X\n", "CreateHartDevices",
                      (unsigned)status);
            /* A damaged key may never say it has no more entries. */
            if (++failuresInARow == HART_MAX_MAP_FAILURES) {
                HartTrace(0x01, "%s Error: the serial device map fails at every entry; stopped after %d\n",
                          "CreateHartDevices", (int)(index + 1));
                break;
            }
            continue;
        }
        failuresInARow = 0;
        HartCreatePortFromMapEntry(Device, (PKEY_VALUE_FULL_INFORMATION)buffer);
    }
    ZwClose(key);
    return STATUS_SUCCESS;
}

/*
 * Nothing of the port may run once it is gone: its link timer and work items
 * stop first, and the write it holds ends here rather than being left for
 * whoever notices the device is gone.
 */
static VOID HartStopPortBeforeDelete(PHARTDEVICE_CONTEXT PortContext)
{
    /* Nothing new may reach the port while it goes: what still waits in its queues ends there. */
    WDFQUEUE queues[] = {PortContext->QueueWrite, PortContext->QueueRead, PortContext->QueueIoctl};
    for (WDFQUEUE queue : queues) {
        if (queue != NULL) {
            WdfIoQueuePurge(queue, NULL, NULL);
        }
    }
    if (PortContext->LinkTimer != NULL) {
        WdfTimerStop(PortContext->LinkTimer, TRUE);
    }
    PortContext->SerialReadActive = 0;
    HartFlushPortWorkItems(PortContext);
    if (PortContext->PendingWriteRequest != NULL) {
        HartTrace(0x10, "%s: completing the pending write of a port that goes\n", "DeleteHartDevices");
        HartEndPendingWrite(PortContext, STATUS_CANCELLED);
    }
}

VOID HartDeletePortDevice(WDFDEVICE Port)
{
    PHARTDEVICE_CONTEXT portContext = HartGetDeviceContext(Port);
    if (portContext != NULL) {
        portContext->PortDeleting = TRUE;
        HartStopPortBeforeDelete(portContext);
        if (portContext->PnpNotificationEvent != NULL) {
            ObDereferenceObject(portContext->PnpNotificationEvent);
            portContext->PnpNotificationEvent = NULL;
        }
        if (portContext->QueueReadSecondary != NULL) {
            /* The reads' cancel callbacks run before the queue goes with its device. */
            WdfIoQueuePurgeSynchronously(portContext->QueueReadSecondary);
        }
        if (portContext->IoTarget != NULL) {
            if (WdfIoTargetGetState(portContext->IoTarget) == WdfIoTargetStarted) {
                WdfIoTargetClose(portContext->IoTarget);
            }
            WdfObjectDelete(portContext->IoTarget);
            portContext->IoTarget = NULL;
        }
        HartDeletePortLink(portContext);
    }
    WdfObjectDelete(Port);
}

NTSTATUS DeleteHartDevices(PDRIVER_CONTEXT DriverContext)
{
    if (DriverContext == NULL) {
        HartTrace(0x01, "%s Error: Invalid parameter!\n", "DeleteHartDevices");
        return STATUS_INVALID_PARAMETER;
    }
    for (;;) {
        WdfWaitLockAcquire(DriverContext->WaitLock, NULL);
        if (WdfCollectionGetCount(DriverContext->Collection) == 0) {
            WdfWaitLockRelease(DriverContext->WaitLock);
            return STATUS_SUCCESS;
        }
        WDFDEVICE port = (WDFDEVICE)WdfCollectionGetFirstItem(DriverContext->Collection);
        if (port == NULL) {
            HartTrace(0x01, "HartDevice is NULL!\n");
            WdfWaitLockRelease(DriverContext->WaitLock);
            return STATUS_SUCCESS;
        }
        WdfCollectionRemove(DriverContext->Collection, port);
        WdfWaitLockRelease(DriverContext->WaitLock);
        HartDeletePortDevice(port);
    }
}

/* The port description of IOCTL_HART_MODEM_INIT, refused when its lengths leave the names' bounds. */
static NTSTATUS HartModemInit(WDFDEVICE Device, const HART_MODEM_INIT* Description)
{
    ULONG serialBytes = Description->SerialDeviceName.Length;
    ULONG comBytes = Description->ComName.Length;
    if (serialBytes > HART_MODEM_INIT_NAME_BYTES || comBytes < HART_MIN_COM_NAME_BYTES ||
        comBytes > HART_MAX_COM_NAME_BYTES || (serialBytes % sizeof(WCHAR)) != 0 || (comBytes % sizeof(WCHAR)) != 0) {
        HartTrace(0x01, "%s Error: port description out of bounds (name %d, COM name %d bytes)\n",
                  "HartFuncDeviceQueueEvtIoDeviceControl", (int)serialBytes, (int)comBytes);
        return STATUS_INVALID_PARAMETER;
    }
    HART_PORT_NAMES names;
    HartBuildPortNames(&names, (const WCHAR*)Description->ComName.Name + 3,
                       (USHORT)(comBytes - HART_MIN_COM_NAME_BYTES));
    HartAppendName(&names.Serial, (const WCHAR*)Description->SerialDeviceName.Name, (USHORT)serialBytes);
    PDEVICE_CONTEXT mainContext = HartGetMainDeviceContext(Device);
    NTSTATUS status = HartInitializeDeviceObject(mainContext->Device, &names.Device, &names.Serial, &names.Link);
    return (status == STATUS_OBJECT_NAME_COLLISION) ? status : STATUS_SUCCESS;
}

VOID HartFuncDeviceQueueEvtIoDeviceControl(WDFQUEUE Queue, WDFREQUEST Request, size_t OutputBufferLength,
                                           size_t InputBufferLength, ULONG IoControlCode)
{
    UNREFERENCED_PARAMETER(OutputBufferLength);
    UNREFERENCED_PARAMETER(InputBufferLength);
    HartTrace(0x02, "%s >>>> \n", "HartFuncDeviceQueueEvtIoDeviceControl");
    WDFDEVICE device = WdfIoQueueGetDevice(Queue);
    PVOID input = NULL;
    size_t inputLength = 0;
    NTSTATUS status;
    switch (IoControlCode) {
    case IOCTL_HART_ENUMERATE_DEVICES:
        HartTrace(0x04, "IOCTL_HART_ENUMERATE_DEVICES 0x%X\n", (unsigned)IoControlCode);
        status = WdfRequestRetrieveInputBuffer(Request, 1, &input, &inputLength);
        if (!NT_SUCCESS(status)) {
            HartTrace(0x01, "IOCTL_HART_ENUMERATE_DEVICES Error: Failed to retrieve Input buffer with status: 0x%X\n",
                      (unsigned)status);
        } else if (input == NULL) {
            status = STATUS_INVALID_PARAMETER;
        } else {
            status = CreateHartDevices(device);
            if (!NT_SUCCESS(status)) {
                HartTrace(0x01, "Create failed with status: 0x%2X\n", (unsigned)status);
            }
        }
        break;
    case IOCTL_HART_MODEM_INIT:
        HartTrace(0x05, "IOCTL_HART_MODEM_INIT 0x%X\n", (unsigned)IoControlCode);
        status = WdfRequestRetrieveInputBuffer(Request, sizeof(HART_MODEM_INIT), &input, &inputLength);
        if (!NT_SUCCESS(status)) {
            HartTrace(0x01, "IOCTL_HART_MODEM_INIT Error: Failed to retrieve Input buffer with status: 0x%X\n",
                      (unsigned)status);
        } else if (input == NULL) {
            status = STATUS_INVALID_PARAMETER;
        } else {
            HART_MODEM_INIT description;
            RtlCopyMemory(&description, input, sizeof(description));
            status = HartModemInit(device, &description);
        }
        break;
    default:
        HartTrace(0x05, "%s Error - Unknown IOCTL...\n", "HartFuncDeviceQueueEvtIoDeviceControl");
        WdfRequestComplete(Request, STATUS_NOT_SUPPORTED);
        return;
    }
    WdfRequestCompleteWithInformation(Request, status, 0);
    HartTrace(0x02, "%s <<<<< \n", "HartFuncDeviceQueueEvtIoDeviceControl");
}
