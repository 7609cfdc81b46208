/* Port devices that go away, power transitions and mode switches with
   requests in flight: every request ends once, and the port that stays
   serves its client again. */
#include "SystemFixture.h"

#include "driver/HartDriver.h"

namespace drivertest {
namespace {

class LifecycleTest : public SystemFixture {
protected:
    static constexpr ULONG kSlave = 1;

    platform::Ticks Later(std::chrono::milliseconds delay)
    {
        return system_->Host().Now() + std::chrono::duration_cast<platform::Ticks>(delay);
    }

    static NTSTATUS SetMode(platform::File& port, ULONG mode)
    {
        return port.DeviceControl(IOCTL_HART_SET_PROTOCOL, Bytes{static_cast<std::uint8_t>(mode), 0, 0x80, 2}, 0)
            .status;
    }

    static NTSTATUS AskProtocol(platform::File& port)
    {
        return port.DeviceControl(IOCTL_HART_GET_PROTOCOL, Bytes(4), 4).status;
    }

    void SuspendAndResume(std::chrono::milliseconds asleep = 0ms)
    {
        ASSERT_TRUE(NT_SUCCESS(system_->Host().SuspendDevice()));
        system_->Host().RunFor(asleep);
        ASSERT_TRUE(NT_SUCCESS(system_->Host().ResumeDevice()));
    }

