#include <platform/Host.h>

#include "Driver.h"
#include "HostCore.h"
#include "Irql.h"
#include "Request.h"

namespace platform {

Host* SwapCurrentHost(Host* host);

namespace {

HostOptions OnClock(Clock clock)
{
    HostOptions options;
    options.clock = clock;
    return options;
}

} // namespace

Host::Host(Clock clock) : Host(OnClock(clock))
{
}

Host::Host(const HostOptions& options)
{
    core_ = std::make_unique<HostCore>(*this, options);
    previous_ = SwapCurrentHost(this);
}

Host::~Host()
{
    /* The driver's cleanup callbacks must act on this host, even when a
       younger host is the current one. */
    Host* active = SwapCurrentHost(this);
    core_->Teardown();
    core_.reset();
    SwapCurrentHost(active == this ? previous_ : active);
}

Host& Host::Current()
{
    return CurrentCore().host;
}

Host* Host::CurrentOrNull()
{
    HostCore* core = CurrentCoreOrNull();
    return core != nullptr ? &core->host : nullptr;
}

Dispatcher& Host::GetDispatcher()
{
    return core_->dispatcher;
}

Clock Host::GetClock() const
{
    return core_->options.clock;
}

Ticks Host::Now() const
{
    return core_->dispatcher.Now();
}

LONGLONG Host::SystemTime() const
{
    return core_->SystemTime();
}

void Host::Post(std::function<void()> task)
{
    core_->dispatcher.Post(std::move(task));
}

std::size_t Host::RunUntilIdle()
{
    return core_->dispatcher.RunUntilIdle();
}

std::size_t Host::RunFor(Ticks duration)
{
    return core_->dispatcher.RunFor(duration);
}

std::size_t Host::RunUntil(Ticks instant)
{
    return core_->dispatcher.RunUntil(instant);
}

PDRIVER_OBJECT Host::DriverObject()
{
    return &core_->driverObject;
}

PUNICODE_STRING Host::RegistryPath()
{
    return &core_->registryPathString;
}

Registry& Host::GetRegistry()
{
    return core_->registry;
}

WDFDRIVER Host::Driver() const
{
    return core_->driver != nullptr ? core_->driver->HandleAs<WDFDRIVER>() : nullptr;
}

void Host::UnloadDriver()
{
    platform::DriverObject* driver = core_->driver;
    if (driver == nullptr || !driver->IsLive()) {
        return;
    }
    if (PFN_WDF_DRIVER_UNLOAD unload = driver->Config().EvtDriverUnload) {
        IrqlScope passive(PASSIVE_LEVEL);
        unload(driver->HandleAs<WDFDRIVER>());
    }
    core_->objects.Delete(*driver);
    core_->CancelClientRequests(true);
}

std::shared_ptr<ClientRequest> Host::CreateWriteRequest(std::span<const std::uint8_t> data)
{
    return RequestObject::CreateClientRequest(*core_, WdfRequestTypeWrite, 0, data, 0);
}

std::shared_ptr<ClientRequest> Host::CreateReadRequest(std::size_t length)
{
    return RequestObject::CreateClientRequest(*core_, WdfRequestTypeRead, 0, {}, length);
}

std::shared_ptr<ClientRequest> Host::CreateDeviceControlRequest(ULONG ioControlCode,
                                                                std::span<const std::uint8_t> input,
                                                                std::size_t outputLength)
{
    return RequestObject::CreateClientRequest(*core_, WdfRequestTypeDeviceControl, ioControlCode, input,
                                              outputLength);
}

DebugSink Host::SetDebugSink(DebugSink sink)
{
    std::lock_guard lock(core_->debugMutex);
    std::swap(core_->debugSink, sink);
    return sink;
}

void Host::SetDebugFilter(ULONG componentId, ULONG mask)
{
    if (componentId < HostCore::kDebugComponents) {
        core_->debugFilter[componentId].store(mask, std::memory_order_relaxed);
    }
}

VerifierHandler Host::SetVerifierHandler(VerifierHandler handler)
{
    std::lock_guard lock(core_->verifierMutex);
    std::swap(core_->verifier, handler);
    return handler;
}

std::size_t Host::LiveObjects() const
{
    return core_->objects.Live();
}

std::size_t Host::LiveObjects(std::string_view typeName) const
{
    for (std::size_t i = 0; i < kObjectTypeCount; ++i) {
        auto type = static_cast<ObjectType>(i);
        if (type != ObjectType::Root && typeName == ObjectTypeName(type)) {
            return core_->objects.Live(type);
        }
    }
    return 0;
}

std::map<std::string, std::size_t> Host::LiveObjectsByType() const
{
    std::map<std::string, std::size_t> counts;
    for (std::size_t i = 0; i < kObjectTypeCount; ++i) {
        auto type = static_cast<ObjectType>(i);
        std::size_t live = core_->objects.Live(type);
        if (type != ObjectType::Root && live != 0) {
            counts[ObjectTypeName(type)] = live;
        }
    }
    return counts;
}

std::size_t Host::PoolAllocations() const
{
    std::lock_guard lock(core_->poolMutex);
    return core_->pool.size();
}

} // namespace platform
