/*
 * A virtual-clock host with a driver and one control device, as most
 * platform tests need them.
 */
#pragma once

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <ntddk.h>
#include <wdf.h>

#include <platform/Host.h>

using ::testing::ElementsAre;
using ::testing::HasSubstr;
using namespace std::chrono_literals;

typedef struct _TEST_CONTEXT {
    ULONG Tag;
    ULONG Count;
    UCHAR Bytes[48];
} TEST_CONTEXT, *PTEST_CONTEXT;
WDF_DECLARE_CONTEXT_TYPE_WITH_NAME(TEST_CONTEXT, GetTestContext)

typedef struct _OTHER_CONTEXT {
    ULONGLONG Value;
} OTHER_CONTEXT;
WDF_DECLARE_CONTEXT_TYPE_WITH_NAME(OTHER_CONTEXT, GetOtherContext)

/* The non-PnP driver the platform tests create their devices under. */
inline NTSTATUS CreateTestDriver(platform::Host& host, WDFDRIVER* driver)
{
    WDF_DRIVER_CONFIG config;
    WDF_DRIVER_CONFIG_INIT(&config, WDF_NO_EVENT_CALLBACK);
    config.DriverInitFlags = WdfDriverInitNonPnpDriver;
    return WdfDriverCreate(host.DriverObject(), host.RegistryPath(), WDF_NO_OBJECT_ATTRIBUTES, &config, driver);
}

class PlatformTest : public ::testing::Test {
protected:
    PlatformTest() = default;
    explicit PlatformTest(const platform::HostOptions& options) : host(options) {}

    void SetUp() override
    {
        ASSERT_EQ(CreateTestDriver(host, &driver), STATUS_SUCCESS);
        device = CreateControlDevice(u"\\Device\\PlatformTest");
        ASSERT_NE(device, nullptr);
    }

    WDFDEVICE CreateControlDevice(const WCHAR* name,
                                  WDF_SYNCHRONIZATION_SCOPE scope = WdfSynchronizationScopeInheritFromParent)
    {
        DECLARE_CONST_UNICODE_STRING(sddl, u"D:P(A;;GA;;;SY)(A;;GA;;;BA)");
        PWDFDEVICE_INIT init = WdfControlDeviceInitAllocate(driver, &sddl);
        if (init == nullptr) {
            return nullptr;
        }
        UNICODE_STRING deviceName;
        RtlInitUnicodeString(&deviceName, name);
        WdfDeviceInitAssignName(init, &deviceName);
        WDF_OBJECT_ATTRIBUTES attributes;
        WDF_OBJECT_ATTRIBUTES_INIT_CONTEXT_TYPE(&attributes, TEST_CONTEXT);
        attributes.SynchronizationScope = scope;
        WDFDEVICE created = nullptr;
        if (!NT_SUCCESS(WdfDeviceCreate(&init, &attributes, &created))) {
            WdfDeviceInitFree(init);
            return nullptr;
        }
        WdfControlFinishInitializing(created);
        return created;
    }

    /* An object with a TEST_CONTEXT whose Tag names it in logs. */
    WDFWAITLOCK CreateTaggedLock(WDFOBJECT parent, ULONG tag, PFN_WDF_OBJECT_CONTEXT_CLEANUP cleanup = nullptr,
                                 PFN_WDF_OBJECT_CONTEXT_DESTROY destroy = nullptr)
    {
        WDF_OBJECT_ATTRIBUTES attributes;
        WDF_OBJECT_ATTRIBUTES_INIT_CONTEXT_TYPE(&attributes, TEST_CONTEXT);
        attributes.ParentObject = parent;
        attributes.EvtCleanupCallback = cleanup;
        attributes.EvtDestroyCallback = destroy;
        WDFWAITLOCK lock = nullptr;
        EXPECT_EQ(WdfWaitLockCreate(&attributes, &lock), STATUS_SUCCESS);
        GetTestContext(lock)->Tag = tag;
        return lock;
    }

    platform::Host host{platform::Clock::Virtual};
    WDFDRIVER driver = nullptr;
    WDFDEVICE device = nullptr;
};
