#include "Device.h"

#include <algorithm>
#include <cstdio>

#include "Driver.h"
#include "HostCore.h"
#include "IoCore.h"
#include "Irql.h"
#include "Queue.h"
#include "Request.h"

namespace platform {

bool SameObjectName(const std::u16string& a, const std::u16string& b)
{
    return CanonicalObjectName(a) == CanonicalObjectName(b);
}

DeviceObject::DeviceObject(HostCore& core, const WDFDEVICE_INIT& init)
    : Object(core, kType),
      driver_(init.driver),
      name_(init.name),
      sddl_(init.sddl),
      controlDevice_(init.controlDevice),
      pnp_(init.pnp),
      exclusive_(init.exclusive),
      deviceType_(init.deviceType),
      fileConfig_(init.fileConfig),
      hasFileAttributes_(init.hasFileAttributes),
      fileAttributes_(init.fileAttributes),
      pnpPower_(init.pnpPower),
      powerPolicyOwner_(init.powerPolicyOwner)
{
    /* A function device has nothing to finish: the PnP manager starts it. */
    initializing_ = controlDevice_;
    wdm_.Type = 3; /* IO_TYPE_DEVICE */
    wdm_.Size = sizeof(DEVICE_OBJECT);
    wdm_.DriverObject = &core.driverObject;
    wdm_.DeviceExtension = nullptr;
    wdm_.DeviceType = deviceType_;
}

DeviceObject::~DeviceObject()
{
    Dispose();
}

void DeviceObject::Dispose()
{
    HostCore& core = Core();
    auto& devices = core.devices;
    devices.erase(std::remove(devices.begin(), devices.end(), this), devices.end());
    /* The name is free again as soon as deletion starts. */
    if (!name_.empty() && core.io != nullptr) {
        core.io->names.RemoveDevice(name_, this);
    }
    if (core.io != nullptr) {
        EnableInterfaces(false);
    }
}

void DeviceObject::Deleted()
{
    /* Requests the driver still held die with the device: nobody is left to
       complete them, and their clients must not wait for ever. */
    while (!requests_.empty()) {
        requests_.back()->Cancel(true);
    }
    if (Core().io != nullptr && Core().io->pnpDevice == this) {
        Core().io->pnpDevice = nullptr;
        Core().io->pnpState = IoCore::PnpState::None;
    }
}

SyncScope* DeviceObject::OwnScope()
{
    WDF_SYNCHRONIZATION_SCOPE scope = SynchronizationScopeSetting();
    if (scope == WdfSynchronizationScopeInheritFromParent && driver_ != nullptr) {
        scope = driver_->SynchronizationScopeSetting();
    }
    return scope == WdfSynchronizationScopeDevice ? &scope_ : nullptr;
}

SyncScope* DeviceObject::DeviceScope()
{
    return OwnScope();
}

WDF_SYNCHRONIZATION_SCOPE DeviceObject::EffectiveScope() const
{
    WDF_SYNCHRONIZATION_SCOPE scope = SynchronizationScopeSetting();
    if (scope == WdfSynchronizationScopeInheritFromParent && driver_ != nullptr) {
        scope = driver_->SynchronizationScopeSetting();
    }
    return scope == WdfSynchronizationScopeInheritFromParent ? WdfSynchronizationScopeNone : scope;
}

void DeviceObject::AddQueue(QueueObject* queue)
{
    queues_.push_back(queue);
}

void DeviceObject::RemoveQueue(QueueObject* queue)
{
    queues_.erase(std::remove(queues_.begin(), queues_.end(), queue), queues_.end());
    for (auto it = dispatching_.begin(); it != dispatching_.end();) {
        it = it->second == queue ? dispatching_.erase(it) : std::next(it);
    }
    if (defaultQueue_ == queue) {
        defaultQueue_ = nullptr;
    }
}

NTSTATUS DeviceObject::SetDefaultQueue(QueueObject* queue)
{
    if (defaultQueue_ != nullptr) {
        return STATUS_INVALID_DEVICE_STATE;
    }
    defaultQueue_ = queue;
    return STATUS_SUCCESS;
}

NTSTATUS DeviceObject::ConfigureDispatching(QueueObject* queue, WDF_REQUEST_TYPE type)
{
    if (&queue->Device() != this) {
        return STATUS_INVALID_PARAMETER;
    }
    switch (type) {
    case WdfRequestTypeRead:
    case WdfRequestTypeWrite:
    case WdfRequestTypeDeviceControl:
    case WdfRequestTypeDeviceControlInternal:
        break;
    default:
        return STATUS_INVALID_PARAMETER;
    }
    if (dispatching_.count(type) != 0) {
        return STATUS_INVALID_DEVICE_REQUEST;
    }
    dispatching_[type] = queue;
    return STATUS_SUCCESS;
}

void DeviceObject::Dispatch(RequestObject* request)
{
    const WDF_REQUEST_TYPE type = request->Type();
    auto configured = dispatching_.find(type);
    QueueObject* queue = configured != dispatching_.end() ? configured->second : defaultQueue_;
    if (queue == nullptr) {
        request->FrameworkComplete(STATUS_INVALID_DEVICE_REQUEST, 0);
        return;
    }
    const bool readOrWrite = type == WdfRequestTypeRead || type == WdfRequestTypeWrite;
    if (readOrWrite && request->Length() == 0 && !queue->Config().AllowZeroLengthRequests) {
        request->FrameworkComplete(STATUS_SUCCESS, 0);
        return;
    }
    queue->Insert(request);
}

void DeviceObject::SetWorkingState(bool working)
{
    working_ = working;
    if (working) {
        for (QueueObject* queue : std::vector<QueueObject*>(queues_)) {
            queue->Kick();
        }
    }
}

SyncScope* DeviceObject::FileScope()
{
    WDF_SYNCHRONIZATION_SCOPE scope =
        hasFileAttributes_ ? fileAttributes_.SynchronizationScope : WdfSynchronizationScopeInheritFromParent;
    if (scope == WdfSynchronizationScopeInheritFromParent) {
        scope = EffectiveScope();
    }
    /* File objects have no queue of their own to be serialised with. */
    return scope == WdfSynchronizationScopeDevice ? &scope_ : nullptr;
}

NTSTATUS DeviceObject::OpenFile(const std::shared_ptr<detail::FileState>& client, std::function<void(NTSTATUS)> done)
{
    HostCore& core = Core();
    if (!IsLive()) {
        return STATUS_DELETE_PENDING;
    }
    if (initializing_) {
        return STATUS_NO_SUCH_DEVICE;
    }
    if (pnp_ && core.io->pnpState == IoCore::PnpState::Added) {
        return STATUS_NO_SUCH_DEVICE;
    }
    if (exclusive_ && !files_.empty()) {
        return STATUS_ACCESS_DENIED;
    }
    WDF_OBJECT_ATTRIBUTES attributes = fileAttributes_;
    attributes.ParentObject = nullptr;
    Object* created = nullptr;
    NTSTATUS status = core.objects.Insert(std::make_unique<FileObject>(core, *this, client), *this,
                                          hasFileAttributes_ ? &attributes : nullptr, &created);
    if (!NT_SUCCESS(status)) {
        return status;
    }
    auto* file = static_cast<FileObject*>(created);
    files_.push_back(file);
    client->file = file;
    client->fileSerial = file->Serial();

    auto request = RequestObject::NewClient(WdfRequestTypeCreate, 0, {}, 0);
    const std::uint64_t fileSerial = file->Serial();
    request->OnCompleted([&core, file, fileSerial, done = std::move(done)](const ClientRequest& completed) {
        Object* alive = core.objects.Find(file, fileSerial);
        NTSTATUS result = completed.Status();
        if (alive == nullptr) {
            result = NT_SUCCESS(result) ? STATUS_DELETE_PENDING : result;
        } else if (NT_SUCCESS(result)) {
            file->SetOpen();
        } else {
            /* A refused open leaves no file behind and runs no cleanup or close. */
            core.objects.Delete(*file);
        }
        done(result);
    });
    RequestObject* create = RequestObject::CreateForDevice(core, request, *this, nullptr);
    if (create == nullptr) {
        core.objects.Delete(*file);
        return STATUS_INSUFFICIENT_RESOURCES;
    }
    const std::uint64_t deviceSerial = Serial();
    const std::uint64_t createSerial = create->Serial();
    core.dispatcher.Post(
        [&core, self = this, deviceSerial, create, createSerial, file, fileSerial] {
            if (core.objects.Find(create, createSerial) == nullptr) {
                return;
            }
            if (core.objects.Find(self, deviceSerial) == nullptr || core.objects.Find(file, fileSerial) == nullptr) {
                create->FrameworkComplete(STATUS_DELETE_PENDING, 0);
                return;
            }
            if (PFN_WDF_DEVICE_FILE_CREATE callback = self->fileConfig_.EvtDeviceFileCreate) {
                IrqlScope passive(PASSIVE_LEVEL);
                callback(self->HandleAs<WDFDEVICE>(), create->HandleAs<WDFREQUEST>(), file->HandleAs<WDFFILEOBJECT>());
            } else {
                create->FrameworkComplete(STATUS_SUCCESS, 0);
            }
        },
        FileScope());
    return STATUS_PENDING;
}

void DeviceObject::FileGone(FileObject* file)
{
    files_.erase(std::remove(files_.begin(), files_.end(), file), files_.end());
}

void DeviceObject::Track(RequestObject* request)
{
    requests_.push_back(request);
}

void DeviceObject::Untrack(RequestObject* request)
{
    requests_.erase(std::remove(requests_.begin(), requests_.end(), request), requests_.end());
}

NTSTATUS DeviceObject::AddInterface(const GUID& guid, std::u16string reference)
{
    for (const Interface& existing : interfaces_) {
        if (existing.guid == guid && SameObjectName(existing.reference, reference)) {
            return STATUS_OBJECT_NAME_COLLISION;
        }
    }
    interfaces_.push_back(Interface{guid, std::move(reference), {}});
    if (working_) {
        EnableInterfaces(true);
    }
    return STATUS_SUCCESS;
}

namespace {

std::u16string GuidText(const GUID& guid)
{
    char text[64];
    std::snprintf(text, sizeof(text), "{%08X-%04X-%04X-%02X%02X-%02X%02X%02X%02X%02X%02X}",
                  static_cast<unsigned>(guid.Data1), guid.Data2, guid.Data3, guid.Data4[0], guid.Data4[1],
                  guid.Data4[2], guid.Data4[3], guid.Data4[4], guid.Data4[5], guid.Data4[6], guid.Data4[7]);
    return std::u16string(text, text + std::char_traits<char>::length(text));
}

} // namespace

void DeviceObject::EnableInterfaces(bool enable)
{
    IoCore& io = *Core().io;
    for (Interface& interface : interfaces_) {
        if (enable && interface.link.empty()) {
            char instance[32];
            std::snprintf(instance, sizeof(instance), "\\??\\ROOT#HARTDRIVER#%04zu#", io.nextInterfaceInstance++);
            std::u16string link(instance, instance + std::char_traits<char>::length(instance));
            link += GuidText(interface.guid);
            if (!interface.reference.empty()) {
                link += u"\\" + interface.reference;
            }
            if (NT_SUCCESS(io.names.AddLink(link, name_))) {
                interface.link = link;
            }
        } else if (!enable && !interface.link.empty()) {
            io.names.RemoveLink(interface.link);
            interface.link.clear();
        }
    }
}

std::vector<std::u16string> DeviceObject::InterfaceLinks(const GUID& guid) const
{
    std::vector<std::u16string> links;
    for (const Interface& interface : interfaces_) {
        if (interface.guid == guid && !interface.link.empty()) {
            /* As a client spells it. */
            links.push_back(u"\\\\?\\" + interface.link.substr(4));
        }
    }
    return links;
}

/* ---------------------------------------------------------------------- */

FileObject::FileObject(HostCore& core, DeviceObject& device, std::shared_ptr<detail::FileState> client)
    : Object(core, kType), device_(&device), client_(std::move(client))
{
}

void FileObject::Untrack(RequestObject* request)
{
    requests_.erase(std::remove(requests_.begin(), requests_.end(), request), requests_.end());
    if (state_ == State::CleanedUp && requests_.empty() && !closePosted_) {
        closePosted_ = true;
        HostCore& core = Core();
        const std::uint64_t serial = Serial();
        core.dispatcher.Post(
            [&core, self = this, serial] {
                if (core.objects.Find(self, serial) != nullptr) {
                    self->RunClose();
                }
            },
            device_->FileScope());
    }
}

void FileObject::Cleanup()
{
    HostCore& core = Core();
    const std::uint64_t serial = Serial();
    core.dispatcher.Post(
        [&core, self = this, serial] {
            if (core.objects.Find(self, serial) == nullptr) {
                return;
            }
            /* Whatever the cleanup callback does, the object stays ours until close. */
            self->AddRef();
            if (PFN_WDF_FILE_CLEANUP cleanup = self->device_->FileConfig().EvtFileCleanup) {
                IrqlScope passive(PASSIVE_LEVEL);
                cleanup(self->HandleAs<WDFFILEOBJECT>());
            }
            /* Requests of this handle still waiting in the device's queues end now. */
            for (QueueObject* queue : std::vector<QueueObject*>(self->device_->Queues())) {
                queue->CancelForFile(self);
            }
            self->state_ = State::CleanedUp;
            const bool closeNow = self->requests_.empty() && !self->closePosted_ && self->IsLive();
            if (closeNow) {
                self->closePosted_ = true;
                self->RunClose();
            }
            self->client_->Publish([](detail::FileState& state) { state.cleanedUp = true; });
            self->Release();
        },
        device_->FileScope());
}

void FileObject::RunClose()
{
    if (!IsLive()) {
        return;
    }
    if (PFN_WDF_FILE_CLOSE close = device_->FileConfig().EvtFileClose) {
        IrqlScope passive(PASSIVE_LEVEL);
        close(HandleAs<WDFFILEOBJECT>());
    }
    state_ = State::Closed;
    client_->Publish([](detail::FileState& state) { state.closed = true; });
    Core().objects.Delete(*this);
}

void FileObject::Dispose()
{
    device_->FileGone(this);
    for (RequestObject* request : requests_) {
        request->ForgetFile();
    }
    requests_.clear();
    if (state_ != State::Closed) {
        client_->Publish([](detail::FileState& state) {
            state.orphaned = true;
            state.cleanedUp = true;
        });
    }
    client_->file = nullptr;
}

} // namespace platform

