/*
 * The driver on a real terminal: a field device behind a pseudo-terminal at
 * 1200 bit/s, the driver on a real-clock host with a PosixSerialPort on the
 * terminal's other side. Every wait is bounded by a request's own end or a
 * generous limit that only matters when something is broken.
 */
#include <gtest/gtest.h>

#include <algorithm>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include <fcntl.h>
#include <sys/file.h>
#include <sys/ioctl.h>
#include <unistd.h>

#include <platform/Host.h>
#include <platform/PosixSerialPort.h>

#include "PtyLine.h"
#include "driver/HartDriver.h"
#include "port/HartIoctl.h"
#include "sim/HartFrame.h"

namespace {

using namespace std::chrono_literals;
using sim::Bytes;

Bytes Command0(std::uint8_t pollingAddress)
{
    sim::HartFrame frame;
    frame.delimiter = sim::kDelimiterStx;
    frame.address = {static_cast<std::uint8_t>(0x80 | pollingAddress)};
    frame.command = 0;
    return sim::OnLine(frame, 5);
}

/* RTS and the transmitter as a UART with modem lines would show them, scripted. */
class RecordingLines : public platform::TtyLines {
public:
    explicit RecordingLines(bool rs485) : rs485_(rs485) {}

    bool EnableRs485(int) override
    {
        Log(rs485_ ? "rs485 on" : "rs485 refused");
        return rs485_;
    }
    void RestoreRs485(int) override { Log("rs485 restored"); }
    std::optional<int> ModemLines(int) override { return 0; }
    bool SetModemLine(int, int line, bool on) override
    {
        if (line == TIOCM_RTS) {
            Log(on ? "rts on" : "rts off");
        }
        return true;
    }
    /* Each drain first finds part of the frame still queued and the shift register busy. */
    std::optional<int> OutputQueue(int) override
    {
        int queued = queuedNext_;
        queuedNext_ = 0;
        Log("outq " + std::to_string(queued));
        return queued;
    }
    std::optional<bool> TransmitterEmpty(int) override
    {
        bool empty = emptyNext_;
        emptyNext_ = true;
        Log(empty ? "temt yes" : "temt no");
        return empty;
    }
    void Rearm()
    {
        queuedNext_ = 3;
        emptyNext_ = false;
    }

    std::vector<std::string> Events()
    {
        std::lock_guard lock(mutex_);
        return events_;
    }

private:
    void Log(const std::string& event)
    {
        std::lock_guard lock(mutex_);
        events_.push_back(event);
    }

    bool rs485_;
    int queuedNext_ = 3;
    bool emptyNext_ = false;
    std::mutex mutex_;
    std::vector<std::string> events_;
};

class PosixPortTest : public ::testing::Test {
protected:
    void Boot(std::unique_ptr<platform::TtyLines> lines = nullptr)
    {
        host_ = std::make_unique<platform::Host>(platform::Clock::Real);
        serial_ = platform::PosixSerialPort::Create(*host_, line_.Path(), u"\\Device\\Serial0", "COM1", nullptr,
                                                    std::move(lines));
        ASSERT_NE(serial_, nullptr);
        ASSERT_EQ(DriverEntry(host_->DriverObject(), host_->RegistryPath()), STATUS_SUCCESS);
        ASSERT_EQ(host_->AddDevice(), STATUS_SUCCESS);
        ASSERT_EQ(host_->StartDevice(), STATUS_SUCCESS);
        auto main = host_->Io().OpenInterface(GUID_DEVINTERFACE_HART_MAIN);
        ASSERT_EQ(main.status, STATUS_SUCCESS);
        main_ = std::move(main.file);
        auto port = host_->Io().Open(std::u16string(HART_PORT_LINK_NAME_PREFIX) + u"1");
        ASSERT_EQ(port.status, STATUS_SUCCESS);
        port_ = std::move(port.file);
    }

    void TearDown() override
    {
        if (host_ == nullptr) {
            return;
        }
        port_.Close();
        main_.Close();
        host_->RemoveDevice();
        host_->UnloadDriver();
        serial_.reset();
        host_.reset();
    }

    /* One transaction: the answer the reader got and the write's status. */
    platform::IoResult Transact(platform::IoStatus* written = nullptr)
    {
        auto read = port_.ReadAsync(300);
        platform::IoStatus status = port_.Write(Command0(0));
        if (written != nullptr) {
            *written = status;
        }
        if (!status.Succeeded()) {
            read.Cancel();
        }
        return read.Wait();
    }

