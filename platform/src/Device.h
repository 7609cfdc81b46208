#pragma once

#include <string>

#include <platform/Dispatcher.h>

#include "Object.h"

namespace platform {
class DriverObject;
}

/* What the driver fills in before WdfDeviceCreate. */
struct WDFDEVICE_INIT {
    platform::DriverObject* driver = nullptr;
    bool controlDevice = false;
    std::u16string sddl;
    std::u16string name;
    bool exclusive = false;
    DEVICE_TYPE deviceType = FILE_DEVICE_UNKNOWN;
};

namespace platform {

class DeviceObject final : public Object {
public:
    static constexpr ObjectType kType = ObjectType::Device;

    DeviceObject(HostCore& core, const WDFDEVICE_INIT& init);
    ~DeviceObject() override;

    const std::u16string& Name() const { return name_; }
    bool IsControlDevice() const { return controlDevice_; }
    bool IsExclusive() const { return exclusive_; }
    DEVICE_TYPE DeviceType() const { return deviceType_; }
    const std::u16string& Sddl() const { return sddl_; }
    /* Cleared by WdfControlFinishInitializing; until then clients cannot open it. */
    bool Initializing() const { return initializing_; }
    void FinishInitializing() { initializing_ = false; }
    DriverObject* Driver() const { return driver_; }

protected:
    void Dispose() override;
    SyncScope* OwnScope() override;

private:
    DriverObject* driver_;
    std::u16string name_;
    std::u16string sddl_;
    bool controlDevice_;
    bool exclusive_;
    DEVICE_TYPE deviceType_;
    bool initializing_ = true;
    bool registered_ = false;
    SyncScope scope_;
};

/* Object-manager names compare without regard to case. */
bool SameObjectName(const std::u16string& a, const std::u16string& b);

} // namespace platform
