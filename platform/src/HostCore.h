/*
 * Everything a host owns, reachable by the free framework functions through
 * the current host.
 */
#pragma once

#include <array>
#include <atomic>
#include <memory>
#include <mutex>
#include <string>
#include <string_view>
#include <unordered_map>
#include <unordered_set>
#include <vector>

#include <platform/Host.h>
#include <platform/NodeReuse.h>
#include <platform/Registry.h>

#include "Object.h"

struct WDFDEVICE_INIT;

namespace platform {

class DriverObject;
class DeviceObject;
class RequestObject;
class IoCore;

/* What every component shows whatever its filter says: errors, as Kd_WIN2000_Mask. */
inline constexpr ULONG kDebugAlwaysShown = 1u << DPFLTR_ERROR_LEVEL;

class HostCore {
public:
    HostCore(Host& host, const HostOptions& options);
    ~HostCore();
    HostCore(const HostCore&) = delete;
    HostCore& operator=(const HostCore&) = delete;

    /* Unloads the driver, deletes every object, reports leaks. */
    void Teardown();
    /* What the I/O manager does with requests the driver still holds once it
       is gone: completes them with STATUS_CANCELLED. */
    void CancelClientRequests(bool notifyClients);

    /* A driver bug: reported to the verifier handler (default: abort). */
    void Fault(const char* format, ...) __attribute__((format(printf, 2, 3)));
    void WriteDebug(ULONG componentId, ULONG level, std::string_view text);
    /* The kernel's debug-print filter: would a message of this component and level show? */
    bool DebugEnabled(ULONG componentId, ULONG level);

    LONGLONG SystemTime() const;
    /* The parent of an object created without one: the driver, else the root. */
    Object& DefaultParent();
    /* The parent an object's attributes name, else fallback; nullptr (a fault
       reported naming caller) when the named parent is not a live handle. */
    Object* ParentFor(const WDF_OBJECT_ATTRIBUTES* attributes, Object& fallback, const char* caller);
    /* Runs the dispatcher nested until done() holds; reports a fault naming
       caller when that can never happen. */
    bool WaitNested(const std::function<bool()>& done, const char* caller);

    Host& host;
    const HostOptions options;
    Dispatcher dispatcher;
    ObjectTable objects;
    /* Keys and kernel handles; the service key exists from the start. */
    Registry registry;

    std::mutex debugMutex;
    DebugSink debugSink;
    /* Per-component filter masks, read without a lock on every debug print;
       every component also shows errors (bit 0). */
    static constexpr std::size_t kDebugComponents = 256;
    std::array<std::atomic<ULONG>, kDebugComponents> debugFilter{};
    std::mutex verifierMutex;
    VerifierHandler verifier;

    DRIVER_OBJECT driverObject{};
    std::u16string driverName;
    std::u16string registryPath;
    UNICODE_STRING registryPathString{};
    DriverObject* driver = nullptr;
    std::vector<DeviceObject*> devices;
    std::unordered_set<WDFDEVICE_INIT*> deviceInits;
    /* Client requests handed to the driver and not yet completed. */
    std::vector<RequestObject*> clientRequests;
    /* Namespace, lower devices, client I/O, kernel handles, the PnP device. */
    std::unique_ptr<IoCore> io;

    struct PoolBlock {
        SIZE_T size;
        ULONG tag;
    };
    std::mutex poolMutex;
    std::unordered_map<void*, PoolBlock> pool;
    NodeReuse<std::unordered_map<void*, PoolBlock>> poolNodes;

private:
    bool tornDown_ = false;
};

extern std::atomic<Host*> currentHost;
[[noreturn]] void NoCurrentHost();

/* Inline: every framework call starts here, several times per received character. */
inline HostCore* CurrentCoreOrNull()
{
    Host* host = currentHost.load(std::memory_order_acquire);
    return host != nullptr ? &host->Core() : nullptr;
}

/* The current host's core; aborts with a message when there is no host. */
inline HostCore& CurrentCore()
{
    HostCore* core = CurrentCoreOrNull();
    if (core == nullptr) {
        NoCurrentHost();
    }
    return *core;
}

} // namespace platform
