/* Pool memory, counted per host so that tests can prove nothing leaks. */
#include <cstring>
#include <new>

#include "HostCore.h"

using namespace platform;

PVOID ExAllocatePoolWithTag(POOL_TYPE, SIZE_T NumberOfBytes, ULONG Tag)
{
    HostCore& core = CurrentCore();
    /* A zero-byte request still gets a block of its own, as malloc gives. Zeroed
       by hand: glibc's calloc passes by the per-thread cache of small blocks,
       and the driver takes one per received character. (The compiler would
       turn malloc and memset back into calloc; operator new it leaves alone.) */
    const std::size_t size = NumberOfBytes != 0 ? NumberOfBytes : 1;
    void* memory = ::operator new(size, std::nothrow);
    if (memory == nullptr) {
        return nullptr;
    }
    std::memset(memory, 0, size);
    std::lock_guard lock(core.poolMutex);
    core.poolNodes.Insert(core.pool, memory, HostCore::PoolBlock{NumberOfBytes, Tag});
    return memory;
}

VOID ExFreePoolWithTag(PVOID P, ULONG Tag)
{
    HostCore& core = CurrentCore();
    {
        std::lock_guard lock(core.poolMutex);
        auto block = core.pool.find(P);
        if (block != core.pool.end() && (Tag == 0 || block->second.tag == Tag)) {
            core.poolNodes.Keep(core.pool.extract(block));
            ::operator delete(P);
            return;
        }
    }
    core.Fault("ExFreePoolWithTag: %p is not a pool block with tag 0x%08X (freed twice, or another tag)", P,
               static_cast<unsigned>(Tag));
}

VOID ExFreePool(PVOID P)
{
    ExFreePoolWithTag(P, 0);
}
