/*
 * The receiver as the serial receive path drives it: one call of the
 * per-character routine for each character a serial read delivered, with
 * that read's status, the link timer ticking in between and the master
 * state machine taking every event it posts. The input chooses the port's
 * role and receive mask, then characters, statuses and pauses.
 *
 * What must hold whatever arrives: the buffers' pointers stay inside the
 * buffers, and a frame handed to the client is exactly the last characters
 * received, started by at least two preambles, as long as its header says,
 * of a class the receive mask selects, with the check byte's verdict in
 * Delim.
 */
#include <cstdint>
#include <string>

#include <platform/Host.h>

#include "FuzzInput.h"
#include "link/HartTrace.h"
#include "sim/HartFrame.h"
#include "sim/LinkHarness.h"

namespace {

/* Statuses a serial read can complete with besides success: the UART's
   errors, a read that timed out or was cancelled, and informational ones. */
constexpr NTSTATUS kStatusParityError = static_cast<NTSTATUS>(0xC000002BL);
constexpr NTSTATUS kStatusDataOverrun = static_cast<NTSTATUS>(0xC000003CL);
constexpr NTSTATUS kStatusDataError = static_cast<NTSTATUS>(0xC000003EL);
constexpr NTSTATUS kReadStatuses[] = {STATUS_SUCCESS,     STATUS_SUCCESS,        STATUS_SUCCESS, STATUS_SUCCESS,
                                      kStatusParityError, kStatusDataOverrun,    kStatusDataError, STATUS_CRC_ERROR,
                                      STATUS_CANCELLED,   STATUS_TIMEOUT,        STATUS_BUFFER_OVERFLOW,
                                      STATUS_DEVICE_NOT_READY};

/* The receive-mask bit of a frame class: BACK, STX and ACK for this master in
   the low nibble, the same for the other master in the high one. */
std::uint8_t MaskBitOfClass(std::uint8_t frameClass)
{
    static const std::uint8_t byType[8] = {0, 0x01, 0x04, 0, 0, 0, 0x02, 0};
    const std::uint8_t bit = byType[frameClass & 7];
    return (frameClass & 0x80) ? static_cast<std::uint8_t>(bit << 4) : bit;
}

class ReceiverRun {
public:
    ReceiverRun(platform::Host& host, fuzz::FuzzInput& input)
        : input_(input), harness_(host), record_(harness_.Context())
    {
        const std::uint8_t setup = input_.Byte();
        record_->HartProtocolInfo.MasterType = (setup & 1) ? HART_PRIMARY_MASTER : HART_SECONDARY_MASTER;
        record_->HartProtocolInfo.StateMachineMode = (setup & 2) ? HART_MODE_SLAVE : HART_MODE_MASTER;
        if (setup & 4) {
            harness_.StartLinkTimer();
        }
        record_->HartProtocolInfo.Rcv_Mask = input_.Byte();
    }

    void Run()
    {
        while (!input_.Empty()) {
            const std::uint8_t control = input_.Byte();
            if (control >= 0xF8) {
                Other(control);
                continue;
            }
            const std::uint8_t character = input_.Byte();
            const NTSTATUS status = kReadStatuses[control % std::size(kReadStatuses)];
            Receive(character, status);
            /* Now and then a pause: a tick, a gap long enough to end the frame, or a long quiet. */
            switch ((control >> 4) & 0x0F) {
            case 12: harness_.Tick(1); break;
            case 13: harness_.Tick(record_->Gap + 1); break;
            case 14: harness_.Tick(40); break;
            default: break;
            }
            CheckPointers();
        }
    }

private:
    void Other(std::uint8_t control)
    {
        switch (control) {
        case 0xF8:
            /* A client write: the master may transmit, and the transmit path resets the receiver. */
            if (record_->PendingWriteRequest == nullptr) {
                harness_.ClientWrite(sim::Frame(5, sim::FrameBody(0x02, {0x80}, 0)));
            }
            break;
        case 0xF9:
            if (record_->PendingWriteRequest != nullptr) {
                harness_.SerialWriteCompletes(STATUS_SUCCESS, 10, input_.Bool());
            }
            break;
        case 0xFA: record_->HartProtocolInfo.Rcv_Mask = input_.Byte(); break;
        case 0xFB: ResetPortDataReceiverFsm(harness_.Device()); break;
        case 0xFE: harness_.Tick(input_.Range(1, 40)); break;
        case 0xFC: {
            /* A run of preambles, as a flood or a long preamble would bring. */
            const std::uint32_t count = input_.Range(1, 300);
            for (std::uint32_t i = 0; i < count; i++) {
                Receive(PREAMBLE_CHARACTER, STATUS_SUCCESS);
            }
            break;
        }
        case 0xFD: harness_.Tick(input_.Range(1, 40)); break;
        default:
            /* Long enough for every counter of the master to run out, the bus grant's too. */
            harness_.Tick(input_.Range(1, 400));
            break;
        }
        CheckPointers();
    }

