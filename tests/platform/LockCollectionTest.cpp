#include <thread>

#include <platform/Verifier.h>

#include "PlatformFixture.h"

namespace {

using LockTest = PlatformTest;
using CollectionTest = PlatformTest;

TEST_F(LockTest, WaitLockExcludesOtherThreads)
{
    WDFWAITLOCK lock;
    ASSERT_EQ(WdfWaitLockCreate(WDF_NO_OBJECT_ATTRIBUTES, &lock), STATUS_SUCCESS);
    ASSERT_EQ(WdfWaitLockAcquire(lock, nullptr), STATUS_SUCCESS);

    LONGLONG noWait = 0;
    LONGLONG shortWait = WDF_REL_TIMEOUT_IN_MS(1);
    NTSTATUS tried = STATUS_SUCCESS;
    NTSTATUS waited = STATUS_SUCCESS;
    std::thread([&] {
        tried = WdfWaitLockAcquire(lock, &noWait);
        waited = WdfWaitLockAcquire(lock, &shortWait);
    }).join();
    EXPECT_EQ(tried, STATUS_TIMEOUT);
    EXPECT_EQ(waited, STATUS_TIMEOUT);

    WdfWaitLockRelease(lock);
    std::thread([&] {
        tried = WdfWaitLockAcquire(lock, &noWait);
        WdfWaitLockRelease(lock);
    }).join();
    EXPECT_EQ(tried, STATUS_SUCCESS);
}

TEST_F(LockTest, SelfDeadlockAndForeignReleaseAreFaults)
{
    platform::VerifierCapture faults(host);
    WDFWAITLOCK lock;
    ASSERT_EQ(WdfWaitLockCreate(WDF_NO_OBJECT_ATTRIBUTES, &lock), STATUS_SUCCESS);
    LONGLONG noWait = 0;
    ASSERT_EQ(WdfWaitLockAcquire(lock, nullptr), STATUS_SUCCESS);
    EXPECT_EQ(WdfWaitLockAcquire(lock, &noWait), STATUS_TIMEOUT); /* a try is legitimate */
    EXPECT_EQ(faults.Messages().size(), 0u);
    EXPECT_NE(WdfWaitLockAcquire(lock, nullptr), STATUS_SUCCESS);
    std::thread([&] { WdfWaitLockRelease(lock); }).join();
    WdfWaitLockRelease(lock);

    ASSERT_EQ(faults.Messages().size(), 2u);
    EXPECT_THAT(faults.Messages()[0], HasSubstr("already held by this thread"));
    EXPECT_THAT(faults.Messages()[1], HasSubstr("not held by this thread"));
}

TEST_F(LockTest, SpinLockRaisesToDispatchWhereWaitingIsAFault)
{
    platform::VerifierCapture faults(host);
    WDFSPINLOCK spinLock;
    WDFWAITLOCK waitLock;
    ASSERT_EQ(WdfSpinLockCreate(WDF_NO_OBJECT_ATTRIBUTES, &spinLock), STATUS_SUCCESS);
    ASSERT_EQ(WdfWaitLockCreate(WDF_NO_OBJECT_ATTRIBUTES, &waitLock), STATUS_SUCCESS);

    WdfSpinLockAcquire(spinLock);
    EXPECT_EQ(KeGetCurrentIrql(), DISPATCH_LEVEL);
    LONGLONG noWait = 0;
    EXPECT_EQ(WdfWaitLockAcquire(waitLock, &noWait), STATUS_SUCCESS);
    WdfWaitLockRelease(waitLock);
    EXPECT_EQ(faults.Messages().size(), 0u);
    WdfWaitLockAcquire(waitLock, nullptr);
    WdfWaitLockRelease(waitLock);
    WdfSpinLockRelease(spinLock);
    EXPECT_EQ(KeGetCurrentIrql(), PASSIVE_LEVEL);
    WdfSpinLockRelease(spinLock);

    ASSERT_EQ(faults.Messages().size(), 2u);
    EXPECT_THAT(faults.Messages()[0], HasSubstr("DISPATCH_LEVEL"));
    EXPECT_THAT(faults.Messages()[1], HasSubstr("not held"));
}

TEST_F(CollectionTest, KeepsOrderAndAnswersOutOfRangeWithNull)
{
    WDFCOLLECTION collection;
    ASSERT_EQ(WdfCollectionCreate(WDF_NO_OBJECT_ATTRIBUTES, &collection), STATUS_SUCCESS);
    EXPECT_EQ(WdfCollectionGetFirstItem(collection), nullptr);
    EXPECT_EQ(WdfCollectionGetLastItem(collection), nullptr);

    WDFWAITLOCK a = CreateTaggedLock(device, 1);
    WDFWAITLOCK b = CreateTaggedLock(device, 2);
    WDFWAITLOCK c = CreateTaggedLock(device, 3);
    for (WDFWAITLOCK lock : {a, b, c}) {
        ASSERT_EQ(WdfCollectionAdd(collection, lock), STATUS_SUCCESS);
    }
    EXPECT_EQ(WdfCollectionGetCount(collection), 3u);
    EXPECT_EQ(WdfCollectionGetFirstItem(collection), static_cast<WDFOBJECT>(a));
    EXPECT_EQ(WdfCollectionGetItem(collection, 1), static_cast<WDFOBJECT>(b));
    EXPECT_EQ(WdfCollectionGetLastItem(collection), static_cast<WDFOBJECT>(c));
    EXPECT_EQ(WdfCollectionGetItem(collection, 3), nullptr);

    WdfCollectionRemove(collection, b);
    EXPECT_EQ(WdfCollectionGetItem(collection, 1), static_cast<WDFOBJECT>(c));
    WdfCollectionRemoveItem(collection, 0);
    EXPECT_EQ(WdfCollectionGetCount(collection), 1u);
    EXPECT_EQ(WdfCollectionGetFirstItem(collection), static_cast<WDFOBJECT>(c));
}

TEST_F(CollectionTest, HoldsAReferenceUntilTheItemIsRemoved)
{
    platform::VerifierCapture faults(host);
    WDFCOLLECTION collection;
    ASSERT_EQ(WdfCollectionCreate(WDF_NO_OBJECT_ATTRIBUTES, &collection), STATUS_SUCCESS);
    WDFWAITLOCK kept = CreateTaggedLock(device, 5);
    WDFWAITLOCK other = CreateTaggedLock(device, 6);
    WdfCollectionAdd(collection, kept);
    WdfCollectionAdd(collection, other);

    WdfObjectDelete(kept);
    EXPECT_EQ(host.LiveObjects("WDFWAITLOCK"), 2u);
    EXPECT_EQ(GetTestContext(WdfCollectionGetFirstItem(collection))->Tag, 5u);
    WdfCollectionRemove(collection, kept);
    EXPECT_EQ(host.LiveObjects("WDFWAITLOCK"), 1u);

    WdfCollectionRemove(collection, kept); /* stale handle */
    WdfCollectionRemoveItem(collection, 7);
    ASSERT_EQ(faults.Messages().size(), 2u);
    EXPECT_THAT(faults.Messages()[0], HasSubstr("already deleted"));
    EXPECT_THAT(faults.Messages()[1], HasSubstr("past the end"));

    WdfObjectDelete(other);
    WdfObjectDelete(collection); /* drops its reference on the deleted item */
    EXPECT_EQ(host.LiveObjects("WDFWAITLOCK"), 0u);
    EXPECT_EQ(host.LiveObjects("WDFCOLLECTION"), 0u);
}

} // namespace
