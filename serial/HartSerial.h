/*
 * The port's serial transport: the receive loop that keeps one one-character
 * read outstanding, and the transmit path that writes the pending frame.
 */
#pragma once

#include "link/HartLink.h"

BOOLEAN HartReadDataFromPort(PHARTDEVICE_CONTEXT DeviceContext);
EVT_WDF_WORKITEM HartEvtWorkItemRead;
EVT_WDF_WORKITEM HartEvtWorkItemTriggerTx;