    void Receive(std::uint8_t character, NTSTATUS status)
    {
        fed_.push_back(character);
        good_.push_back(status == STATUS_SUCCESS);
        const UCHAR delivered = harness_.Receive({character}, status);
        if (delivered > 1) {
            fuzz::Fail("the character routine returned " + std::to_string(delivered));
        }
        if (delivered == 1) {
            CheckDelivered();
        }
        /* Keep the history bounded; a frame and its preambles fit in far less. */
        if (fed_.size() > 4096) {
            fed_.erase(fed_.begin(), fed_.begin() + 2048);
            good_.erase(good_.begin(), good_.begin() + 2048);
        }
    }

    void CheckDelivered()
    {
        const HART_COMM_DATA& comm = record_->CommData;
        const sim::Bytes frame(comm.pReadBuffer, comm.pReadBuffer + comm.ReadLength);
        if (frame.empty() || frame.size() > HART_BUFFER_SIZE) {
            fuzz::Fail("delivered a frame of " + std::to_string(frame.size()) + " bytes");
        }
        const std::size_t header = sim::HeaderLength(frame[0]);
        if (header == 0 || frame.size() < header + 2 || frame.size() != header + 2 + frame[header]) {
            fuzz::Fail("delivered frame's length " + std::to_string(frame.size()) + " disagrees with its header");
        }
        if (frame.size() + 2 > fed_.size() ||
            !std::equal(frame.begin(), frame.end(), fed_.end() - static_cast<long>(frame.size()))) {
            fuzz::Fail("delivered frame is not the characters last received");
        }
        const std::size_t start = fed_.size() - frame.size();
        if (fed_[start - 1] != PREAMBLE_CHARACTER || fed_[start - 2] != PREAMBLE_CHARACTER || !good_[start - 1] ||
            !good_[start - 2]) {
            fuzz::Fail("delivered a frame without two good preambles before its delimiter");
        }
        std::uint8_t check = 0;
        for (std::uint8_t b : frame) {
            check ^= b;
        }
        const UCHAR verdict = record_->HartProtocolInfo.Delim;
        if ((check != 0) != (verdict == EVT_GOT_ERR)) {
            fuzz::Fail("check byte verdict " + std::to_string(verdict) + " for a frame whose check is " +
                       std::to_string(check));
        }
        const HART_PROTOCOL_INFO& protocol = record_->HartProtocolInfo;
        std::uint8_t frameClass =
            static_cast<std::uint8_t>(((protocol.MasterType ^ frame[1]) & 0x80) | (frame[0] & 7));
        if (protocol.StateMachineMode != HART_MODE_MASTER) {
            frameClass &= 7;
        }
        if ((protocol.Rcv_Mask & MaskBitOfClass(frameClass)) == 0) {
            fuzz::Fail("delivered a frame of a class the receive mask leaves out");
        }
    }

    void CheckPointers()
    {
        const HART_COMM_DATA& comm = record_->CommData;
        auto inside = [](const UCHAR* p, const UCHAR* buffer) { return p >= buffer && p <= buffer + HART_BUFFER_SIZE; };
        if (comm.pRcvBuffer != comm.Buffer_Rcv1 && comm.pRcvBuffer != comm.Buffer_Rcv2) {
            fuzz::Fail("the receive buffer is neither of the two");
        }
        /* Between frames the insert pointer may still be in the buffer just delivered. */
        if (!inside(comm.pRcvInsert, comm.Buffer_Rcv1) && !inside(comm.pRcvInsert, comm.Buffer_Rcv2)) {
            fuzz::Fail("the insert pointer left the receive buffers");
        }
        const bool readInOne = inside(comm.pReadBuffer, comm.Buffer_Rcv1) &&
                               inside(comm.pReadBuffer + comm.ReadLength, comm.Buffer_Rcv1);
        const bool readInTwo = inside(comm.pReadBuffer, comm.Buffer_Rcv2) &&
                               inside(comm.pReadBuffer + comm.ReadLength, comm.Buffer_Rcv2);
        if (!readInOne && !readInTwo) {
            fuzz::Fail("the frame to read lies outside the receive buffers");
        }
        if (record_->ReceiverState > STATE_VALIDATING_MESSAGE) {
            fuzz::Fail("receiver state " + std::to_string(record_->ReceiverState));
        }
    }

    fuzz::FuzzInput& input_;
    sim::LinkHarness harness_;
    PHARTDEVICE_CONTEXT record_;
    sim::Bytes fed_;
    std::vector<bool> good_;
};

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size)
{
    HartSetDebugLevel(0);
    fuzz::FuzzInput input(data, size);
    platform::Host host;
    {
        ReceiverRun run(host, input);
        run.Run();
    }
    if (host.LiveObjects() != 0) {
        fuzz::Fail(std::to_string(host.LiveObjects()) + " framework objects left after unload");
    }
    return 0;
}
