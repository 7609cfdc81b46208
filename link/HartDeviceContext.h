/*
 * The driver's records: the port record, the complete state of one HART link
 * attached to every port device; the driver-wide record whose timing set
 * each new port copies; the main device's record and the records of the work
 * items. They sit at the bottom so that every folder reaches them.
 */
#pragma once

#include <wdf.h>

#include "HartLinkEvents.h"

#define HART_BUFFER_SIZE 269
/* The most preambles the receiver takes before it calls the frame a flood. */
#define HART_MAX_PREAMBLES 250
/* The longest frame: delimiter, five address bytes, three expansion bytes,
   command, byte count, 255 data bytes and the check byte. */
#define HART_MAX_FRAME_LENGTH 267
/* The longest client write: the longest frame behind the most preambles. */
#define HART_MAX_WRITE_LENGTH (HART_MAX_PREAMBLES + HART_MAX_FRAME_LENGTH)
#define HART_FSM_EVENT_QUEUE_SIZE 8
#define HART_NAME_LENGTH 256

struct HART_FSM_STATE;

/* Receiver states (ReceiverState). */
enum HART_RECEIVER_STATE : ULONG {
    STATE_WAITING_FOR_PREAMBLE = 0,
    STATE_VALIDATING_PREAMBLE = 1,
    STATE_RECEIVING_UNTIL_BYTECOUNT = 2,
    STATE_RECEIVING_VALID_DATA = 3,
    STATE_VALIDATING_MESSAGE = 4,
};

/* StateMachineMode values. */
#define HART_MODE_MASTER 0
#define HART_MODE_SLAVE 1

/* MasterType values: this station's master-address bit. */
#define HART_PRIMARY_MASTER 0x80
#define HART_SECONDARY_MASTER 0x00

#define PREAMBLE_CHARACTER 0xFF

typedef struct _HART_PROTOCOL_INFO {
    UCHAR RcvAddress[5];
    UCHAR MasterType;
    UCHAR Delim;
    UCHAR RcvFrameType;
    UCHAR RetryCount;
    UCHAR Rcv_Mask;
    USHORT StateMachineMode;
} HART_PROTOCOL_INFO, *PHART_PROTOCOL_INFO;

typedef struct _HART_COMM_DATA {
    UCHAR Buffer_Rcv1[HART_BUFFER_SIZE];
    UCHAR Buffer_Rcv2[HART_BUFFER_SIZE];
    UCHAR Buffer_Xmt[HART_BUFFER_SIZE];
    PUCHAR pRcvBuffer;
    PUCHAR pReadBuffer;
    PUCHAR pRcvInsert;
    ULONG ReadLength;
    /* The frame to read failed its check byte: its own verdict, not the last frame's. */
    BOOLEAN ReadFrameCorrupt;
} HART_COMM_DATA, *PHART_COMM_DATA;

typedef struct _HART_FSM_EVENT_QUEUE {
    UCHAR Events[HART_FSM_EVENT_QUEUE_SIZE];
    WDFWAITLOCK Lock;
} HART_FSM_EVENT_QUEUE, *PHART_FSM_EVENT_QUEUE;

