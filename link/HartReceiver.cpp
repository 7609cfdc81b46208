/*
 * The receiver: frames the characters of the serial read loop, one call per
 * character, classifies each complete frame, hands the ones the receive mask
 * selects to the client and reports every step that matters for bus
 * arbitration to the master state machine.
 */
#include "HartLink.h"
#include "HartTrace.h"

#define HART_MIN_PREAMBLES 2
/* Loaded while a frame is under way; the end of the frame stops it again. */
#define HART_BG_FRAME_UNDER_WAY 1000

/* Frame classes and the receive-mask bit that delivers each. */
static UCHAR HartReceiveMaskBit(UCHAR FrameType)
{
    switch (FrameType) {
    case 0x01: return 0x01;
    case 0x02: return 0x04;
    case 0x06: return 0x02;
    case 0x81: return 0x10;
    case 0x82: return 0x40;
    case 0x86: return 0x20;
    default: return 0x00;
    }
}

static PHARTDEVICE_CONTEXT HartReceiverStepContext(WDFDEVICE Device, PCSTR StepName)
{
    PHARTDEVICE_CONTEXT deviceContext = HartGetDeviceContext(Device);
    if (deviceContext == NULL) {
        HartTrace(0x01, "%s Error: Filter Context is NULL!\n", StepName);
    }
    return deviceContext;
}

/*
 * The header counts bound a frame to 267 bytes, which the 269-byte buffers
 * hold; the bound is checked anyway so that a receiver caught mid-frame by an
 * outside reset of its buffers can never write past them.
 */
static VOID HartStoreCharacter(PHARTDEVICE_CONTEXT DeviceContext, UCHAR Character)
{
    if (DeviceContext->CommData.pRcvInsert < DeviceContext->CommData.pRcvBuffer + HART_BUFFER_SIZE) {
        *DeviceContext->CommData.pRcvInsert++ = Character;
    }
}

/*
 * The receiver's steps work on the record that the character routine found
 * once; the named operations below find it themselves for their other
 * callers. On the per-character path that saves a lookup per step.
 */
static inline VOID HartResetReceiver(PHARTDEVICE_CONTEXT DeviceContext)
{
    DeviceContext->ReceiverState = STATE_WAITING_FOR_PREAMBLE;
    DeviceContext->HartGapTimeCounter = 0;
}

BOOLEAN ResetPortDataReceiverFsm(WDFDEVICE Device)
{
    PHARTDEVICE_CONTEXT deviceContext = HartGetDeviceContext(Device);
    if (deviceContext == NULL) {
        return FALSE;
    }
    HartResetReceiver(deviceContext);
    return TRUE;
}

static VOID HartPostReceiverEvent(WDFDEVICE Device, PHARTDEVICE_CONTEXT deviceContext, UCHAR Event)
{
    switch (deviceContext->HartProtocolInfo.StateMachineMode) {
    case HART_MODE_MASTER:
        FsmMasterProcessEvent(Device, Event);
        break;
    case HART_MODE_SLAVE:
        /* There is no slave state machine: the event has no one to go to. */
        break;
    default:
        HartTrace(0x01, "%s Error: StateMachineMode is neither Master nor Slave!\n", "SendEventToOtherFsm");
        break;
    }
}

VOID SendEventToOtherFsm(WDFDEVICE Device, UCHAR Event)
{
    PHARTDEVICE_CONTEXT deviceContext = HartGetDeviceContext(Device);
    if (deviceContext != NULL) {
        HartPostReceiverEvent(Device, deviceContext, Event);
    }
}

/* A step of the preamble state failed: start over and say so once more. */
static VOID HartRestartFromPreamble(WDFDEVICE Device, PHARTDEVICE_CONTEXT deviceContext)
{
    HartTrace(0x40, "Receiver FSM: From STATE_VALIDATING_PREAMBLE to STATE_WAITING_FOR_PREAMBLE!\n");
    HartResetReceiver(deviceContext);
    HartPostReceiverEvent(Device, deviceContext, EVT_INV_SOM);
}

