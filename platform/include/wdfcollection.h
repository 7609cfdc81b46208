#pragma once

#include <wdfobject.h>

/* Without attributes (or without a ParentObject) a collection belongs to the driver. */
NTSTATUS WdfCollectionCreate(_In_opt_ PWDF_OBJECT_ATTRIBUTES CollectionAttributes,
                             _Out_ WDFCOLLECTION* Collection);
ULONG WdfCollectionGetCount(_In_ WDFCOLLECTION Collection);
/* Takes a reference on Object for as long as it stays in the collection. */
NTSTATUS WdfCollectionAdd(_In_ WDFCOLLECTION Collection, _In_ WDFOBJECT Object);
VOID WdfCollectionRemove(_In_ WDFCOLLECTION Collection, _In_ WDFOBJECT Item);
VOID WdfCollectionRemoveItem(_In_ WDFCOLLECTION Collection, _In_ ULONG Index);
WDFOBJECT WdfCollectionGetItem(_In_ WDFCOLLECTION Collection, _In_ ULONG Index);
WDFOBJECT WdfCollectionGetFirstItem(_In_ WDFCOLLECTION Collection);
WDFOBJECT WdfCollectionGetLastItem(_In_ WDFCOLLECTION Collection);
