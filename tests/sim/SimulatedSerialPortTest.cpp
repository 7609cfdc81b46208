/* The simulated serial port driven as a port device drives a real one: through
   a framework I/O target opened by name, with synchronous kernel-style control
   requests, one-character reads and one write per frame. All on the virtual
   clock. */
#include <cstring>
#include <deque>
#include <functional>
#include <optional>
#include <vector>

#include <gmock/gmock.h>

#include <ntddser.h>

#include "platform/IoFixture.h"
#include "sim/HartLine.h"
#include "sim/ScriptedStation.h"
#include "sim/SimulatedSerialPort.h"

using ::testing::Each;
using ::testing::Field;

namespace {

using namespace std::chrono_literals;
using ByteList = std::vector<std::uint8_t>;
using platform::Ticks;
/* What the sender of one request saw when it completed. */
using Outcome = iotest::Completion;
constexpr Ticks T = sim::kHartCharacterTime;

/* The request completed once, with status and, where given, information. */
void ExpectCompleted(const Outcome& outcome, NTSTATUS status, std::optional<ULONG_PTR> information = std::nullopt)
{
    EXPECT_EQ(outcome.runs, 1);
    EXPECT_EQ(outcome.status, status);
    EXPECT_EQ(outcome.information, information.value_or(outcome.information));
}

/* Keeps one one-character read outstanding, sending the next from the
   completion routine. The receive path re-arms after failures too, which is
   what a purge or removal must survive. */
struct Reader {
    WDFIOTARGET target = nullptr;
    WDFREQUEST request = nullptr;
    WDFMEMORY byte = nullptr;
    bool rearm = true;
    bool rearmAfterFailure = false;
    std::vector<Outcome> got;

    bool Send();
    ByteList Characters() const
    {
        ByteList bytes;
        for (const Outcome& outcome : got) {
            if (NT_SUCCESS(outcome.status) && outcome.information == 1) {
                bytes.push_back(outcome.byte);
            }
        }
        return bytes;
    }
};

VOID ReaderCompleted(WDFREQUEST request, WDFIOTARGET, PWDF_REQUEST_COMPLETION_PARAMS params, WDFCONTEXT context)
{
    auto* reader = static_cast<Reader*>(context);
    iotest::RecordCompletion(reader->got.emplace_back(), request, params);
    /* A runaway re-arm loop ends the test instead of hanging it. */
    const bool again = NT_SUCCESS(params->IoStatus.Status) || reader->rearmAfterFailure;
    if (reader->rearm && again && reader->got.size() < 100) {
        reader->Send();
    }
}

bool Reader::Send()
{
    WDF_REQUEST_REUSE_PARAMS reuse;
    WDF_REQUEST_REUSE_PARAMS_INIT(&reuse, WDF_REQUEST_REUSE_NO_FLAGS, STATUS_SUCCESS);
    if (!NT_SUCCESS(WdfRequestReuse(request, &reuse)) ||
        !NT_SUCCESS(WdfIoTargetFormatRequestForRead(target, request, byte, nullptr, nullptr))) {
        return false;
    }
    WdfRequestSetCompletionRoutine(request, ReaderCompleted, this);
    return WdfRequestSend(request, target, WDF_NO_SEND_OPTIONS) != FALSE;
}

/* What the synchronous kernel path gave: the call's status and the final one. */
struct SyncResult {
    NTSTATUS returned = STATUS_PENDING;
    NTSTATUS status = STATUS_PENDING;
};

int removeCompletes;
VOID RemoveComplete(WDFIOTARGET target)
{
    ++removeCompletes;
    WdfIoTargetClose(target);
}

class SerialPortTest : public iotest::IoTest {
protected:
    void SetUp() override
    {
        IoTest::SetUp();
        removeCompletes = 0;
        port = sim::SimulatedSerialPort::Create(host, line, u"\\Device\\Serial0", "COM1");
        ASSERT_NE(port, nullptr);
        device = CreateDevice(u"\\Device\\TestPort");
        target = OpenPort();
        ASSERT_EQ(lastOpenStatus, STATUS_SUCCESS);
    }
    void TearDown() override
    {
        /* The driver's objects go while the line they send on is still there. */
        host.UnloadDriver();
        EXPECT_EQ(host.LiveObjects(), 0u);
        EXPECT_EQ(port->OpenCount(), 0u);
        port->Disconnect();
        IoTest::TearDown();
    }