static BOOLEAN HartProcessFirstPreambleStep(WDFDEVICE Device, PHARTDEVICE_CONTEXT deviceContext, UCHAR Character, NTSTATUS Status)
{
    if (Status != STATUS_SUCCESS || Character != PREAMBLE_CHARACTER) {
        deviceContext->PreambleCount = 0;
        return FALSE;
    }
    deviceContext->PreambleCount = 1;
    deviceContext->HartProtocolInfo.Delim = 0x0F;
    HartTrace(0x20, ">>> EVT_VAL_PRE >>>\n");
    HartPostReceiverEvent(Device, deviceContext, EVT_VAL_PRE);
    deviceContext->ReceiverState = STATE_VALIDATING_PREAMBLE;
    return TRUE;
}

BOOLEAN ProcessFirstPreamble(WDFDEVICE Device, UCHAR Character, NTSTATUS Status)
{
    PHARTDEVICE_CONTEXT deviceContext = HartReceiverStepContext(Device, "ProcessFirstPreamble");
    return deviceContext != NULL && HartProcessFirstPreambleStep(Device, deviceContext, Character, Status);
}

static BOOLEAN HartProcessNextPreamblesStep(WDFDEVICE Device, PHARTDEVICE_CONTEXT deviceContext, UCHAR Character, NTSTATUS Status)
{
    UNREFERENCED_PARAMETER(Character);
    if (Status != STATUS_SUCCESS) {
        HartTrace(0x01, "%s Error: Status in not STATUS_SUCCESS!\n", "ProcessNextPreambles");
        HartTrace(0x20, ">>> EVT_INV_SOM >>>\n");
        HartPostReceiverEvent(Device, deviceContext, EVT_INV_SOM);
        return FALSE;
    }
    deviceContext->PreambleCount++;
    if (deviceContext->PreambleCount <= HART_MAX_PREAMBLES) {
        return TRUE;
    }
    HartTrace(0x01, "%s Error: Preamble count (%d) is above Maximum limit (%d)!\n", "ProcessNextPreambles",
              (int)deviceContext->PreambleCount, HART_MAX_PREAMBLES);
    HartResetReceiver(deviceContext);
    HartPostReceiverEvent(Device, deviceContext, EVT_TOO_MANY_PRE);
    return FALSE;
}

BOOLEAN ProcessNextPreambles(WDFDEVICE Device, UCHAR Character, NTSTATUS Status)
{
    PHARTDEVICE_CONTEXT deviceContext = HartReceiverStepContext(Device, "ProcessNextPreambles");
    return deviceContext != NULL && HartProcessNextPreamblesStep(Device, deviceContext, Character, Status);
}

/* Header bytes that follow an accepted delimiter, or 0 for a rejected one. */
static UCHAR HartHeaderLength(UCHAR Delimiter)
{
    UCHAR expansionBytes = (UCHAR)((Delimiter >> 5) & 3);
    switch (Delimiter & 0x9F) {
    case 0x02:
    case 0x06:
        return (UCHAR)(expansionBytes + 3);
    case 0x81:
    case 0x82:
    case 0x86:
        return (UCHAR)(expansionBytes + 7);
    default:
        return 0;
    }
}

