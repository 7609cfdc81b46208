#include "Irql.h"

namespace platform {

KIRQL& CurrentIrql()
{
    thread_local KIRQL irql = PASSIVE_LEVEL;
    return irql;
}

} // namespace platform

KIRQL KeGetCurrentIrql(VOID)
{
    return platform::CurrentIrql();
}
