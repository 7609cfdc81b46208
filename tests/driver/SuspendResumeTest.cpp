/* What a suspend of the main device stops in the open ports, and what the resume must bring back. */
#include "SystemFixture.h"

#include "link/HartLink.h"

#include "driver/HartDriver.h"

namespace drivertest {
namespace {

class SuspendResumeTest : public SystemFixture {
protected:
    void Start(const sim::SystemOptions& options = {})
    {
        Boot(options);
        port_ = OpenMainAndPort();
    }
    void Suspend() { ASSERT_TRUE(NT_SUCCESS(system_->Host().SuspendDevice())); }
    /* The resume, and the 200 link ticks after it in which the port stays quiet. */
    void ResumeAndWaitOutTheDelay()
    {
        ASSERT_TRUE(NT_SUCCESS(system_->Host().ResumeDevice()));
        system_->Host().RunFor(2100ms);
    }

    platform::File port_;
};

TEST_F(SuspendResumeTest, LongSuspendFreezesTheLinkAndThePendingWriteFinishesAfterTheResume)
{
    Start();
    sim::FieldDevice& device = system_->Device(0);
    device.Config().silent = true;
    auto write = port_.WriteAsync(Request(0, 0));
    ASSERT_TRUE(RunUntil([&] { return device.RequestsHeard() == 1; }));
    system_->Host().RunFor(50ms);
    Suspend();
    const HARTDEVICE_CONTEXT& record = Record();
    const USHORT quiet = record.HartQuietTimeCounter;
    const USHORT busGrant = record.HartBusGrantTimeCounter;
    device.Config().silent = false;
    system_->Host().RunFor(30s);
    EXPECT_FALSE(write.Done()) << "a suspend is no outcome for the write";
    EXPECT_EQ(record.HartQuietTimeCounter, quiet) << "the link timer does not tick while suspended";
    EXPECT_EQ(record.HartBusGrantTimeCounter, busGrant);
    EXPECT_EQ(device.RequestsHeard(), 1u) << "nothing is sent while suspended";
    EXPECT_EQ(system_->SerialPort(0).PendingReads(), 0u) << "and nothing is read";

    ASSERT_TRUE(NT_SUCCESS(system_->Host().ResumeDevice()));
    system_->Host().RunFor(1900ms);
    EXPECT_EQ(device.RequestsHeard(), 1u) << "quiet for 200 ticks after the resume";
    EXPECT_EQ(write.Wait().status, STATUS_SUCCESS) << "the pending write is sent again after the resume";
    EXPECT_EQ(write.Completions(), 1u);
    EXPECT_EQ(device.RequestsHeard(), 2u);
}

TEST_F(SuspendResumeTest, ControlRequestsAreRefusedWhileSuspendedAndServedAfterTheResume)
{
    Start();
    Suspend();
    EXPECT_EQ(port_.DeviceControl(IOCTL_HART_GET_PROTOCOL, Bytes(4), 4).status, STATUS_INVALID_DEVICE_STATE)
        << "refused at once rather than left waiting";
    auto enumerate = main_.DeviceControlAsync(IOCTL_HART_ENUMERATE_DEVICES, Bytes{0}, 0);
    system_->Host().RunFor(1s);
    EXPECT_FALSE(enumerate.Done()) << "the main device's requests wait for the resume";
    ResumeAndWaitOutTheDelay();
    EXPECT_EQ(enumerate.Wait().status, STATUS_SUCCESS);
    auto protocol = port_.DeviceControl(IOCTL_HART_GET_PROTOCOL, Bytes(4), 4);
    EXPECT_EQ(protocol.status, STATUS_SUCCESS);
    EXPECT_EQ(protocol.data, (Bytes{0, 0, 0x80, 2}));
    EXPECT_EQ(port_.DeviceControl(IOCTL_HART_SET_PROTOCOL, Bytes{0, 0, 0x80, 0}, 0).status, STATUS_SUCCESS);
    system_->Device(0).Config().silent = true;
    EXPECT_EQ(port_.Write(Request(0, 0)).status, STATUS_TRANSACTION_TIMED_OUT);
    EXPECT_EQ(system_->Device(0).RequestsHeard(), 1u) << "the retry count set after the resume holds";
}

TEST_F(SuspendResumeTest, SerialReadLoopComesBackWithoutAnyWrite)
{
    Start({.burstDevice = true, .scriptedSecondMaster = false, .scriptedPrimaryMaster = false, .registry = {}});
    const Bytes bursts{HART_RCV_MASK_BACK | HART_RCV_MASK_OTHER_BACK};
    ASSERT_EQ(port_.DeviceControl(IOCTL_HART_SET_READ_MASK, bursts, 0).status, STATUS_SUCCESS);
    ASSERT_EQ(port_.Read(300).status, STATUS_SUCCESS) << "burst frames reach the reader";
    for (int cycle = 0; cycle < 2; cycle++) {
        Suspend();
        system_->Host().RunFor(5s);
        auto read = port_.ReadAsync(300);
        system_->Host().RunFor(1s);
        EXPECT_FALSE(read.Done()) << "no frame is received while suspended";
        ResumeAndWaitOutTheDelay();
        EXPECT_EQ(system_->SerialPort(0).PendingReads(), 1u) << "one serial read outstanding again";
        EXPECT_EQ(system_->SerialPort(0).Settings().fifoControl, SERIAL_IOC_FCR_FIFO_ENABLE);
        platform::IoResult frame = read.Wait();
        EXPECT_EQ(frame.status, STATUS_SUCCESS);
        ASSERT_GT(frame.data.size(), 3u);
        EXPECT_EQ(frame.data[0] & 0x07, sim::kDelimiterBack) << "a burst frame, heard after the resume";
    }
    /* Nor after a client that closed with a read waiting, which holds the loop until the close. */
    auto waiting = port_.ReadAsync(300);
    system_->Host().RunFor(1ms);
    port_.Close();
    port_ = OpenPort();
    ASSERT_EQ(port_.DeviceControl(IOCTL_HART_SET_READ_MASK, bursts, 0).status, STATUS_SUCCESS);
    auto heard = port_.ReadAsync(300);
    system_->Host().RunFor(2s);
    EXPECT_TRUE(heard.Done()) << "a client that only listens hears the bursts";
}

TEST_F(SuspendResumeTest, ASuspendInTheTurnTheRestartDelayEndsWaitsForTheRestartsWork)
{
    Start();
    Suspend();
    ASSERT_TRUE(NT_SUCCESS(system_->Host().ResumeDevice()));
    /* Stops right after the tick that freed the bus and queued the restart's work item. */
    ASSERT_TRUE(system_->Host().GetDispatcher().RunUntil(
        [&] { return std::string(Record().CurrentState->Name) == "STATE_BUS_FREE"; }, 3s));
    Suspend();
    system_->Host().RunFor(1s);
    EXPECT_EQ(system_->SerialPort(0).PendingReads(), 0u) << "nothing is read while suspended";
    EXPECT_EQ(port_.DeviceControl(IOCTL_HART_GET_PROTOCOL, Bytes(4), 4).status, STATUS_INVALID_DEVICE_STATE);
    ResumeAndWaitOutTheDelay();
    EXPECT_EQ(port_.Write(Request(0, 0)).status, STATUS_SUCCESS);
}

/* Two ports, one of them open: a power transition must leave the other exactly as it was. */
TEST_F(SuspendResumeTest, PortsNobodyOpenedAreLeftAlone)
{
    Boot({.serialPorts = 2, .registry = {}});
    platform::File port = OpenMainAndPort("1");
    HARTDEVICE_CONTEXT& open = Record("1");
    HARTDEVICE_CONTEXT& closed = Record("2");
    Suspend();
    EXPECT_EQ(open.SerialReadActive, 0);
    ASSERT_TRUE(NT_SUCCESS(system_->Host().ResumeDevice()));
    EXPECT_EQ(open.HartRestartTimeCounter, HART_RESTART_DELAY_TICKS);
    EXPECT_EQ(open.HartBusGrantTimeCounter, 0) << "a wait the suspend began would end the delay early";
    EXPECT_EQ(closed.HartRestartTimeCounter, 0);
    EXPECT_EQ(closed.IoTarget, nullptr);
    system_->Host().RunFor(2010ms);
    EXPECT_STREQ(open.CurrentState->Name, "STATE_BUS_FREE") << "EVT_RESTART_IO after 200 ticks";
    EXPECT_EQ(port.Write(Request(0, 0)).status, STATUS_SUCCESS);
    auto other = system_->OpenPort("2");
    ASSERT_TRUE(NT_SUCCESS(other.status)) << "the other port opens as if nothing had happened";
    EXPECT_EQ(system_->SerialPort(1).PendingReads(), 1u);
}

} // namespace
} // namespace drivertest
