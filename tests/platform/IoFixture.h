/*
 * The I/O tests' world: a virtual-clock host, a small driver whose callbacks
 * each test fills in, and a loopback lower device to send requests to.
 */
#pragma once

#include <algorithm>
#include <chrono>
#include <deque>
#include <functional>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include <ntddk.h>
#include <wdf.h>

#include <platform/Host.h>
#include <platform/IoManager.h>
#include <platform/LowerDevice.h>
#include <platform/Verifier.h>

#include "PlatformFixture.h"

namespace iotest {

using platform::IoResult;
using platform::IoStatus;
using platform::PendingIo;
using platform::Ticks;

struct DeviceOptions {
    bool exclusive = false;
    bool finish = true;
    WDF_SYNCHRONIZATION_SCOPE scope = WdfSynchronizationScopeInheritFromParent;
    const WCHAR* link = nullptr;
};

/* Gives back what was written to it: reads wait for data, control requests
   echo their input. Completes at once, or `delay` later. */
class Loopback : public platform::LowerDevice {
public:
    Ticks delay{0};
    NTSTATUS openStatus = STATUS_SUCCESS;
    NTSTATUS ioctlStatus = STATUS_SUCCESS;
    bool holdIoctls = false;
    int opens = 0;
    int closes = 0;
    int cancels = 0;
    platform::LowerOpenParameters lastOpen;
    std::vector<ULONG> ioctls;
    std::deque<std::uint8_t> data;
    std::deque<platform::LowerRequestPtr> reads;
    std::deque<platform::LowerRequestPtr> held;

