/*
 * The serial transmit path: one serial write per transmitted frame, and the
 * resume work item that re-raises a transmission after an I/O restart.
 */
#include "serial/HartSerial.h"
#include "link/HartTrace.h"

VOID HartWriteDataToSerialPort(PHARTDEVICE_CONTEXT DeviceContext)
{
    HartTrace(0x10, "%s >>>>\n", "HartWriteDataToSerialPort");
    ResetPortDataReceiverFsm(DeviceContext->Device);
    /* Cancelling the outstanding serial read comes with the I/O target support. */
    if (DeviceContext->WorkItemWrite != NULL) {
        HartEnqueuePortWorkItem(DeviceContext->WorkItemWrite, DeviceContext->Device);
    }
}

VOID HartEvtWorkItemTriggerTx(WDFWORKITEM WorkItem)
{
    HartTrace(0x02, "%s\n", "HartEvtWorkItemTriggerTx");
    PWORKITEM_CONTEXT workItemContext = HartGetWorkItemContext(WorkItem);
    WDFDEVICE device = (workItemContext != NULL) ? workItemContext->Device : NULL;
    PHARTDEVICE_CONTEXT deviceContext = (device != NULL) ? HartGetDeviceContext(device) : NULL;
    if (deviceContext == NULL) {
        return;
    }
    /* Re-opening the serial target and restarting the queues come with the I/O target support. */
    if (deviceContext->PendingWriteRequest != NULL) {
        FsmMasterProcessEvent(device, EVT_XMIT_REQ);
    }
}
