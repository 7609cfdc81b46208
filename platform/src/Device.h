#pragma once

#include <functional>
#include <map>
#include <memory>
#include <string>
#include <vector>

#include <platform/Dispatcher.h>

#include "Object.h"

namespace platform {
class DriverObject;
class QueueObject;
class RequestObject;
class FileObject;
namespace detail {
struct FileState;
}
} // namespace platform

/* What the driver fills in before WdfDeviceCreate. */
struct WDFDEVICE_INIT {
    platform::DriverObject* driver = nullptr;
    bool controlDevice = false;
    /* Handed to EvtDriverDeviceAdd: the framework frees it, not the driver. */
    bool pnp = false;
    std::u16string sddl;
    std::u16string name;
    bool exclusive = false;
    DEVICE_TYPE deviceType = FILE_DEVICE_UNKNOWN;
    bool hasFileConfig = false;
    WDF_FILEOBJECT_CONFIG fileConfig{};
    bool hasFileAttributes = false;
    WDF_OBJECT_ATTRIBUTES fileAttributes{};
    WDF_PNPPOWER_EVENT_CALLBACKS pnpPower{};
    bool powerPolicyOwner = false;
};

namespace platform {

class DeviceObject final : public Object {
public:
    static constexpr ObjectType kType = ObjectType::Device;

    DeviceObject(HostCore& core, const WDFDEVICE_INIT& init);
    ~DeviceObject() override;

    const std::u16string& Name() const { return name_; }
    bool IsControlDevice() const { return controlDevice_; }
    bool IsPnp() const { return pnp_; }
    bool IsExclusive() const { return exclusive_; }
    DEVICE_TYPE DeviceType() const { return deviceType_; }
    const std::u16string& Sddl() const { return sddl_; }
    /* Cleared by WdfControlFinishInitializing; until then clients cannot open it. */
    bool Initializing() const { return initializing_; }
    void FinishInitializing() { initializing_ = false; }
    DriverObject* Driver() const { return driver_; }
    const WDF_PNPPOWER_EVENT_CALLBACKS& PnpPower() const { return pnpPower_; }
    bool PowerPolicyOwner() const { return powerPolicyOwner_; }
    PDEVICE_OBJECT Wdm() { return &wdm_; }

    void SetName(std::u16string name) { name_ = std::move(name); }

    /* ---- Queues and request dispatching ---- */
    void AddQueue(QueueObject* queue);
    NTSTATUS SetDefaultQueue(QueueObject* queue);
    void RemoveQueue(QueueObject* queue);
    const std::vector<QueueObject*>& Queues() const { return queues_; }
    NTSTATUS ConfigureDispatching(QueueObject* queue, WDF_REQUEST_TYPE type);
    /* A request that reached the device: to its queue, or failed, or (zero
       length) completed by the framework. */
    void Dispatch(RequestObject* request);
    /* Power-managed queues dispatch only while this holds. */
    bool InWorkingState() const { return !pnp_ || working_; }
    void SetWorkingState(bool working);

    /* ---- Files ---- */
    /* Opens a file object for a client: refuses what the driver must not see,
       then runs EvtDeviceFileCreate. */
    NTSTATUS OpenFile(const std::shared_ptr<detail::FileState>& client, std::function<void(NTSTATUS)> done);
    void FileGone(FileObject* file);
    SyncScope* FileScope();
    /* The device-wide scope, when the device asks for one. */
    SyncScope* DeviceScope();
    /* Its own setting, or the driver's; None when neither says. */
    WDF_SYNCHRONIZATION_SCOPE EffectiveScope() const;
    const WDF_FILEOBJECT_CONFIG& FileConfig() const { return fileConfig_; }

    /* Client requests that reached the device and are not yet completed. */
    void Track(RequestObject* request);
    void Untrack(RequestObject* request);

    /* ---- Interfaces ---- */
    struct Interface {
        GUID guid;
        std::u16string reference;
        std::u16string link; /* the instance's name while enabled */
    };
    NTSTATUS AddInterface(const GUID& guid, std::u16string reference);
    void EnableInterfaces(bool enable);
    std::vector<std::u16string> InterfaceLinks(const GUID& guid) const;

protected:
    void Dispose() override;
    void Deleted() override;
    SyncScope* OwnScope() override;

private:
    DriverObject* driver_;
    std::u16string name_;
    std::u16string sddl_;
    bool controlDevice_;
    bool pnp_;
    bool exclusive_;
    DEVICE_TYPE deviceType_;
    bool initializing_ = true;
    bool working_ = false;
    WDF_FILEOBJECT_CONFIG fileConfig_{};
    bool hasFileAttributes_ = false;
    WDF_OBJECT_ATTRIBUTES fileAttributes_{};
    WDF_PNPPOWER_EVENT_CALLBACKS pnpPower_{};
    bool powerPolicyOwner_ = false;
    DEVICE_OBJECT wdm_{};
    SyncScope scope_;
    std::vector<QueueObject*> queues_;
    std::map<WDF_REQUEST_TYPE, QueueObject*> dispatching_;
    QueueObject* defaultQueue_ = nullptr;
    std::vector<FileObject*> files_;
    std::vector<RequestObject*> requests_;
    std::vector<Interface> interfaces_;
};

/*
 * The framework's file object for one client handle. It lives from the open
 * until the close callback has run (or its device is deleted).
 */
class FileObject final : public Object {
public:
    static constexpr ObjectType kType = ObjectType::FileObject;

    FileObject(HostCore& core, DeviceObject& device, std::shared_ptr<detail::FileState> client);

    DeviceObject& Device() const { return *device_; }
    enum class State { Creating, Open, CleanedUp, Closed };
    State GetState() const { return state_; }
    void SetOpen() { state_ = State::Open; }

    void Track(RequestObject* request) { requests_.push_back(request); }
    void Untrack(RequestObject* request);
    /* The client's handle went: cleanup now, close once no request is left. */
    void Cleanup();

protected:
    void Dispose() override;

private:
    void RunClose();

    DeviceObject* device_;
    std::shared_ptr<detail::FileState> client_;
    State state_ = State::Creating;
    std::vector<RequestObject*> requests_;
    bool closePosted_ = false;
};

/* Object-manager names compare without regard to case. */
bool SameObjectName(const std::u16string& a, const std::u16string& b);

} // namespace platform