    NTSTATUS Open(const platform::LowerOpenParameters& parameters) override
    {
        lastOpen = parameters;
        ++opens;
        return openStatus;
    }
    void Close() override { ++closes; }
    void StartIo(const platform::LowerRequestPtr& request) override
    {
        switch (request->Major()) {
        case platform::IoMajor::Write:
            data.insert(data.end(), request->Input().begin(), request->Input().end());
            Finish(request, STATUS_SUCCESS, request->Input().size());
            ServeReads();
            break;
        case platform::IoMajor::Read:
            reads.push_back(request);
            ServeReads();
            break;
        default: {
            ioctls.push_back(request->IoControlCode());
            if (holdIoctls) {
                held.push_back(request);
                return;
            }
            const std::size_t n = std::min(request->Input().size(), request->Output().size());
            std::copy_n(request->Input().begin(), n, request->Output().begin());
            Finish(request, ioctlStatus, NT_SUCCESS(ioctlStatus) ? n : 0);
        }
        }
    }
    void Cancel(const platform::LowerRequestPtr& request) override
    {
        ++cancels;
        std::erase(reads, request);
        std::erase(held, request);
        if (!request->Completed()) {
            request->Complete(STATUS_CANCELLED);
        }
    }
    void Finish(const platform::LowerRequestPtr& request, NTSTATUS status, ULONG_PTR information)
    {
        if (delay == Ticks{0}) {
            request->Complete(status, information);
            return;
        }
        auto& dispatcher = platform::Host::Current().GetDispatcher();
        dispatcher.Schedule(dispatcher.Now() + delay, [request, status, information] {
            if (!request->Completed()) {
                request->Complete(status, information);
            }
        });
    }
    void ServeReads()
    {
        while (!reads.empty() && !data.empty()) {
            platform::LowerRequestPtr read = reads.front();
            reads.pop_front();
            const std::size_t n = std::min(read->Output().size(), data.size());
            std::copy_n(data.begin(), n, read->Output().begin());
            data.erase(data.begin(), data.begin() + static_cast<std::ptrdiff_t>(n));
            Finish(read, STATUS_SUCCESS, n);
        }
    }
};

/* What the sender of one request saw when it completed. */
struct Completion {
    int runs = 0;
    NTSTATUS status = STATUS_PENDING;
    ULONG_PTR information = 0;
    WDF_REQUEST_TYPE type = WdfRequestTypeNoFormat;
    Ticks at{};
    std::uint8_t byte = 0; /* a read's first character */
    bool deleteRequest = false;
};

inline void RecordCompletion(Completion& completion, WDFREQUEST request, PWDF_REQUEST_COMPLETION_PARAMS params)
{
    ++completion.runs;
    completion.status = params->IoStatus.Status;
    completion.information = params->IoStatus.Information;
    completion.type = params->Type;
    completion.at = platform::Host::Current().Now();
    if (params->Type == WdfRequestTypeRead && params->IoStatus.Information != 0) {
        WdfMemoryCopyToBuffer(params->Parameters.Read.Buffer, 0, &completion.byte, 1);
    }
    if (completion.deleteRequest) {
        WdfObjectDelete(request);
    }
}

/* A completion routine whose context is a Completion. */
inline VOID Completed(WDFREQUEST request, WDFIOTARGET, PWDF_REQUEST_COMPLETION_PARAMS params, WDFCONTEXT context)
{
    RecordCompletion(*static_cast<Completion*>(context), request, params);
}

/* The test driver's callbacks: each forwards to what the running test set. */
struct DriverHooks {
    std::vector<std::string> log;
    std::function<void(WDFQUEUE, WDFREQUEST, size_t)> read;
    std::function<void(WDFQUEUE, WDFREQUEST, size_t)> write;
    std::function<void(WDFQUEUE, WDFREQUEST, size_t, size_t, ULONG)> ioctl;
    std::function<void(WDFQUEUE, WDFREQUEST)> canceled;
    std::function<void(WDFDEVICE, WDFREQUEST, WDFFILEOBJECT)> create;
    std::function<void(WDFFILEOBJECT)> cleanup;
    std::function<void(WDFFILEOBJECT)> close;
};
inline DriverHooks* hooks = nullptr;

inline VOID EvtRead(WDFQUEUE queue, WDFREQUEST request, size_t length)
{
    hooks->read ? hooks->read(queue, request, length) : WdfRequestComplete(request, STATUS_SUCCESS);
}
inline VOID EvtWrite(WDFQUEUE queue, WDFREQUEST request, size_t length)
{
    hooks->write ? hooks->write(queue, request, length)
                 : WdfRequestCompleteWithInformation(request, STATUS_SUCCESS, length);
}
inline VOID EvtIoctl(WDFQUEUE queue, WDFREQUEST request, size_t out, size_t in, ULONG code)
{
    hooks->ioctl ? hooks->ioctl(queue, request, out, in, code) : WdfRequestComplete(request, STATUS_SUCCESS);
}
inline VOID EvtCanceled(WDFQUEUE queue, WDFREQUEST request)
{
    hooks->log.push_back("canceled");
    hooks->canceled ? hooks->canceled(queue, request) : WdfRequestComplete(request, STATUS_CANCELLED);
}
inline VOID EvtCreate(WDFDEVICE device, WDFREQUEST request, WDFFILEOBJECT file)
{
    hooks->log.push_back("create");
    hooks->create ? hooks->create(device, request, file) : WdfRequestComplete(request, STATUS_SUCCESS);
}
inline VOID EvtCleanup(WDFFILEOBJECT file)
{
    hooks->log.push_back("cleanup");
    if (hooks->cleanup) {
        hooks->cleanup(file);
    }
}
inline VOID EvtClose(WDFFILEOBJECT file)
{
    hooks->log.push_back("close");
    if (hooks->close) {
        hooks->close(file);
    }
}

class IoTest : public ::testing::Test {
protected:
    void SetUp() override
    {
        hooks = &driverHooks;
        ASSERT_EQ(CreateTestDriver(host, &driver), STATUS_SUCCESS);
    }
    void TearDown() override { hooks = nullptr; }

    /* A control device with the hooks' file callbacks. */
    WDFDEVICE CreateDevice(const WCHAR* name, const DeviceOptions& options = {})
    {
        DECLARE_CONST_UNICODE_STRING(sddl, u"D:P(A;;GA;;;SY)(A;;GA;;;WD)");
        PWDFDEVICE_INIT init = WdfControlDeviceInitAllocate(driver, &sddl);
        UNICODE_STRING deviceName;
        RtlInitUnicodeString(&deviceName, name);
        EXPECT_EQ(WdfDeviceInitAssignName(init, &deviceName), STATUS_SUCCESS);
        WdfDeviceInitSetExclusive(init, options.exclusive);
        WDF_FILEOBJECT_CONFIG fileConfig;
        WDF_FILEOBJECT_CONFIG_INIT(&fileConfig, EvtCreate, EvtClose, EvtCleanup);
        WdfDeviceInitSetFileObjectConfig(init, &fileConfig, WDF_NO_OBJECT_ATTRIBUTES);
        WDF_OBJECT_ATTRIBUTES attributes;
        WDF_OBJECT_ATTRIBUTES_INIT(&attributes);
        attributes.ExecutionLevel = WdfExecutionLevelPassive;
        attributes.SynchronizationScope = options.scope;
        WDFDEVICE device = nullptr;
        lastCreateStatus = WdfDeviceCreate(&init, &attributes, &device);
        if (!NT_SUCCESS(lastCreateStatus)) {
            WdfDeviceInitFree(init);
            return nullptr;
        }
        if (options.link != nullptr) {
            UNICODE_STRING link;
            RtlInitUnicodeString(&link, options.link);
            EXPECT_EQ(IoCreateSymbolicLink(&link, &deviceName), STATUS_SUCCESS);
        }
        if (options.finish) {
            WdfControlFinishInitializing(device);
        }
        return device;
    }