static BOOLEAN HartValidateStartOfMessageStep(WDFDEVICE Device, PHARTDEVICE_CONTEXT deviceContext, UCHAR Character)
{
    if (deviceContext->PreambleCount < HART_MIN_PREAMBLES) {
        HartTrace(0x01, ">>> EVT_INV_SOM >>>\n");
        HartResetReceiver(deviceContext);
        HartPostReceiverEvent(Device, deviceContext, EVT_INV_SOM);
        return FALSE;
    }
    deviceContext->RcvCheckByte = Character;
    UCHAR headerLength = HartHeaderLength(Character);
    if (headerLength == 0) {
        HartTrace(0x40, "%s attempts to restart ReceiverFsm\n", "ValidateStartOfMessage");
        HartResetReceiver(deviceContext);
        HartPostReceiverEvent(Device, deviceContext, EVT_INV_SOM);
        return FALSE;
    }
    deviceContext->RcvByteCount = headerLength;
    HartTrace(0x10, "%s ReadPortData: 0x%02X\n", "ValidateStartOfMessage", Character);
    deviceContext->CommData.pRcvInsert = deviceContext->CommData.pRcvBuffer;
    HartStoreCharacter(deviceContext, Character);
    deviceContext->ReceiverState = STATE_RECEIVING_UNTIL_BYTECOUNT;
    deviceContext->HartBusGrantTimeCounter = HART_BG_FRAME_UNDER_WAY;
    HartTrace(0x40, "Receiver FSM >>>>>>> From STATE_VALIDATING_PREAMBLE to STATE_RECEIVING_UNTIL_BYTECOUNT...\n");
    return TRUE;
}

BOOLEAN ValidateStartOfMessage(WDFDEVICE Device, UCHAR Character)
{
    PHARTDEVICE_CONTEXT deviceContext = HartReceiverStepContext(Device, "ValidateStartOfMessage");
    return deviceContext != NULL && HartValidateStartOfMessageStep(Device, deviceContext, Character);
}

static BOOLEAN HartReceiveRemainingHeaderDataStep(WDFDEVICE Device, PHARTDEVICE_CONTEXT deviceContext, UCHAR Character)
{
    UNREFERENCED_PARAMETER(Device);
    if (deviceContext->RcvByteCount == 1) {
        /* This is the byte count: data bytes plus the check byte follow. */
        deviceContext->RcvByteCount = (UCHAR)(Character + 1);
        deviceContext->ReceiverState = STATE_RECEIVING_VALID_DATA;
        HartTrace(0x40, "Receiver FSM: From STATE_RECEIVING_UNTIL_BYTECOUNT to STATE_RECEIVING_VALID_DATA!\n");
    } else {
        deviceContext->RcvByteCount--;
    }
    HartStoreCharacter(deviceContext, Character);
    return TRUE;
}

BOOLEAN ReceiveRemainingHeaderData(WDFDEVICE Device, UCHAR Character)
{
    PHARTDEVICE_CONTEXT deviceContext = HartReceiverStepContext(Device, "ReceiveRemainingHeaderData");
    return deviceContext != NULL && HartReceiveRemainingHeaderDataStep(Device, deviceContext, Character);
}

/* Appends the burst-address verdict for the ACK being validated. */
static VOID HartQueueBurstVerdict(WDFDEVICE Device, PHARTDEVICE_CONTEXT DeviceContext)
{
    for (int i = 0; i < 5; i++) {
        if (DeviceContext->HartProtocolInfo.RcvAddress[i] != DeviceContext->BurstAddress[i]) {
            HartFsmEventQueueAdd(Device, EVT_BURST_NO_MATCH);
            return;
        }
    }
    HartFsmEventQueueAdd(Device, EVT_BURST_MATCH);
}

/* Makes the frame just received the one to read and fills the other buffer next. */
static VOID HartDeliverReceivedFrame(PHARTDEVICE_CONTEXT DeviceContext)
{
    HART_COMM_DATA* commData = &DeviceContext->CommData;
    HartTrace(0x20, "completing read msg...\n");
    commData->pReadBuffer = commData->pRcvBuffer;
    commData->ReadLength = (ULONG)(commData->pRcvInsert - commData->pRcvBuffer);
    /* Delim is overwritten by the next preamble; the frame keeps its verdict. */
    commData->ReadFrameCorrupt = (DeviceContext->HartProtocolInfo.Delim == EVT_GOT_ERR);
    if (commData->pRcvBuffer == commData->Buffer_Rcv1) {
        HartTrace(0x20, "Using CommData.Buffer_Rcv2....\n");
        commData->pRcvBuffer = commData->Buffer_Rcv2;
    } else {
        HartTrace(0x20, "Using CommData.Buffer_Rcv1....\n");
        commData->pRcvBuffer = commData->Buffer_Rcv1;
    }
    HartTrace(0x20, "Completing Read... >>>\n");
    HartCompleteNextReadRequest(DeviceContext);
}