using namespace platform;

namespace {

WDFDEVICE_INIT* FindInit(HostCore& core, PWDFDEVICE_INIT init, const char* caller)
{
    if (init == nullptr || core.deviceInits.count(init) == 0) {
        core.Fault("%s: %p is not a device init structure allocated and not yet used", caller,
                   static_cast<void*>(init));
        return nullptr;
    }
    return init;
}

} // namespace

PWDFDEVICE_INIT WdfControlDeviceInitAllocate(WDFDRIVER Driver, PCUNICODE_STRING SDDLString)
{
    HostCore& core = CurrentCore();
    auto* driver = Resolve<platform::DriverObject>(core.objects, Driver, "WdfControlDeviceInitAllocate");
    if (driver == nullptr || SDDLString == nullptr || SDDLString->Buffer == nullptr || SDDLString->Length == 0) {
        return nullptr;
    }
    auto* init = new WDFDEVICE_INIT;
    init->driver = driver;
    init->controlDevice = true;
    init->sddl = ToU16(SDDLString);
    core.deviceInits.insert(init);
    return init;
}

VOID WdfDeviceInitFree(PWDFDEVICE_INIT DeviceInit)
{
    HostCore& core = CurrentCore();
    if (WDFDEVICE_INIT* init = FindInit(core, DeviceInit, "WdfDeviceInitFree")) {
        if (init->pnp) {
            core.Fault("WdfDeviceInitFree: the init block of EvtDriverDeviceAdd belongs to the framework");
            return;
        }
        core.deviceInits.erase(init);
        delete init;
    }
}

