#pragma once

#include <wdfobject.h>

typedef struct _WDFMEMORY_OFFSET {
    size_t BufferOffset;
    size_t BufferLength;
} WDFMEMORY_OFFSET, *PWDFMEMORY_OFFSET;

/* The buffer comes from the pool with PoolTag and is zero-filled; it lives
   as long as the object. Without attributes (or a ParentObject) the memory
   belongs to the driver. A BufferSize of 0 is STATUS_INVALID_PARAMETER. */
NTSTATUS WdfMemoryCreate(_In_opt_ PWDF_OBJECT_ATTRIBUTES Attributes, _In_ POOL_TYPE PoolType, _In_opt_ ULONG PoolTag,
                         _In_ size_t BufferSize, _Out_ WDFMEMORY* Memory, _Outptr_opt_ PVOID* Buffer);
PVOID WdfMemoryGetBuffer(_In_ WDFMEMORY Memory, _Out_opt_ size_t* BufferSize);
/* Offset and count must lie inside the buffer, else STATUS_INVALID_BUFFER_SIZE. */
NTSTATUS WdfMemoryCopyToBuffer(_In_ WDFMEMORY SourceMemory, _In_ size_t SourceOffset, _Out_ PVOID Buffer,
                               _In_ size_t NumBytesToCopyTo);
NTSTATUS WdfMemoryCopyFromBuffer(_In_ WDFMEMORY DestinationMemory, _In_ size_t DestinationOffset,
                                 _In_ PVOID Buffer, _In_ size_t NumBytesToCopyFrom);