    WDFIOTARGET OpenPort()
    {
        WDFIOTARGET opened = nullptr;
        EXPECT_EQ(WdfIoTargetCreate(device, WDF_NO_OBJECT_ATTRIBUTES, &opened), STATUS_SUCCESS);
        DECLARE_CONST_UNICODE_STRING(name, u"\\Device\\Serial0");
        WDF_IO_TARGET_OPEN_PARAMS params;
        WDF_IO_TARGET_OPEN_PARAMS_INIT_OPEN_BY_NAME(&params, &name, 0x1F0000);
        params.ShareAccess = 0;
        params.EvtIoTargetRemoveComplete = RemoveComplete;
        lastOpenStatus = WdfIoTargetOpen(opened, &params);
        return opened;
    }

    /* A request formatted by format, sent on the target; its outcome is kept. */
    Outcome& Send(const std::function<NTSTATUS(WDFREQUEST)>& format, WDFREQUEST* sent = nullptr)
    {
        Outcome& outcome = outcomes.emplace_back();
        WDFREQUEST request = NewRequest(device);
        EXPECT_EQ(format(request), STATUS_SUCCESS);
        WdfRequestSetCompletionRoutine(request, iotest::Completed, &outcome);
        EXPECT_TRUE(WdfRequestSend(request, target, WDF_NO_SEND_OPTIONS));
        if (sent != nullptr) {
            *sent = request;
        }
        return outcome;
    }
    Outcome& Write(const ByteList& frame, WDFREQUEST* sent = nullptr)
    {
        return Send(
            [&](WDFREQUEST r) {
                return WdfIoTargetFormatRequestForWrite(target, r, Memory(r, frame), nullptr, nullptr);
            },
            sent);
    }
    Outcome& Read(std::size_t length = 1)
    {
        return Send([&](WDFREQUEST r) {
            return WdfIoTargetFormatRequestForRead(target, r, Memory(r, ByteList(length, 0)), nullptr, nullptr);
        });
    }
    /* Through the target asynchronously, as a client's baud-rate change goes. */
    Outcome& Control(ULONG code, const ByteList& input)
    {
        return Send([&](WDFREQUEST r) {
            WDFMEMORY memory = input.empty() ? nullptr : Memory(r, input);
            return WdfIoTargetFormatRequestForIoctl(target, r, code, memory, nullptr, nullptr, nullptr);
        });
    }

    /* Straight to the target's device object, waiting on an event when it pends,
       as the configuration sequence sends its requests. */
    SyncResult ControlSynchronously(ULONG code, const void* input, ULONG length)
    {
        PDEVICE_OBJECT lower = WdfIoTargetWdmGetTargetDeviceObject(target);
        KEVENT event;
        IO_STATUS_BLOCK iosb{};
        KeInitializeEvent(&event, NotificationEvent, FALSE);
        PIRP irp = IoBuildDeviceIoControlRequest(code, lower, const_cast<void*>(input), length, nullptr, 0, FALSE,
                                                 &event, &iosb);
        EXPECT_NE(irp, nullptr);
        SyncResult result;
        result.returned = IofCallDriver(lower, irp);
        result.status = result.returned;
        if (result.returned == STATUS_PENDING) {
            KeWaitForSingleObject(&event, Executive, KernelMode, FALSE, nullptr);
            result.status = iosb.Status;
        }
        return result;
    }
    template <typename Input>
    NTSTATUS Set(ULONG code, const Input& input)
    {
        return ControlSynchronously(code, &input, sizeof(input)).status;
    }

    /* A reader with its own request and one-byte memory, not yet sent. */
    Reader& NewReader()
    {
        Reader& reader = readers.emplace_back();
        reader.target = target;
        reader.request = NewRequest(device);
        reader.byte = Memory(reader.request, {0});
        return reader;
    }

