/*
 * The pending-event queue of the master state machine: eight slots in
 * arrival order, ended by the first zero slot. When all eight are taken a
 * new event is dropped with a trace; every scan stops at the eighth slot.
 * Callers are serialised per port by the dispatcher, so no lock is taken.
 */
#include "HartDeviceContext.h"
#include "HartTrace.h"

static PHARTDEVICE_CONTEXT HartFsmEventQueueContext(WDFDEVICE Device)
{
    PHARTDEVICE_CONTEXT deviceContext = (Device != NULL) ? HartGetDeviceContext(Device) : NULL;
    if (deviceContext == NULL) {
        HartTrace(0x01, "Error: Unable to retrieve pDeviceContext!\n");
    }
    return deviceContext;
}

VOID HartFsmEventQueueAdd(WDFDEVICE Device, UCHAR Event)
{
    PHARTDEVICE_CONTEXT deviceContext = HartFsmEventQueueContext(Device);
    if (deviceContext == NULL) {
        return;
    }
    PUCHAR events = deviceContext->FsmEventQueue.Events;
    for (SHORT slot = 0; slot < HART_FSM_EVENT_QUEUE_SIZE; slot++) {
        if (events[slot] == 0) {
            events[slot] = Event;
            return;
        }
    }
    HartTrace(0x01, "%s Error: FsmEventQueue is full, event 0x%X dropped!\n", "HartFsmEventQueueAdd", Event);
}

BOOLEAN HartFsmEventQueueFind(WDFDEVICE Device, UCHAR Mask, SHORT* Index)
{
    *Index = 0;
    PHARTDEVICE_CONTEXT deviceContext = HartFsmEventQueueContext(Device);
    if (deviceContext == NULL) {
        return FALSE;
    }
    PUCHAR events = deviceContext->FsmEventQueue.Events;
    for (SHORT slot = 0; slot < HART_FSM_EVENT_QUEUE_SIZE && events[slot] != 0; slot++) {
        *Index = slot;
        if ((events[slot] & Mask) != 0) {
            return TRUE;
        }
        *Index = slot + 1;
    }
    return FALSE;
}

VOID HartFsmEventQueueRemove(WDFDEVICE Device, SHORT Index)
{
    PHARTDEVICE_CONTEXT deviceContext = HartFsmEventQueueContext(Device);
    if (deviceContext == NULL || Index < 0) {
        return;
    }
    PUCHAR events = deviceContext->FsmEventQueue.Events;
    SHORT slot = Index;
    while (slot < HART_FSM_EVENT_QUEUE_SIZE && events[slot] != 0) {
        events[slot] = (slot + 1 < HART_FSM_EVENT_QUEUE_SIZE) ? events[slot + 1] : 0;
        slot++;
    }
}

VOID HartFsmEventQueuePurge(WDFDEVICE Device, UCHAR Mask)
{
    SHORT index;
    while (HartFsmEventQueueFind(Device, Mask, &index)) {
        HartFsmEventQueueRemove(Device, index);
    }
}

BOOLEAN HartFsmEventQueueInitialize(WDFDEVICE Device)
{
    if (Device == NULL) {
        HartTrace(0x01, "%s Error: Invalid Device object is NULL!\n", "HartFsmEventQueueInitialize");
        return FALSE;
    }
    PHARTDEVICE_CONTEXT deviceContext = HartGetDeviceContext(Device);
    if (deviceContext == NULL) {
        HartTrace(0x01, "%s Error: Failed to retrieve th Filter device context!\n", "HartFsmEventQueueInitialize");
        return FALSE;
    }
    /*
     * Parented to the port rather than to the driver, so that the lock goes
     * with its port instead of piling up until unload as ports come and go.
     */
    WDF_OBJECT_ATTRIBUTES attributes;
    WDF_OBJECT_ATTRIBUTES_INIT(&attributes);
    attributes.ParentObject = Device;
    NTSTATUS status = WdfWaitLockCreate(&attributes, &deviceContext->FsmEventQueue.Lock);
    if (!NT_SUCCESS(status)) {
        HartTrace(0x01, "%s Error: Failed to create wait lock for FsmEventQueue!\n", "HartFsmEventQueueInitialize");
        return FALSE;
    }
    return TRUE;
}