typedef struct _HARTDEVICE_CONTEXT {
    /* Names and handles of the port. */
    WDFDEVICE Device;
    UCHAR SymbolicLinkCreated;
    WCHAR SymbolicLinkName[HART_NAME_LENGTH];
    WCHAR SerialPortName[HART_NAME_LENGTH];
    WDFDEVICE MainDevice;
    WDFIOTARGET IoTarget;
    LONG lOpenedFileHandleCount;
    /* The serial port went away: the main device's cleanup work item deletes this port. */
    BOOLEAN PortRemoved;
    /* The port is being deleted: a callback of its own that waited meanwhile
       finds its queues gone and must not touch them again. */
    BOOLEAN PortDeleting;

    /* Queues, locks, work items. */
    WDFQUEUE QueueIoctl;
    WDFQUEUE QueueRead;
    WDFQUEUE QueueReadSecondary;
    WDFQUEUE QueueWrite;
    WDFQUEUE QueueWriteSecondary;
    WDFWAITLOCK QueueReadSecondaryLock;
    WDFWAITLOCK WriteSecondaryQueueLock;
    struct _KEVENT* PnpNotificationEvent;
    WDFWORKITEM WorkItemRead;
    WDFWORKITEM WorkItemWrite;
    WDFWORKITEM WorkItemTriggerTx;

    HART_PROTOCOL_INFO HartProtocolInfo;

    /* Link timing values, in ticks of the 10 ms link timer. */
    LONGLONG TimeInterval;
    USHORT Rt1Primary;
    USHORT Rt1Secondary;
    USHORT Rt2;
    USHORT Sto;
    USHORT QuietTime;
    USHORT BgTimeStart;
    USHORT BgTimeError;
    USHORT Rt1Diff;
    USHORT Pre2;
    USHORT MissedTransmitWindow;
    USHORT BgTimeBase;
    USHORT Hold;
    USHORT Gap;

    /* Master state machine and burst tracking. */
    UCHAR BurstAddress[5];
    const HART_FSM_STATE* CurrentState;
    ULONG ReceiverState;

    HART_COMM_DATA CommData;
    UCHAR RcvByteCount;
    UCHAR RcvCheckByte;
    SHORT PreambleCount;

    /* Event queue, timer and counters. */
    HART_FSM_EVENT_QUEUE FsmEventQueue;
    WDFTIMER LinkTimer;
    USHORT HartQuietTimeCounter;
    USHORT HartHoldTimeCounter;
    USHORT HartBusGrantTimeCounter;
    USHORT HartGapTimeCounter;
    USHORT HartRestartTimeCounter;
    /* Ticks spent in the burst states since the last burst frame. */
    USHORT HartBurstSilenceCounter;

    /* Write (transmit) bookkeeping. */
    WDFREQUEST PendingWriteRequest;
    WDF_REQUEST_COMPLETION_PARAMS WriteCompletionParams;
    PVOID WriteBuffer;
    SIZE_T WriteBufferLength;
    ULONG WriteRetriesLeftCount;
    WDFREQUEST WriteRequestToSerial;

    /* Read bookkeeping. */
    WDFREQUEST ReadRequestToSerial;
    WDFSPINLOCK ReadSpinLock;
    UCHAR SerialReadActive;
    /* A serial read is being sent: a completion now comes from inside the send. */
    BOOLEAN SerialReadSending;
    /* A client read was cancelled: the read loop rests, and a read work item
       already queued does not re-arm it, until a transmission or open does. */
    BOOLEAN SerialReadHeld;

    /* Transmit timing. */
    USHORT HartResposeWaitBufferTime;
    LONGLONG WriteStartCounter;
    LONGLONG WriteEndCounter;
    LONGLONG PerformanceFrequency;
} HARTDEVICE_CONTEXT, *PHARTDEVICE_CONTEXT;

WDF_DECLARE_CONTEXT_TYPE_WITH_NAME(HARTDEVICE_CONTEXT, HartGetDeviceContext)

/*
 * The driver-wide record. The timing fields keep the order and widths of the
 * port record's copy, including the never-set slot where the port keeps
 * BgTimeBase.
 */
typedef struct _DRIVER_CONTEXT {
    WDFCOLLECTION Collection;
    WDFWAITLOCK WaitLock;
    USHORT Rt1Primary;
    USHORT Rt1Secondary;
    USHORT Rt2;
    USHORT Sto;
    USHORT QuietTime;
    USHORT BgTimeStart;
    USHORT BgTimeError;
    USHORT Rt1Diff;
    USHORT Pre2;
    USHORT MissedTransmitWindow;
    USHORT BgTimeBase;
    USHORT Hold;
    USHORT Gap;
    LONG TimeInterval;
} DRIVER_CONTEXT, *PDRIVER_CONTEXT;

WDF_DECLARE_CONTEXT_TYPE_WITH_NAME(DRIVER_CONTEXT, HartGetDriverContext)

/* The main device's record: its queue, client count and cleanup work item. */
typedef struct _DEVICE_CONTEXT {
    WDFDEVICE Device;
    WDFDRIVER Driver;
    WDFQUEUE QueueIoctl;
    ULONG lDeviceCount;
    WDFWAITLOCK ClientCountLock;
    WDFWORKITEM CleanupWorkItem;
} DEVICE_CONTEXT, *PDEVICE_CONTEXT;

WDF_DECLARE_CONTEXT_TYPE_WITH_NAME(DEVICE_CONTEXT, HartGetMainDeviceContext)

/* The cleanup work item's record: the port device whose serial port went away
   last. Every port marked PortRemoved is deleted, however many went before
   the work item ran. */
typedef struct _CLEANUP_WORKITEM_CONTEXT {
    WDFDEVICE MainDevice;
    WDFDEVICE HartDevice;
} CLEANUP_WORKITEM_CONTEXT, *PCLEANUP_WORKITEM_CONTEXT;

WDF_DECLARE_CONTEXT_TYPE_WITH_NAME(CLEANUP_WORKITEM_CONTEXT, HartGetCleanupWorkItemContext)

/* The record of every port work item: the port device it serves. */
typedef struct _WORKITEM_CONTEXT {
    WDFDEVICE Device;
} WORKITEM_CONTEXT, *PWORKITEM_CONTEXT;

WDF_DECLARE_CONTEXT_TYPE_WITH_NAME(WORKITEM_CONTEXT, HartGetWorkItemContext)

VOID HartInitializeDeviceContext(WDFDEVICE Device);
BOOLEAN HartInitializeStateMachines(WDFDEVICE Device);

/* Stores the port in the work item's record, then enqueues it. */
VOID HartEnqueuePortWorkItem(WDFWORKITEM WorkItem, WDFDEVICE Device);
