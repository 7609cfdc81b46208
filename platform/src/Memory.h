#pragma once

#include <cstddef>

#include "Object.h"

namespace platform {

/* A buffer object: from the pool with the driver's tag, or (for a request's
   own buffers) a view of memory the framework owns. */
class MemoryObject final : public Object {
public:
    static constexpr ObjectType kType = ObjectType::Memory;

    /* Pool memory of size bytes. */
    MemoryObject(HostCore& core, void* buffer, std::size_t size, ULONG tag);
    /* A view that the object does not own. */
    MemoryObject(HostCore& core, void* buffer, std::size_t size);
    ~MemoryObject() override;

    void* Buffer() const { return buffer_; }
    std::size_t Size() const { return size_; }
    bool OwnedByFramework() const { return !owned_; }

private:
    void* buffer_;
    std::size_t size_;
    ULONG tag_ = 0;
    bool owned_;
};

} // namespace platform
