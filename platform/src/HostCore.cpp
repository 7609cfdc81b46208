#include "HostCore.h"

#include <atomic>
#include <chrono>
#include <cstdarg>
#include <cstdio>
#include <cstdlib>
#include <new>

#include "Device.h"
#include "Driver.h"
#include "IoCore.h"
#include "Irql.h"
#include "Request.h"
#include "RegistryImpl.h"
#include "Unicode.h"

namespace platform {

/* The one piece of global state: which host the free functions act on. */
std::atomic<Host*> currentHost{nullptr};

namespace {

/* System time at 1970-01-01 00:00:00 UTC. */
constexpr LONGLONG kUnixEpochAsSystemTime = 116444736000000000LL;

} // namespace

Host* SwapCurrentHost(Host* host)
{
    return currentHost.exchange(host);
}

void NoCurrentHost()
{
    std::fputs("platform: a framework or kernel routine was called without a platform::Host\n", stderr);
    std::abort();
}

HostCore::HostCore(Host& owner, const HostOptions& hostOptions)
    : host(owner),
      options(hostOptions),
      dispatcher(hostOptions.clock),
      objects(*this),
      driverName(hostOptions.driverName),
      registryPath(hostOptions.registryPath)
{
    dispatcher.SetWakeCoalescing(hostOptions.wakeCoalescing);
    driverObject.Type = 4; /* IO_TYPE_DRIVER */
    driverObject.Size = sizeof(DRIVER_OBJECT);
    driverObject.DriverName.Buffer = driverName.data();
    driverObject.DriverName.Length = static_cast<USHORT>(driverName.size() * sizeof(WCHAR));
    driverObject.DriverName.MaximumLength = driverObject.DriverName.Length;
    registryPathString.Buffer = registryPath.data();
    registryPathString.Length = static_cast<USHORT>(registryPath.size() * sizeof(WCHAR));
    registryPathString.MaximumLength = static_cast<USHORT>(registryPathString.Length + sizeof(WCHAR));
    registry.CreateKey(Utf16ToUtf8(registryPath));
    io = std::make_unique<IoCore>(*this);
}

HostCore::~HostCore()
{
    Teardown();
}

void HostCore::Teardown()
{
    if (tornDown_) {
        return;
    }
    tornDown_ = true;
    io->BeforeTeardown();
    if (driver != nullptr) {
        host.UnloadDriver();
    }
    /* Client callbacks may refer to what the test has already destroyed. */
    CancelClientRequests(false);
    objects.Teardown();
    io->AfterTeardown();
    dispatcher.Clear();
    if (std::size_t handles = registry.Internal().CloseAllHandles(); handles != 0) {
        Fault("%zu registry key handle(s) opened by ZwOpenKey and never closed by ZwClose", handles);
    }
    for (WDFDEVICE_INIT* init : deviceInits) {
        delete init;
    }
    if (!deviceInits.empty()) {
        Fault("%zu device init structure(s) neither used by WdfDeviceCreate nor freed", deviceInits.size());
        deviceInits.clear();
    }
    std::unordered_map<void*, PoolBlock> leaked;
    {
        std::lock_guard lock(poolMutex);
        leaked.swap(pool);
    }
    for (auto& [address, block] : leaked) {
        ::operator delete(address);
    }
    if (!leaked.empty()) {
        Fault("%zu pool block(s) never freed", leaked.size());
    }
}

void HostCore::CancelClientRequests(bool notifyClients)
{
    while (!clientRequests.empty()) {
        clientRequests.back()->Cancel(notifyClients);
    }
}

void HostCore::Fault(const char* format, ...)
{
    va_list arguments;
    va_start(arguments, format);
    char buffer[1024];
    std::vsnprintf(buffer, sizeof(buffer), format, arguments);
    va_end(arguments);

    VerifierHandler handler;
    {
        std::lock_guard lock(verifierMutex);
        handler = verifier;
    }
    if (handler) {
        handler(buffer);
        return;
    }
    std::fprintf(stderr, "platform: driver fault: %s\n", buffer);
    std::fflush(stderr);
    std::abort();
}

void HostCore::WriteDebug(ULONG componentId, ULONG level, std::string_view text)
{
    std::lock_guard lock(debugMutex);
    if (debugSink) {
        debugSink(componentId, level, text);
        return;
    }
    std::fwrite(text.data(), 1, text.size(), stderr);
}

bool HostCore::DebugEnabled(ULONG componentId, ULONG level)
{
    /* As the kernel reads it: a level up to 31 names one bit, a larger one is a mask. */
    ULONG levelMask = level <= 31 ? (1u << level) : (level & ~DPFLTR_MASK);
    ULONG componentMask =
        componentId < kDebugComponents ? debugFilter[componentId].load(std::memory_order_relaxed) : 0;
    return (levelMask & (kDebugAlwaysShown | componentMask)) != 0;
}

LONGLONG HostCore::SystemTime() const
{
    if (options.clock == Clock::Virtual) {
        return options.virtualStartTime + dispatcher.Now().count();
    }
    auto sinceEpoch = std::chrono::system_clock::now().time_since_epoch();
    return kUnixEpochAsSystemTime + std::chrono::duration_cast<Ticks>(sinceEpoch).count();
}

Object* HostCore::ParentFor(const WDF_OBJECT_ATTRIBUTES* attributes, Object& fallback, const char* caller)
{
    if (attributes != nullptr && attributes->ParentObject != nullptr) {
        return objects.Resolve(attributes->ParentObject, ObjectType::Root, caller);
    }
    return &fallback;
}

Object& HostCore::DefaultParent()
{
    return driver != nullptr && driver->IsLive() ? static_cast<Object&>(*driver) : objects.Root();
}

bool HostCore::WaitNested(const std::function<bool()>& done, const char* caller)
{
    if (CurrentIrql() > PASSIVE_LEVEL) {
        Fault("%s: waits, and must not be called at DISPATCH_LEVEL", caller);
        return false;
    }
    if (dispatcher.RunUntil(done, options.nestedWaitLimit)) {
        return true;
    }
    Fault("%s: waits for something that can never happen (deadlock)", caller);
    return false;
}

} // namespace platform
