/*
 * What the driver holds stays flat however long it runs: framework objects
 * and pool blocks after transactions, opens, suspends, removals and the
 * failure paths, and no lock is left held (the next request would hang).
 */
#include "SystemFixture.h"

namespace drivertest {
namespace {

class ResourceTest : public SystemFixture {
protected:
    struct Usage {
        std::map<std::string, std::size_t> objects;
        std::size_t poolBlocks;
        bool operator==(const Usage&) const = default;
    };

    Usage InUse()
    {
        system_->Host().RunFor(100ms);
        return {system_->Host().LiveObjectsByType(), system_->Host().PoolAllocations()};
    }

    /* An open port after its first transaction, which made the objects it keeps. */
    void SetUp() override
    {
        Boot();
        port_ = OpenMainAndPort();
        Transaction(port_);
        open_ = InUse();
    }

    /* One answered transaction, its answer read. */
    static void Transaction(platform::File& port)
    {
        auto read = port.ReadAsync(300);
        ASSERT_EQ(port.Write(Request(0, 0)).status, STATUS_SUCCESS);
        ASSERT_EQ(read.Wait().status, STATUS_SUCCESS);
    }

    platform::File port_;
    Usage open_;
};

TEST_F(ResourceTest, TransactionsOpensAndSuspendsLeaveNothingBehind)
{
    platform::ClientEvent event = system_->Host().Io().CreateEvent();
    const Bytes handleBytes = HandleBytes(event);
    for (int i = 0; i < 10; i++) {
        Transaction(port_);
        ASSERT_EQ(port_.DeviceControl(IOCTL_HART_SET_BAUD_RATE, Bytes{0xB0, 0x04, 0, 0}, 0).status, STATUS_SUCCESS);
        ASSERT_EQ(port_.DeviceControl(IOCTL_HART_PNP_EVT_NOTIFICATIONS_SUBSCRIBE, handleBytes, 0).status,
                  STATUS_SUCCESS);
        ASSERT_EQ(port_.DeviceControl(IOCTL_HART_PNP_EVT_NOTIFICATIONS_UNSUBSCRIBE, Bytes{0}, 0).status,
                  STATUS_SUCCESS);
        auto cancelled = port_.ReadAsync(300);
        system_->Host().RunFor(10ms);
        cancelled.Cancel();
    }
    Transaction(port_);
    EXPECT_EQ(InUse(), open_) << "while open";

    for (int i = 0; i < 3; i++) {
        ASSERT_TRUE(NT_SUCCESS(system_->Host().SuspendDevice()));
        ASSERT_TRUE(NT_SUCCESS(system_->Host().ResumeDevice()));
        system_->Host().RunFor(2100ms);
        Transaction(port_);
    }
    EXPECT_EQ(InUse(), open_) << "after suspends";

    ASSERT_EQ(port_.DeviceControl(IOCTL_HART_PNP_EVT_NOTIFICATIONS_SUBSCRIBE, handleBytes, 0).status, STATUS_SUCCESS);
    port_.Close();
    const Usage closed = InUse();
    for (int i = 0; i < 5; i++) {
        platform::File again = OpenPort();
        ASSERT_EQ(again.DeviceControl(IOCTL_HART_PNP_EVT_NOTIFICATIONS_SUBSCRIBE, handleBytes, 0).status,
                  STATUS_SUCCESS);
        Transaction(again);
    }
    EXPECT_EQ(InUse(), closed) << "after opens and closes, each with a subscription left to the close";
}

TEST_F(ResourceTest, SerialFailuresLeaveNothingBehindAndNothingLocked)
{
    sim::SimulatedSerialPort& serial = system_->SerialPort(0);

    /* Serial requests answered late: every setting of the open is waited for. */
    ASSERT_EQ(port_.DeviceControl(IOCTL_HART_SET_BAUD_RATE, Bytes{0x60, 0x09, 0, 0}, 0).status, STATUS_SUCCESS);
    system_->Host().RunFor(10ms);
    port_.Close();
    ASSERT_EQ(serial.Settings().baudRate, 2400u);
    serial.DelayControls(std::chrono::duration_cast<platform::Ticks>(20ms));
    port_ = OpenPort();
    EXPECT_EQ(serial.Settings().baudRate, 1200u);
    EXPECT_TRUE(serial.Settings().dtr);
    EXPECT_EQ(serial.Settings().waitMask, static_cast<ULONG>(SERIAL_EV_ERR));
    serial.DelayControls(platform::Ticks{0});

    /* The serial driver's "device not ready for this" makes the port re-open its target. */
    serial.RejectWrites(STATUS_INVALID_DEVICE_STATE);
    EXPECT_EQ(port_.Write(Request(0, 0)).status, STATUS_TRANSACTION_TIMED_OUT);
    EXPECT_EQ(serial.Settings().openAccess, 0x20000u) << "the reopen asks for less";
    serial.RejectWrites(std::nullopt);
    serial.RejectIoControl(IOCTL_SERIAL_SET_BAUD_RATE, STATUS_INVALID_PARAMETER);
    EXPECT_EQ(port_.DeviceControl(IOCTL_HART_SET_BAUD_RATE, Bytes{0xB0, 0x04, 0, 0}, 0).status, STATUS_SUCCESS)
        << "the client does not wait for the serial driver's answer";
    for (NTSTATUS status : {STATUS_UNSUCCESSFUL, STATUS_CANCELLED}) {
        serial.InjectReadStatus(status, false);
    }
    Transaction(port_);
    EXPECT_EQ(InUse(), open_) << "after late settings, failed writes, a refused setting and failed reads";
}

/* The serial target stopped by someone else than the port: every path finds it stopped. */
TEST_F(ResourceTest, SerialTargetStoppedFromOutsideFailsRequestsAndRecovers)
{
    HARTDEVICE_CONTEXT& record = Record();
    const std::size_t writes = system_->SerialPort(0).WritesSeen();
    auto waiting = port_.ReadAsync(300);
    system_->Host().RunFor(10ms);
    WdfIoTargetStop(record.IoTarget, WdfIoTargetCancelSentIo);
    EXPECT_EQ(port_.Write(Request(0, 0)).status, STATUS_TRANSACTION_TIMED_OUT);
    EXPECT_FALSE(waiting.Done()) << "no frame came, so the read waits on rather than end empty";
    EXPECT_EQ(system_->SerialPort(0).WritesSeen(), writes) << "no frame reached the serial port";
    EXPECT_EQ(port_.DeviceControl(IOCTL_HART_SET_BAUD_RATE, Bytes{0xB0, 0x04, 0, 0}, 0).status,
              STATUS_DEVICE_NOT_READY);

    ASSERT_TRUE(NT_SUCCESS(WdfIoTargetStart(record.IoTarget)));
    EXPECT_EQ(port_.Write(Request(0, 0)).status, STATUS_SUCCESS) << "the write after it takes up the reading again";
    platform::IoResult answer = waiting.Wait();
    EXPECT_EQ(answer.status, STATUS_SUCCESS);
    EXPECT_FALSE(answer.data.empty());
    Transaction(port_);
    EXPECT_EQ(InUse(), open_);
}

/* The target is opened anew after "device not ready" and after a resume; both opens can fail. */
TEST_F(ResourceTest, SerialPortThatCannotBeOpenedAgainFailsRequestsAndLeavesNothingBehind)
{
    sim::SimulatedSerialPort& serial = system_->SerialPort(0);
    sim::FieldDevice& device = system_->Device(0);
    port_.Close();
    const Usage closed = InUse();

    platform::File first = OpenPort();
    serial.RejectWrites(STATUS_INVALID_DEVICE_STATE);
    serial.RejectOpens(STATUS_ACCESS_DENIED);
    EXPECT_EQ(first.Write(Request(0, 0)).status, STATUS_TRANSACTION_TIMED_OUT);
    EXPECT_EQ(first.DeviceControl(IOCTL_HART_SET_BAUD_RATE, Bytes{0xB0, 0x04, 0, 0}, 0).status,
              STATUS_DEVICE_NOT_READY);
    serial.RejectWrites(std::nullopt);
    serial.RejectOpens(std::nullopt);
    first.Close();
    EXPECT_EQ(InUse(), closed) << "after a failed reopen";

    /* A write waits through a suspend, and the resume cannot open the serial port again. */
    platform::File second = OpenPort();
    device.Config().silent = true;
    const std::size_t heard = device.RequestsHeard();
    auto write = second.WriteAsync(Request(0, 0));
    ASSERT_TRUE(RunUntil([&] { return device.RequestsHeard() == heard + 1; })) << "the device heard the frame";
    ASSERT_TRUE(NT_SUCCESS(system_->Host().SuspendDevice()));
    serial.RejectOpens(STATUS_ACCESS_DENIED);
    ASSERT_TRUE(NT_SUCCESS(system_->Host().ResumeDevice()));
    ASSERT_TRUE(RunUntil([&] { return write.Done(); })) << "the write ends by the master's rules, not never";
    EXPECT_EQ(write.Result().status, STATUS_TRANSACTION_TIMED_OUT);
    EXPECT_EQ(device.RequestsHeard(), heard + 1);
    EXPECT_EQ(second.DeviceControl(IOCTL_HART_GET_PROTOCOL, Bytes(4), 4).status, STATUS_SUCCESS)
        << "the port still answers control requests";
    serial.RejectOpens(std::nullopt);
    second.Close();
    EXPECT_EQ(InUse(), closed) << "after a resume that could not reopen";

    device.Config().silent = false;
    platform::File third = OpenPort();
    Transaction(third);
}

TEST_F(ResourceTest, RemovedAndReturningSerialPortsLeaveNothingBehind)
{
    std::vector<std::shared_ptr<sim::SimulatedSerialPort>> returned;
    for (int i = 0; i < 4; i++) {
        auto serial = sim::SimulatedSerialPort::Create(system_->Host(), system_->Line(), u"\\Device\\Serial7", "COM7");
        ASSERT_NE(serial, nullptr);
        returned.push_back(serial);
        ASSERT_EQ(main_.DeviceControl(IOCTL_HART_ENUMERATE_DEVICES, Bytes{0}, 0).status, STATUS_SUCCESS);
        platform::File other = OpenPort("7");
        Transaction(other);
        serial->RemoveAt(system_->Host().Now());
        system_->Host().RunFor(100ms);
        EXPECT_FALSE(system_->Host().ObjectNameExists(sim::SimulatedSystem::PortLinkName("7")));
        EXPECT_EQ(other.Write(Request(0, 0)).status, STATUS_DELETE_PENDING);
    }
    Transaction(port_);
    EXPECT_EQ(InUse(), open_);
    for (auto& serial : returned) {
        serial->Disconnect();
    }
}

} // namespace
} // namespace drivertest
