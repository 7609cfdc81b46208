#pragma once

#include <wdfobject.h>

/* Without attributes (or without a ParentObject) a lock belongs to the driver. */
NTSTATUS WdfWaitLockCreate(_In_opt_ PWDF_OBJECT_ATTRIBUTES LockAttributes, _Out_ WDFWAITLOCK* Lock);
/* Timeout: NULL waits for ever, 0 only tries, negative is a relative wait in 100 ns.
   Returns STATUS_SUCCESS or STATUS_TIMEOUT. */
NTSTATUS WdfWaitLockAcquire(_In_ WDFWAITLOCK Lock, _In_opt_ PLONGLONG Timeout);
VOID WdfWaitLockRelease(_In_ WDFWAITLOCK Lock);

NTSTATUS WdfSpinLockCreate(_In_opt_ PWDF_OBJECT_ATTRIBUTES SpinLockAttributes, _Out_ WDFSPINLOCK* SpinLock);
VOID WdfSpinLockAcquire(_In_ WDFSPINLOCK SpinLock);
VOID WdfSpinLockRelease(_In_ WDFSPINLOCK SpinLock);