    WDFQUEUE CreateQueue(WDFDEVICE device, WDF_IO_QUEUE_DISPATCH_TYPE dispatch,
                         WDF_REQUEST_TYPE routed = WdfRequestTypeMax)
    {
        WDF_IO_QUEUE_CONFIG config;
        WDF_IO_QUEUE_CONFIG_INIT(&config, dispatch);
        config.PowerManaged = WdfFalse;
        if (dispatch != WdfIoQueueDispatchManual) {
            config.EvtIoRead = EvtRead;
            config.EvtIoWrite = EvtWrite;
            config.EvtIoDeviceControl = EvtIoctl;
        }
        config.EvtIoCanceledOnQueue = EvtCanceled;
        WDFQUEUE queue = nullptr;
        EXPECT_EQ(WdfIoQueueCreate(device, &config, WDF_NO_OBJECT_ATTRIBUTES, &queue), STATUS_SUCCESS);
        if (routed != WdfRequestTypeMax) {
            EXPECT_EQ(WdfDeviceConfigureRequestDispatching(device, queue, routed), STATUS_SUCCESS);
        }
        return queue;
    }

    /* A target on device opened on the loopback registered as \Device\Loop0. */
    WDFIOTARGET OpenTarget(WDFDEVICE device, PFN_WDF_IO_TARGET_REMOVE_COMPLETE removed = nullptr)
    {
        WDFIOTARGET target = nullptr;
        EXPECT_EQ(WdfIoTargetCreate(device, WDF_NO_OBJECT_ATTRIBUTES, &target), STATUS_SUCCESS);
        DECLARE_CONST_UNICODE_STRING(name, u"\\Device\\Loop0");
        WDF_IO_TARGET_OPEN_PARAMS params;
        WDF_IO_TARGET_OPEN_PARAMS_INIT_OPEN_BY_NAME(&params, &name, STANDARD_RIGHTS_ALL);
        params.ShareAccess = 0;
        params.EvtIoTargetRemoveComplete = removed;
        lastOpenStatus = WdfIoTargetOpen(target, &params);
        return target;
    }

    std::shared_ptr<Loopback> RegisterLoopback()
    {
        auto loop = std::make_shared<Loopback>();
        EXPECT_EQ(host.RegisterLowerDevice(u"\\Device\\Loop0", loop), STATUS_SUCCESS);
        return loop;
    }

    /* A memory object of the driver's, filled with bytes. */
    WDFMEMORY Memory(WDFOBJECT parent, std::vector<std::uint8_t> bytes)
    {
        WDF_OBJECT_ATTRIBUTES attributes;
        WDF_OBJECT_ATTRIBUTES_INIT(&attributes);
        attributes.ParentObject = parent;
        WDFMEMORY memory = nullptr;
        PVOID buffer = nullptr;
        EXPECT_EQ(WdfMemoryCreate(&attributes, NonPagedPool, 0x54524148, bytes.size(), &memory, &buffer),
                  STATUS_SUCCESS);
        std::copy(bytes.begin(), bytes.end(), static_cast<std::uint8_t*>(buffer));
        return memory;
    }

    /* A request of the driver's, not yet formatted. */
    WDFREQUEST NewRequest(WDFOBJECT parent)
    {
        WDF_OBJECT_ATTRIBUTES attributes;
        WDF_OBJECT_ATTRIBUTES_INIT(&attributes);
        attributes.ParentObject = parent;
        WDFREQUEST request = nullptr;
        EXPECT_EQ(WdfRequestCreate(&attributes, nullptr, &request), STATUS_SUCCESS);
        return request;
    }

    static std::vector<std::uint8_t> Bytes(std::initializer_list<std::uint8_t> bytes) { return bytes; }

    DriverHooks driverHooks;
    platform::Host host{platform::Clock::Virtual};
    WDFDRIVER driver = nullptr;
    NTSTATUS lastCreateStatus = STATUS_SUCCESS;
    NTSTATUS lastOpenStatus = STATUS_SUCCESS;
};

} // namespace iotest
