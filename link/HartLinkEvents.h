/*
 * Link events: one-byte codes posted to the master state machine. Their bits
 * carry meaning that the queue purges rely on:
 *   0x10 received-frame codes (frame type in bits 0..2, other master in 0x80)
 *   0x20 receiver start and burst-verdict events
 *   0x40 counter expiries
 *   0x08 the transmission request
 */
#pragma once

#include <wdf.h>

#define EVT_STARTUP ((UCHAR)0x01)
#define EVT_XMIT_DONE ((UCHAR)0x02)
#define EVT_XMIT_REQ ((UCHAR)0x08)
#define EVT_GOT_ERR ((UCHAR)0x10)
#define EVT_RCV_BACK ((UCHAR)0x11)
#define EVT_RCV_STX ((UCHAR)0x12)
#define EVT_INV_SOM ((UCHAR)0x14)
#define EVT_RCV_ACK ((UCHAR)0x16)
#define EVT_RCV_ACK_BURST ((UCHAR)0x17)
#define EVT_VAL_PRE ((UCHAR)0x20)
#define EVT_BURST_NO_MATCH ((UCHAR)0x22)
#define EVT_BURST_MATCH ((UCHAR)0x24)
#define EVT_TOO_MANY_PRE ((UCHAR)0x26)
#define EVT_BG_TIMEOUT ((UCHAR)0x41)
#define EVT_Q_TIMEOUT ((UCHAR)0x42)
#define EVT_BA_TIMEOUT ((UCHAR)0x44)
#define EVT_RCV_OBACK ((UCHAR)0x91)
#define EVT_RCV_OSTX ((UCHAR)0x92)
#define EVT_RCV_OACK ((UCHAR)0x96)
#define EVT_RCV_OACK_BURST ((UCHAR)0x97)
#define EVT_SUSPEND_IO ((UCHAR)0xA2)
#define EVT_RESTART_IO ((UCHAR)0xB2)

/* Classes of events, by the bits they carry. */
#define EVT_CLASS_RECEIVER ((UCHAR)0x20)
#define EVT_CLASS_TIMER ((UCHAR)0x40)
#define EVT_CLASS_XMIT ((UCHAR)0x08)
/* Events the master keeps when the current state has no entry for them. */
#define EVT_CLASS_DEFERRED ((UCHAR)(EVT_CLASS_TIMER | EVT_CLASS_XMIT))

VOID HartFsmEventQueueAdd(WDFDEVICE Device, UCHAR Event);
BOOLEAN HartFsmEventQueueFind(WDFDEVICE Device, UCHAR Mask, SHORT* Index);
VOID HartFsmEventQueueRemove(WDFDEVICE Device, SHORT Index);
BOOLEAN HartFsmEventQueueInitialize(WDFDEVICE Device);

/* Removes every pending event that has a bit of Mask. */
VOID HartFsmEventQueuePurge(WDFDEVICE Device, UCHAR Mask);
