/*
 * The master state machine: one table of {event, action, next} per state.
 * After every transition the pending-event queue is offered to the new state
 * from its first slot, so that expiries and a waiting transmission take
 * effect as soon as a state accepts them.
 */
#include "HartLink.h"
#include "HartTrace.h"

static const HART_FSM_ENTRY BusRestartEntries[] = {
    {EVT_STARTUP, restart_timers, &STATE_BUS_RESTART},
    {EVT_VAL_PRE, no_action, &STATE_RCV_MSG_RESTART},
    {EVT_BG_TIMEOUT, no_action, &STATE_BUS_FREE},
    {EVT_Q_TIMEOUT, no_action, &STATE_BUS_FREE},
    {EVT_RESTART_IO, InitializeForRestartIo, &STATE_BUS_FREE},
    {0, NULL, NULL},
};

static const HART_FSM_ENTRY RcvMsgRestartEntries[] = {
    {EVT_STARTUP, restart_timers, &STATE_BUS_RESTART},
    {EVT_INV_SOM, no_action, &STATE_BUS_RESTART},
    {EVT_RCV_STX, restart_timers, &STATE_BUS_RESTART},
    {EVT_RCV_OSTX, init_BG_wait_slave, &STATE_WAIT_OACK},
    {EVT_RCV_ACK, restart_timers, &STATE_BUS_RESTART},
    {EVT_RCV_ACK_BURST, restart_timers, &STATE_BUS_RESTART},
    {EVT_RCV_OACK, init_BG_wait_xmit, &STATE_MY_BUS},
    {EVT_RCV_OACK_BURST, init_BG_wait_slave_burst_on, &STATE_BURST_BUS_BUSY},
    {EVT_RCV_BACK, init_BG_wait_slave_burst_on, &STATE_BURST_BUS_BUSY},
    {EVT_RCV_OBACK, init_BG_wait_xmit_burst_on, &STATE_BURST_MY_BUS},
    {EVT_GOT_ERR, no_action, &STATE_BUS_RESTART},
    {EVT_SUSPEND_IO, CleanupForSuspendIo, &STATE_BUS_RESTART},
    {0, NULL, NULL},
};

static const HART_FSM_ENTRY MyBusEntries[] = {
    {EVT_STARTUP, restart_timers, &STATE_BUS_RESTART},
    {EVT_XMIT_REQ, transmit, &STATE_TRANSMITTING},
    {EVT_BA_TIMEOUT, missed_window, &STATE_BUS_BUSY},
    {EVT_SUSPEND_IO, CleanupForSuspendIo, &STATE_BUS_RESTART},
    {0, NULL, NULL},
};

static const HART_FSM_ENTRY TransmittingEntries[] = {
    {EVT_STARTUP, restart_timers, &STATE_BUS_RESTART},
    {EVT_XMIT_DONE, init_BG_wait_slave_xmit, &STATE_WAIT_ACK},
    {EVT_SUSPEND_IO, CleanupForSuspendIo, &STATE_BUS_RESTART},
    {0, NULL, NULL},
};

static const HART_FSM_ENTRY BusFreeEntries[] = {
    {EVT_STARTUP, restart_timers, &STATE_BUS_RESTART},
    {EVT_VAL_PRE, no_action, &STATE_RCV_MSG_OSTX},
    {EVT_XMIT_REQ, transmit, &STATE_TRANSMITTING},
    {EVT_SUSPEND_IO, CleanupForSuspendIo, &STATE_BUS_RESTART},
    {0, NULL, NULL},
};

static const HART_FSM_ENTRY WaitAckEntries[] = {
    {EVT_VAL_PRE, InitTimeout, &STATE_RCV_MSG_ACK},
    {EVT_BG_TIMEOUT, init_BG_noresp_wait_pri, &STATE_BUS_BUSY},
    {EVT_SUSPEND_IO, CleanupForSuspendIo, &STATE_BUS_RESTART},
    {0, NULL, NULL},
};

