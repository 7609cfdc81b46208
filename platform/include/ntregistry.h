/*
 * Kernel registry access: object attributes, key handles and value
 * information, as the driver reads the serial device map. Included by
 * <ntddk.h>; the driver does not include it by itself.
 */
#pragma once

#include <ntddk.h>
/* Status codes and access rights shared with the rest of the kernel interface. */
#include <wdm.h>

#ifndef STATUS_OBJECT_PATH_SYNTAX_BAD
#define STATUS_OBJECT_PATH_SYNTAX_BAD ((NTSTATUS)0xC000003BL)
#endif
#ifndef STATUS_INVALID_INFO_CLASS
#define STATUS_INVALID_INFO_CLASS ((NTSTATUS)0xC0000003L)
#endif

/* ---- Access rights: the standard ones come from <wdm.h>. ---- */

#ifndef STANDARD_RIGHTS_READ
#define STANDARD_RIGHTS_READ READ_CONTROL
#define STANDARD_RIGHTS_WRITE READ_CONTROL
#endif

#define KEY_QUERY_VALUE 0x0001
#define KEY_SET_VALUE 0x0002
#define KEY_CREATE_SUB_KEY 0x0004
#define KEY_ENUMERATE_SUB_KEYS 0x0008
#define KEY_NOTIFY 0x0010
#define KEY_CREATE_LINK 0x0020
#define KEY_READ ((STANDARD_RIGHTS_READ | KEY_QUERY_VALUE | KEY_ENUMERATE_SUB_KEYS | KEY_NOTIFY) & (~SYNCHRONIZE))
#define KEY_WRITE ((STANDARD_RIGHTS_WRITE | KEY_SET_VALUE | KEY_CREATE_SUB_KEY) & (~SYNCHRONIZE))
#define KEY_EXECUTE (KEY_READ & (~SYNCHRONIZE))
#define KEY_ALL_ACCESS                                                                                     \
    ((STANDARD_RIGHTS_ALL | KEY_QUERY_VALUE | KEY_SET_VALUE | KEY_CREATE_SUB_KEY | KEY_ENUMERATE_SUB_KEYS | \
      KEY_NOTIFY | KEY_CREATE_LINK) &                                                                      \
     (~SYNCHRONIZE))

/* ---- Object attributes. ---- */

#define OBJ_INHERIT 0x00000002L
#define OBJ_PERMANENT 0x00000010L
#define OBJ_EXCLUSIVE 0x00000020L
#define OBJ_CASE_INSENSITIVE 0x00000040L
#define OBJ_OPENIF 0x00000080L
#define OBJ_OPENLINK 0x00000100L
#define OBJ_KERNEL_HANDLE 0x00000200L

typedef struct _OBJECT_ATTRIBUTES {
    ULONG Length;
    HANDLE RootDirectory;
    PUNICODE_STRING ObjectName;
    ULONG Attributes;
    PVOID SecurityDescriptor;
    PVOID SecurityQualityOfService;
} OBJECT_ATTRIBUTES, *POBJECT_ATTRIBUTES;
typedef const OBJECT_ATTRIBUTES* PCOBJECT_ATTRIBUTES;

#define InitializeObjectAttributes(p, n, a, r, s) \
    do {                                          \
        (p)->Length = sizeof(OBJECT_ATTRIBUTES);  \
        (p)->RootDirectory = (r);                 \
        (p)->Attributes = (a);                    \
        (p)->ObjectName = (n);                    \
        (p)->SecurityDescriptor = (s);            \
        (p)->SecurityQualityOfService = nullptr;  \
    } while (0)

/* ---- Value types and value information. ---- */

#define REG_NONE 0
#define REG_SZ 1
#define REG_EXPAND_SZ 2
#define REG_BINARY 3
#define REG_DWORD 4
#define REG_DWORD_LITTLE_ENDIAN 4
#define REG_DWORD_BIG_ENDIAN 5
#define REG_LINK 6
#define REG_MULTI_SZ 7
#define REG_QWORD 11
#define REG_QWORD_LITTLE_ENDIAN 11

typedef enum _KEY_VALUE_INFORMATION_CLASS {
    KeyValueBasicInformation,
    KeyValueFullInformation,
    KeyValuePartialInformation,
    KeyValueFullInformationAlign64,
    KeyValuePartialInformationAlign64,
    KeyValueLayerInformation,
    MaxKeyValueInfoClass,
} KEY_VALUE_INFORMATION_CLASS;

typedef struct _KEY_VALUE_BASIC_INFORMATION {
    ULONG TitleIndex;
    ULONG Type;
    ULONG NameLength;
    WCHAR Name[1];
} KEY_VALUE_BASIC_INFORMATION, *PKEY_VALUE_BASIC_INFORMATION;

/* The data follows the name at DataOffset from the start of the record. */
typedef struct _KEY_VALUE_FULL_INFORMATION {
    ULONG TitleIndex;
    ULONG Type;
    ULONG DataOffset;
    ULONG DataLength;
    ULONG NameLength;
    WCHAR Name[1];
} KEY_VALUE_FULL_INFORMATION, *PKEY_VALUE_FULL_INFORMATION;

typedef struct _KEY_VALUE_PARTIAL_INFORMATION {
    ULONG TitleIndex;
    ULONG Type;
    ULONG DataLength;
    UCHAR Data[1];
} KEY_VALUE_PARTIAL_INFORMATION, *PKEY_VALUE_PARTIAL_INFORMATION;

/* ---- Routines (PASSIVE_LEVEL). ---- */

/* Names are absolute ("\Registry\Machine\...") or relative to RootDirectory;
   the registry compares them without regard to case. */
NTSTATUS ZwOpenKey(_Out_ PHANDLE KeyHandle, _In_ ACCESS_MASK DesiredAccess,
                   _In_ POBJECT_ATTRIBUTES ObjectAttributes);
/* Length too small for the fixed part: STATUS_BUFFER_TOO_SMALL; for the
   whole record: STATUS_BUFFER_OVERFLOW with the fixed part filled. Either
   way ResultLength receives the size the record needs. */
NTSTATUS ZwEnumerateValueKey(_In_ HANDLE KeyHandle, _In_ ULONG Index,
                             _In_ KEY_VALUE_INFORMATION_CLASS KeyValueInformationClass,
                             _Out_writes_bytes_opt_(Length) PVOID KeyValueInformation, _In_ ULONG Length,
                             _Out_ PULONG ResultLength);
NTSTATUS ZwQueryValueKey(_In_ HANDLE KeyHandle, _In_ PUNICODE_STRING ValueName,
                         _In_ KEY_VALUE_INFORMATION_CLASS KeyValueInformationClass,
                         _Out_writes_bytes_opt_(Length) PVOID KeyValueInformation, _In_ ULONG Length,
                         _Out_ PULONG ResultLength);
NTSTATUS ZwClose(_In_ HANDLE Handle);
