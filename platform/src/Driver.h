#pragma once

#include <string>

#include "Object.h"

namespace platform {

class DriverObject final : public Object {
public:
    static constexpr ObjectType kType = ObjectType::Driver;

    DriverObject(HostCore& core, const WDF_DRIVER_CONFIG& config, std::u16string registryPath);
    ~DriverObject() override;

    const WDF_DRIVER_CONFIG& Config() const { return config_; }
    /* NUL-terminated, for WdfDriverGetRegistryPath. */
    PWSTR RegistryPath() { return registryPath_.data(); }

private:
    WDF_DRIVER_CONFIG config_;
    std::u16string registryPath_;
};

} // namespace platform
