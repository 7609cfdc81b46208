#include <algorithm>
#include <string>
#include <vector>

#include <platform/Verifier.h>

#include "PlatformFixture.h"

namespace {

/* What the callbacks saw, in order: "cleanup 2", "destroy 2", ... */
std::vector<std::string> events;
/* Whether, during a cleanup callback, the child tagged 2 was still reachable. */
bool childReachableDuringParentCleanup = false;
WDFWAITLOCK childOfInterest = nullptr;

VOID RecordCleanup(WDFOBJECT object)
{
    events.push_back("cleanup " + std::to_string(GetTestContext(object)->Tag));
    if (GetTestContext(object)->Tag == 1 && childOfInterest != nullptr) {
        childReachableDuringParentCleanup = GetTestContext(childOfInterest)->Tag == 2;
    }
}

VOID RecordDestroy(WDFOBJECT object)
{
    events.push_back("destroy " + std::to_string(GetTestContext(object)->Tag));
}

class ObjectTest : public PlatformTest {
protected:
    void SetUp() override
    {
        PlatformTest::SetUp();
        events.clear();
        childReachableDuringParentCleanup = false;
        childOfInterest = nullptr;
    }
};

TEST_F(ObjectTest, ContextsAreZeroFilledReachedFromTheHandleAndAllocatedOnce)
{
    WDF_OBJECT_ATTRIBUTES attributes;
    WDF_OBJECT_ATTRIBUTES_INIT_CONTEXT_TYPE(&attributes, TEST_CONTEXT);
    attributes.ParentObject = device;
    attributes.ContextSizeOverride = sizeof(TEST_CONTEXT) + 100;
    WDFWAITLOCK lock;
    ASSERT_EQ(WdfWaitLockCreate(&attributes, &lock), STATUS_SUCCESS);

    auto* bytes = reinterpret_cast<UCHAR*>(GetTestContext(lock));
    ASSERT_NE(bytes, nullptr);
    EXPECT_TRUE(std::all_of(bytes, bytes + sizeof(TEST_CONTEXT) + 100, [](UCHAR b) { return b == 0; }));
    EXPECT_EQ(WdfObjectGetTypedContext(lock, TEST_CONTEXT), GetTestContext(lock));
    EXPECT_EQ(WdfObjectContextGetObject(GetTestContext(lock)), static_cast<WDFOBJECT>(lock));
    EXPECT_EQ(reinterpret_cast<uintptr_t>(GetTestContext(lock)) % alignof(std::max_align_t), 0u);

    /* A second type is missing until allocated, and only once. */
    EXPECT_EQ(GetOtherContext(device), nullptr);
    WDF_OBJECT_ATTRIBUTES_INIT_CONTEXT_TYPE(&attributes, OTHER_CONTEXT);
    PVOID context = nullptr;
    ASSERT_EQ(WdfObjectAllocateContext(device, &attributes, &context), STATUS_SUCCESS);
    EXPECT_EQ(context, GetOtherContext(device));
    EXPECT_EQ(GetOtherContext(device)->Value, 0u);
    EXPECT_NE(static_cast<void*>(GetTestContext(device)), context);
    EXPECT_EQ(WdfObjectAllocateContext(device, &attributes, &context), STATUS_OBJECT_NAME_COLLISION);
}

TEST_F(ObjectTest, BadAttributesAreRejected)
{
    WDF_OBJECT_ATTRIBUTES attributes;
    WDF_OBJECT_ATTRIBUTES_INIT_CONTEXT_TYPE(&attributes, TEST_CONTEXT);
    attributes.ContextSizeOverride = 1; /* smaller than the type */
    WDFWAITLOCK lock = nullptr;
    EXPECT_EQ(WdfWaitLockCreate(&attributes, &lock), STATUS_INVALID_PARAMETER);

    WDF_OBJECT_ATTRIBUTES uninitialised{};
    EXPECT_EQ(WdfWaitLockCreate(&uninitialised, &lock), STATUS_INVALID_PARAMETER);
    EXPECT_EQ(host.LiveObjects("WDFWAITLOCK"), 0u);
}

TEST_F(ObjectTest, DeleteCascadesChildrenFirstWhileHandlesStayValid)
{
    WDFWAITLOCK parent = CreateTaggedLock(device, 1, RecordCleanup, RecordDestroy);
    childOfInterest = CreateTaggedLock(parent, 2, RecordCleanup, RecordDestroy);
    WDFWAITLOCK younger = CreateTaggedLock(parent, 3, RecordCleanup, RecordDestroy);
    CreateTaggedLock(younger, 4, RecordCleanup, RecordDestroy);
    ASSERT_EQ(host.LiveObjects("WDFWAITLOCK"), 4u);

    WdfObjectDelete(parent);

    EXPECT_THAT(events, ElementsAre("cleanup 4", "cleanup 3", "cleanup 2", "cleanup 1", "destroy 4", "destroy 3",
                                    "destroy 2", "destroy 1"));
    EXPECT_TRUE(childReachableDuringParentCleanup);
    EXPECT_EQ(host.LiveObjects("WDFWAITLOCK"), 0u);
}

TEST_F(ObjectTest, DeletingTheDeviceDeletesEverythingBelowIt)
{
    CreateTaggedLock(device, 1);
    WDFCOLLECTION collection;
    WDF_OBJECT_ATTRIBUTES attributes;
    WDF_OBJECT_ATTRIBUTES_INIT(&attributes);
    attributes.ParentObject = device;
    ASSERT_EQ(WdfCollectionCreate(&attributes, &collection), STATUS_SUCCESS);
    ASSERT_EQ(WdfCollectionAdd(collection, CreateTaggedLock(collection, 2)), STATUS_SUCCESS);

    WdfObjectDelete(device);

    EXPECT_EQ(host.LiveObjects(), 1u); /* the driver */
    EXPECT_EQ(host.LiveObjectsByType(), (std::map<std::string, std::size_t>{{"WDFDRIVER", 1}}));
}

WDFWAITLOCK parentToDelete;
VOID DeleteParentOnCleanup(WDFOBJECT object)
{
    RecordCleanup(object);
    WdfObjectDelete(parentToDelete);
}

TEST_F(ObjectTest, CleanupMayDeleteTheParentOfTheObjectBeingDeleted)
{
    parentToDelete = CreateTaggedLock(device, 8, RecordCleanup, RecordDestroy);
    WDFWAITLOCK child = CreateTaggedLock(parentToDelete, 9, DeleteParentOnCleanup, RecordDestroy);

    WdfObjectDelete(child);

    EXPECT_THAT(events, ElementsAre("cleanup 9", "cleanup 8", "destroy 8", "destroy 9"));
    EXPECT_EQ(host.LiveObjects("WDFWAITLOCK"), 0u);
}

TEST_F(ObjectTest, ReferenceKeepsADeletedObjectUntilReleased)
{
    WDFWAITLOCK lock = CreateTaggedLock(device, 7, RecordCleanup, RecordDestroy);
    WdfObjectReference(lock);
    WdfObjectDelete(lock);
    EXPECT_THAT(events, ElementsAre("cleanup 7"));
    EXPECT_EQ(GetTestContext(lock)->Tag, 7u);
    EXPECT_EQ(host.LiveObjects("WDFWAITLOCK"), 1u);

    WdfObjectDereference(lock);
    EXPECT_THAT(events, ElementsAre("cleanup 7", "destroy 7"));
    EXPECT_EQ(host.LiveObjects("WDFWAITLOCK"), 0u);
}

TEST_F(ObjectTest, MisuseIsReportedAsAFault)
{
    platform::VerifierCapture faults(host);
    WDFWAITLOCK lock = CreateTaggedLock(device, 1);
    WdfObjectDelete(lock);
    WdfWaitLockAcquire(lock, nullptr);
    WdfObjectDelete(driver);
    WDFWAITLOCK other = CreateTaggedLock(device, 2);
    WdfObjectDereference(other);
    WdfTimerStart(reinterpret_cast<WDFTIMER>(other), 0);

    ASSERT_EQ(faults.Messages().size(), 4u);
    EXPECT_THAT(faults.Messages()[0], HasSubstr("WDFWAITLOCK"));
    EXPECT_THAT(faults.Messages()[0], HasSubstr("already deleted"));
    EXPECT_THAT(faults.Messages()[1], HasSubstr("driver object"));
    EXPECT_THAT(faults.Messages()[2], HasSubstr("dropped to zero before the object was deleted"));
    EXPECT_THAT(faults.Messages()[3], HasSubstr("not a WDFTIMER"));
    EXPECT_NE(GetTestContext(other), nullptr);
}

TEST_F(ObjectTest, EveryLiveHandleResolvesWhenThereAreMoreThanTheCacheHolds)
{
    /* More objects than cache slots: many share a slot, and only the register answers for them. */
    std::vector<WDFWAITLOCK> locks;
    for (ULONG tag = 0; tag < 6000; ++tag) {
        locks.push_back(CreateTaggedLock(device, tag));
    }
    platform::VerifierCapture faults(host);
    for (int pass = 0; pass < 2; ++pass) {
        for (ULONG tag = 0; tag < locks.size(); ++tag) {
            ASSERT_NE(GetTestContext(locks[tag]), nullptr) << "lock " << tag;
            ASSERT_EQ(GetTestContext(locks[tag])->Tag, tag);
        }
    }
    EXPECT_TRUE(faults.Messages().empty());

    for (WDFWAITLOCK lock : locks) {
        WdfObjectDelete(lock);
    }
    EXPECT_EQ(GetTestContext(locks.front()), nullptr);
    EXPECT_EQ(GetTestContext(locks.back()), nullptr);
    EXPECT_EQ(faults.Messages().size(), 2u);
    EXPECT_EQ(host.LiveObjects("WDFWAITLOCK"), 0u);
}

TEST_F(ObjectTest, PoolBlocksAreZeroedEvenWhenTheirMemoryIsReused)
{
    constexpr ULONG kTag = 0x54524148;
    std::vector<PUCHAR> blocks;
    for (int round = 0; round < 3; ++round) {
        for (int i = 0; i < 16; ++i) {
            auto* block = static_cast<PUCHAR>(ExAllocatePoolWithTag(NonPagedPoolNx, 24, kTag));
            ASSERT_NE(block, nullptr);
            EXPECT_TRUE(std::all_of(block, block + 24, [](UCHAR b) { return b == 0; })) << "round " << round;
            std::fill(block, block + 24, UCHAR{0xA5});
            blocks.push_back(block);
        }
        for (PUCHAR block : blocks) {
            ExFreePoolWithTag(block, kTag);
        }
        blocks.clear();
    }

    platform::VerifierCapture faults(host);
    PVOID block = ExAllocatePoolWithTag(NonPagedPoolNx, 8, kTag);
    ExFreePoolWithTag(block, kTag + 1);
    ASSERT_EQ(faults.Messages().size(), 1u);
    EXPECT_THAT(faults.Messages()[0], HasSubstr("another tag"));
    EXPECT_EQ(host.PoolAllocations(), 1u);
    ExFreePoolWithTag(block, kTag);
    EXPECT_EQ(host.PoolAllocations(), 0u);
}

TEST_F(ObjectTest, ControlDeviceNamesAreUniqueUntilTheDeviceIsDeleted)
{
    DECLARE_CONST_UNICODE_STRING(sddl, u"D:P(A;;GA;;;SY)");
    DECLARE_CONST_UNICODE_STRING(sameName, u"\\DEVICE\\platformtest");
    PWDFDEVICE_INIT init = WdfControlDeviceInitAllocate(driver, &sddl);
    ASSERT_NE(init, nullptr);
    ASSERT_EQ(WdfDeviceInitAssignName(init, &sameName), STATUS_SUCCESS);
    WDFDEVICE second = nullptr;
    EXPECT_EQ(WdfDeviceCreate(&init, WDF_NO_OBJECT_ATTRIBUTES, &second), STATUS_OBJECT_NAME_COLLISION);
    ASSERT_NE(init, nullptr);

    WdfObjectDelete(device);
    ASSERT_EQ(WdfDeviceCreate(&init, WDF_NO_OBJECT_ATTRIBUTES, &second), STATUS_SUCCESS);
    EXPECT_EQ(init, nullptr);
    EXPECT_EQ(WdfDeviceGetDriver(second), driver);
    EXPECT_EQ(WdfGetDriver(), driver);
}

TEST_F(ObjectTest, LockWithoutAttributesBelongsToTheDriver)
{
    WDFWAITLOCK lock;
    ASSERT_EQ(WdfWaitLockCreate(WDF_NO_OBJECT_ATTRIBUTES, &lock), STATUS_SUCCESS);
    WdfObjectDelete(device);
    EXPECT_EQ(host.LiveObjects("WDFWAITLOCK"), 1u);
    host.UnloadDriver();
    EXPECT_EQ(host.LiveObjects(), 0u);
    EXPECT_EQ(WdfGetDriver(), nullptr);
}

ULONG unloadCalls;
ULONG driverCleanups;
VOID CountUnload(WDFDRIVER)
{
    ++unloadCalls;
}
VOID CountDriverCleanup(WDFOBJECT)
{
    ++driverCleanups;
}

TEST(HostTeardown, UnloadsTheDriverAndFreesEverything)
{
    unloadCalls = 0;
    driverCleanups = 0;
    std::vector<std::string> faults;
    {
        platform::Host host;
        host.SetVerifierHandler([&](std::string_view message) { faults.emplace_back(message); });
        WDF_DRIVER_CONFIG config;
        WDF_DRIVER_CONFIG_INIT(&config, WDF_NO_EVENT_CALLBACK);
        config.EvtDriverUnload = CountUnload;
        WDF_OBJECT_ATTRIBUTES attributes;
        WDF_OBJECT_ATTRIBUTES_INIT(&attributes);
        attributes.EvtCleanupCallback = CountDriverCleanup;
        ASSERT_EQ(WdfDriverCreate(host.DriverObject(), host.RegistryPath(), &attributes, &config, WDF_NO_HANDLE),
                  STATUS_SUCCESS);
        EXPECT_EQ(WdfDriverCreate(host.DriverObject(), host.RegistryPath(), &attributes, &config, WDF_NO_HANDLE),
                  STATUS_INVALID_DEVICE_STATE);
        WDFWAITLOCK leaked;
        ASSERT_EQ(WdfWaitLockCreate(WDF_NO_OBJECT_ATTRIBUTES, &leaked), STATUS_SUCCESS);
        WdfObjectReference(leaked);
        ASSERT_NE(ExAllocatePoolWithTag(NonPagedPoolNx, 16, 0x54524148), nullptr);
    }
    EXPECT_EQ(unloadCalls, 1u);
    EXPECT_EQ(driverCleanups, 1u);
    ASSERT_EQ(faults.size(), 2u);
    EXPECT_THAT(faults[0], HasSubstr("still referenced when the host shut down: WDFWAITLOCK"));
    EXPECT_THAT(faults[1], HasSubstr("1 pool block(s) never freed"));
    EXPECT_EQ(platform::Host::CurrentOrNull(), nullptr);
}

} // namespace
