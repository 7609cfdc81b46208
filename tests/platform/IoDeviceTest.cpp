#include "IoFixture.h"

namespace iotest {
namespace {

using DeviceFileTest = IoTest;

TEST_F(DeviceFileTest, NamesCollideAndLinksResolveWhateverTheSpelling)
{
    ASSERT_NE(CreateDevice(u"\\Device\\Port1", {.link = u"\\DosDevices\\PORT1"}), nullptr);
    EXPECT_EQ(CreateDevice(u"\\device\\PORT1"), nullptr);
    EXPECT_EQ(lastCreateStatus, STATUS_OBJECT_NAME_COLLISION);
    auto loop = RegisterLoopback();
    EXPECT_EQ(CreateDevice(u"\\Device\\Loop0"), nullptr);
    EXPECT_EQ(lastCreateStatus, STATUS_OBJECT_NAME_COLLISION);
    EXPECT_EQ(host.RegisterLowerDevice(u"\\Device\\Port1", std::make_shared<Loopback>()), STATUS_OBJECT_NAME_COLLISION);

    UNICODE_STRING link;
    UNICODE_STRING target;
    RtlInitUnicodeString(&link, u"\\DosDevices\\Port1");
    RtlInitUnicodeString(&target, u"\\Device\\Other");
    EXPECT_EQ(IoCreateSymbolicLink(&link, &target), STATUS_OBJECT_NAME_COLLISION);

    for (const char16_t* path : {u"\\Device\\Port1", u"\\DosDevices\\port1", u"\\??\\Port1", u"\\\\.\\Port1"}) {
        auto opened = host.Io().Open(path);
        EXPECT_EQ(opened.status, STATUS_SUCCESS);
    }
    /* Clients reach lower devices only through the driver. */
    EXPECT_EQ(host.Io().Open(u"\\Device\\Loop0").status, STATUS_ACCESS_DENIED);
    EXPECT_EQ(host.Io().Open(u"\\\\.\\Nothing").status, STATUS_OBJECT_NAME_NOT_FOUND);

    EXPECT_EQ(IoDeleteSymbolicLink(&link), STATUS_SUCCESS);
    EXPECT_EQ(IoDeleteSymbolicLink(&link), STATUS_OBJECT_NAME_NOT_FOUND);
    EXPECT_EQ(host.Io().Open(u"\\\\.\\Port1").status, STATUS_OBJECT_NAME_NOT_FOUND);
}

TEST_F(DeviceFileTest, ControlDeviceOpensOnlyOnceInitialised)
{
    WDFDEVICE device = CreateDevice(u"\\Device\\Late", {.finish = false});
    EXPECT_EQ(host.Io().Open(u"\\Device\\Late").status, STATUS_NO_SUCH_DEVICE);
    EXPECT_TRUE(driverHooks.log.empty());
    WdfControlFinishInitializing(device);
    EXPECT_EQ(host.Io().Open(u"\\Device\\Late").status, STATUS_SUCCESS);
}

TEST_F(DeviceFileTest, ExclusiveDeviceRefusesASecondOpenBeforeTheDriverSeesIt)
{
    CreateDevice(u"\\Device\\Excl", {.exclusive = true});
    auto first = host.Io().Open(u"\\Device\\Excl");
    ASSERT_EQ(first.status, STATUS_SUCCESS);
    EXPECT_EQ(host.Io().Open(u"\\Device\\Excl").status, STATUS_ACCESS_DENIED);
    EXPECT_THAT(driverHooks.log, ElementsAre("create"));
    first.file.Close();
    EXPECT_EQ(host.Io().Open(u"\\Device\\Excl").status, STATUS_SUCCESS);
}

TEST_F(DeviceFileTest, RefusedCreateLeavesNoFileAndRunsNoCleanup)
{
    CreateDevice(u"\\Device\\Refuse", {.exclusive = true});
    driverHooks.create = [](WDFDEVICE, WDFREQUEST request, WDFFILEOBJECT) {
        WdfRequestComplete(request, STATUS_OPEN_FAILED);
    };
    EXPECT_EQ(host.Io().Open(u"\\Device\\Refuse").status, STATUS_OPEN_FAILED);
    driverHooks.create = nullptr;
    EXPECT_EQ(host.Io().Open(u"\\Device\\Refuse").status, STATUS_SUCCESS); /* exclusive, yet not taken */
    /* The second File went out of scope at once, and closed. */
    EXPECT_THAT(driverHooks.log, ElementsAre("create", "create", "cleanup", "close"));
    EXPECT_EQ(host.LiveObjects("WDFFILEOBJECT"), 0u);
}

TEST_F(DeviceFileTest, CleanupRunsBeforeCloseAndCloseWaitsForTheFilesRequests)
{
    WDFDEVICE device = CreateDevice(u"\\Device\\Files");
    CreateQueue(device, WdfIoQueueDispatchParallel, WdfRequestTypeWrite);
    WDFREQUEST held = nullptr;
    WDFDEVICE seenDevice = nullptr;
    driverHooks.write = [&](WDFQUEUE, WDFREQUEST request, size_t) {
        held = request;
        seenDevice = WdfFileObjectGetDevice(WdfRequestGetFileObject(request));
    };
    auto opened = host.Io().Open(u"\\Device\\Files");
    auto write = opened.file.WriteAsync(Bytes({1, 2, 3}));
    host.RunUntilIdle();
    ASSERT_NE(held, nullptr);
    EXPECT_EQ(seenDevice, device);

    EXPECT_EQ(opened.file.Close(), STATUS_SUCCESS);
    EXPECT_THAT(driverHooks.log, ElementsAre("create", "cleanup"));
    WdfRequestCompleteWithInformation(held, STATUS_SUCCESS, 3);
    host.RunUntilIdle();
    EXPECT_THAT(driverHooks.log, ElementsAre("create", "cleanup", "close"));
    EXPECT_EQ(write.Result().information, 3u);
    EXPECT_EQ(host.LiveObjects("WDFFILEOBJECT"), 0u);
}

TEST_F(DeviceFileTest, RequestTypesWithoutAQueueFailAndZeroLengthNeverReachTheDriver)
{
    WDFDEVICE device = CreateDevice(u"\\Device\\Types");
    CreateQueue(device, WdfIoQueueDispatchSequential, WdfRequestTypeWrite);
    auto opened = host.Io().Open(u"\\Device\\Types");
    int writes = 0;
    driverHooks.write = [&](WDFQUEUE, WDFREQUEST request, size_t length) {
        ++writes;
        WdfRequestCompleteWithInformation(request, STATUS_SUCCESS, length);
    };
    EXPECT_EQ(opened.file.Read(4).status, STATUS_INVALID_DEVICE_REQUEST);
    EXPECT_EQ(opened.file.DeviceControl(0x9C400E40, Bytes({1}), 4).status, STATUS_INVALID_DEVICE_REQUEST);
    IoStatus empty = opened.file.Write({});
    EXPECT_EQ(empty.status, STATUS_SUCCESS);
    EXPECT_EQ(writes, 0);
    EXPECT_EQ(opened.file.Write(Bytes({7})).information, 1u);
    EXPECT_EQ(writes, 1);
}

TEST_F(DeviceFileTest, DeletingADeviceEndsItsRequestsAndOrphansItsHandles)
{
    WDFDEVICE device = CreateDevice(u"\\Device\\Gone", {.link = u"\\DosDevices\\Gone"});
    WDFQUEUE manual = CreateQueue(device, WdfIoQueueDispatchManual, WdfRequestTypeRead);
    CreateQueue(device, WdfIoQueueDispatchParallel, WdfRequestTypeWrite);
    driverHooks.write = [](WDFQUEUE, WDFREQUEST, size_t) {}; /* kept by the driver */
    auto opened = host.Io().Open(u"\\\\.\\Gone");
    auto queued = opened.file.ReadAsync(8);
    auto kept = opened.file.WriteAsync(Bytes({1}));
    host.RunUntilIdle();
    ULONG waiting = 0;
    WdfIoQueueGetState(manual, &waiting, nullptr);
    EXPECT_EQ(waiting, 1u);

    {
        platform::VerifierCapture verifier(host);
        WdfObjectDelete(device);
        ASSERT_EQ(verifier.Messages().size(), 1u) << "the driver forgot the write it kept";
        EXPECT_NE(verifier.Messages()[0].find("deleted while the driver still holds request"), std::string::npos);
    }
    EXPECT_EQ(queued.Result().status, STATUS_CANCELLED);
    EXPECT_EQ(kept.Result().status, STATUS_CANCELLED);
    EXPECT_EQ(queued.Completions() + kept.Completions(), 2u);
    EXPECT_EQ(opened.file.Read(1).status, STATUS_DELETE_PENDING);
    EXPECT_EQ(opened.file.Close(), STATUS_SUCCESS);
    EXPECT_THAT(driverHooks.log, ElementsAre("create"));
    /* The link stays until the driver deletes it, but leads nowhere. */
    EXPECT_EQ(host.Io().Open(u"\\\\.\\Gone").status, STATUS_OBJECT_NAME_NOT_FOUND);
    EXPECT_EQ(host.LiveObjects(), 1u); /* the driver */
}

/* ---- The function device and the PnP manager ---- */

DEFINE_GUID(TEST_INTERFACE, 0x7C742A2D, 0xEB8D, 0x4F95, 0xA6, 0x75, 0x77, 0x43, 0xA0, 0x1D, 0x3D, 0x90);

std::vector<std::string>* pnpLog;
NTSTATUS PnpInit(WDFDEVICE)
{
    pnpLog->push_back("init");
    return STATUS_SUCCESS;
}
NTSTATUS PnpSuspend(WDFDEVICE)
{
    pnpLog->push_back("suspend");
    return STATUS_SUCCESS;
}
NTSTATUS PnpRestart(WDFDEVICE)
{
    pnpLog->push_back("restart");
    return STATUS_SUCCESS;
}
VOID PnpFlush(WDFDEVICE)
{
    pnpLog->push_back("flush");
}
VOID PnpCleanup(WDFDEVICE)
{
    pnpLog->push_back("io cleanup");
}
VOID DeviceCleanup(WDFOBJECT)
{
    pnpLog->push_back("object cleanup");
}

NTSTATUS AddMainDevice(WDFDRIVER, PWDFDEVICE_INIT init)
{
    WDF_FILEOBJECT_CONFIG fileConfig;
    WDF_FILEOBJECT_CONFIG_INIT(&fileConfig, EvtCreate, EvtClose, EvtCleanup);
    fileConfig.AutoForwardCleanupClose = WdfTrue;
    WDF_OBJECT_ATTRIBUTES fileAttributes;
    WDF_OBJECT_ATTRIBUTES_INIT(&fileAttributes);
    fileAttributes.SynchronizationScope = WdfSynchronizationScopeDevice;
    WdfDeviceInitSetFileObjectConfig(init, &fileConfig, &fileAttributes);
    WDF_PNPPOWER_EVENT_CALLBACKS pnp;
    WDF_PNPPOWER_EVENT_CALLBACKS_INIT(&pnp);
    pnp.EvtDeviceSelfManagedIoInit = PnpInit;
    pnp.EvtDeviceSelfManagedIoSuspend = PnpSuspend;
    pnp.EvtDeviceSelfManagedIoRestart = PnpRestart;
    pnp.EvtDeviceSelfManagedIoFlush = PnpFlush;
    pnp.EvtDeviceSelfManagedIoCleanup = PnpCleanup;
    WdfDeviceInitSetPnpPowerEventCallbacks(init, &pnp);
    WdfDeviceInitSetPowerPolicyOwnership(init, TRUE);
    WDF_OBJECT_ATTRIBUTES attributes;
    WDF_OBJECT_ATTRIBUTES_INIT(&attributes);
    attributes.EvtCleanupCallback = DeviceCleanup;
    attributes.ExecutionLevel = WdfExecutionLevelPassive;
    attributes.SynchronizationScope = WdfSynchronizationScopeDevice;
    WDFDEVICE device;
    NTSTATUS status = WdfDeviceCreate(&init, &attributes, &device);
    if (!NT_SUCCESS(status)) {
        return status;
    }
    WDF_IO_QUEUE_CONFIG config;
    WDF_IO_QUEUE_CONFIG_INIT(&config, WdfIoQueueDispatchSequential);
    config.PowerManaged = WdfTrue;
    config.EvtIoDeviceControl = EvtIoctl;
    WDFQUEUE queue;
    status = WdfIoQueueCreate(device, &config, WDF_NO_OBJECT_ATTRIBUTES, &queue);
    if (NT_SUCCESS(status)) {
        status = WdfDeviceConfigureRequestDispatching(device, queue, WdfRequestTypeDeviceControl);
    }
    if (NT_SUCCESS(status)) {
        status = WdfDeviceCreateDeviceInterface(device, &TEST_INTERFACE, nullptr);
    }
    return status;
}

class PnpTest : public IoTest {
protected:
    void SetUp() override
    {
        hooks = &driverHooks;
        pnpLog = &driverHooks.log;
        WDF_DRIVER_CONFIG config;
        WDF_DRIVER_CONFIG_INIT(&config, AddMainDevice);
        ASSERT_EQ(WdfDriverCreate(host.DriverObject(), host.RegistryPath(), WDF_NO_OBJECT_ATTRIBUTES, &config,
                                  &driver),
                  STATUS_SUCCESS);
    }
};

TEST_F(PnpTest, TheHostAddsStartsSuspendsResumesAndRemovesTheFunctionDevice)
{
    ASSERT_EQ(host.AddDevice(), STATUS_SUCCESS);
    WDFDEVICE device = host.PnpDevice();
    ASSERT_NE(device, nullptr);
    EXPECT_EQ(WdfDeviceGetDriver(device), driver);
    EXPECT_TRUE(host.Io().InterfaceInstances(TEST_INTERFACE).empty()); /* not started */
    ASSERT_EQ(host.StartDevice(), STATUS_SUCCESS);

    auto opened = host.Io().OpenInterface(TEST_INTERFACE);
    ASSERT_EQ(opened.status, STATUS_SUCCESS);
    EXPECT_EQ(opened.file.DeviceControl(0x9C400E60, Bytes({0}), 0).status, STATUS_SUCCESS);

    /* Suspended, its power-managed queue holds control requests back. */
    ASSERT_EQ(host.SuspendDevice(), STATUS_SUCCESS);
    auto held = opened.file.DeviceControlAsync(0x9C400E60, Bytes({0}), 0);
    host.RunFor(1s);
    EXPECT_FALSE(held.Done());
    ASSERT_EQ(host.ResumeDevice(), STATUS_SUCCESS);
    host.RunUntilIdle();
    EXPECT_EQ(held.Result().status, STATUS_SUCCESS);

    opened.file.Close();
    host.RemoveDevice();
    EXPECT_EQ(host.PnpDevice(), nullptr);
    EXPECT_TRUE(host.Io().InterfaceInstances(TEST_INTERFACE).empty());
    EXPECT_THAT(driverHooks.log, ElementsAre("init", "create", "suspend", "restart", "cleanup", "close", "suspend",
                                             "flush", "io cleanup", "object cleanup"));
    EXPECT_EQ(host.LiveObjects(), 1u);
}

TEST_F(PnpTest, TheFunctionDevicesInitBlockAndLifetimeBelongToTheFramework)
{
    platform::VerifierCapture faults(host);
    ASSERT_EQ(host.AddDevice(), STATUS_SUCCESS);
    EXPECT_EQ(host.AddDevice(), STATUS_INVALID_DEVICE_STATE);
    WdfObjectDelete(host.PnpDevice());
    ASSERT_EQ(faults.Messages().size(), 1u);
    EXPECT_THAT(faults.Messages()[0], HasSubstr("deleted by the framework"));
    /* A device still there at teardown is removed as the PnP manager would. */
}

} // namespace
} // namespace iotest