NTSTATUS WdfDeviceInitAssignName(PWDFDEVICE_INIT DeviceInit, PCUNICODE_STRING DeviceName)
{
    WDFDEVICE_INIT* init = FindInit(CurrentCore(), DeviceInit, "WdfDeviceInitAssignName");
    if (init == nullptr) {
        return STATUS_INVALID_PARAMETER;
    }
    init->name = ToU16(DeviceName);
    return STATUS_SUCCESS;
}

VOID WdfDeviceInitSetExclusive(PWDFDEVICE_INIT DeviceInit, BOOLEAN IsExclusive)
{
    if (WDFDEVICE_INIT* init = FindInit(CurrentCore(), DeviceInit, "WdfDeviceInitSetExclusive")) {
        init->exclusive = IsExclusive != FALSE;
    }
}

VOID WdfDeviceInitSetDeviceType(PWDFDEVICE_INIT DeviceInit, DEVICE_TYPE DeviceType)
{
    if (WDFDEVICE_INIT* init = FindInit(CurrentCore(), DeviceInit, "WdfDeviceInitSetDeviceType")) {
        init->deviceType = DeviceType;
    }
}

VOID WdfDeviceInitSetIoType(PWDFDEVICE_INIT DeviceInit, WDF_DEVICE_IO_TYPE IoType)
{
    HostCore& core = CurrentCore();
    if (FindInit(core, DeviceInit, "WdfDeviceInitSetIoType") != nullptr && IoType != WdfDeviceIoBuffered) {
        core.Fault("WdfDeviceInitSetIoType: the host offers buffered I/O only");
    }
}

