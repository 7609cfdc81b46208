/*
 * Kernel types and routines, under the names the driver calls them.
 *
 * The driver is kernel code: it sees only this header and <wdf.h>. Sizes
 * follow the kernel's LLP64 model even though we build LP64: LONG and ULONG
 * are 32 bits, LONG_PTR/ULONG_PTR are pointer sized. WCHAR is a UTF-16 code
 * unit, so wide literals are written u"...".
 */
#pragma once

#include <cstdarg>
#include <cstddef>
#include <cstdint>
#include <cstring>

/* ---- Source annotations: documentation only, they expand to nothing. ---- */

#define IN
#define OUT
#define OPTIONAL
#define _In_
#define _In_opt_
#define _In_z_
#define _In_opt_z_
#define _Out_
#define _Out_opt_
#define _Inout_
#define _Inout_opt_
#define _Outptr_
#define _Outptr_opt_
#define _Outptr_result_maybenull_
#define _Use_decl_annotations_
#define _Must_inspect_result_
#define _Check_return_
#define _Printf_format_string_
#define _Post_
#define _Pre_
#define _IRQL_requires_same_
#define _IRQL_saves_
#define _IRQL_restores_
#define _Function_class_(...)
#define _In_reads_(...)
#define _In_reads_bytes_(...)
#define _In_reads_opt_(...)
#define _In_reads_bytes_opt_(...)
#define _Out_writes_(...)
#define _Out_writes_bytes_(...)
#define _Out_writes_opt_(...)
#define _Out_writes_bytes_opt_(...)
#define _Out_writes_bytes_to_(...)
#define _Inout_updates_(...)
#define _Inout_updates_bytes_(...)
#define _Field_size_(...)
#define _Field_size_bytes_(...)
#define _When_(...)
#define _Success_(...)
#define _IRQL_requires_(...)
#define _IRQL_requires_max_(...)
#define _IRQL_requires_min_(...)
#define _IRQL_raises_(...)
#define _Requires_lock_held_(...)
#define _Requires_lock_not_held_(...)
#define _Acquires_lock_(...)
#define _Releases_lock_(...)
#define __drv_aliasesMem
#define __drv_allocatesMem(...)
#define __drv_freesMem(...)
#define __drv_maxIRQL(...)
#define __drv_requiresIRQL(...)
#define __drv_dispatchType(...)

#define NTAPI
#define NTSYSAPI
#define FORCEINLINE inline
#define EXTERN_C extern "C"

#define PAGED_CODE()
#define UNREFERENCED_PARAMETER(P) ((void)(P))

#define ARGUMENT_PRESENT(ArgumentPointer) ((ArgumentPointer) != nullptr)
#define FIELD_OFFSET(type, field) offsetof(type, field)
#define RTL_NUMBER_OF(A) (sizeof(A) / sizeof((A)[0]))
#define ARRAYSIZE(A) RTL_NUMBER_OF(A)
#define CONTAINING_RECORD(address, type, field) \
    (reinterpret_cast<type*>(reinterpret_cast<char*>(address) - offsetof(type, field)))

/* ---- Basic types (LLP64 widths). ---- */

typedef void VOID;
typedef void* PVOID;
typedef const void* PCVOID;
typedef void* HANDLE;
typedef HANDLE* PHANDLE;

typedef char CHAR;
typedef CHAR* PCHAR;
typedef CHAR* PSTR;
typedef const CHAR* PCSTR;
typedef std::uint8_t UCHAR;
typedef UCHAR* PUCHAR;
typedef std::int16_t SHORT;
typedef SHORT* PSHORT;
typedef SHORT CSHORT;
typedef std::uint16_t USHORT;
typedef USHORT* PUSHORT;
typedef std::int32_t LONG;
typedef LONG* PLONG;
typedef std::uint32_t ULONG;
typedef ULONG* PULONG;
typedef std::int64_t LONGLONG;
typedef LONGLONG* PLONGLONG;
typedef std::uint64_t ULONGLONG;
typedef ULONGLONG* PULONGLONG;
typedef std::intptr_t LONG_PTR;
typedef std::uintptr_t ULONG_PTR;
typedef ULONG_PTR* PULONG_PTR;
typedef ULONG_PTR SIZE_T;
typedef SIZE_T* PSIZE_T;
typedef std::int32_t INT;
typedef std::uint32_t UINT;
typedef std::uint8_t BYTE;
typedef BYTE* PBYTE;
typedef std::uint16_t WORD;
typedef std::uint32_t DWORD;

