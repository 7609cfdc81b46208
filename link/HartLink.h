/*
 * The link engine's operations: receiver, master state machine, actions and
 * link timer, and the services it needs from the port's serial transport and
 * from its client reads.
 */
#pragma once

#include "HartDeviceContext.h"

/* Receiver. */
UCHAR HartPortDataReceiverFsmProcessReceivedCharacter(WDFDEVICE Device, PUCHAR Character, NTSTATUS Status);
BOOLEAN ResetPortDataReceiverFsm(WDFDEVICE Device);
VOID SendEventToOtherFsm(WDFDEVICE Device, UCHAR Event);
BOOLEAN ProcessFirstPreamble(WDFDEVICE Device, UCHAR Character, NTSTATUS Status);
BOOLEAN ProcessNextPreambles(WDFDEVICE Device, UCHAR Character, NTSTATUS Status);
BOOLEAN ValidateStartOfMessage(WDFDEVICE Device, UCHAR Character);
BOOLEAN ReceiveRemainingHeaderData(WDFDEVICE Device, UCHAR Character);
BOOLEAN ValidateReceivedMessage(WDFDEVICE Device);

/* Master state machine. */
typedef VOID HART_FSM_ACTION(WDFDEVICE Device);
typedef HART_FSM_ACTION* PHART_FSM_ACTION;

typedef struct HART_FSM_ENTRY {
    UCHAR Event;
    PHART_FSM_ACTION Action;
    const HART_FSM_STATE* Next;
} HART_FSM_ENTRY;

struct HART_FSM_STATE {
    PCSTR Name;
    const HART_FSM_ENTRY* Entries;
};

extern const HART_FSM_STATE STATE_BUS_RESTART;
extern const HART_FSM_STATE STATE_RCV_MSG_RESTART;
extern const HART_FSM_STATE STATE_MY_BUS;
extern const HART_FSM_STATE STATE_TRANSMITTING;
extern const HART_FSM_STATE STATE_BUS_FREE;
extern const HART_FSM_STATE STATE_WAIT_ACK;
extern const HART_FSM_STATE STATE_RCV_MSG_ACK;
extern const HART_FSM_STATE STATE_BUS_BUSY;
extern const HART_FSM_STATE STATE_RCV_MSG_OSTX;
extern const HART_FSM_STATE STATE_WAIT_OACK;
extern const HART_FSM_STATE STATE_RCV_MSG_OACK;
extern const HART_FSM_STATE STATE_TOO_MANY_PRE;
extern const HART_FSM_STATE STATE_BURST_MY_BUS;
extern const HART_FSM_STATE STATE_BURST_TRANSMITTING;
extern const HART_FSM_STATE STATE_BURST_WAIT_ACK;
extern const HART_FSM_STATE STATE_BURST_RCV_MSG_ACK;
extern const HART_FSM_STATE STATE_BURST_BUS_BUSY;
extern const HART_FSM_STATE STATE_BURST_RCV_MSG;
extern const HART_FSM_STATE STATE_BURST_WAIT_OACK;
extern const HART_FSM_STATE STATE_BURST_RCV_MSG_OACK;
extern const HART_FSM_STATE STATE_BURST_PENDING_ACK;
extern const HART_FSM_STATE STATE_BURST_PENDING_OACK;
extern const HART_FSM_STATE STATE_BURST_TOO_MANY_PRE;

VOID FsmMasterProcessEvent(WDFDEVICE Device, UCHAR Event);

/* Master actions. */
HART_FSM_ACTION no_action;
HART_FSM_ACTION restart_timers;
HART_FSM_ACTION restart_timers_ACK_err;
HART_FSM_ACTION CleanupForSuspendIo;
HART_FSM_ACTION InitializeForRestartIo;
HART_FSM_ACTION transmit;
HART_FSM_ACTION missed_window;
HART_FSM_ACTION init_BG_wait_slave;
HART_FSM_ACTION init_BG_wait_slave_burst_on;
HART_FSM_ACTION init_BG_wait_slave_xmit;
HART_FSM_ACTION init_BG_noresp_wait_slave;
HART_FSM_ACTION init_BG_wait_xmit;
HART_FSM_ACTION init_BG_wait_xmit_burst_on;
HART_FSM_ACTION init_BG_wait_req;
HART_FSM_ACTION init_BG_wait_pri;
HART_FSM_ACTION init_BG_noresp_wait_pri;
HART_FSM_ACTION set_BG_timeout;
HART_FSM_ACTION InitTimeout;
HART_FSM_ACTION preamble_overflow;
HART_FSM_ACTION init_BG_wait_slave_xmit_conf;
HART_FSM_ACTION init_BG_wait_slave_burst_on_xmit_conf;
HART_FSM_ACTION init_BG_wait_req_xmit_conf;
HART_FSM_ACTION activate_match_xmit_conf;

VOID ClearTimerEvents(WDFDEVICE Device);
VOID ClearTransmitRequest(WDFDEVICE Device);
VOID HartMasterFailTransmit(WDFDEVICE Device);
VOID xmit_confirm(WDFDEVICE Device);

/* Link timer. */
NTSTATUS HartInitializeTimer(PHARTDEVICE_CONTEXT DeviceContext);
EVT_WDF_TIMER HartEvtTimerFunc;

/* Link timer period and the due time of its first tick (relative, 100 ns). */
#define HART_LINK_TIMER_PERIOD_MS 10
#define HART_LINK_TIMER_DUE_TIME (-100000LL)

/*
 * Services of the serial transport and the client reads that the engine
 * calls: the transmit path starts a serial write of the pending frame; the
 * read path hands a delivered frame to the oldest waiting client read.
 */
VOID HartWriteDataToSerialPort(PHARTDEVICE_CONTEXT DeviceContext);
VOID HartCompleteNextReadRequest(PHARTDEVICE_CONTEXT DeviceContext);
