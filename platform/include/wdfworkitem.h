#pragma once

#include <wdfobject.h>

typedef VOID EVT_WDF_WORKITEM(_In_ WDFWORKITEM WorkItem);
typedef EVT_WDF_WORKITEM* PFN_WDF_WORKITEM;

typedef struct _WDF_WORKITEM_CONFIG {
    ULONG Size;
    PFN_WDF_WORKITEM EvtWorkItemFunc;
    BOOLEAN AutomaticSerialization;
} WDF_WORKITEM_CONFIG, *PWDF_WORKITEM_CONFIG;

inline VOID WDF_WORKITEM_CONFIG_INIT(_Out_ PWDF_WORKITEM_CONFIG Config, _In_ PFN_WDF_WORKITEM EvtWorkItemFunc)
{
    RtlZeroMemory(Config, sizeof(WDF_WORKITEM_CONFIG));
    Config->Size = sizeof(WDF_WORKITEM_CONFIG);
    Config->EvtWorkItemFunc = EvtWorkItemFunc;
    Config->AutomaticSerialization = TRUE;
}

/* Attributes->ParentObject is required: a device or an object below one. */
NTSTATUS WdfWorkItemCreate(_In_ PWDF_WORKITEM_CONFIG Config, _In_ PWDF_OBJECT_ATTRIBUTES Attributes,
                           _Out_ WDFWORKITEM* WorkItem);
VOID WdfWorkItemEnqueue(_In_ WDFWORKITEM WorkItem);
VOID WdfWorkItemFlush(_In_ WDFWORKITEM WorkItem);
WDFOBJECT WdfWorkItemGetParentObject(_In_ WDFWORKITEM WorkItem);
