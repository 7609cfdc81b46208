/*
 * The level the current thread's driver code runs at. Only a few checks
 * use it (blocking at DISPATCH_LEVEL is a driver bug); nothing is masked.
 */
#pragma once

#include <ntddk.h>

namespace platform {

KIRQL& CurrentIrql();

class IrqlScope {
public:
    explicit IrqlScope(KIRQL level) : saved_(CurrentIrql()) { CurrentIrql() = level; }
    ~IrqlScope() { CurrentIrql() = saved_; }
    IrqlScope(const IrqlScope&) = delete;
    IrqlScope& operator=(const IrqlScope&) = delete;

private:
    KIRQL saved_;
};

} // namespace platform