    std::size_t PortDevices() { return system_->Host().LiveObjects("WDFDEVICE") - 1; }
};

TEST_F(LifecycleTest, PortDeletedUnderAWaitingReadCancelsItOnce)
{
    platform::File port = BootAndOpen();
    auto read = port.ReadAsync(300);
    system_->Host().RunFor(50ms);
    main_.Close();
    ASSERT_TRUE(read.Done()) << "the last close of the main device deletes the port under the read";
    EXPECT_EQ(read.Result().status, STATUS_CANCELLED);
    EXPECT_EQ(read.Completions(), 1u);

    /* The same when the main device itself goes, with the driver still loaded. */
    platform::File again = OpenMainAndPort();
    auto second = again.ReadAsync(300);
    system_->Host().RunFor(50ms);
    system_->Host().RemoveDevice();
    EXPECT_FALSE(system_->Host().ObjectNameExists(sim::SimulatedSystem::PortLinkName("1")));
    ASSERT_TRUE(second.Done());
    EXPECT_EQ(second.Result().status, STATUS_CANCELLED);
    EXPECT_EQ(second.Completions(), 1u);
}

TEST_F(LifecycleTest, PortDeletedUnderAPendingWriteCompletesItAndStopsTheLink)
{
    platform::File port = BootAndOpen();
    system_->Device(0).Config().silent = true;
    auto write = port.WriteAsync(Request(0, 0));
    auto queued = port.WriteAsync(Request(0, 1));
    auto read = port.ReadAsync(300);
    system_->Host().RunFor(150ms);
    main_.Close();
    system_->Host().RunFor(10ms);
    ASSERT_TRUE(write.Done()) << "deleting the port ends its write, not the client's later close";
    EXPECT_EQ(write.Result().status, STATUS_CANCELLED);
    ASSERT_TRUE(queued.Done()) << "and the write queued behind it, while a read waits";
    EXPECT_EQ(queued.Result().status, STATUS_CANCELLED);
    EXPECT_EQ(read.Wait().status, STATUS_CANCELLED);
    std::size_t writes = system_->SerialPort(0).WritesSeen();
    system_->Host().RunFor(3s);
    EXPECT_EQ(system_->SerialPort(0).WritesSeen(), writes) << "nothing is sent for a deleted port";
    EXPECT_EQ(write.Completions() + queued.Completions(), 2u) << "each once";
}

TEST_F(LifecycleTest, SerialPortsRemovedTogetherTakeAllTheirPortDevices)
{
    Boot({.serialPorts = 3, .registry = {}});
    platform::File first = OpenMainAndPort("1");
    platform::File second = OpenPort("2");
    platform::Ticks at = Later(100ms);
    system_->SerialPort(0).RemoveAt(at);
    system_->SerialPort(1).RemoveAt(at);
    system_->Host().RunFor(200ms);
    EXPECT_FALSE(system_->Host().ObjectNameExists(sim::SimulatedSystem::PortLinkName("1")));
    EXPECT_FALSE(system_->Host().ObjectNameExists(sim::SimulatedSystem::PortLinkName("2")));
    EXPECT_EQ(PortDevices(), 1u) << "only COM3's port device is left";

    /* A power cycle afterwards touches nothing that went. */
    SuspendAndResume(100ms);
    system_->Host().RunFor(3s);
    EXPECT_EQ(OpenPort("3").Write(Request(0, 0)).status, STATUS_SUCCESS);
}

TEST_F(LifecycleTest, SlaveListensAndAnswersControlRequestsAfterAResume)
{
    Boot({.serialPorts = 2, .registry = {}});
    platform::File slave = OpenMainAndPort("1");
    platform::File master = OpenPort("2");
    ASSERT_EQ(SetMode(slave, kSlave), STATUS_SUCCESS);
    ASSERT_EQ(slave.DeviceControl(IOCTL_HART_SET_READ_MASK, Bytes{0x02}, 0).status, STATUS_SUCCESS);
    SuspendAndResume(1s);
    system_->Host().RunFor(2100ms);
    EXPECT_EQ(AskProtocol(slave), STATUS_SUCCESS);
    EXPECT_EQ(system_->SerialPort(0).PendingReads(), 1u) << "the serial read loop is back";
    auto heard = slave.ReadAsync(300);
    ASSERT_EQ(master.Write(Request(0, 1)).status, STATUS_SUCCESS);
    system_->Host().RunFor(100ms);
    ASSERT_TRUE(heard.Done()) << "the slave hears the answer on the line";
    EXPECT_EQ(heard.Result().status, STATUS_SUCCESS);
    ASSERT_GT(heard.Result().data.size(), 3u);
    EXPECT_EQ(heard.Result().data[2], 1);
}

TEST_F(LifecycleTest, WritePendingWhenThePortBecomesASlaveEnds)
{
    Boot({.serialPorts = 2, .registry = {}});
    /* A frame that still waits for the bus, and one queued behind it. */
    platform::File first = OpenMainAndPort("1");
    auto waiting = first.WriteAsync(Request(0, 0));
    auto behind = first.WriteAsync(Request(0, 1));
    system_->Host().RunFor(10ms);
    ASSERT_FALSE(waiting.Done());
    ASSERT_EQ(SetMode(first, kSlave), STATUS_SUCCESS);
    /* A frame already on the line. */
    platform::File second = OpenPort("2");
    auto onLine = second.WriteAsync(Request(0, 0));
    system_->Host().RunFor(420ms);
    ASSERT_TRUE(system_->SerialPort(1).Rts());
    ASSERT_EQ(SetMode(second, kSlave), STATUS_SUCCESS);
    system_->Host().RunFor(200ms);
    for (auto* write : {&waiting, &behind, &onLine}) {
        ASSERT_TRUE(write->Done());
        EXPECT_EQ(write->Result().status, STATUS_INVALID_DEVICE_STATE);
        EXPECT_EQ(write->Completions(), 1u);
    }
}

TEST_F(LifecycleTest, PortClosedWhileSuspendedOrRestartingServesControlRequestsWhenOpenedAgain)
{
    platform::File port = BootAndOpen();
    /* The frame leaves a serial write request behind, which the suspend deletes. */
    ASSERT_EQ(port.Write(Request(0, 0)).status, STATUS_SUCCESS);
    ASSERT_TRUE(NT_SUCCESS(system_->Host().SuspendDevice()));
    port.Close();
    ASSERT_TRUE(NT_SUCCESS(system_->Host().ResumeDevice()));
    platform::File reopened = OpenPort();
    EXPECT_EQ(AskProtocol(reopened), STATUS_SUCCESS) << "closed while suspended";

    SuspendAndResume();
    system_->Host().RunFor(500ms);
    reopened.Close();
    platform::File third = OpenPort();
    EXPECT_EQ(AskProtocol(third), STATUS_SUCCESS) << "closed inside the restart delay";
    EXPECT_EQ(third.Write(Request(0, 0)).status, STATUS_SUCCESS);
}

TEST_F(LifecycleTest, SuspendDuringASerialWriteLeavesTheWaitingReadWaiting)
{
    platform::File port = BootAndOpen();
    auto read = port.ReadAsync(300);
    auto write = port.WriteAsync(Request(0, 0));
    system_->Host().RunFor(450ms);
    ASSERT_TRUE(system_->SerialPort(0).Rts()) << "the frame is going out";
    SuspendAndResume(100ms);
    system_->Host().RunFor(50ms);
    EXPECT_FALSE(read.Done()) << "no frame came, so the read has nothing to report";
    EXPECT_EQ(write.Wait().status, STATUS_SUCCESS);
    platform::IoResult answer = read.Wait();
    EXPECT_EQ(answer.status, STATUS_SUCCESS);
    EXPECT_EQ(answer.data.size(), 19u);
    EXPECT_EQ(read.Completions(), 1u);
}

TEST_F(LifecycleTest, HandleClosedAsItsReadIsCancelledEndsTheReadOnce)
{
    platform::File port = BootAndOpen();
    system_->Host().RunFor(1s);
    /* The close arrives while the cancelled read purges a slow serial port:
       it must not wait for a cancellation that is waiting for it. */
    system_->SerialPort(0).DelayControls(20ms);
    auto read = port.ReadAsync(300);
    system_->Host().RunUntilIdle();
    ASSERT_TRUE(read.Cancel());
    port.Close();
    system_->Host().RunFor(100ms);
    ASSERT_TRUE(read.Done());
    EXPECT_EQ(read.Result().status, STATUS_CANCELLED);
    EXPECT_EQ(read.Completions(), 1u);
    EXPECT_EQ(system_->SerialPort(0).Settings().lastPurgeMask, 0x0Fu);
    EXPECT_EQ(OpenPort().Write(Request(0, 0)).status, STATUS_SUCCESS);
}

TEST_F(LifecycleTest, HandleClosedAsRequestsArriveEndsThemAll)
{
    platform::File port = BootAndOpen();
    ASSERT_EQ(port.Write(Request(0, 0)).status, STATUS_SUCCESS);
    ASSERT_EQ(port.Read(300).status, STATUS_SUCCESS);
    system_->Host().RunFor(1s);
    /* The link is idle, so the first write goes out at once; the second queues behind it. */
    auto read = port.ReadAsync(300);
    auto first = port.WriteAsync(Request(0, 1));
    auto second = port.WriteAsync(Request(0, 2));
    port.Close();
    system_->Host().RunFor(1s);
    for (auto* request : {&read, &first, &second}) {
        ASSERT_TRUE(request->Done());
        EXPECT_EQ(request->Result().status, STATUS_CANCELLED);
        EXPECT_EQ(request->Completions(), 1u);
    }
    EXPECT_EQ(OpenPort().Write(Request(0, 0)).status, STATUS_SUCCESS);
}

TEST_F(LifecycleTest, AnswerLeftInTheSerialPortIsNeverTakenForALaterOne)
{
    platform::File port = BootAndOpen();
    /* The client gives up on its read while the answer is on the line: the
       read loop rests and the serial port keeps the characters. */
    auto read = port.ReadAsync(300);
    auto write = port.WriteAsync(Request(0, 1));
    system_->Host().RunFor(480ms);
    ASSERT_TRUE(read.Cancel());
    EXPECT_EQ(write.Wait().status, STATUS_SUCCESS);
    system_->Host().RunFor(1s);
    auto stored = port.ReadAsync(300); /* whatever was delivered for command 1 */
    system_->Host().RunFor(10ms);
    if (!stored.Done()) {
        stored.Cancel();
    }
    auto answer = port.ReadAsync(300);
    ASSERT_EQ(port.Write(Request(0, 2)).status, STATUS_SUCCESS);
    platform::IoResult next = answer.Wait();
    ASSERT_GT(next.data.size(), 2u);
    EXPECT_EQ(next.data[2], 2) << "the answer read is the one to command 2";
}

TEST_F(LifecycleTest, PortOpenedWhileSuspendedSendsAfterTheResume)
{
    Boot();
    main_ = std::move(system_->OpenMain().file);
    ASSERT_TRUE(NT_SUCCESS(system_->Host().SuspendDevice()));
    platform::File port = OpenPort();
    auto write = port.WriteAsync(Request(0, 0));
    system_->Host().RunFor(100ms);
    ASSERT_TRUE(NT_SUCCESS(system_->Host().ResumeDevice()));
    system_->Host().RunFor(5s);
    ASSERT_TRUE(write.Done()) << "a port that was never suspended is restarted all the same";
    EXPECT_EQ(write.Result().status, STATUS_SUCCESS);
}

TEST_F(LifecycleTest, MainClosedWhileARemovalWaitsForItsPortDeletesThePortOnce)
{
    platform::File port = BootAndOpen();
    auto read = port.ReadAsync(300);
    auto write = port.WriteAsync(Request(0, 0));
    /* The removal is heard inside the main device's last close, and its wait
       for the port's reads lets that close delete the port under it. */
    system_->SerialPort(0).RemoveAt(system_->Host().Now());
    ASSERT_TRUE(NT_SUCCESS(system_->Host().SuspendDevice()));
    auto control = port.DeviceControlAsync(IOCTL_HART_SET_PROTOCOL, Bytes{0, 2, 2, 0, 0xE8}, 0);
    auto second = system_->OpenPort("1");
    main_.Close();
    system_->Host().RunFor(100ms);
    EXPECT_EQ(PortDevices(), 0u);
    for (auto* request : {&read, &write, &control}) {
        ASSERT_TRUE(request->Done());
        EXPECT_EQ(request->Completions(), 1u);
    }
}

} // namespace
} // namespace drivertest
