/*
 * Client reads: a delivered frame completes the oldest read waiting in the
 * port's secondary read queue.
 */
#include "link/HartLink.h"
#include "link/HartTrace.h"

VOID HartCompleteNextReadRequest(PHARTDEVICE_CONTEXT DeviceContext)
{
    HartTrace(0x02, "%s >>>>>\n", "HartCompleteNextReadRequest");
    if (DeviceContext == NULL || DeviceContext->QueueReadSecondary == NULL) {
        /* No read can be waiting yet: the frame stays for the next read. */
        return;
    }
    /* Taking the read from the secondary queue comes with the queue support. */
}