static const HART_FSM_ENTRY RcvMsgAckEntries[] = {
    {EVT_STARTUP, restart_timers, &STATE_BUS_RESTART},
    {EVT_RCV_STX, restart_timers_ACK_err, &STATE_BUS_RESTART},
    {EVT_RCV_OSTX, restart_timers_ACK_err, &STATE_BUS_RESTART},
    {EVT_RCV_ACK, init_BG_wait_req_xmit_conf, &STATE_BUS_BUSY},
    {EVT_RCV_ACK_BURST, init_BG_wait_slave_burst_on_xmit_conf, &STATE_BURST_BUS_BUSY},
    {EVT_RCV_OACK, restart_timers_ACK_err, &STATE_BUS_RESTART},
    {EVT_RCV_OACK_BURST, restart_timers_ACK_err, &STATE_BUS_RESTART},
    {EVT_RCV_BACK, restart_timers_ACK_err, &STATE_BUS_RESTART},
    {EVT_RCV_OBACK, restart_timers_ACK_err, &STATE_BUS_RESTART},
    {EVT_GOT_ERR, restart_timers_ACK_err, &STATE_BUS_RESTART},
    {EVT_TOO_MANY_PRE, preamble_overflow, &STATE_TOO_MANY_PRE},
    {EVT_SUSPEND_IO, CleanupForSuspendIo, &STATE_BUS_RESTART},
    {EVT_BG_TIMEOUT, restart_timers_ACK_err, &STATE_BUS_RESTART},
    {0, NULL, NULL},
};

static const HART_FSM_ENTRY BusBusyEntries[] = {
    {EVT_STARTUP, restart_timers, &STATE_BUS_RESTART},
    {EVT_VAL_PRE, no_action, &STATE_RCV_MSG_OSTX},
    {EVT_BG_TIMEOUT, no_action, &STATE_BUS_FREE},
    {EVT_SUSPEND_IO, CleanupForSuspendIo, &STATE_BUS_RESTART},
    {0, NULL, NULL},
};

static const HART_FSM_ENTRY RcvMsgOstxEntries[] = {
    {EVT_STARTUP, restart_timers, &STATE_BUS_RESTART},
    {EVT_INV_SOM, set_BG_timeout, &STATE_BUS_BUSY},
    {EVT_RCV_STX, restart_timers, &STATE_BUS_RESTART},
    {EVT_RCV_OSTX, init_BG_wait_slave, &STATE_WAIT_OACK},
    {EVT_RCV_ACK, restart_timers, &STATE_BUS_RESTART},
    {EVT_RCV_ACK_BURST, restart_timers, &STATE_BUS_RESTART},
    {EVT_RCV_OACK, restart_timers, &STATE_BUS_RESTART},
    {EVT_RCV_OACK_BURST, restart_timers, &STATE_BUS_RESTART},
    {EVT_RCV_BACK, restart_timers, &STATE_BUS_RESTART},
    {EVT_RCV_OBACK, restart_timers, &STATE_BUS_RESTART},
    {EVT_GOT_ERR, restart_timers, &STATE_BUS_RESTART},
    {EVT_TOO_MANY_PRE, no_action, &STATE_TOO_MANY_PRE},
    {EVT_SUSPEND_IO, CleanupForSuspendIo, &STATE_BUS_RESTART},
    {0, NULL, NULL},
};

static const HART_FSM_ENTRY WaitOackEntries[] = {
    {EVT_STARTUP, restart_timers, &STATE_BUS_RESTART},
    {EVT_VAL_PRE, no_action, &STATE_RCV_MSG_OACK},
    {EVT_BG_TIMEOUT, init_BG_wait_pri, &STATE_BUS_BUSY},
    {EVT_SUSPEND_IO, restart_timers, &STATE_BUS_RESTART},
    {0, NULL, NULL},
};