VOID WdfDeviceInitSetFileObjectConfig(PWDFDEVICE_INIT DeviceInit, PWDF_FILEOBJECT_CONFIG FileObjectConfig,
                                      PWDF_OBJECT_ATTRIBUTES FileObjectAttributes)
{
    HostCore& core = CurrentCore();
    WDFDEVICE_INIT* init = FindInit(core, DeviceInit, "WdfDeviceInitSetFileObjectConfig");
    if (init == nullptr) {
        return;
    }
    if (FileObjectConfig == nullptr || FileObjectConfig->Size != sizeof(WDF_FILEOBJECT_CONFIG)) {
        core.Fault("WdfDeviceInitSetFileObjectConfig: the configuration is missing or has the wrong size");
        return;
    }
    init->hasFileConfig = true;
    init->fileConfig = *FileObjectConfig;
    init->hasFileAttributes = FileObjectAttributes != nullptr;
    if (FileObjectAttributes != nullptr) {
        if (FileObjectAttributes->Size != sizeof(WDF_OBJECT_ATTRIBUTES) ||
            FileObjectAttributes->ParentObject != nullptr) {
            core.Fault("WdfDeviceInitSetFileObjectConfig: file object attributes must have the right size "
                       "and no parent");
            init->hasFileAttributes = false;
            return;
        }
        init->fileAttributes = *FileObjectAttributes;
    }
}