static BOOLEAN HartValidateReceivedMessageStep(WDFDEVICE Device, PHARTDEVICE_CONTEXT deviceContext)
{
    HART_PROTOCOL_INFO* protocol = &deviceContext->HartProtocolInfo;
    const UCHAR* frame = deviceContext->CommData.pRcvBuffer;

    protocol->RcvFrameType = (UCHAR)(((protocol->MasterType ^ frame[1]) & 0x80) | (frame[0] & 7));
    protocol->RcvAddress[0] = (UCHAR)(frame[1] & 0x3F);
    for (int i = 1; i < 5; i++) {
        protocol->RcvAddress[i] = frame[i + 1];
    }

    BOOLEAN master = (protocol->StateMachineMode == HART_MODE_MASTER);
    BOOLEAN burst = FALSE;
    if (master) {
        burst = (frame[1] & 0x40) != 0;
        HartFsmEventQueuePurge(Device, EVT_CLASS_RECEIVER);
    } else {
        protocol->RcvFrameType &= 7;
    }

    UCHAR frameType = protocol->RcvFrameType;
    UCHAR event = (UCHAR)(EVT_GOT_ERR | frameType);
    BOOLEAN isAck = (frameType & 7) == 6;
    if (isAck && burst) {
        event |= 1;
    }
    if (master && (burst || (frameType & 7) == 1)) {
        /* A burst device is still bursting: the master may stay in burst mode. */
        deviceContext->HartBurstSilenceCounter = 0;
    }
    BOOLEAN deliver = (protocol->Rcv_Mask & HartReceiveMaskBit(frameType)) != 0;

    if (master && isAck) {
        const HART_FSM_STATE* awaiting = (frameType & 0x80) ? &STATE_BURST_RCV_MSG_OACK : &STATE_BURST_RCV_MSG_ACK;
        if (deviceContext->CurrentState == awaiting) {
            HartQueueBurstVerdict(Device, deviceContext);
        }
    }

    HartResetReceiver(deviceContext);
    if (deliver) {
        HartDeliverReceivedFrame(deviceContext);
    }
    deviceContext->HartBusGrantTimeCounter = 0;
    HartPostReceiverEvent(Device, deviceContext, event);
    return deliver;
}

BOOLEAN ValidateReceivedMessage(WDFDEVICE Device)
{
    PHARTDEVICE_CONTEXT deviceContext = HartReceiverStepContext(Device, "ValidateReceivedMessage");
    return deviceContext != NULL && HartValidateReceivedMessageStep(Device, deviceContext);
}

/* Rule of the preamble state: another 0xFF continues it, anything else starts the frame. */
static VOID HartReceivePreambleState(WDFDEVICE Device, PHARTDEVICE_CONTEXT DeviceContext, UCHAR Character,
                                     NTSTATUS Status)
{
    if (Character == PREAMBLE_CHARACTER) {
        if (HartProcessNextPreamblesStep(Device, DeviceContext, Character, Status)) {
            HartTrace(0x40, "Receiver FSM: From STATE_VALIDATING_PREAMBLE to STATE_VALIDATING_PREAMBLE!\n");
            return;
        }
    } else if (HartValidateStartOfMessageStep(Device, DeviceContext, Character)) {
        HartTrace(0x40, "Receiver FSM: From STATE_VALIDATING_PREAMBLE to STATE_RECEIVING_UNTIL_BYTECOUNT!\n");
        return;
    }
    HartRestartFromPreamble(Device, DeviceContext);
}