static const HART_FSM_ENTRY RcvMsgOackEntries[] = {
    {EVT_STARTUP, restart_timers, &STATE_BUS_RESTART},
    {EVT_INV_SOM, set_BG_timeout, &STATE_WAIT_OACK},
    {EVT_RCV_STX, restart_timers, &STATE_BUS_RESTART},
    {EVT_RCV_OSTX, restart_timers, &STATE_BUS_RESTART},
    {EVT_RCV_ACK, restart_timers, &STATE_BUS_RESTART},
    {EVT_RCV_ACK_BURST, restart_timers, &STATE_BUS_RESTART},
    {EVT_RCV_OACK, init_BG_wait_xmit, &STATE_MY_BUS},
    {EVT_RCV_OACK_BURST, init_BG_wait_slave_burst_on, &STATE_BURST_BUS_BUSY},
    {EVT_RCV_BACK, restart_timers, &STATE_BUS_RESTART},
    {EVT_RCV_OBACK, restart_timers, &STATE_BUS_RESTART},
    {EVT_GOT_ERR, restart_timers, &STATE_BUS_RESTART},
    {EVT_TOO_MANY_PRE, no_action, &STATE_TOO_MANY_PRE},
    {EVT_SUSPEND_IO, CleanupForSuspendIo, &STATE_BUS_RESTART},
    {0, NULL, NULL},
};

static const HART_FSM_ENTRY TooManyPreEntries[] = {
    {EVT_STARTUP, restart_timers, &STATE_BUS_RESTART},
    {EVT_XMIT_REQ, transmit, &STATE_TRANSMITTING},
    {EVT_INV_SOM, restart_timers, &STATE_BUS_RESTART},
    {EVT_SUSPEND_IO, CleanupForSuspendIo, &STATE_BUS_RESTART},
    {0, NULL, NULL},
};

static const HART_FSM_ENTRY BurstMyBusEntries[] = {
    {EVT_STARTUP, restart_timers, &STATE_BUS_RESTART},
    {EVT_XMIT_REQ, transmit, &STATE_BURST_TRANSMITTING},
    {EVT_BA_TIMEOUT, init_BG_wait_slave, &STATE_BURST_BUS_BUSY},
    {EVT_SUSPEND_IO, CleanupForSuspendIo, &STATE_BUS_RESTART},
    {0, NULL, NULL},
};

static const HART_FSM_ENTRY BurstTransmittingEntries[] = {
    {EVT_STARTUP, restart_timers, &STATE_BUS_RESTART},
    {EVT_XMIT_DONE, init_BG_wait_slave_xmit, &STATE_BURST_WAIT_ACK},
    {EVT_SUSPEND_IO, CleanupForSuspendIo, &STATE_BUS_RESTART},
    {0, NULL, NULL},
};

static const HART_FSM_ENTRY BurstWaitAckEntries[] = {
    {EVT_STARTUP, restart_timers, &STATE_BUS_RESTART},
    {EVT_VAL_PRE, no_action, &STATE_BURST_RCV_MSG_ACK},
    {EVT_BG_TIMEOUT, init_BG_noresp_wait_slave, &STATE_BURST_BUS_BUSY},
    {EVT_SUSPEND_IO, CleanupForSuspendIo, &STATE_BUS_RESTART},
    {0, NULL, NULL},
};