VOID WdfDeviceInitSetPnpPowerEventCallbacks(PWDFDEVICE_INIT DeviceInit,
                                            PWDF_PNPPOWER_EVENT_CALLBACKS PnpPowerEventCallbacks)
{
    HostCore& core = CurrentCore();
    WDFDEVICE_INIT* init = FindInit(core, DeviceInit, "WdfDeviceInitSetPnpPowerEventCallbacks");
    if (init == nullptr) {
        return;
    }
    if (PnpPowerEventCallbacks == nullptr || PnpPowerEventCallbacks->Size != sizeof(WDF_PNPPOWER_EVENT_CALLBACKS)) {
        core.Fault("WdfDeviceInitSetPnpPowerEventCallbacks: the callbacks are missing or have the wrong size");
        return;
    }
    if (!init->pnp) {
        core.Fault("WdfDeviceInitSetPnpPowerEventCallbacks: a control device gets no Plug and Play or power events");
        return;
    }
    init->pnpPower = *PnpPowerEventCallbacks;
}

VOID WdfDeviceInitSetPowerPolicyOwnership(PWDFDEVICE_INIT DeviceInit, BOOLEAN IsPowerPolicyOwner)
{
    if (WDFDEVICE_INIT* init = FindInit(CurrentCore(), DeviceInit, "WdfDeviceInitSetPowerPolicyOwnership")) {
        init->powerPolicyOwner = IsPowerPolicyOwner != FALSE;
    }
}