typedef std::uint8_t BOOLEAN;
typedef BOOLEAN* PBOOLEAN;
#ifndef TRUE
#define TRUE 1
#endif
#ifndef FALSE
#define FALSE 0
#endif

typedef char16_t WCHAR;
typedef WCHAR* PWCHAR;
typedef WCHAR* PWCH;
typedef WCHAR* PWSTR;
typedef const WCHAR* PCWCH;
typedef const WCHAR* PCWSTR;

typedef union _LARGE_INTEGER {
    struct {
        ULONG LowPart;
        LONG HighPart;
    };
    struct {
        ULONG LowPart;
        LONG HighPart;
    } u;
    LONGLONG QuadPart;
} LARGE_INTEGER, *PLARGE_INTEGER;

typedef union _ULARGE_INTEGER {
    struct {
        ULONG LowPart;
        ULONG HighPart;
    };
    struct {
        ULONG LowPart;
        ULONG HighPart;
    } u;
    ULONGLONG QuadPart;
} ULARGE_INTEGER, *PULARGE_INTEGER;

/* ---- Status codes. ---- */

typedef std::int32_t NTSTATUS;
typedef NTSTATUS* PNTSTATUS;

#define NT_SUCCESS(Status) (((NTSTATUS)(Status)) >= 0)
#define NT_INFORMATION(Status) ((((ULONG)(Status)) >> 30) == 1)
#define NT_WARNING(Status) ((((ULONG)(Status)) >> 30) == 2)
#define NT_ERROR(Status) ((((ULONG)(Status)) >> 30) == 3)

#define STATUS_SUCCESS ((NTSTATUS)0x00000000L)
#define STATUS_TIMEOUT ((NTSTATUS)0x00000102L)
#define STATUS_PENDING ((NTSTATUS)0x00000103L)
#define STATUS_BUFFER_OVERFLOW ((NTSTATUS)0x80000005L)
#define STATUS_NO_MORE_ENTRIES ((NTSTATUS)0x8000001AL)
#define STATUS_UNSUCCESSFUL ((NTSTATUS)0xC0000001L)
#define STATUS_NOT_IMPLEMENTED ((NTSTATUS)0xC0000002L)
#define STATUS_INVALID_HANDLE ((NTSTATUS)0xC0000008L)
#define STATUS_INVALID_PARAMETER ((NTSTATUS)0xC000000DL)
#define STATUS_INVALID_DEVICE_REQUEST ((NTSTATUS)0xC0000010L)
#define STATUS_NO_MEMORY ((NTSTATUS)0xC0000017L)
#define STATUS_BUFFER_TOO_SMALL ((NTSTATUS)0xC0000023L)
#define STATUS_OBJECT_NAME_NOT_FOUND ((NTSTATUS)0xC0000034L)
#define STATUS_OBJECT_NAME_COLLISION ((NTSTATUS)0xC0000035L)
#define STATUS_CRC_ERROR ((NTSTATUS)0xC000003FL)
#define STATUS_DELETE_PENDING ((NTSTATUS)0xC0000056L)
#define STATUS_INSUFFICIENT_RESOURCES ((NTSTATUS)0xC000009AL)
#define STATUS_DEVICE_NOT_READY ((NTSTATUS)0xC00000A3L)
#define STATUS_NOT_SUPPORTED ((NTSTATUS)0xC00000BBL)
#define STATUS_NOT_A_DIRECTORY ((NTSTATUS)0xC0000103L)
#define STATUS_CANCELLED ((NTSTATUS)0xC0000120L)
#define STATUS_OPEN_FAILED ((NTSTATUS)0xC0000136L)
#define STATUS_INVALID_DEVICE_STATE ((NTSTATUS)0xC0000184L)
#define STATUS_TRANSACTION_TIMED_OUT ((NTSTATUS)0xC0000210L)

typedef struct _IO_STATUS_BLOCK {
    union {
        NTSTATUS Status;
        PVOID Pointer;
    };
    ULONG_PTR Information;
} IO_STATUS_BLOCK, *PIO_STATUS_BLOCK;

/* ---- Strings. Length and MaximumLength count bytes, not characters. ---- */