static const HART_FSM_ENTRY BurstRcvMsgAckEntries[] = {
    {EVT_STARTUP, restart_timers, &STATE_BUS_RESTART},
    {EVT_INV_SOM, no_action, &STATE_BURST_WAIT_ACK},
    {EVT_RCV_STX, restart_timers_ACK_err, &STATE_BUS_RESTART},
    {EVT_RCV_OSTX, restart_timers_ACK_err, &STATE_BUS_RESTART},
    {EVT_RCV_ACK, activate_match_xmit_conf, &STATE_BURST_PENDING_ACK},
    {EVT_RCV_ACK_BURST, init_BG_wait_slave_xmit_conf, &STATE_BURST_BUS_BUSY},
    {EVT_RCV_OACK, restart_timers_ACK_err, &STATE_BUS_RESTART},
    {EVT_RCV_OACK_BURST, restart_timers_ACK_err, &STATE_BUS_RESTART},
    {EVT_RCV_BACK, restart_timers_ACK_err, &STATE_BUS_RESTART},
    {EVT_RCV_OBACK, restart_timers_ACK_err, &STATE_BUS_RESTART},
    {EVT_GOT_ERR, restart_timers_ACK_err, &STATE_BUS_RESTART},
    {EVT_TOO_MANY_PRE, preamble_overflow, &STATE_BURST_TOO_MANY_PRE},
    {EVT_SUSPEND_IO, CleanupForSuspendIo, &STATE_BUS_RESTART},
    {0, NULL, NULL},
};

static const HART_FSM_ENTRY BurstBusBusyEntries[] = {
    {EVT_STARTUP, restart_timers, &STATE_BUS_RESTART},
    {EVT_VAL_PRE, no_action, &STATE_BURST_RCV_MSG},
    {EVT_BG_TIMEOUT, restart_timers, &STATE_BUS_RESTART},
    {EVT_SUSPEND_IO, CleanupForSuspendIo, &STATE_BUS_RESTART},
    {0, NULL, NULL},
};

static const HART_FSM_ENTRY BurstRcvMsgEntries[] = {
    {EVT_STARTUP, restart_timers, &STATE_BUS_RESTART},
    {EVT_INV_SOM, no_action, &STATE_BURST_BUS_BUSY},
    {EVT_RCV_STX, restart_timers, &STATE_BUS_RESTART},
    {EVT_RCV_OSTX, init_BG_wait_slave, &STATE_BURST_WAIT_OACK},
    {EVT_RCV_ACK, restart_timers, &STATE_BUS_RESTART},
    {EVT_RCV_ACK_BURST, restart_timers, &STATE_BUS_RESTART},
    {EVT_RCV_OACK, restart_timers, &STATE_BUS_RESTART},
    {EVT_RCV_OACK_BURST, restart_timers, &STATE_BUS_RESTART},
    {EVT_RCV_BACK, init_BG_wait_slave, &STATE_BURST_BUS_BUSY},
    {EVT_RCV_OBACK, init_BG_wait_xmit, &STATE_BURST_MY_BUS},
    {EVT_GOT_ERR, restart_timers, &STATE_BUS_RESTART},
    {EVT_TOO_MANY_PRE, no_action, &STATE_BURST_TOO_MANY_PRE},
    {EVT_SUSPEND_IO, CleanupForSuspendIo, &STATE_BUS_RESTART},
    {0, NULL, NULL},
};

static const HART_FSM_ENTRY BurstWaitOackEntries[] = {
    {EVT_STARTUP, restart_timers, &STATE_BUS_RESTART},
    {EVT_VAL_PRE, no_action, &STATE_BURST_RCV_MSG_OACK},
    {EVT_BG_TIMEOUT, init_BG_wait_slave, &STATE_BURST_BUS_BUSY},
    {EVT_SUSPEND_IO, CleanupForSuspendIo, &STATE_BUS_RESTART},
    {0, NULL, NULL},
};