NTSTATUS WdfDeviceCreate(PWDFDEVICE_INIT* DeviceInit, PWDF_OBJECT_ATTRIBUTES DeviceAttributes, WDFDEVICE* Device)
{
    HostCore& core = CurrentCore();
    if (DeviceInit == nullptr || Device == nullptr) {
        return STATUS_INVALID_PARAMETER;
    }
    WDFDEVICE_INIT* init = FindInit(core, *DeviceInit, "WdfDeviceCreate");
    if (init == nullptr) {
        return STATUS_INVALID_PARAMETER;
    }
    /* A device always hangs under its driver. */
    if (DeviceAttributes != nullptr && DeviceAttributes->ParentObject != nullptr) {
        return STATUS_INVALID_PARAMETER;
    }
    if (!init->driver->IsLive()) {
        return STATUS_DELETE_PENDING;
    }
    IoCore& io = *core.io;
    if (init->pnp && io.pnpDevice != nullptr) {
        return STATUS_INVALID_DEVICE_STATE;
    }
    std::u16string name = init->name;
    if (name.empty() && init->pnp) {
        /* Clients reach a function device through its interfaces, which need a name to point at. */
        char generated[32];
        std::snprintf(generated, sizeof(generated), "\\Device\\%08zX", io.nextUnnamedDevice++);
        name.assign(generated, generated + std::char_traits<char>::length(generated));
    }
    if (!name.empty() && io.names.Contains(name)) {
        return STATUS_OBJECT_NAME_COLLISION;
    }
    Object* created = nullptr;
    NTSTATUS status = core.objects.Insert(std::make_unique<DeviceObject>(core, *init), *init->driver,
                                          DeviceAttributes, &created);
    if (!NT_SUCCESS(status)) {
        return status;
    }
    auto* device = static_cast<DeviceObject*>(created);
    device->SetName(name);
    if (!name.empty()) {
        io.names.AddDevice(name, device);
    }
    core.devices.push_back(device);
    if (init->pnp) {
        io.pnpDevice = device;
    }
    core.deviceInits.erase(init);
    delete init;
    *DeviceInit = nullptr;
    *Device = created->HandleAs<WDFDEVICE>();
    return STATUS_SUCCESS;
}

VOID WdfControlFinishInitializing(WDFDEVICE Device)
{
    if (auto* device = Resolve<DeviceObject>(CurrentCore().objects, Device, "WdfControlFinishInitializing")) {
        device->FinishInitializing();
    }
}

WDFDRIVER WdfDeviceGetDriver(WDFDEVICE Device)
{
    auto* device = Resolve<DeviceObject>(CurrentCore().objects, Device, "WdfDeviceGetDriver");
    return device != nullptr && device->Driver() != nullptr ? device->Driver()->HandleAs<WDFDRIVER>() : nullptr;
}

NTSTATUS WdfDeviceConfigureRequestDispatching(WDFDEVICE Device, WDFQUEUE Queue, WDF_REQUEST_TYPE RequestType)
{
    HostCore& core = CurrentCore();
    auto* device = Resolve<DeviceObject>(core.objects, Device, "WdfDeviceConfigureRequestDispatching");
    auto* queue = Resolve<QueueObject>(core.objects, Queue, "WdfDeviceConfigureRequestDispatching");
    if (device == nullptr || queue == nullptr) {
        return STATUS_INVALID_PARAMETER;
    }
    return device->ConfigureDispatching(queue, RequestType);
}

NTSTATUS WdfDeviceCreateDeviceInterface(WDFDEVICE Device, const GUID* InterfaceClassGUID,
                                        PCUNICODE_STRING ReferenceString)
{
    HostCore& core = CurrentCore();
    auto* device = Resolve<DeviceObject>(core.objects, Device, "WdfDeviceCreateDeviceInterface");
    if (device == nullptr || InterfaceClassGUID == nullptr) {
        return STATUS_INVALID_PARAMETER;
    }
    if (!device->IsPnp()) {
        return STATUS_INVALID_DEVICE_REQUEST;
    }
    return device->AddInterface(*InterfaceClassGUID, ToU16(ReferenceString));
}

PDEVICE_OBJECT WdfDeviceWdmGetDeviceObject(WDFDEVICE Device)
{
    auto* device = Resolve<DeviceObject>(CurrentCore().objects, Device, "WdfDeviceWdmGetDeviceObject");
    return device != nullptr ? device->Wdm() : nullptr;
}

WDFDEVICE WdfFileObjectGetDevice(WDFFILEOBJECT FileObject)
{
    auto* file = Resolve<platform::FileObject>(CurrentCore().objects, FileObject, "WdfFileObjectGetDevice");
    return file != nullptr ? file->Device().HandleAs<WDFDEVICE>() : nullptr;
}
