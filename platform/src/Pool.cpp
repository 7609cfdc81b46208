/* Pool memory, counted per host so that tests can prove nothing leaks. */
#include <cstdlib>

#include "HostCore.h"

using namespace platform;

PVOID ExAllocatePoolWithTag(POOL_TYPE, SIZE_T NumberOfBytes, ULONG Tag)
{
    HostCore& core = CurrentCore();
    /* A zero-byte request still gets a block of its own, as malloc gives. */
    void* memory = std::calloc(1, NumberOfBytes != 0 ? NumberOfBytes : 1);
    if (memory == nullptr) {
        return nullptr;
    }
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
            std::free(P);
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