static const HART_FSM_ENTRY BurstRcvMsgOackEntries[] = {
    {EVT_STARTUP, restart_timers, &STATE_BUS_RESTART},
    {EVT_INV_SOM, no_action, &STATE_BURST_WAIT_OACK},
    {EVT_RCV_STX, restart_timers, &STATE_BUS_RESTART},
    {EVT_RCV_OSTX, restart_timers, &STATE_BUS_RESTART},
    {EVT_RCV_ACK, restart_timers, &STATE_BUS_RESTART},
    {EVT_RCV_ACK_BURST, restart_timers, &STATE_BUS_RESTART},
    {EVT_RCV_OACK, no_action, &STATE_BURST_PENDING_OACK},
    {EVT_RCV_OACK_BURST, init_BG_wait_slave, &STATE_BURST_BUS_BUSY},
    {EVT_RCV_BACK, restart_timers, &STATE_BUS_RESTART},
    {EVT_RCV_OBACK, restart_timers, &STATE_BUS_RESTART},
    {EVT_GOT_ERR, restart_timers, &STATE_BUS_RESTART},
    {EVT_TOO_MANY_PRE, no_action, &STATE_BURST_TOO_MANY_PRE},
    {EVT_SUSPEND_IO, CleanupForSuspendIo, &STATE_BUS_RESTART},
    {0, NULL, NULL},
};

static const HART_FSM_ENTRY BurstPendingAckEntries[] = {
    {EVT_STARTUP, restart_timers, &STATE_BUS_RESTART},
    {EVT_BURST_MATCH, init_BG_wait_req, &STATE_BUS_BUSY},
    {EVT_BURST_NO_MATCH, init_BG_wait_slave, &STATE_BURST_BUS_BUSY},
    {EVT_SUSPEND_IO, CleanupForSuspendIo, &STATE_BUS_RESTART},
    {0, NULL, NULL},
};

static const HART_FSM_ENTRY BurstPendingOackEntries[] = {
    {EVT_STARTUP, restart_timers, &STATE_BUS_RESTART},
    {EVT_BURST_MATCH, init_BG_wait_xmit, &STATE_MY_BUS},
    {EVT_BURST_NO_MATCH, init_BG_wait_slave, &STATE_BURST_BUS_BUSY},
    {EVT_SUSPEND_IO, CleanupForSuspendIo, &STATE_BUS_RESTART},
    {0, NULL, NULL},
};

static const HART_FSM_ENTRY BurstTooManyPreEntries[] = {
    {EVT_STARTUP, restart_timers, &STATE_BUS_RESTART},
    {EVT_XMIT_REQ, transmit, &STATE_BURST_TRANSMITTING},
    {EVT_INV_SOM, restart_timers, &STATE_BUS_RESTART},
    {EVT_SUSPEND_IO, CleanupForSuspendIo, &STATE_BUS_RESTART},
    {0, NULL, NULL},
};

