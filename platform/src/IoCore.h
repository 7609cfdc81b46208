/*
 * The host's I/O manager, kernel side: the object namespace, the lower
 * devices registered in it, client event objects with their handles and
 * kernel references, the IRPs the driver builds, and the one Plug and Play
 * device. Everything here is touched on the dispatcher's thread only, except
 * the event table (client threads create and close events).
 */
#pragma once

#include <atomic>
#include <condition_variable>
#include <functional>
#include <map>
#include <span>
#include <memory>
#include <mutex>
#include <string>
#include <string_view>
#include <unordered_map>
#include <unordered_set>
#include <vector>

#include <platform/ClientRequest.h>
#include <platform/IoManager.h>
#include <platform/LowerDevice.h>

#include <wdf.h>

namespace platform {

class HostCore;
class DeviceObject;
class IoTargetObject;
class FileObject;

/* Object-manager paths compare without regard to case, and the user-mode
   spellings of the DOS device directory ("\\.\", "\??\", "\GLOBAL??\",
   "\\?\") all mean "\DosDevices\". */
std::u16string CanonicalObjectName(std::u16string_view path);
std::u16string ToU16(PCUNICODE_STRING string);
std::string Narrow(std::u16string_view text);

class Namespace {
public:
    struct Target {
        DeviceObject* device = nullptr;
        std::shared_ptr<LowerDeviceEntry> lower;
    };

    NTSTATUS AddDevice(std::u16string_view name, DeviceObject* device);
    NTSTATUS AddLower(std::u16string_view name, std::shared_ptr<LowerDeviceEntry> lower);
    NTSTATUS AddLink(std::u16string_view link, std::u16string_view target);
    /* STATUS_OBJECT_NAME_NOT_FOUND unless name is a symbolic link. */
    NTSTATUS RemoveLink(std::u16string_view link);
    /* Removes the entry of that device (a later device of the same name stays). */
    void RemoveDevice(std::u16string_view name, const DeviceObject* device);
    void RemoveLower(std::u16string_view name, const LowerDeviceEntry* lower);
    bool Contains(std::u16string_view name) const;
    /* Follows symbolic links to a device. */
    NTSTATUS Resolve(std::u16string_view path, Target& target) const;
    std::size_t LinkCount() const;
    void Clear() { entries_.clear(); }

private:
    struct Entry {
        enum class Kind { Device, Lower, Link } kind = Kind::Device;
        DeviceObject* device = nullptr;
        std::shared_ptr<LowerDeviceEntry> lower;
        std::u16string target;
    };
    /* Hashed: port devices share a long name prefix that makes ordered comparisons slow. */
    std::unordered_map<std::u16string, Entry> entries_;
};

/* The host's side of one registered lower device. */
class LowerDeviceEntry : public std::enable_shared_from_this<LowerDeviceEntry> {
public:
    LowerDeviceEntry(HostCore& core, std::shared_ptr<LowerDevice> device, std::u16string name);
    ~LowerDeviceEntry();

    HostCore& Core() const { return core_; }
    LowerDevice& Device() const { return *device_; }
    const std::shared_ptr<LowerDevice>& SharedDevice() const { return device_; }
    const std::u16string& Name() const { return name_; }
    PDEVICE_OBJECT WdmDevice() { return &wdm_; }
    static LowerDeviceEntry* FromWdm(PDEVICE_OBJECT device);

    bool Removed() const { return removed_; }
    std::size_t OpenCount() const { return opens_.size(); }

    NTSTATUS Open(IoTargetObject* opener, const LowerOpenParameters& parameters);
    void Close(IoTargetObject* opener);

    /* Hands a request to the device (or fails it when the device has gone). */
    void Start(const LowerRequestPtr& request);
    void Cancel(const LowerRequestPtr& request);
    void Completed(LowerRequest& request);

    void ReportRemoved();
    /* Registration: the device learns its entry. */
    void Attach();
    /* Host teardown: forgets the device without telling anyone. */
    void Detach();

private:
    struct OpenRecord {
        IoTargetObject* opener;
        bool exclusive;
    };