    sim::HartLine line{host};
    sim::ScriptedStation station{line, "station"};
    std::shared_ptr<sim::SimulatedSerialPort> port;
    WDFDEVICE device = nullptr;
    WDFIOTARGET target = nullptr;
    /* Completion contexts outlive the test body: unloading the driver in
       TearDown still completes what is outstanding. */
    std::deque<Outcome> outcomes;
    std::deque<Reader> readers;
};

TEST_F(SerialPortTest, ConfigurationRequestsAreRecordedAsSent)
{
    const sim::SerialSettings before = port->Settings();
    EXPECT_EQ(before.baudRate, 9600u);
    EXPECT_FALSE(before.dtr);

    const SERIAL_HANDFLOW handFlow{SERIAL_DTR_CONTROL, SERIAL_TRANSMIT_TOGGLE, 0, 0};
    const SERIAL_TIMEOUTS timeouts{1, 2, 3, 4, 5};
    const ULONG baud = 1200;
    const SERIAL_LINE_CONTROL lineControl{STOP_BIT_1, ODD_PARITY, 8};
    const ULONG fifo = SERIAL_IOC_FCR_FIFO_ENABLE;
    const ULONG waitMask = SERIAL_EV_ERR;
    EXPECT_EQ(Set(IOCTL_SERIAL_SET_HANDFLOW, handFlow), STATUS_SUCCESS);
    EXPECT_EQ(Set(IOCTL_SERIAL_SET_TIMEOUTS, timeouts), STATUS_SUCCESS);
    EXPECT_EQ(Set(IOCTL_SERIAL_SET_BAUD_RATE, baud), STATUS_SUCCESS);
    EXPECT_EQ(Set(IOCTL_SERIAL_SET_LINE_CONTROL, lineControl), STATUS_SUCCESS);
    EXPECT_EQ(Set(IOCTL_SERIAL_SET_FIFO_CONTROL, fifo), STATUS_SUCCESS);
    EXPECT_EQ(ControlSynchronously(IOCTL_SERIAL_SET_DTR, nullptr, 0).status, STATUS_SUCCESS);
    EXPECT_EQ(Set(IOCTL_SERIAL_SET_WAIT_MASK, waitMask), STATUS_SUCCESS);

    const sim::SerialSettings& settings = port->Settings();
    EXPECT_EQ(std::memcmp(&settings.handFlow, &handFlow, sizeof(handFlow)), 0);
    EXPECT_EQ(std::memcmp(&settings.timeouts, &timeouts, sizeof(timeouts)), 0);
    EXPECT_EQ(settings.baudRate, 1200u);
    EXPECT_EQ(std::memcmp(&settings.lineControl, &lineControl, sizeof(lineControl)), 0);
    EXPECT_EQ(settings.fifoControl, SERIAL_IOC_FCR_FIFO_ENABLE);
    EXPECT_TRUE(settings.dtr);
    EXPECT_EQ(settings.waitMask, static_cast<ULONG>(SERIAL_EV_ERR));

    /* A client's later rate change goes through the target asynchronously. */
    Outcome& changed = Control(IOCTL_SERIAL_SET_BAUD_RATE, {0x60, 0x09, 0x00, 0x00});
    host.RunUntilIdle();
    ExpectCompleted(changed, STATUS_SUCCESS);
    EXPECT_EQ(settings.baudRate, 2400u);

    /* A request too short for its structure, or one the port does not know,
       fails and changes nothing. */
    const std::uint16_t shortBaud = 4800;
    EXPECT_EQ(Set(IOCTL_SERIAL_SET_BAUD_RATE, shortBaud), STATUS_BUFFER_TOO_SMALL);
    EXPECT_EQ(ControlSynchronously(IOCTL_SERIAL_SET_TIMEOUTS, &baud, sizeof(baud)).status, STATUS_BUFFER_TOO_SMALL);
    EXPECT_EQ(settings.baudRate, 2400u);
    EXPECT_EQ(settings.timeouts.ReadIntervalTimeout, 1u);
    EXPECT_EQ(Set(0x1B0050u /* get baud rate */, baud), STATUS_NOT_SUPPORTED);

    /* The opener going takes DTR down. */
    WdfIoTargetClose(target);
    EXPECT_FALSE(port->Settings().dtr);
}

TEST_F(SerialPortTest, PurgeEndsTheWaitingReadAndTheWriteAndEmptiesTheReceiveBuffer)
{
    const ULONG purgeAll = SERIAL_PURGE_TXABORT | SERIAL_PURGE_RXABORT | SERIAL_PURGE_TXCLEAR | SERIAL_PURGE_RXCLEAR;
    ASSERT_EQ(purgeAll, 0x0Fu);
    Reader& reader = NewReader();
    reader.rearmAfterFailure = true;
    ASSERT_TRUE(reader.Send());
    const Ticks t0 = host.Now();
    Outcome& written = Write({0xFF, 0xFF, 0x02, 0x80, 0x00, 0x00, 0x82});
    host.RunUntil(t0 + T + T / 2);

    EXPECT_EQ(Set(IOCTL_SERIAL_PURGE, purgeAll), STATUS_SUCCESS);
    /* The waiting read ends once; the one its routine sent next waits. */
    ASSERT_EQ(reader.got.size(), 1u);
    EXPECT_EQ(reader.got[0].status, STATUS_CANCELLED);
    EXPECT_EQ(port->PendingReads(), 1u);
    /* The character on the line finishes; nothing after it goes out. */
    host.RunFor(1s);
    ExpectCompleted(written, STATUS_CANCELLED, 2u);
    EXPECT_EQ(written.at, t0 + 2 * T);
    EXPECT_EQ(station.HeardBytes(), (ByteList{0xFF, 0xFF}));
    EXPECT_FALSE(port->Rts());
    EXPECT_EQ(reader.got.size(), 1u);

    /* Characters kept for a reader that is not reading are thrown away. */
    reader.rearm = false;
    ASSERT_TRUE(WdfRequestCancelSentRequest(reader.request));
    station.Send({0x11, 0x22});
    host.RunFor(1s);
    EXPECT_EQ(port->Buffered(), 2u);
    EXPECT_EQ(Set(IOCTL_SERIAL_PURGE, purgeAll), STATUS_SUCCESS);
    EXPECT_EQ(port->Buffered(), 0u);
    Outcome& next = Read();
    host.RunFor(1s);
    EXPECT_EQ(next.runs, 0);
    station.Send({0x33});
    host.RunFor(1s);
    EXPECT_EQ(next.status, STATUS_SUCCESS);
    EXPECT_EQ(next.byte, 0x33);

    EXPECT_EQ(port->Settings().purges, 2u);
    EXPECT_EQ(port->Settings().lastPurgeMask, purgeAll);
}

TEST_F(SerialPortTest, WrittenFrameGoesOutBackToBackWithRtsUpOnlyWhileSending)
{
    const ByteList frame = {0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0x02, 0x80, 0x00, 0x00, 0x82};
    const auto n = static_cast<std::int64_t>(frame.size());
    host.RunUntil(Ticks(5ms));
    const Ticks t0 = host.Now();
    EXPECT_FALSE(port->Rts());
    Outcome& written = Write(frame);
    EXPECT_TRUE(port->Rts());
    EXPECT_EQ(written.runs, 0);

    host.RunUntil(t0 + n * T - Ticks(1));
    EXPECT_TRUE(port->Rts()) << "RTS up until the last stop bit";
    EXPECT_EQ(written.runs, 0);
    host.RunUntil(t0 + n * T);
    EXPECT_FALSE(port->Rts());
    ExpectCompleted(written, STATUS_SUCCESS, frame.size());
    EXPECT_EQ(written.at, t0 + n * T);

    ASSERT_EQ(station.HeardBytes(), frame);
    for (std::size_t i = 0; i < frame.size(); ++i) {
        const auto k = static_cast<std::int64_t>(i);
        EXPECT_EQ(station.Heard()[i].start, t0 + k * T) << i;
        EXPECT_EQ(station.Heard()[i].end, t0 + (k + 1) * T) << i;
        EXPECT_EQ(station.Heard()[i].from, port->Station());
    }
    EXPECT_THAT(station.Heard(), Each(Field(&sim::LineCharacter::status, sim::CharacterStatus::Ok)));

    /* Completed once the UART has taken the frame: it is still going out. */
    station.ClearHeard();
    port->writeCompletion = sim::WriteCompletion::WhenQueued;
    const Ticks t1 = host.Now() + Ticks(20ms);
    host.RunUntil(t1);
    Outcome& queued = Write({0x06, 0x82, 0x01});
    ExpectCompleted(queued, STATUS_SUCCESS, 3u);
    EXPECT_TRUE(port->Rts());
    host.RunUntil(t1 + 3 * T - Ticks(1));
    EXPECT_TRUE(port->Rts());
    host.RunUntil(t1 + 3 * T);
    EXPECT_FALSE(port->Rts());
    ASSERT_EQ(station.HeardBytes(), (ByteList{0x06, 0x82, 0x01}));
    EXPECT_EQ(station.Heard()[0].start, t1);
    EXPECT_EQ(station.Heard()[2].end, t1 + 3 * T);
    EXPECT_EQ(port->WritesSeen(), 2u);
}

TEST_F(SerialPortTest, CancelledWriteStopsAfterTheCharacterOnTheLine)
{
    const Ticks t0 = host.Now();
    WDFREQUEST request = nullptr;
    Outcome& written = Write({0x01, 0x02, 0x03, 0x04, 0x05}, &request);
    host.RunUntil(t0 + 2 * T + T / 3);
    EXPECT_TRUE(WdfRequestCancelSentRequest(request));
    host.RunFor(1s);
    ExpectCompleted(written, STATUS_CANCELLED, 3u);
    EXPECT_EQ(written.at, t0 + 3 * T);
    EXPECT_EQ(station.HeardBytes(), (ByteList{0x01, 0x02, 0x03}));

    /* The port takes the next frame. */
    Outcome& next = Write({0x42});
    host.RunFor(1s);
    EXPECT_EQ(next.status, STATUS_SUCCESS);
    EXPECT_EQ(station.HeardBytes().back(), 0x42);
}

TEST_F(SerialPortTest, CharactersArriveOneReadAtATime)
{
    Reader& reader = NewReader();
    ASSERT_TRUE(reader.Send());
    station.SendAt(Ticks(1ms), {0x06, 0x82, 0x00});
    host.RunUntil(Ticks(1ms) + T - Ticks(1));
    EXPECT_TRUE(reader.got.empty()) << "no character yet: the read waits";
    EXPECT_EQ(port->PendingReads(), 1u);

    host.RunFor(1s);
    ASSERT_EQ(reader.got.size(), 3u);
    const ByteList expected = {0x06, 0x82, 0x00};
    for (std::size_t i = 0; i < reader.got.size(); ++i) {
        EXPECT_EQ(reader.got[i].status, STATUS_SUCCESS) << i;
        EXPECT_EQ(reader.got[i].information, 1u) << i;
        EXPECT_EQ(reader.got[i].byte, expected[i]) << i;
        EXPECT_EQ(reader.got[i].at, Ticks(1ms) + static_cast<std::int64_t>(i + 1) * T) << i;
    }
    /* The next read waits for as long as the line is quiet, and cancel ends it. */
    EXPECT_EQ(port->PendingReads(), 1u);
    reader.rearm = false;
    EXPECT_TRUE(WdfRequestCancelSentRequest(reader.request));
    ASSERT_EQ(reader.got.size(), 4u);
    EXPECT_EQ(reader.got[3].status, STATUS_CANCELLED);
    EXPECT_EQ(reader.got[3].information, 0u);
    EXPECT_EQ(port->PendingReads(), 0u);
    EXPECT_FALSE(WdfRequestCancelSentRequest(reader.request));

    /* What arrives with no read out is kept, in order, for the next reads. */
    station.Send({0x10, 0x20});
    host.RunFor(1s);
    EXPECT_EQ(port->Buffered(), 2u);
    Outcome& first = Read();
    EXPECT_EQ(first.runs, 1); /* at once, inside the send */
    EXPECT_EQ(first.byte, 0x10);
    Outcome& second = Read();
    EXPECT_EQ(second.byte, 0x20);

    /* With no time-outs, as the driver sets them, a longer read ends only with its whole count;
       with an interval time-out that returns at once, it takes what there is. */
    Outcome& pair = Read(2);
    station.Send({0x30});
    host.RunFor(1s);
    EXPECT_EQ(pair.runs, 0) << "one character of two";
    station.Send({0x31});
    host.RunFor(1s);
    EXPECT_EQ(pair.runs, 1);
    EXPECT_EQ(pair.information, 2u);
    Control(IOCTL_SERIAL_SET_TIMEOUTS, {0xFF, 0xFF, 0xFF, 0xFF, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0});
    station.Send({0x32});
    host.RunFor(1s);
    Outcome& some = Read(2);
    EXPECT_EQ(some.runs, 1);
    EXPECT_EQ(some.information, 1u);
}

TEST_F(SerialPortTest, OverlappingFramesGarbleBothForTheOthersOnTheLine)
{
    sim::ScriptedStation talker(line, "other master");
    Reader& reader = NewReader();
    ASSERT_TRUE(reader.Send());
    const Ticks t0 = host.Now();
    Outcome& written = Write({0x01, 0x02, 0x03, 0x04});
    talker.SendAfter(2 * T + T / 2, {0x11, 0x12, 0x13});
    host.RunFor(1s);

    /* The UART knows nothing of it: the write went out whole. */
    EXPECT_EQ(written.status, STATUS_SUCCESS);
    EXPECT_EQ(written.information, 4u);
    EXPECT_EQ(line.Collisions(), 1u);

    /* Which characters the others hear garbled is the line's business, tested with it. */
    EXPECT_EQ(station.HeardGarbled(), 4u);

    /* Each sender heard nothing that overlapped its own frame: the port reads
       only the other master's last character. */
    EXPECT_EQ(reader.Characters(), (ByteList{0x13}));
    EXPECT_EQ(reader.got.back().at, t0 + 5 * T + T / 2);
    EXPECT_EQ(talker.HeardBytes(), (ByteList{0x01, 0x02}));
}

TEST_F(SerialPortTest, RemovalCancelsOutstandingIoAndTellsTheOpenerOnce)
{
    Reader& reader = NewReader();
    ASSERT_TRUE(reader.Send());
    const Ticks t0 = host.Now();
    Outcome& written = Write({0x01, 0x02, 0x03, 0x04, 0x05, 0x06});
    port->RemoveAt(t0 + 2 * T + T / 2);
    host.RunUntil(t0 + 2 * T + T / 2);

    ASSERT_EQ(reader.got.size(), 1u);
    EXPECT_EQ(reader.got[0].status, STATUS_CANCELLED);
    ExpectCompleted(written, STATUS_CANCELLED);
    EXPECT_FALSE(host.ObjectNameExists(u"\\Device\\Serial0"));

    host.RunFor(1s);
    EXPECT_EQ(removeCompletes, 1);
    EXPECT_EQ(WdfIoTargetGetState(target), WdfIoTargetClosed);
    EXPECT_EQ(port->OpenCount(), 0u);
    /* The character on the line at that instant ends; no more follow. */
    EXPECT_EQ(station.HeardBytes(), (ByteList{0x01, 0x02, 0x03}));
    EXPECT_FALSE(port->Rts());
    EXPECT_EQ(written.runs, 1);
    EXPECT_EQ(reader.got.size(), 1u);

    /* Gone is gone: no second callback, no new opener. */
    port->RemoveAt(host.Now());
    host.RunFor(1s);
    EXPECT_EQ(removeCompletes, 1);
    OpenPort();
    EXPECT_EQ(lastOpenStatus, STATUS_OBJECT_NAME_NOT_FOUND);
}

TEST_F(SerialPortTest, LateControlRequestIsWaitedForAndGivesItsFinalStatus)
{
    port->DelayControls(Ticks(25ms));
    const ULONG fifo = SERIAL_IOC_FCR_FIFO_ENABLE;
    Ticks start = host.Now();
    SyncResult late = ControlSynchronously(IOCTL_SERIAL_SET_FIFO_CONTROL, &fifo, sizeof(fifo));
    EXPECT_EQ(late.returned, STATUS_PENDING);
    EXPECT_EQ(late.status, STATUS_SUCCESS);
    EXPECT_EQ(host.Now() - start, Ticks(25ms));
    EXPECT_EQ(port->Settings().fifoControl, fifo);

    /* Late and refused: the wait ends with the refusal, not with the pending. */
    port->RejectIoControl(IOCTL_SERIAL_SET_WAIT_MASK, STATUS_NOT_SUPPORTED);
    const ULONG mask = SERIAL_EV_ERR;
    start = host.Now();
    late = ControlSynchronously(IOCTL_SERIAL_SET_WAIT_MASK, &mask, sizeof(mask));
    EXPECT_EQ(late.returned, STATUS_PENDING);
    EXPECT_EQ(late.status, STATUS_NOT_SUPPORTED);
    EXPECT_EQ(host.Now() - start, Ticks(25ms));
    EXPECT_EQ(port->Settings().waitMask, 0u);

    /* Through the target, the completion routine runs when the answer comes, a refusal of that code only. */
    Outcome& refused = Control(IOCTL_SERIAL_SET_WAIT_MASK, {0x80, 0, 0, 0});
    Outcome& async = Control(IOCTL_SERIAL_SET_DTR, {});
    host.RunFor(Ticks(24ms));
    EXPECT_EQ(async.runs + refused.runs, 0);
    host.RunFor(Ticks(1ms));
    ExpectCompleted(refused, STATUS_NOT_SUPPORTED);
    ExpectCompleted(async, STATUS_SUCCESS);
}

TEST_F(SerialPortTest, InjectedReadErrorsReachTheReader)
{
    Reader& reader = NewReader();
    reader.rearmAfterFailure = true;
    ASSERT_TRUE(reader.Send());

    /* Without a character: the waiting read fails at once. */
    port->InjectReadStatus(STATUS_CRC_ERROR, false);
    ASSERT_EQ(reader.got.size(), 1u);
    EXPECT_EQ(reader.got[0].status, STATUS_CRC_ERROR);
    EXPECT_EQ(reader.got[0].information, 0u);

    /* With a character: it fails when one arrives, carrying that character,
       which is not read a second time. */
    port->InjectReadStatus(STATUS_CRC_ERROR, true);
    host.RunFor(1s);
    EXPECT_EQ(reader.got.size(), 1u) << "no character has arrived";
    const Ticks sent = host.Now();
    station.Send({0x5A, 0x5B});
    host.RunFor(1s);
    ASSERT_EQ(reader.got.size(), 3u);
    EXPECT_EQ(reader.got[1].status, STATUS_CRC_ERROR);
    EXPECT_EQ(reader.got[1].information, 1u);
    EXPECT_EQ(reader.got[1].byte, 0x5A);
    EXPECT_EQ(reader.got[1].at, sent + T);
    EXPECT_EQ(reader.got[2].status, STATUS_SUCCESS);
    EXPECT_EQ(reader.got[2].byte, 0x5B);

    /* Injected while no read is out: the next read sent gets it. */
    reader.rearm = false;
    WdfRequestCancelSentRequest(reader.request);
    port->InjectReadStatus(STATUS_DEVICE_NOT_READY, false);
    Outcome& next = Read();
    ExpectCompleted(next, STATUS_DEVICE_NOT_READY);
}

TEST_F(SerialPortTest, InjectedWriteErrorsReachTheWriterAndSendNothing)
{
    port->RejectWrites(STATUS_INVALID_DEVICE_STATE);
    Outcome& refused = Write({0x01, 0x02});
    EXPECT_FALSE(port->Rts());
    port->RejectWrites(STATUS_DEVICE_NOT_READY);
    Outcome& notReady = Write({0x01, 0x02});
    host.RunFor(1s);
    ExpectCompleted(refused, STATUS_INVALID_DEVICE_STATE, 0u);
    EXPECT_EQ(notReady.status, STATUS_DEVICE_NOT_READY);
    EXPECT_TRUE(station.Heard().empty());

    /* A frame while the last one is still going out cannot be taken either. */
    port->RejectWrites(std::nullopt);
    Outcome& first = Write({0x01, 0x02, 0x03});
    Outcome& overlapping = Write({0x04});
    ExpectCompleted(overlapping, STATUS_INVALID_DEVICE_STATE);
    host.RunFor(1s);
    EXPECT_EQ(first.status, STATUS_SUCCESS);
    EXPECT_EQ(first.information, 3u);
    EXPECT_EQ(station.HeardBytes(), (ByteList{0x01, 0x02, 0x03}));
    EXPECT_EQ(port->WritesSeen(), 4u);
}

} // namespace
