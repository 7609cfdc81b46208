#include "sim/SimulatedSerialPort.h"

#include <cstring>

namespace sim {

using platform::IoMajor;
using platform::LowerRequestPtr;

SimulatedSerialPort::SimulatedSerialPort(HartLine& line, std::string name) : line_(line)
{
    station_ = line_.Attach(std::move(name), [this](const LineCharacter& character) { Hear(character); });
}

SimulatedSerialPort::~SimulatedSerialPort()
{
    Disconnect();
}

void SimulatedSerialPort::Disconnect()
{
    if (!connected_) {
        return;
    }
    connected_ = false;
    for (auto& [serial, key] : scheduled_) {
        line_.GetDispatcher().Cancel(key);
    }
    scheduled_.clear();
    line_.Detach(station_);
}

std::shared_ptr<SimulatedSerialPort> SimulatedSerialPort::Create(platform::Host& host, HartLine& line,
                                                                 const std::u16string& deviceName,
                                                                 const std::string& comName)
{
    auto port = std::make_shared<SimulatedSerialPort>(line, comName);
    if (!NT_SUCCESS(host.RegisterLowerDevice(deviceName, port))) {
        return nullptr;
    }
    std::string narrowName(deviceName.begin(), deviceName.end());
    host.GetRegistry().AddSerialPort(narrowName, comName);
    port->onRemoved_ = [&host, narrowName] { host.GetRegistry().RemoveSerialPort(narrowName); };
    return port;
}

void SimulatedSerialPort::Later(Ticks delay, std::function<void()> task)
{
    std::uint64_t serial = nextScheduled_++;
    scheduled_[serial] = line_.GetDispatcher().Schedule(line_.Now() + delay, [this, serial, task = std::move(task)] {
        scheduled_.erase(serial);
        task();
    });
}

NTSTATUS SimulatedSerialPort::Open(const platform::LowerOpenParameters& parameters)
{
    if (rejectedOpen_) {
        return *rejectedOpen_;
    }
    /* A serial port is a device, never a directory, as its driver tells an opener that asks for one. */
    if ((parameters.createOptions & FILE_DIRECTORY_FILE) != 0) {
        return STATUS_NOT_A_DIRECTORY;
    }
    settings_.openAccess = parameters.desiredAccess;
    rx_.clear();
    return STATUS_SUCCESS;
}

void SimulatedSerialPort::Close()
{
    EndAll(STATUS_CANCELLED);
    settings_.dtr = false;
}

void SimulatedSerialPort::StartIo(const LowerRequestPtr& request)
{
    switch (request->Major()) {
    case IoMajor::Read:
        reads_.push_back(request);
        ServeReads();
        return;
    case IoMajor::Write:
        Write(request);
        return;
    case IoMajor::DeviceControl:
        Control(request);
        return;
    default:
        /* A serial driver serves its settings as device controls only. */
        request->Complete(STATUS_INVALID_DEVICE_REQUEST);
        return;
    }
}

void SimulatedSerialPort::Cancel(const LowerRequestPtr& request)
{
    for (auto it = reads_.begin(); it != reads_.end(); ++it) {
        if (*it == request) {
            reads_.erase(it);
            request->Complete(STATUS_CANCELLED);
            return;
        }
    }
    if (write_ == request) {
        line_.AbortTransmit(station_);
    }
}

void SimulatedSerialPort::Control(const LowerRequestPtr& request)
{
    /* A setting takes effect when the request that carries it is completed, late or not. */
    auto answer = [this, request] {
        auto rejected = rejectedControls_.find(request->IoControlCode());
        request->Complete(rejected != rejectedControls_.end() ? rejected->second
                                                              : ApplyControl(request->IoControlCode(), request->Input()));
    };
    if (controlDelay_ == Ticks::zero()) {
        answer();
        return;
    }
    Later(controlDelay_, [request, answer] {
        if (!request->Completed()) {
            answer();
        }
    });
}

NTSTATUS SimulatedSerialPort::ApplyControl(ULONG code, std::span<const std::uint8_t> input)
{
    auto take = [&](void* field, std::size_t size) {
        if (input.size() < size) {
            return STATUS_BUFFER_TOO_SMALL;
        }
        std::memcpy(field, input.data(), size);
        return STATUS_SUCCESS;
    };
    switch (code) {
    case IOCTL_SERIAL_SET_BAUD_RATE:
        return take(&settings_.baudRate, sizeof(settings_.baudRate));
    case IOCTL_SERIAL_SET_LINE_CONTROL:
        return take(&settings_.lineControl, sizeof(settings_.lineControl));
    case IOCTL_SERIAL_SET_HANDFLOW:
        return take(&settings_.handFlow, sizeof(settings_.handFlow));
    case IOCTL_SERIAL_SET_TIMEOUTS:
        return take(&settings_.timeouts, sizeof(settings_.timeouts));
    case IOCTL_SERIAL_SET_FIFO_CONTROL:
        return take(&settings_.fifoControl, sizeof(settings_.fifoControl));
    case IOCTL_SERIAL_SET_WAIT_MASK:
        return take(&settings_.waitMask, sizeof(settings_.waitMask));
    case IOCTL_SERIAL_SET_DTR:
        settings_.dtr = true;
        return STATUS_SUCCESS;
    case IOCTL_SERIAL_PURGE: {
        ULONG mask = 0;
        NTSTATUS status = take(&mask, sizeof(mask));
        if (NT_SUCCESS(status)) {
            Purge(mask);
        }
        return status;
    }
    default:
        return STATUS_NOT_SUPPORTED;
    }
}

void SimulatedSerialPort::Purge(ULONG mask)
{
    settings_.purges++;
    settings_.lastPurgeMask = mask;
    if (mask & SERIAL_PURGE_RXABORT) {
        CancelReads(STATUS_CANCELLED);
    }
    if (mask & (SERIAL_PURGE_TXABORT | SERIAL_PURGE_TXCLEAR)) {
        line_.AbortTransmit(station_);
    }
    if (mask & SERIAL_PURGE_RXCLEAR) {
        rx_.clear();
    }
}

void SimulatedSerialPort::Write(const LowerRequestPtr& request)
{
    writesSeen_++;
    if (rejectedWrite_) {
        request->Complete(*rejectedWrite_);
        return;
    }
    if (write_ != nullptr || request->Input().empty()) {
        request->Complete(write_ != nullptr ? STATUS_INVALID_DEVICE_STATE : STATUS_SUCCESS);
        return;
    }
    /* The line runs at its own rate; a port set to another rate garbles nothing here but is visible to tests. */
    write_ = request;
    std::size_t length = request->Input().size();
    if (writeCompletion == WriteCompletion::WhenQueued) {
        write_ = nullptr;
        line_.Transmit(station_, request->Input());
        if (queuedWriteReportDelay == Ticks::zero()) {
            request->Complete(STATUS_SUCCESS, length);
            return;
        }
        Later(queuedWriteReportDelay, [request, length] {
            if (!request->Completed()) {
                request->Complete(STATUS_SUCCESS, length);
            }
        });
        return;
    }
    line_.Transmit(station_, request->Input(), [this, request](std::size_t sent) {
        if (write_ == request) {
            write_ = nullptr;
        }
        if (!request->Completed()) {
            request->Complete(sent == request->Input().size() ? STATUS_SUCCESS : STATUS_CANCELLED, sent);
        }
    });
}

void SimulatedSerialPort::Hear(const LineCharacter& character)
{
    if (tap_) {
        tap_(character);
    }
    if (rx_.size() < kReceiveBuffer) {
        rx_.push_back(character.byte);
    }
    ServeReads();
}

void SimulatedSerialPort::InjectReadStatus(NTSTATUS status, bool carryCharacter)
{
    injectedReads_.push_back({status, carryCharacter});
    ServeReads();
}

void SimulatedSerialPort::ServeReads()
{
    while (!reads_.empty()) {
        LowerRequestPtr read = reads_.front();
        if (!injectedReads_.empty()) {
            InjectedRead injected = injectedReads_.front();
            /* An error that comes with a character (a parity error, say) comes
               with one that arrived: it waits for it rather than invent one. */
            if (injected.carryCharacter && rx_.empty()) {
                return;
            }
            injectedReads_.pop_front();
            reads_.pop_front();
            std::size_t count = 0;
            if (injected.carryCharacter && !read->Output().empty()) {
                read->Output()[count++] = rx_.front();
                rx_.pop_front();
            }
            read->Complete(injected.status, count);
            continue;
        }
        if (rx_.empty()) {
            return;
        }
        /* With no time-outs at all, as a serial driver keeps them, a read ends
           only once its whole count has come. */
        const SERIAL_TIMEOUTS& timeouts = settings_.timeouts;
        const bool wholeCount = timeouts.ReadIntervalTimeout == 0 && timeouts.ReadTotalTimeoutMultiplier == 0 &&
                                timeouts.ReadTotalTimeoutConstant == 0;
        if (wholeCount && rx_.size() < read->Output().size()) {
            return;
        }
        reads_.pop_front();
        std::size_t count = 0;
        while (count < read->Output().size() && !rx_.empty()) {
            read->Output()[count++] = rx_.front();
            rx_.pop_front();
        }
        read->Complete(STATUS_SUCCESS, count);
    }
}

void SimulatedSerialPort::CancelReads(NTSTATUS status)
{
    /* Only the reads waiting now: a reader that sends its next read from the
       completion routine gets a read that waits, not an endless loop. */
    std::deque<LowerRequestPtr> ending;
    ending.swap(reads_);
    for (const LowerRequestPtr& read : ending) {
        read->Complete(status);
    }
}

void SimulatedSerialPort::EndAll(NTSTATUS status)
{
    CancelReads(status);
    if (write_ != nullptr) {
        LowerRequestPtr write = write_;
        write_ = nullptr;
        line_.AbortTransmit(station_);
        if (!write->Completed()) {
            write->Complete(status);
        }
    }
}

void SimulatedSerialPort::RemoveAt(Ticks at)
{
    Later(at > line_.Now() ? at - line_.Now() : Ticks::zero(), [this] {
        EndAll(STATUS_CANCELLED);
        if (onRemoved_) {
            onRemoved_();
        }
        ReportRemoved();
    });
}

} // namespace sim