    HostCore& core_;
    std::shared_ptr<LowerDevice> device_;
    std::u16string name_;
    DEVICE_OBJECT wdm_{};
    bool removed_ = false;
    std::vector<OpenRecord> opens_;
    std::vector<LowerRequestPtr> outstanding_;
};

/* How the host's senders fill in a lower request. */
struct LowerRequestAccess {
    static void Prepare(LowerRequest& request, HostCore& core, IoMajor major, ULONG ioControlCode,
                        std::span<const std::uint8_t> input, std::size_t outputLength)
    {
        request.core_ = &core;
        request.major_ = major;
        request.ioControlCode_ = ioControlCode;
        request.input_.assign(input.begin(), input.end());
        request.output_.assign(outputLength, 0);
    }
    static void OnCompleted(LowerRequest& request, std::function<void(LowerRequest&, NTSTATUS, ULONG_PTR)> callback)
    {
        request.onCompleted_ = std::move(callback);
    }
    static const std::vector<std::uint8_t>& Output(const LowerRequest& request) { return request.output_; }
    static std::shared_ptr<LowerDeviceEntry> Device(const LowerRequest& request) { return request.device_.lock(); }
};

/* An IRP built by IoBuildDeviceIoControlRequest, with what its completion needs. */
struct IrpBlock {
    IRP irp{};
    LowerDeviceEntry* sentTo = nullptr;
    PVOID callerOutput = nullptr;
    ULONG callerOutputLength = 0;
    std::vector<std::uint8_t> input;
    ULONG ioControlCode = 0;
    bool internal = false;
    bool completed = false;
};

namespace detail {

struct ClientEventState;

/* Shared by the IoManager, every File, PendingIo and ClientEvent, and the
   host: it outlives the host so that client objects can be destroyed later. */
struct IoShared {
    std::mutex mutex;
    HostCore* core = nullptr; /* null once the host has gone */
    /* Client threads blocked in a wait. Each has a condition of its own, so
       that a completion wakes the one client it is for and not all of them. */
    struct Waiter {
        explicit Waiter(const std::function<bool()>& condition) : ready(condition) {}
        /* Called under mutex, and only while the waiter is registered. */
        const std::function<bool()>& ready;
        /* A registered client thread: the clock is its own again when it resumes. */
        bool holdsClock = false;
        bool resumed = false;
        std::condition_variable wake;
    };
    /* Shared: a waker notifies after letting the mutex go, when the waiter may have returned already. */
    std::vector<std::shared_ptr<Waiter>> waiters;
    /* Client events by handle, and the driver's references to them. */
    std::uint32_t nextHandle = 0x100;
    std::unordered_map<std::uint32_t, std::shared_ptr<ClientEventState>> handles;
    std::unordered_map<const void*, std::pair<std::shared_ptr<ClientEventState>, long>> references;

    /* Client side: blocks until ready() holds (checked under mutex). */
    void Await(const std::function<bool()>& ready);
    /* Dispatcher side: changes what a ready() looks at (under mutex), then
       wakes every waiter that may go on, handing the clock back to the
       registered ones. The waiters are notified once the mutex is free, so
       that they do not wake only to block on it. */
    template <typename Change>
    void Publish(Change change)
    {
        std::vector<std::shared_ptr<Waiter>> woken;
        {
            std::lock_guard lock(mutex);
            change();
            woken = ResumeLocked();
        }
        for (const std::shared_ptr<Waiter>& waiter : woken) {
            waiter->wake.notify_one();
        }
    }
    /* The host has gone: every waiter goes on. */
    void ShutDown();

private:
    std::vector<std::shared_ptr<Waiter>> ResumeLocked();
};

struct IoOperation {
    explicit IoOperation(std::shared_ptr<IoShared> io) : shared(std::move(io)) {}
    std::shared_ptr<IoShared> shared;
    /* Written under IoShared::mutex; read without it by PendingIo::Done, which
       a server polls for every one of its requests after each task it runs. */
    std::atomic<bool> done{false};
    /* Under IoShared::mutex. */
    unsigned completions = 0;
    IoResult result;
    /* Dispatcher only. */
    std::shared_ptr<ClientRequest> request;
    bool cancelAsked = false;
};

/* One client handle. */
struct FileState {
    explicit FileState(std::shared_ptr<IoShared> io) : shared(std::move(io)) {}
    std::shared_ptr<IoShared> shared;
    /* Dispatcher only. */
    FileObject* file = nullptr;
    std::uint64_t fileSerial = 0;
    /* Under IoShared::mutex. */
    bool cleanedUp = false;
    bool closed = false;
    bool orphaned = false;
    /* Client only. */
    bool open = false;
    bool handleClosed = false;

    /* Dispatcher side: changes what clients wait for. */
    template <typename Change>
    void Publish(Change change)
    {
        shared->Publish([&] { change(*this); });
    }
};

struct ClientEventState {
    std::shared_ptr<IoShared> shared;
    KEVENT event{};
    std::uint32_t handle = 0;
};

} // namespace detail

class IoCore {
public:
    explicit IoCore(HostCore& core);
    ~IoCore();

    HostCore& core;
    Namespace names;
    IoManager manager;

    std::unordered_map<PIRP, std::unique_ptr<IrpBlock>> irps;
    std::vector<std::shared_ptr<LowerDeviceEntry>> lowerDevices;
    std::size_t nextInterfaceInstance = 0;
    std::size_t nextUnnamedDevice = 1;

    DeviceObject* pnpDevice = nullptr;
    enum class PnpState { None, Added, Started, Suspended } pnpState = PnpState::None;

    /* Before the driver unloads at host teardown: a device still added is removed. */
    void BeforeTeardown();
    /* After every object is gone: reports what the driver kept. */
    void AfterTeardown();
};

IoCore& CurrentIo();

} // namespace platform
