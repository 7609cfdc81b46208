/* A client's transactions through a port device, end to end on the simulated line. */
#include <cstring>

#include "SystemFixture.h"

namespace drivertest {
namespace {

using PortTest = OpenPortFixture;

TEST_F(PortTest, RequestIsAnsweredAndTheAnswerIsRead)
{
    Bytes request = Request(0, 0);
    auto read = port_.ReadAsync(300);
    platform::IoStatus written = port_.Write(request);
    EXPECT_EQ(written.status, STATUS_SUCCESS);
    EXPECT_EQ(written.information, request.size());
    platform::IoResult answer = read.Wait();
    ASSERT_EQ(answer.status, STATUS_SUCCESS);
    ASSERT_EQ(answer.data.size(), 19u) << "delimiter, address, command, count, 14 data bytes, check byte";
    EXPECT_EQ(answer.data[0], sim::kDelimiterAck);
    EXPECT_EQ(answer.data[1], 0x80);
    EXPECT_EQ(answer.data[6], 254);
    EXPECT_EQ(read.Completions(), 1u);
    EXPECT_EQ(system_->Device(0).RequestsHeard(), 1u);
}

TEST_F(PortTest, OpeningConfiguresTheSerialPortForHart)
{
    port_.Close();
    system_->SerialPort(0).Settings().timeouts = SERIAL_TIMEOUTS{0xFFFFFFFF, 1, 2, 3, 4};
    port_ = OpenPort();
    const sim::SerialSettings& settings = system_->SerialPort(0).Settings();
    const SERIAL_TIMEOUTS none{};
    EXPECT_EQ(std::memcmp(&settings.timeouts, &none, sizeof(none)), 0)
        << "whatever time-outs an earlier program left, a read waits for its character";
    EXPECT_EQ(settings.baudRate, 1200u);
    EXPECT_EQ(settings.lineControl.Parity, ODD_PARITY);
    EXPECT_EQ(settings.lineControl.StopBits, STOP_BIT_1);
    EXPECT_EQ(settings.lineControl.WordLength, 8);
    EXPECT_EQ(settings.handFlow.ControlHandShake, SERIAL_DTR_CONTROL);
    EXPECT_EQ(settings.handFlow.FlowReplace, SERIAL_TRANSMIT_TOGGLE);
    EXPECT_EQ(settings.fifoControl, SERIAL_IOC_FCR_FIFO_ENABLE);
    EXPECT_EQ(settings.waitMask, static_cast<ULONG>(SERIAL_EV_ERR));
    EXPECT_TRUE(settings.dtr);
    EXPECT_EQ(system_->SerialPort(0).PendingReads(), 1u) << "one one-character read outstanding";
}

TEST_F(PortTest, SilentDeviceTimesTheWriteOutAfterThreeAttempts)
{
    system_->Device(0).Config().silent = true;
    platform::IoStatus written = port_.Write(Request(0, 0));
    EXPECT_EQ(written.status, STATUS_TRANSACTION_TIMED_OUT);
    EXPECT_EQ(written.information, 0u);
    EXPECT_EQ(system_->Device(0).RequestsHeard(), 3u);

    system_->Device(0).Config().silent = false;
    EXPECT_EQ(port_.Write(Request(0, 0)).status, STATUS_SUCCESS) << "the next write succeeds once the device is back";
}

TEST_F(PortTest, WrongCheckByteIsReportedToTheReader)
{
    system_->Device(0).Config().corruptCheckByte = true;
    auto read = port_.ReadAsync(300);
    port_.Write(Request(0, 0));
    platform::IoResult answer = read.Wait();
    EXPECT_EQ(answer.status, STATUS_CRC_ERROR);
    EXPECT_EQ(answer.data.size(), 19u);
}

TEST_F(PortTest, PortDeviceIsExclusive)
{
    auto second = system_->OpenPort("1");
    EXPECT_EQ(second.status, STATUS_ACCESS_DENIED) << "refused as a port in use";
    EXPECT_EQ(port_.Write(Request(0, 0)).status, STATUS_SUCCESS) << "the first client is not disturbed";
}

TEST_F(PortTest, ClosingCancelsTheWaitingReadAndStopsReading)
{
    auto read = port_.ReadAsync(300);
    system_->Host().RunFor(50ms);
    EXPECT_FALSE(read.Done());
    port_.Close();
    EXPECT_EQ(read.Wait().status, STATUS_CANCELLED);
    EXPECT_EQ(read.Completions(), 1u);
    EXPECT_EQ(system_->SerialPort(0).PendingReads(), 0u);
}

TEST_F(PortTest, ControlRequestsReadAndSetTheLinkSettings)
{
    auto protocol = port_.DeviceControl(IOCTL_HART_GET_PROTOCOL, Bytes(4), 4);
    ASSERT_EQ(protocol.status, STATUS_SUCCESS);
    EXPECT_EQ(protocol.data, (Bytes{0, 0, 0x80, 2}));
    EXPECT_FALSE(NT_SUCCESS(port_.DeviceControl(IOCTL_HART_GET_PROTOCOL, Bytes(2), 4).status));

    EXPECT_EQ(port_.DeviceControl(IOCTL_HART_SET_PROTOCOL, Bytes{0, 0, 0x81, 5}, 0).status, STATUS_SUCCESS);
    EXPECT_EQ(port_.DeviceControl(IOCTL_HART_GET_PROTOCOL, Bytes(4), 4).data, (Bytes{0, 0, 0x80, 5}));

    EXPECT_EQ(port_.DeviceControl(IOCTL_HART_SET_READ_MASK, Bytes{0x77}, 0).status, STATUS_SUCCESS);
    EXPECT_EQ(port_.DeviceControl(IOCTL_HART_GET_READ_MASK, Bytes{0}, 1).data, Bytes{0x77});

    EXPECT_EQ(port_.DeviceControl(0x9C400FFC, Bytes{0}, 0).status, STATUS_NOT_SUPPORTED);
    EXPECT_EQ(port_.DeviceControl(IOCTL_HART_PNP_EVT_NOTIFICATIONS_UNSUBSCRIBE, Bytes{0}, 0).status,
              STATUS_UNSUCCESSFUL);
    EXPECT_EQ(port_.DeviceControl(IOCTL_HART_PNP_EVT_NOTIFICATIONS_SUBSCRIBE, Bytes{1, 2}, 0).status,
              STATUS_INVALID_PARAMETER);

    EXPECT_EQ(port_.DeviceControl(IOCTL_HART_SET_BAUD_RATE, Bytes{0x60, 0x09, 0, 0}, 0).status, STATUS_SUCCESS);
    system_->Host().RunFor(10ms);
    EXPECT_EQ(system_->SerialPort(0).Settings().baudRate, 2400u);
}

TEST_F(PortTest, SwitchingToSlaveRecomputesTheTimingAndStopsSending)
{
    ASSERT_EQ(port_.DeviceControl(IOCTL_HART_SET_PROTOCOL, Bytes{1, 0, 0x00, 2}, 0).status, STATUS_SUCCESS);
    EXPECT_EQ(port_.DeviceControl(IOCTL_HART_GET_PROTOCOL, Bytes(4), 4).data, (Bytes{1, 0, 0x00, 2}));
    const PHARTDEVICE_CONTEXT record = system_->PortRecord("1");
    EXPECT_EQ(record->QuietTime, 42) << "a secondary slave waits 8 ticks longer than the primary's 34";
    EXPECT_EQ(record->BgTimeStart, record->BgTimeBase + 43);
    EXPECT_EQ(record->BgTimeError, record->BgTimeBase + 41);
    /* A slave sends nothing: its writes end at once instead of waiting for ever. */
    EXPECT_EQ(port_.Write(Request(0, 0)).status, STATUS_INVALID_DEVICE_STATE);
    ASSERT_EQ(port_.DeviceControl(IOCTL_HART_SET_PROTOCOL, Bytes{0, 0, 0x80, 2}, 0).status, STATUS_SUCCESS);
    EXPECT_EQ(port_.DeviceControl(IOCTL_HART_GET_PROTOCOL, Bytes(4), 4).data, (Bytes{1, 0, 0x80, 2}))
        << "no way back to master, but back to primary";
}

TEST_F(PortTest, RemovalCancelsOutstandingRequestsAndSignalsTheClient)
{
    platform::ClientEvent removed = system_->Host().Io().CreateEvent();
    ASSERT_EQ(port_.DeviceControl(IOCTL_HART_PNP_EVT_NOTIFICATIONS_SUBSCRIBE, HandleBytes(removed), 0).status,
              STATUS_SUCCESS);
    system_->Device(0).Config().silent = true;
    auto read = port_.ReadAsync(300);
    auto write = port_.WriteAsync(Request(0, 0));
    system_->SerialPort(0).RemoveAt(system_->Host().Now() + std::chrono::duration_cast<platform::Ticks>(200ms));
    EXPECT_EQ(write.Wait().status, STATUS_CANCELLED);
    EXPECT_EQ(read.Wait().status, STATUS_CANCELLED);
    EXPECT_TRUE(removed.WaitFor(1s));
    system_->Host().RunFor(100ms);
    EXPECT_FALSE(system_->Host().ObjectNameExists(sim::SimulatedSystem::PortLinkName("1")))
        << "the port device went with its serial port";
    EXPECT_EQ(write.Completions(), 1u);
    EXPECT_EQ(read.Completions(), 1u);
}

TEST_F(PortTest, SubscribingWithSomethingThatIsNotAnEventFails)
{
    /* The subscription the bad handle was to replace is given back, and only once. */
    platform::ClientEvent event = system_->Host().Io().CreateEvent();
    ASSERT_EQ(port_.DeviceControl(IOCTL_HART_PNP_EVT_NOTIFICATIONS_SUBSCRIBE, HandleBytes(event), 0).status,
              STATUS_SUCCESS);
    auto result = port_.DeviceControl(IOCTL_HART_PNP_EVT_NOTIFICATIONS_SUBSCRIBE, Bytes{0x34, 0x12, 0, 0}, 0);
    EXPECT_FALSE(NT_SUCCESS(result.status)) << "no notification will come, and the client is told so";
    EXPECT_EQ(port_.DeviceControl(IOCTL_HART_PNP_EVT_NOTIFICATIONS_UNSUBSCRIBE, Bytes{0}, 0).status,
              STATUS_UNSUCCESSFUL);
}

} // namespace
} // namespace drivertest