static UCHAR HartReceiveCheckByte(WDFDEVICE Device, PHARTDEVICE_CONTEXT DeviceContext, UCHAR Character)
{
    HartStoreCharacter(DeviceContext, Character);
    if (DeviceContext->RcvCheckByte != 0) {
        DeviceContext->HartProtocolInfo.Delim = EVT_GOT_ERR;
        HartTrace(0x01, "Receiver FSM: pDeviceContext->HartProtocolInfo.Delim = EVT_GOT_ERR!\n");
    }
    return HartValidateReceivedMessageStep(Device, DeviceContext);
}

UCHAR HartPortDataReceiverFsmProcessReceivedCharacter(WDFDEVICE Device, PUCHAR Character, NTSTATUS Status)
{
    if (Device == NULL) {
        HartTrace(0x01, "%s Error: Device is NULL!\n", "HartPortDataReceiverFsmProcessReceivedCharacter");
        return 1;
    }
    PHARTDEVICE_CONTEXT deviceContext = HartGetDeviceContext(Device);
    if (deviceContext == NULL) {
        HartTrace(0x01, "%s Error: Failed to retrieve the Filter Context!\n",
                  "HartPortDataReceiverFsmProcessReceivedCharacter");
        return 1;
    }
    UCHAR character = *Character;
    deviceContext->RcvCheckByte ^= character;
    deviceContext->HartGapTimeCounter = deviceContext->Gap;

    switch (deviceContext->ReceiverState) {
    case STATE_WAITING_FOR_PREAMBLE:
        if (HartProcessFirstPreambleStep(Device, deviceContext, character, Status)) {
            HartTrace(0x40, "Receiver FSM: From STATE_WAITING_FOR_PREAMBLE to STATE_VALIDATING_PREAMBLE!\n");
        } else {
            HartTrace(0x40, "ProcessFirstPreamble failed\n");
        }
        return 0;
    case STATE_VALIDATING_PREAMBLE:
        HartReceivePreambleState(Device, deviceContext, character, Status);
        return 0;
    case STATE_RECEIVING_UNTIL_BYTECOUNT:
        if (Status != STATUS_SUCCESS) {
            HartTrace(0x40, "Receiver FSM: STATE_RECEIVING_UNTIL_BYTECOUNT Status != STATUS_SUCCESS!\n");
            HartResetReceiver(deviceContext);
            HartPostReceiverEvent(Device, deviceContext, EVT_GOT_ERR);
            return 0;
        }
        HartReceiveRemainingHeaderDataStep(Device, deviceContext, character);
        return 0;
    case STATE_RECEIVING_VALID_DATA:
        deviceContext->RcvByteCount--;
        if (deviceContext->RcvByteCount == 1) {
            deviceContext->ReceiverState = STATE_VALIDATING_MESSAGE;
            HartTrace(0x40, "Receiver FSM: From STATE_RECEIVING_VALID_DATA to STATE_VALIDATING_MESSAGE!\n");
        }
        if (deviceContext->RcvByteCount != 0) {
            HartStoreCharacter(deviceContext, character);
            return 0;
        }
        /* A byte count of 0: this character already is the check byte. */
        deviceContext->ReceiverState = STATE_VALIDATING_MESSAGE;
        HartTrace(0x40, "Receiver FSM: From STATE_RECEIVING_VALID_DATA to STATE_VALIDATING_MESSAGE!\n");
        return HartReceiveCheckByte(Device, deviceContext, character);
    case STATE_VALIDATING_MESSAGE:
        return HartReceiveCheckByte(Device, deviceContext, character);
    default:
        /* A state no step knows: start over rather than guess. */
        HartResetReceiver(deviceContext);
        return 0;
    }
}