    tools::PtyLine line_{1};
    std::unique_ptr<platform::Host> host_;
    std::shared_ptr<platform::PosixSerialPort> serial_;
    platform::File main_;
    platform::File port_;
};

TEST_F(PosixPortTest, TransactionsCompleteOnTheRealClock)
{
    Boot();
    for (int i = 0; i < 3; i++) {
        platform::IoStatus written;
        platform::IoResult answer = Transact(&written);
        EXPECT_EQ(written.status, STATUS_SUCCESS) << "transaction " << i;
        EXPECT_EQ(written.information, Command0(0).size());
        ASSERT_EQ(answer.status, STATUS_SUCCESS) << "transaction " << i;
        ASSERT_EQ(answer.data.size(), 29u); /* command 0 of a revision-7 device */
        EXPECT_EQ(answer.data[0], sim::kDelimiterAck);
        EXPECT_EQ(answer.data[6], 254);
    }
    /* A loaded machine may cost a transaction a repeat; each still ends with its answer. */
    EXPECT_GE(line_.RequestsHeard(0), 3u);
}

TEST_F(PosixPortTest, OpeningSetsTheTerminalUpForHart)
{
    Boot();
    termios settings = line_.Settings();
    EXPECT_EQ(cfgetospeed(&settings), static_cast<speed_t>(B1200));
    EXPECT_EQ(cfgetispeed(&settings), static_cast<speed_t>(B1200));
    EXPECT_EQ(settings.c_cflag & CSIZE, static_cast<tcflag_t>(CS8));
    /* Linux's pseudo-terminals clear PARENB (and force CS8) whatever is asked; PARODD
       stays, and the request the port applied tells the rest. */
    EXPECT_NE(settings.c_cflag & PARODD, 0u) << "odd parity";
    EXPECT_EQ(settings.c_cflag & CSTOPB, 0u) << "one stop bit";
    EXPECT_NE(settings.c_cflag & CLOCAL, 0u) << "the modem's carrier must not hang the port up";
    EXPECT_EQ(settings.c_lflag & (ICANON | ECHO | ISIG | IEXTEN), 0u) << "raw";
    EXPECT_EQ(settings.c_oflag & OPOST, 0u) << "raw";
    EXPECT_EQ(settings.c_iflag & (ICRNL | IXON | ISTRIP), 0u) << "raw";

    platform::PosixSerialState state = serial_->State();
    EXPECT_EQ(state.lineControl.Parity, ODD_PARITY);
    EXPECT_EQ(state.lineControl.WordLength, 8);
    EXPECT_EQ(state.lineControl.StopBits, STOP_BIT_1);
    EXPECT_TRUE(state.transmitToggle);
    EXPECT_FALSE(state.rs485) << "a pseudo-terminal has no RS-485 mode";
    EXPECT_FALSE(state.modemLines);
    EXPECT_EQ(state.fifoControl, static_cast<ULONG>(SERIAL_IOC_FCR_FIFO_ENABLE));
    EXPECT_EQ(state.waitMask, static_cast<ULONG>(SERIAL_EV_ERR));
    EXPECT_EQ(serial_->PendingReads(), 1u) << "one one-character read outstanding";

    /* A client's baud rate reaches the terminal; one termios cannot express is refused. */
    std::uint32_t rate = 2400;
    Bytes input(reinterpret_cast<std::uint8_t*>(&rate), reinterpret_cast<std::uint8_t*>(&rate) + 4);
    EXPECT_EQ(port_.DeviceControl(IOCTL_HART_SET_BAUD_RATE, input, 0).status, STATUS_SUCCESS);
    host_->RunFor(10ms);
    settings = line_.Settings();
    EXPECT_EQ(cfgetospeed(&settings), static_cast<speed_t>(B2400));
}

TEST_F(PosixPortTest, HangingUpTheTerminalRemovesThePort)
{
    Boot();
    ASSERT_EQ(Transact().status, STATUS_SUCCESS);
    platform::ClientEvent removed = host_->Io().CreateEvent();
    std::uint32_t handle = removed.Handle();
    Bytes handleBytes(reinterpret_cast<std::uint8_t*>(&handle), reinterpret_cast<std::uint8_t*>(&handle) + 4);
    ASSERT_EQ(port_.DeviceControl(IOCTL_HART_PNP_EVT_NOTIFICATIONS_SUBSCRIBE, handleBytes, 0).status,
              STATUS_SUCCESS);
    line_.Call([this] { line_.Device(0).Config().silent = true; });

    auto read = port_.ReadAsync(300);
    auto write = port_.WriteAsync(Command0(0));
    line_.HangUp();
    EXPECT_EQ(write.Wait().status, STATUS_CANCELLED);
    EXPECT_EQ(read.Wait().status, STATUS_CANCELLED);
    EXPECT_TRUE(removed.WaitFor(5s));
    EXPECT_TRUE(serial_->Removed());
    EXPECT_FALSE(serial_->State().open) << "the terminal is let go";
    EXPECT_EQ(write.Completions(), 1u);
    EXPECT_EQ(read.Completions(), 1u);
}

TEST_F(PosixPortTest, RtsRisesBeforeTheWriteAndDropsOnceTheLineIsQuiet)
{
    auto lines = std::make_unique<RecordingLines>(false);
    RecordingLines* recorded = lines.get();
    Boot(std::move(lines));
    ASSERT_EQ(Transact().status, STATUS_SUCCESS);
    recorded->Rearm();
    ASSERT_EQ(Transact().status, STATUS_SUCCESS);

    const std::vector<std::string> oneWrite{"rts on", "outq 3", "outq 0", "temt no", "outq 0", "temt yes", "rts off"};
    std::vector<std::string> expected{"rs485 refused", "rts off"};
    expected.insert(expected.end(), oneWrite.begin(), oneWrite.end());
    expected.insert(expected.end(), oneWrite.begin(), oneWrite.end());
    std::vector<std::string> events = recorded->Events();
    /* DTR changes are not recorded; RTS follows the writes and nothing else. */
    EXPECT_EQ(events, expected);
    EXPECT_FALSE(serial_->State().rts);
}

TEST_F(PosixPortTest, KernelRs485ModeLeavesRtsToTheKernel)
{
    auto lines = std::make_unique<RecordingLines>(true);
    RecordingLines* recorded = lines.get();
    Boot(std::move(lines));
    ASSERT_EQ(Transact().status, STATUS_SUCCESS);
    EXPECT_TRUE(serial_->State().rs485);
    port_.Close();
    std::vector<std::string> events = recorded->Events();
    ASSERT_FALSE(events.empty());
    EXPECT_EQ(events.front(), "rs485 on");
    EXPECT_EQ(std::count(events.begin(), events.end(), "rts on"), 0) << "no toggling by hand";
    EXPECT_EQ(events.back(), "rts off") << "closing drops RTS";
    EXPECT_NE(std::find(events.begin(), events.end(), "rs485 restored"), events.end());
}

TEST(PosixPortOpenTest, MissingOrBusyTerminalFailsTheOpen)
{
    tools::PtyLine line(1);
    platform::Host host(platform::Clock::Real);
    platform::PosixSerialPort::Create(host, "/dev/hart-no-such-tty", u"\\Device\\Serial0", "COM1");
    platform::PosixSerialPort::Create(host, line.Path(), u"\\Device\\Serial1", "COM2");
    /* Another program holds the terminal: its lock keeps the port from opening. */
    int other = open(line.Path().c_str(), O_RDWR | O_NOCTTY | O_CLOEXEC);
    ASSERT_GE(other, 0);
    ASSERT_EQ(flock(other, LOCK_EX | LOCK_NB), 0);

    ASSERT_EQ(DriverEntry(host.DriverObject(), host.RegistryPath()), STATUS_SUCCESS);
    ASSERT_EQ(host.AddDevice(), STATUS_SUCCESS);
    ASSERT_EQ(host.StartDevice(), STATUS_SUCCESS);
    {
        auto main = host.Io().OpenInterface(GUID_DEVINTERFACE_HART_MAIN);
        ASSERT_EQ(main.status, STATUS_SUCCESS);
        EXPECT_EQ(host.Io().Open(std::u16string(HART_PORT_LINK_NAME_PREFIX) + u"1").status, STATUS_NO_SUCH_DEVICE);
        EXPECT_EQ(host.Io().Open(std::u16string(HART_PORT_LINK_NAME_PREFIX) + u"2").status, STATUS_SHARING_VIOLATION);
        close(other);
        auto port = host.Io().Open(std::u16string(HART_PORT_LINK_NAME_PREFIX) + u"2");
        EXPECT_EQ(port.status, STATUS_SUCCESS) << "free again once the other program let go";
    }
    host.RemoveDevice();
    host.UnloadDriver();
}

} // namespace
