/*
 * The platform host: owns the dispatcher, every framework object, the driver
 * object and the debug output. The framework and kernel functions act on the
 * current host, which is the most recently constructed one still alive.
 */
#pragma once

#include <cstddef>
#include <cstdint>
#include <functional>
#include <map>
#include <memory>
#include <optional>
#include <span>
#include <string>
#include <string_view>

#include <ntddk.h>
#include <wdf.h>

#include <platform/ClientRequest.h>
#include <platform/Debug.h>
#include <platform/Dispatcher.h>
#include <platform/IoManager.h>
#include <platform/LowerDevice.h>
#include <platform/Registry.h>
#include <platform/Verifier.h>

namespace platform {

class HostCore;

/* 2025-01-01 00:00:00 UTC as system time: where the virtual clock starts. */
inline constexpr LONGLONG kDefaultVirtualStartTime = 133801632000000000LL;

struct HostOptions {
    Clock clock = Clock::Virtual;
    /* System time (100 ns since 1601) at virtual instant 0. */
    LONGLONG virtualStartTime = kDefaultVirtualStartTime;
    /* A nested wait on the virtual clock that would run longer than this is
       reported as a fault instead of spinning through periodic timers for ever. */
    Ticks nestedWaitLimit = std::chrono::minutes(10);
    /* Real clock: a busy loop takes device input and client requests at
       most once per this period, a lightly loaded one once per half of it
       (Dispatcher::SetWakeCoalescing). One link tick: the busy loop's
       wake-ups fall on the ports' 10 ms timer ticks. */
    Ticks wakeCoalescing = std::chrono::milliseconds(10);
    /* Periodic timers start on a multiple of their period, so that all timers
       of one period expire together and the loop wakes once for them all.
       Unset: on the real clock only, where wake-ups cost. */
    std::optional<bool> sharedTimerPhase;
    std::u16string driverName = u"\\Driver\\HartDriver";
    std::u16string registryPath = u"\\Registry\\Machine\\System\\CurrentControlSet\\Services\\HartDriver";
};

class Host {
public:
    explicit Host(Clock clock = Clock::Virtual);
    explicit Host(const HostOptions& options);
    ~Host();
    Host(const Host&) = delete;
    Host& operator=(const Host&) = delete;

    /* The host the free framework functions use; aborts when there is none. */
    static Host& Current();
    static Host* CurrentOrNull();

    /* ---- Dispatcher and time ---- */
    Dispatcher& GetDispatcher();
    Clock GetClock() const;
    /* Time since the host started. */
    Ticks Now() const;
    /* What KeQuerySystemTime returns now. */
    LONGLONG SystemTime() const;
    void Post(std::function<void()> task);
    std::size_t RunUntilIdle();
    std::size_t RunFor(Ticks duration);
    std::size_t RunUntil(Ticks instant);

    /* ---- Driver ---- */
    /* The driver object to hand to DriverEntry, with the service key's path. */
    PDRIVER_OBJECT DriverObject();
    PUNICODE_STRING RegistryPath();
    /* NULL until WdfDriverCreate succeeded. */
    WDFDRIVER Driver() const;
    /* Calls EvtDriverUnload and deletes the driver object with all it owns. */
    void UnloadDriver();

    /* ---- Registry: the service key (RegistryPath) exists from the start. ---- */
    Registry& GetRegistry();

    /* ---- Client requests (buffered I/O, as the I/O manager will build them) ---- */
    std::shared_ptr<ClientRequest> CreateWriteRequest(std::span<const std::uint8_t> data);
    std::shared_ptr<ClientRequest> CreateReadRequest(std::size_t length);
    std::shared_ptr<ClientRequest> CreateDeviceControlRequest(ULONG ioControlCode,
                                                              std::span<const std::uint8_t> input,
                                                              std::size_t outputLength);

    /* ---- The system around the driver ---- */
    /* What clients use to open devices and send them requests. */
    IoManager& Io();
    /* Puts a lower device into the object namespace ("\Device\Serial0"), where
       the driver can open it as an I/O target. STATUS_OBJECT_NAME_COLLISION
       when the name is taken. The device leaves it with ReportRemoved. */
    NTSTATUS RegisterLowerDevice(std::u16string_view name, std::shared_ptr<LowerDevice> device);
    /* A device, lower device or symbolic link of that name exists. */
    bool ObjectNameExists(std::u16string_view name) const;
    /* The lower device registered under that name (symbolic links followed);
       null when there is none. Lets a tool ask the port itself how it stands. */
    std::shared_ptr<LowerDevice> FindLowerDevice(std::u16string_view name) const;

    /* The PnP manager's part for the driver's one function device. Each runs
       the driver's callbacks at passive level on the calling thread (the
       dispatcher's, between runs), outside any synchronisation scope. */
    /* EvtDriverDeviceAdd with a framework init block; its status. */
    NTSTATUS AddDevice();
    /* Prepare hardware, D0 entry, self-managed I/O init; then power-managed
       queues dispatch and device interfaces are enabled. */
    NTSTATUS StartDevice();
    /* Self-managed I/O suspend, power-managed queues held, D0 exit. */
    NTSTATUS SuspendDevice();
    /* D0 entry, power-managed queues released, self-managed I/O restart. */
    NTSTATUS ResumeDevice();
    /* Powers down if started, release hardware, self-managed I/O flush and
       cleanup, interfaces disabled, then the device is deleted (its cleanup
       callback runs). Host teardown does this for a device still added. */
    void RemoveDevice();
    /* NULL until AddDevice succeeded. */
    WDFDEVICE PnpDevice() const;

    /* ---- Debug output and faults ---- */
    /* An empty sink restores the default (stderr). Returns the previous sink. */
    DebugSink SetDebugSink(DebugSink sink);
    /* The debugger's filter for one component, as the kernel's Kd_<component>_Mask:
       a message shows when its level bit (or mask, above 31) meets this mask or
       the error bit. DbgPrint is DPFLTR_DEFAULT_ID at DPFLTR_INFO_LEVEL, so it is
       hidden until that component's mask has bit 3. */
    void SetDebugFilter(ULONG componentId, ULONG mask);
    /* An empty handler restores the default (print and abort). Returns the previous one. */
    VerifierHandler SetVerifierHandler(VerifierHandler handler);

    /* ---- Objects ---- */
    /* Objects created and not yet freed, in all and per type ("WDFTIMER", ...). */
    std::size_t LiveObjects() const;
    std::size_t LiveObjects(std::string_view typeName) const;
    std::map<std::string, std::size_t> LiveObjectsByType() const;
    /* Pool blocks allocated and not yet freed. */
    std::size_t PoolAllocations() const;

    HostCore& Core() { return *core_; }

private:
    std::unique_ptr<HostCore> core_;
    Host* previous_ = nullptr;
};

} // namespace platform
