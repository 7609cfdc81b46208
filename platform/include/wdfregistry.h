/*
 * Registry keys as framework objects. A key opened without attributes (or
 * without a ParentObject) belongs to the driver; close it with
 * WdfRegistryClose. Every routine runs at PASSIVE_LEVEL.
 */
#pragma once

#include <wdfobject.h>

/* ParentKey NULL: KeyName is absolute ("\Registry\Machine\..."), else relative to it. */
NTSTATUS WdfRegistryOpenKey(_In_opt_ WDFKEY ParentKey, _In_ PCUNICODE_STRING KeyName,
                            _In_ ACCESS_MASK DesiredAccess, _In_opt_ PWDF_OBJECT_ATTRIBUTES KeyAttributes,
                            _Out_ WDFKEY* Key);

/* A value longer than ValueLength fails with STATUS_BUFFER_OVERFLOW and
   copies nothing; ValueLengthQueried and ValueType still receive the value's
   length and type. An absent value fails with STATUS_OBJECT_NAME_NOT_FOUND. */
NTSTATUS WdfRegistryQueryValue(_In_ WDFKEY Key, _In_ PCUNICODE_STRING ValueName, _In_ ULONG ValueLength,
                               _Out_writes_bytes_opt_(ValueLength) PVOID Value,
                               _Out_opt_ PULONG ValueLengthQueried, _Out_opt_ PULONG ValueType);

/* Only a REG_DWORD answers; another type fails with STATUS_OBJECT_TYPE_MISMATCH. */
NTSTATUS WdfRegistryQueryULong(_In_ WDFKEY Key, _In_ PCUNICODE_STRING ValueName, _Out_ PULONG Value);

VOID WdfRegistryClose(_In_ WDFKEY Key);