typedef struct _UNICODE_STRING {
    USHORT Length;
    USHORT MaximumLength;
    PWCH Buffer;
} UNICODE_STRING, *PUNICODE_STRING;
typedef const UNICODE_STRING* PCUNICODE_STRING;

#define DECLARE_CONST_UNICODE_STRING(_var, _string)                                   \
    const WCHAR _var##_buffer[] = _string;                                             \
    const UNICODE_STRING _var = {sizeof(_string) - sizeof(WCHAR), sizeof(_string),     \
                                 const_cast<PWCH>(_var##_buffer)}
#define DECLARE_UNICODE_STRING_SIZE(_var, _size)                                       \
    WCHAR _var##_buffer[_size];                                                        \
    UNICODE_STRING _var = {0, (USHORT)((_size) * sizeof(WCHAR)), _var##_buffer}
#define RTL_CONSTANT_STRING(s) \
    {sizeof(s) - sizeof((s)[0]), sizeof(s), const_cast<PWCH>(s)}

VOID RtlInitUnicodeString(_Out_ PUNICODE_STRING DestinationString, _In_opt_ PCWSTR SourceString);
VOID RtlCopyUnicodeString(_Inout_ PUNICODE_STRING DestinationString, _In_opt_ PCUNICODE_STRING SourceString);
NTSTATUS RtlAppendUnicodeStringToString(_Inout_ PUNICODE_STRING Destination, _In_ PCUNICODE_STRING Source);
NTSTATUS RtlAppendUnicodeToString(_Inout_ PUNICODE_STRING Destination, _In_opt_ PCWSTR Source);
BOOLEAN RtlEqualUnicodeString(_In_ PCUNICODE_STRING String1, _In_ PCUNICODE_STRING String2,
                              _In_ BOOLEAN CaseInSensitive);

/* ---- Memory. ---- */

#define RtlZeroMemory(Destination, Length) std::memset((Destination), 0, (Length))
#define RtlFillMemory(Destination, Length, Fill) std::memset((Destination), (Fill), (Length))
#define RtlCopyMemory(Destination, Source, Length) std::memcpy((Destination), (Source), (Length))
#define RtlMoveMemory(Destination, Source, Length) std::memmove((Destination), (Source), (Length))
#define RtlEqualMemory(Destination, Source, Length) (!std::memcmp((Destination), (Source), (Length)))

/* Number of leading bytes that are equal, as the kernel defines it. */
SIZE_T RtlCompareMemory(_In_ const VOID* Source1, _In_ const VOID* Source2, _In_ SIZE_T Length);

typedef enum _POOL_TYPE {
    NonPagedPool = 0,
    NonPagedPoolExecute = NonPagedPool,
    PagedPool = 1,
    NonPagedPoolNx = 512,
} POOL_TYPE;

/* Pool memory is zero-filled by the host so that no run depends on leftovers. */
PVOID ExAllocatePoolWithTag(_In_ POOL_TYPE PoolType, _In_ SIZE_T NumberOfBytes, _In_ ULONG Tag);
VOID ExFreePoolWithTag(_In_ PVOID P, _In_ ULONG Tag);
VOID ExFreePool(_In_ PVOID P);

/* ---- Interlocked operations (full barriers). ---- */

inline LONG InterlockedIncrement(_Inout_ LONG volatile* Addend)
{
    return __atomic_add_fetch(Addend, 1, __ATOMIC_SEQ_CST);
}
inline LONG InterlockedDecrement(_Inout_ LONG volatile* Addend)
{
    return __atomic_sub_fetch(Addend, 1, __ATOMIC_SEQ_CST);
}
inline LONG InterlockedExchange(_Inout_ LONG volatile* Target, _In_ LONG Value)
{
    return __atomic_exchange_n(Target, Value, __ATOMIC_SEQ_CST);
}
inline LONG InterlockedExchangeAdd(_Inout_ LONG volatile* Addend, _In_ LONG Value)
{
    return __atomic_fetch_add(Addend, Value, __ATOMIC_SEQ_CST);
}
inline LONG InterlockedAdd(_Inout_ LONG volatile* Addend, _In_ LONG Value)
{
    return __atomic_add_fetch(Addend, Value, __ATOMIC_SEQ_CST);
}
inline LONG InterlockedCompareExchange(_Inout_ LONG volatile* Destination, _In_ LONG Exchange,
                                      _In_ LONG Comparand)
{
    __atomic_compare_exchange_n(Destination, &Comparand, Exchange, false, __ATOMIC_SEQ_CST,
                                __ATOMIC_SEQ_CST);
    return Comparand;
}

/* ---- Interrupt request level. ---- */

typedef UCHAR KIRQL;
typedef KIRQL* PKIRQL;
#define PASSIVE_LEVEL 0
#define APC_LEVEL 1
#define DISPATCH_LEVEL 2

/* The level the calling callback runs at: DISPATCH_LEVEL inside timer
   callbacks of dispatch-level timers and while a spin lock is held. */
KIRQL KeGetCurrentIrql(VOID);

/* ---- Time. ---- */

typedef struct _TIME_FIELDS {
    CSHORT Year;         /* 1601... */
    CSHORT Month;        /* 1..12 */
    CSHORT Day;          /* 1..31 */
    CSHORT Hour;         /* 0..23 */
    CSHORT Minute;       /* 0..59 */
    CSHORT Second;       /* 0..59 */
    CSHORT Milliseconds; /* 0..999 */
    CSHORT Weekday;      /* 0..6 = Sunday..Saturday */
} TIME_FIELDS, *PTIME_FIELDS;

/* 100 ns intervals since 1601-01-01 00:00 UTC. */
VOID KeQuerySystemTime(_Out_ PLARGE_INTEGER CurrentTime);
VOID RtlTimeToTimeFields(_In_ PLARGE_INTEGER Time, _Out_ PTIME_FIELDS TimeFields);
BOOLEAN RtlTimeFieldsToTime(_In_ PTIME_FIELDS TimeFields, _Out_ PLARGE_INTEGER Time);
LARGE_INTEGER KeQueryPerformanceCounter(_Out_opt_ PLARGE_INTEGER PerformanceFrequency);

/* ---- Driver object. ---- */

struct _DRIVER_OBJECT;
typedef NTSTATUS DRIVER_INITIALIZE(_In_ struct _DRIVER_OBJECT* DriverObject,
                                   _In_ PUNICODE_STRING RegistryPath);
typedef DRIVER_INITIALIZE* PDRIVER_INITIALIZE;
typedef VOID DRIVER_UNLOAD(_In_ struct _DRIVER_OBJECT* DriverObject);
typedef DRIVER_UNLOAD* PDRIVER_UNLOAD;

/* The host creates the one driver object and hands it to DriverEntry. */
typedef struct _DRIVER_OBJECT {
    CSHORT Type;
    CSHORT Size;
    ULONG Flags;
    PVOID DriverExtension;
    UNICODE_STRING DriverName;
    PDRIVER_INITIALIZE DriverInit;
    PDRIVER_UNLOAD DriverUnload;
} DRIVER_OBJECT, *PDRIVER_OBJECT;

/* ---- Debug output. ---- */

#define DPFLTR_IHVDRIVER_ID 77
#define DPFLTR_DEFAULT_ID 101
#define DPFLTR_ERROR_LEVEL 0
#define DPFLTR_WARNING_LEVEL 1
#define DPFLTR_TRACE_LEVEL 2
#define DPFLTR_INFO_LEVEL 3
#define DPFLTR_MASK 0x80000000

/*
 * printf formatting, plus the kernel's own conversions: %ws and %S take a
 * WCHAR string (printed as UTF-8), %wc and %C a WCHAR, %wZ a PUNICODE_STRING,
 * and the I64/I32/I size prefixes are understood.
 */
ULONG DbgPrint(_In_z_ PCSTR Format, ...);
ULONG DbgPrintEx(_In_ ULONG ComponentId, _In_ ULONG Level, _In_z_ PCSTR Format, ...);
ULONG vDbgPrintEx(_In_ ULONG ComponentId, _In_ ULONG Level, _In_z_ PCSTR Format, _In_ va_list arglist);
ULONG vDbgPrintExWithPrefix(_In_z_ PCSTR Prefix, _In_ ULONG ComponentId, _In_ ULONG Level,
                            _In_z_ PCSTR Format, _In_ va_list arglist);

#define KdPrint(_x_) DbgPrint _x_
#define KdPrintEx(_x_) DbgPrintEx _x_

/* Device objects, IRPs, events, handles, symbolic links and access rights. */
#include <wdm.h>
/* Registry keys and value information. */
#include <ntregistry.h>