const HART_FSM_STATE STATE_BUS_RESTART = {"STATE_BUS_RESTART", BusRestartEntries};
const HART_FSM_STATE STATE_RCV_MSG_RESTART = {"STATE_RCV_MSG_RESTART", RcvMsgRestartEntries};
const HART_FSM_STATE STATE_MY_BUS = {"STATE_MY_BUS", MyBusEntries};
const HART_FSM_STATE STATE_TRANSMITTING = {"STATE_TRANSMITTING", TransmittingEntries};
const HART_FSM_STATE STATE_BUS_FREE = {"STATE_BUS_FREE", BusFreeEntries};
const HART_FSM_STATE STATE_WAIT_ACK = {"STATE_WAIT_ACK", WaitAckEntries};
const HART_FSM_STATE STATE_RCV_MSG_ACK = {"STATE_RCV_MSG_ACK", RcvMsgAckEntries};
const HART_FSM_STATE STATE_BUS_BUSY = {"STATE_BUS_BUSY", BusBusyEntries};
const HART_FSM_STATE STATE_RCV_MSG_OSTX = {"STATE_RCV_MSG_OSTX", RcvMsgOstxEntries};
const HART_FSM_STATE STATE_WAIT_OACK = {"STATE_WAIT_OACK", WaitOackEntries};
const HART_FSM_STATE STATE_RCV_MSG_OACK = {"STATE_RCV_MSG_OACK", RcvMsgOackEntries};
const HART_FSM_STATE STATE_TOO_MANY_PRE = {"STATE_TOO_MANY_PRE", TooManyPreEntries};
const HART_FSM_STATE STATE_BURST_MY_BUS = {"STATE_BURST_MY_BUS", BurstMyBusEntries};
const HART_FSM_STATE STATE_BURST_TRANSMITTING = {"STATE_BURST_TRANSMITTING", BurstTransmittingEntries};
const HART_FSM_STATE STATE_BURST_WAIT_ACK = {"STATE_BURST_WAIT_ACK", BurstWaitAckEntries};
const HART_FSM_STATE STATE_BURST_RCV_MSG_ACK = {"STATE_BURST_RCV_MSG_ACK", BurstRcvMsgAckEntries};
const HART_FSM_STATE STATE_BURST_BUS_BUSY = {"STATE_BURST_BUS_BUSY", BurstBusBusyEntries};
const HART_FSM_STATE STATE_BURST_RCV_MSG = {"STATE_BURST_RCV_MSG", BurstRcvMsgEntries};
const HART_FSM_STATE STATE_BURST_WAIT_OACK = {"STATE_BURST_WAIT_OACK", BurstWaitOackEntries};
const HART_FSM_STATE STATE_BURST_RCV_MSG_OACK = {"STATE_BURST_RCV_MSG_OACK", BurstRcvMsgOackEntries};
const HART_FSM_STATE STATE_BURST_PENDING_ACK = {"STATE_BURST_PENDING_ACK", BurstPendingAckEntries};
const HART_FSM_STATE STATE_BURST_PENDING_OACK = {"STATE_BURST_PENDING_OACK", BurstPendingOackEntries};
const HART_FSM_STATE STATE_BURST_TOO_MANY_PRE = {"STATE_BURST_TOO_MANY_PRE", BurstTooManyPreEntries};

static const HART_FSM_ENTRY* HartFsmFindEntry(const HART_FSM_STATE* State, UCHAR Event)
{
    for (const HART_FSM_ENTRY* entry = State->Entries; entry->Event != 0; entry++) {
        if (entry->Event == Event) {
            return entry;
        }
    }
    return NULL;
}

static VOID HartFsmTraceState(const HART_FSM_STATE* State)
{
    if (State == &STATE_BUS_RESTART) {
        /* A restart is worth seeing even with tracing off. */
        DbgPrint("%s\n", State->Name);
    }
    HartTrace(0x20, "%s\n", State->Name);
}

VOID FsmMasterProcessEvent(WDFDEVICE Device, UCHAR Event)
{
    PHARTDEVICE_CONTEXT deviceContext = (Device != NULL) ? HartGetDeviceContext(Device) : NULL;
    if (deviceContext == NULL) {
        HartTrace(0x01, "Error: Unable to retrieve pDeviceContext!\n");
        return;
    }
    BOOLEAN replaying = FALSE;
    SHORT index = 0;
    for (;;) {
        if (deviceContext->CurrentState == NULL) {
            deviceContext->CurrentState = &STATE_BUS_RESTART;
        }
        const HART_FSM_ENTRY* entry = HartFsmFindEntry(deviceContext->CurrentState, Event);
        if (entry != NULL) {
            if (replaying) {
                HartFsmEventQueueRemove(Device, index);
            }
            deviceContext->CurrentState = entry->Next;
            entry->Action(Device);
            HartFsmTraceState(deviceContext->CurrentState);
            replaying = TRUE;
            index = -1;
        } else if (!replaying) {
            if ((Event & EVT_CLASS_DEFERRED) != 0) {
                HartFsmEventQueueAdd(Device, Event);
            }
            return;
        }
        index++;
        if (index >= HART_FSM_EVENT_QUEUE_SIZE) {
            return;
        }
        Event = deviceContext->FsmEventQueue.Events[index];
        if (Event == 0) {
            return;
        }
    }
}
