#include "Memory.h"

#include <cstring>

#include "HostCore.h"

namespace platform {

MemoryObject::MemoryObject(HostCore& core, void* buffer, std::size_t size, ULONG tag)
    : Object(core, kType), buffer_(buffer), size_(size), tag_(tag), owned_(true)
{
}

MemoryObject::MemoryObject(HostCore& core, void* buffer, std::size_t size)
    : Object(core, kType), buffer_(buffer), size_(size), owned_(false)
{
}

MemoryObject::~MemoryObject()
{
    if (owned_) {
        ExFreePoolWithTag(buffer_, tag_);
    }
}

} // namespace platform

using namespace platform;

NTSTATUS WdfMemoryCreate(PWDF_OBJECT_ATTRIBUTES Attributes, POOL_TYPE PoolType, ULONG PoolTag, size_t BufferSize,
                         WDFMEMORY* Memory, PVOID* Buffer)
{
    HostCore& core = CurrentCore();
    if (Memory == nullptr) {
        return STATUS_INVALID_PARAMETER;
    }
    *Memory = nullptr;
    if (Buffer != nullptr) {
        *Buffer = nullptr;
    }
    if (BufferSize == 0) {
        return STATUS_INVALID_PARAMETER;
    }
    Object* parent = core.ParentFor(Attributes, core.DefaultParent(), "WdfMemoryCreate");
    if (parent == nullptr) {
        return STATUS_INVALID_PARAMETER;
    }
    /* The driver's own tag, as the framework passes it to the pool. */
    const ULONG tag = PoolTag != 0 ? PoolTag : 0x4D466457; /* "WdfM" */
    void* buffer = ExAllocatePoolWithTag(PoolType, BufferSize, tag);
    if (buffer == nullptr) {
        return STATUS_INSUFFICIENT_RESOURCES;
    }
    Object* created = nullptr;
    NTSTATUS status = core.objects.Insert(std::make_unique<MemoryObject>(core, buffer, BufferSize, tag), *parent,
                                          Attributes, &created);
    if (!NT_SUCCESS(status)) {
        /* Insert freed the object, and with it the buffer. */
        return status;
    }
    *Memory = created->HandleAs<WDFMEMORY>();
    if (Buffer != nullptr) {
        *Buffer = buffer;
    }
    return STATUS_SUCCESS;
}

PVOID WdfMemoryGetBuffer(WDFMEMORY Memory, size_t* BufferSize)
{
    auto* memory = Resolve<MemoryObject>(CurrentCore().objects, Memory, "WdfMemoryGetBuffer");
    if (BufferSize != nullptr) {
        *BufferSize = memory != nullptr ? memory->Size() : 0;
    }
    return memory != nullptr ? memory->Buffer() : nullptr;
}

NTSTATUS WdfMemoryCopyToBuffer(WDFMEMORY SourceMemory, size_t SourceOffset, PVOID Buffer, size_t NumBytesToCopyTo)
{
    auto* memory = Resolve<MemoryObject>(CurrentCore().objects, SourceMemory, "WdfMemoryCopyToBuffer");
    if (memory == nullptr || Buffer == nullptr) {
        return STATUS_INVALID_PARAMETER;
    }
    if (SourceOffset > memory->Size() || NumBytesToCopyTo > memory->Size() - SourceOffset) {
        return STATUS_INVALID_BUFFER_SIZE;
    }
    std::memcpy(Buffer, static_cast<const std::uint8_t*>(memory->Buffer()) + SourceOffset, NumBytesToCopyTo);
    return STATUS_SUCCESS;
}

NTSTATUS WdfMemoryCopyFromBuffer(WDFMEMORY DestinationMemory, size_t DestinationOffset, PVOID Buffer,
                                 size_t NumBytesToCopyFrom)
{
    auto* memory = Resolve<MemoryObject>(CurrentCore().objects, DestinationMemory, "WdfMemoryCopyFromBuffer");
    if (memory == nullptr || Buffer == nullptr) {
        return STATUS_INVALID_PARAMETER;
    }
    if (DestinationOffset > memory->Size() || NumBytesToCopyFrom > memory->Size() - DestinationOffset) {
        return STATUS_INVALID_BUFFER_SIZE;
    }
    std::memcpy(static_cast<std::uint8_t*>(memory->Buffer()) + DestinationOffset, Buffer, NumBytesToCopyFrom);
    return STATUS_SUCCESS;
}
