#include <platform/PosixSerialPort.h>

#include <algorithm>
#include <cerrno>
#include <cstring>

#include <fcntl.h>
#include <linux/serial.h>
#include <sys/epoll.h>
#include <sys/file.h>
#include <sys/ioctl.h>
#include <termios.h>
#include <unistd.h>

#include <wdm.h>

#include <platform/Host.h>

namespace platform {

namespace {

/* Edge-triggered: epoll need not poll the tty again after every report. */
constexpr std::uint32_t kWatchedEvents = EPOLLIN | EPOLLRDHUP | EPOLLET;

class KernelLines final : public TtyLines {
public:
    bool EnableRs485(int fd) override
    {
        serial_rs485 current{};
        if (ioctl(fd, TIOCGRS485, &current) != 0) {
            return false;
        }
        serial_rs485 wanted = current;
        wanted.flags |= SER_RS485_ENABLED | SER_RS485_RTS_ON_SEND;
        wanted.flags &= ~static_cast<__u32>(SER_RS485_RTS_AFTER_SEND);
        wanted.delay_rts_before_send = 0;
        wanted.delay_rts_after_send = 0;
        if (ioctl(fd, TIOCSRS485, &wanted) != 0) {
            return false;
        }
        /* Some drivers accept the call and keep their own mind: believe what reads back. */
        serial_rs485 now{};
        if (ioctl(fd, TIOCGRS485, &now) != 0 || (now.flags & SER_RS485_ENABLED) == 0 ||
            (now.flags & SER_RS485_RTS_ON_SEND) == 0) {
            ioctl(fd, TIOCSRS485, &current);
            return false;
        }
        saved_ = current;
        return true;
    }

    void RestoreRs485(int fd) override
    {
        if (saved_) {
            ioctl(fd, TIOCSRS485, &*saved_);
            saved_.reset();
        }
    }

    std::optional<int> ModemLines(int fd) override
    {
        int lines = 0;
        if (ioctl(fd, TIOCMGET, &lines) != 0) {
            return std::nullopt;
        }
        return lines;
    }

    bool SetModemLine(int fd, int line, bool on) override
    {
        return ioctl(fd, on ? TIOCMBIS : TIOCMBIC, &line) == 0;
    }

    std::optional<int> OutputQueue(int fd) override
    {
        int queued = 0;
        if (ioctl(fd, TIOCOUTQ, &queued) != 0) {
            return std::nullopt;
        }
        return queued;
    }

    std::optional<bool> TransmitterEmpty(int fd) override
    {
        unsigned int lsr = 0;
        if (ioctl(fd, TIOCSERGETLSR, &lsr) != 0) {
            return std::nullopt;
        }
        return (lsr & TIOCSER_TEMT) != 0;
    }

private:
    std::optional<serial_rs485> saved_;
};

struct BaudEntry {
    ULONG rate;
    speed_t speed;
};

constexpr BaudEntry kBaudRates[] = {
    {300, B300},     {600, B600},     {1200, B1200},   {2400, B2400},     {4800, B4800},     {9600, B9600},
    {19200, B19200}, {38400, B38400}, {57600, B57600}, {115200, B115200}, {230400, B230400},
};

NTSTATUS StatusFromErrno(int error)
{
    switch (error) {
    case ENOENT:
    case ENODEV:
    case ENXIO:
        return STATUS_NO_SUCH_DEVICE;
    case EACCES:
    case EPERM:
        return STATUS_ACCESS_DENIED;
    case EBUSY:
    case EWOULDBLOCK:
        return STATUS_SHARING_VIOLATION;
    case ENOTTY:
        return STATUS_INVALID_DEVICE_REQUEST;
    default:
        return STATUS_UNSUCCESSFUL;
    }
}

/* 0 or the errno. glibc re-reads the settings and reports EINVAL when parity or the
   character size did not stick; a pseudo-terminal keeps neither of its own, and
   the kernel has taken the rest by then. */
int ApplyTermios(int fd, const termios& wanted)
{
    if (tcsetattr(fd, TCSANOW, &wanted) == 0) {
        return 0;
    }
    const int error = errno;
    termios now{};
    if (error != EINVAL || tcgetattr(fd, &now) != 0) {
        return error;
    }
    const tcflag_t ignored = CSIZE | PARENB;
    const bool restTaken = now.c_iflag == wanted.c_iflag && now.c_oflag == wanted.c_oflag &&
                           now.c_lflag == wanted.c_lflag && (now.c_cflag & ~ignored) == (wanted.c_cflag & ~ignored) &&
                           cfgetospeed(&now) == cfgetospeed(&wanted);
    return restTaken ? 0 : error;
}

} // namespace

TtyLines::~TtyLines() = default;

std::unique_ptr<TtyLines> KernelTtyLines()
{
    return std::make_unique<KernelLines>();
}

PosixSerialPort::PosixSerialPort(Dispatcher& dispatcher, std::string path, std::unique_ptr<TtyLines> lines)
    : dispatcher_(dispatcher), path_(std::move(path)), lines_(lines ? std::move(lines) : KernelTtyLines())
{
}

PosixSerialPort::~PosixSerialPort()
{
    /* The host tears its dispatcher down around its devices: only the descriptor is ours to put away here. */
    if (fd_ >= 0) {
        close(fd_);
    }
}

std::shared_ptr<PosixSerialPort> PosixSerialPort::Create(Host& host, const std::string& path,
                                                         const std::u16string& deviceName, const std::string& comName,
                                                         NTSTATUS* status, std::unique_ptr<TtyLines> lines)
{
    auto port = std::make_shared<PosixSerialPort>(host.GetDispatcher(), path, std::move(lines));
    NTSTATUS registered = host.RegisterLowerDevice(deviceName, port);
    if (status != nullptr) {
        *status = registered;
    }
    if (!NT_SUCCESS(registered)) {
        return nullptr;
    }
    port->registry_ = &host.GetRegistry();
    port->deviceName_.assign(deviceName.begin(), deviceName.end());
    host.GetRegistry().AddSerialPort(port->deviceName_, comName);
    return port;
}

PosixSerialState PosixSerialPort::State() const
{
    PosixSerialState state = state_;
    state.open = fd_ >= 0;
    return state;
}

NTSTATUS PosixSerialPort::Open(const LowerOpenParameters& parameters)
{
    (void)parameters;
    if (removed_) {
        return STATUS_DELETE_PENDING;
    }
    if (fd_ >= 0) {
        opens_++;
        return STATUS_SUCCESS;
    }
    int fd = ::open(path_.c_str(), O_RDWR | O_NOCTTY | O_NONBLOCK | O_CLOEXEC);
    if (fd < 0) {
        return StatusFromErrno(errno);
    }
    termios settings{};
    if (tcgetattr(fd, &settings) != 0) {
        NTSTATUS status = StatusFromErrno(errno);
        close(fd);
        return status;
    }
    /* Another program (or another host) that holds the port keeps it: two masters on one modem garble each other. */
    if (flock(fd, LOCK_EX | LOCK_NB) != 0) {
        NTSTATUS status = StatusFromErrno(errno);
        close(fd);
        return status;
    }
    ioctl(fd, TIOCEXCL);

    /* HART's framing until the driver says otherwise. CLOCAL: the modem's carrier
       detect follows every frame on the line and must not hang the port up. */
    cfmakeraw(&settings);
    settings.c_cflag &= ~static_cast<tcflag_t>(CSIZE | CSTOPB | CRTSCTS | CMSPAR);
    settings.c_cflag |= CS8 | PARENB | PARODD | CLOCAL | CREAD;
    settings.c_cc[VMIN] = 1;
    settings.c_cc[VTIME] = 0;
    cfsetispeed(&settings, B1200);
    cfsetospeed(&settings, B1200);
    if (int error = ApplyTermios(fd, settings)) {
        close(fd);
        return StatusFromErrno(error);
    }
    /* What arrived while nobody listened belongs to no transaction of ours. */
    tcflush(fd, TCIOFLUSH);

    std::weak_ptr<PosixSerialPort> self = weak_from_this();
    if (!dispatcher_.WatchFd(fd, kWatchedEvents, [self](std::uint32_t events) {
            if (auto port = self.lock()) {
                port->OnEvents(events);
            }
        })) {
        close(fd);
        return STATUS_INSUFFICIENT_RESOURCES;
    }
    fd_ = fd;
    opens_ = 1;
    bitsPerCharacter_ = 11;
    state_ = PosixSerialState{};
    state_.baudRate = 1200;
    lineQuietAt_ = dispatcher_.Now();
    std::optional<int> lines = lines_->ModemLines(fd_);
    state_.modemLines = lines.has_value();
    state_.rts = lines && (*lines & TIOCM_RTS) != 0;
    state_.dtr = lines && (*lines & TIOCM_DTR) != 0;
    return STATUS_SUCCESS;
}

void PosixSerialPort::Close()
{
    if (opens_ > 0 && --opens_ > 0) {
        return;
    }
    EndAll(STATUS_CANCELLED);
    Release();
}

void PosixSerialPort::Release()
{
    CancelDrainCheck();
    if (fd_ < 0) {
        return;
    }
    dispatcher_.UnwatchFd(fd_);
    watchingWritable_ = false;
    if (!removed_) {
        if (state_.rs485) {
            lines_->RestoreRs485(fd_);
        }
        SetRts(false);
        SetDtr(false);
    }
    close(fd_);
    fd_ = -1;
    state_.rs485 = false;
}

void PosixSerialPort::StartIo(const LowerRequestPtr& request)
{
    if (fd_ < 0) {
        request->Complete(removed_ ? STATUS_DELETE_PENDING : STATUS_INVALID_DEVICE_STATE);
        return;
    }
    switch (request->Major()) {
    case IoMajor::Read:
        reads_.push_back(request);
        ServeReads();
        return;
    case IoMajor::Write:
        if (request->Input().empty()) {
            request->Complete(STATUS_SUCCESS, 0);
            return;
        }
        writes_.push_back(Write{request, 0});
        if (writes_.size() == 1) {
            StartNextWrite();
        }
        return;
    default:
        Control(request);
        return;
    }
}

void PosixSerialPort::Cancel(const LowerRequestPtr& request)
{
    auto read = std::find(reads_.begin(), reads_.end(), request);
    if (read != reads_.end()) {
        reads_.erase(read);
        request->Complete(STATUS_CANCELLED);
        return;
    }
    auto write = std::find_if(writes_.begin(), writes_.end(), [&](const Write& w) { return w.request == request; });
    if (write == writes_.end()) {
        return;
    }
    const bool current = write == writes_.begin();
    std::size_t sent = write->sent;
    writes_.erase(write);
    if (current && fd_ >= 0) {
        /* What the kernel still holds of the frame must not reach the line after its request ended. */
        tcflush(fd_, TCOFLUSH);
        WatchWritable(false);
    }
    request->Complete(STATUS_CANCELLED, sent);
    if (current) {
        if (writes_.empty()) {
            WatchDrain();
        } else {
            StartNextWrite();
        }
    }
}

/* ---- Configuration ---- */

void PosixSerialPort::Control(const LowerRequestPtr& request)
{
    request->Complete(ApplyControl(request->IoControlCode(), request->Input()));
}

NTSTATUS PosixSerialPort::ApplyControl(ULONG code, std::span<const std::uint8_t> input)
{
    auto take = [&](auto& value) {
        if (input.size() < sizeof(value)) {
            return false;
        }
        std::memcpy(&value, input.data(), sizeof(value));
        return true;
    };
    switch (code) {
    case IOCTL_SERIAL_SET_BAUD_RATE: {
        ULONG rate = 0;
        return take(rate) ? SetBaudRate(rate) : STATUS_BUFFER_TOO_SMALL;
    }
    case IOCTL_SERIAL_SET_LINE_CONTROL: {
        SERIAL_LINE_CONTROL control{};
        return take(control) ? SetLineControl(control) : STATUS_BUFFER_TOO_SMALL;
    }
    case IOCTL_SERIAL_SET_HANDFLOW: {
        SERIAL_HANDFLOW handFlow{};
        return take(handFlow) ? SetHandFlow(handFlow) : STATUS_BUFFER_TOO_SMALL;
    }
    /* Reads complete per character whatever the time-outs say, and the kernel runs the
       UART's FIFO; both are kept so that the settings can be read back. */
    case IOCTL_SERIAL_SET_TIMEOUTS:
        return take(state_.timeouts) ? STATUS_SUCCESS : STATUS_BUFFER_TOO_SMALL;
    case IOCTL_SERIAL_SET_FIFO_CONTROL:
        return take(state_.fifoControl) ? STATUS_SUCCESS : STATUS_BUFFER_TOO_SMALL;
    /* Nobody waits on the mask; it is accepted so that the set-up goes through. */
    case IOCTL_SERIAL_SET_WAIT_MASK:
        return take(state_.waitMask) ? STATUS_SUCCESS : STATUS_BUFFER_TOO_SMALL;
    case IOCTL_SERIAL_SET_DTR:
        SetDtr(true);
        return STATUS_SUCCESS;
    case IOCTL_SERIAL_PURGE: {
        ULONG mask = 0;
        if (!take(mask)) {
            return STATUS_BUFFER_TOO_SMALL;
        }
        Purge(mask);
        return STATUS_SUCCESS;
    }
    default:
        return STATUS_NOT_SUPPORTED;
    }
}

NTSTATUS PosixSerialPort::SetBaudRate(ULONG rate)
{
    const BaudEntry* entry = std::find_if(std::begin(kBaudRates), std::end(kBaudRates),
                                          [rate](const BaudEntry& e) { return e.rate == rate; });
    if (entry == std::end(kBaudRates)) {
        return STATUS_INVALID_PARAMETER;
    }
    termios settings{};
    if (tcgetattr(fd_, &settings) != 0) {
        return StatusFromErrno(errno);
    }
    cfsetispeed(&settings, entry->speed);
    cfsetospeed(&settings, entry->speed);
    if (int error = ApplyTermios(fd_, settings)) {
        return StatusFromErrno(error);
    }
    state_.baudRate = rate;
    return STATUS_SUCCESS;
}

NTSTATUS PosixSerialPort::SetLineControl(const SERIAL_LINE_CONTROL& control)
{
    static constexpr tcflag_t kSizes[] = {CS5, CS6, CS7, CS8};
    if (control.WordLength < 5 || control.WordLength > 8 || control.Parity > SPACE_PARITY ||
        control.StopBits > STOP_BITS_2) {
        return STATUS_INVALID_PARAMETER;
    }
    termios settings{};
    if (tcgetattr(fd_, &settings) != 0) {
        return StatusFromErrno(errno);
    }
    settings.c_cflag &= ~static_cast<tcflag_t>(CSIZE | PARENB | PARODD | CMSPAR | CSTOPB);
    settings.c_cflag |= kSizes[control.WordLength - 5];
    switch (control.Parity) {
    case ODD_PARITY:
        settings.c_cflag |= PARENB | PARODD;
        break;
    case EVEN_PARITY:
        settings.c_cflag |= PARENB;
        break;
    case MARK_PARITY:
        settings.c_cflag |= PARENB | PARODD | CMSPAR;
        break;
    case SPACE_PARITY:
        settings.c_cflag |= PARENB | CMSPAR;
        break;
    default:
        break;
    }
    /* termios knows no 1.5 stop bits; the UART sends 1.5 for "two" at five data bits. */
    if (control.StopBits != STOP_BIT_1) {
        settings.c_cflag |= CSTOPB;
    }
    if (int error = ApplyTermios(fd_, settings)) {
        return StatusFromErrno(error);
    }
    state_.lineControl = control;
    bitsPerCharacter_ = 1u + control.WordLength + (control.Parity != NO_PARITY ? 1u : 0u) +
                        (control.StopBits != STOP_BIT_1 ? 2u : 1u);
    return STATUS_SUCCESS;
}

NTSTATUS PosixSerialPort::SetHandFlow(const SERIAL_HANDFLOW& handFlow)
{
    termios settings{};
    if (tcgetattr(fd_, &settings) != 0) {
        return StatusFromErrno(errno);
    }
    const ULONG rts = handFlow.FlowReplace & SERIAL_RTS_MASK;
    if (rts == SERIAL_RTS_HANDSHAKE) {
        settings.c_cflag |= CRTSCTS;
    } else {
        settings.c_cflag &= ~static_cast<tcflag_t>(CRTSCTS);
    }
    settings.c_iflag &= ~static_cast<tcflag_t>(IXON | IXOFF | IXANY);
    if (handFlow.FlowReplace & SERIAL_AUTO_TRANSMIT) {
        settings.c_iflag |= IXON;
    }
    if (handFlow.FlowReplace & SERIAL_AUTO_RECEIVE) {
        settings.c_iflag |= IXOFF;
    }
    if (int error = ApplyTermios(fd_, settings)) {
        return StatusFromErrno(error);
    }

    const bool toggle = rts == SERIAL_TRANSMIT_TOGGLE;
    if (toggle && !state_.transmitToggle) {
        state_.rs485 = lines_->EnableRs485(fd_);
    } else if (!toggle && state_.rs485) {
        lines_->RestoreRs485(fd_);
        state_.rs485 = false;
    }
    state_.transmitToggle = toggle;
    if (toggle) {
        /* Down until there is something to send (the kernel keeps it so in RS-485 mode). */
        if (!state_.rs485 && writes_.empty() && !drainCheck_) {
            SetRts(false);
        }
    } else if (rts == SERIAL_RTS_CONTROL) {
        SetRts(true);
    } else if (rts == 0) {
        SetRts(false);
    }
    const ULONG dtr = handFlow.ControlHandShake & SERIAL_DTR_MASK;
    if (dtr == SERIAL_DTR_CONTROL) {
        SetDtr(true);
    } else if (dtr == 0) {
        SetDtr(false);
    }
    return STATUS_SUCCESS;
}

void PosixSerialPort::Purge(ULONG mask)
{
    if (mask & SERIAL_PURGE_RXABORT) {
        while (!reads_.empty()) {
            LowerRequestPtr read = reads_.front();
            reads_.pop_front();
            read->Complete(STATUS_CANCELLED);
        }
    }
    if (mask & SERIAL_PURGE_TXABORT) {
        std::deque<Write> writes;
        writes.swap(writes_);
        WatchWritable(false);
        for (Write& write : writes) {
            write.request->Complete(STATUS_CANCELLED, write.sent);
        }
    }
    if (mask & (SERIAL_PURGE_TXABORT | SERIAL_PURGE_TXCLEAR)) {
        tcflush(fd_, TCOFLUSH);
        if (writes_.empty() && state_.transmitToggle && !state_.rs485) {
            CancelDrainCheck();
            SetRts(false);
        }
    }
    if (mask & SERIAL_PURGE_RXCLEAR) {
        tcflush(fd_, TCIFLUSH);
        rx_.clear();
    }
}

/* ---- Receiving ---- */

void PosixSerialPort::OnEvents(std::uint32_t events)
{
    if (fd_ < 0) {
        return;
    }
    if (events & (EPOLLIN | EPOLLHUP | EPOLLERR | EPOLLRDHUP)) {
        ReadAvailable((events & (EPOLLHUP | EPOLLERR | EPOLLRDHUP)) != 0);
    }
    if (fd_ >= 0 && (events & EPOLLOUT)) {
        ContinueWrite();
    }
}

void PosixSerialPort::ReadAvailable(bool hangUpReported)
{
    std::uint8_t buffer[256];
    for (;;) {
        ssize_t count = ::read(fd_, buffer, sizeof(buffer));
        if (count > 0) {
            /* A full buffer drops what comes on, as a UART's overrun does; the frame is lost either way. */
            std::size_t room = kReceiveBuffer - std::min(kReceiveBuffer, rx_.size());
            /* Appended one by one: a range insert into an empty deque takes a fresh block each time. */
            std::for_each(buffer, buffer + std::min(room, static_cast<std::size_t>(count)),
                          [this](std::uint8_t byte) { rx_.push_back(byte); });
            /* A tty hands over all it holds: a short read means it is empty, and asking
               again would only cost a call that fails; what arrives later is a new edge.
               A hang-up is reported once, so then it is read on to the end. */
            if (static_cast<std::size_t>(count) < sizeof(buffer) && !hangUpReported) {
                break;
            }
            continue;
        }
        if (count < 0 && errno == EINTR) {
            continue;
        }
        if (count < 0 && (errno == EAGAIN || errno == EWOULDBLOCK)) {
            break;
        }
        /* End of file or EIO: the other side hung up, the adapter was unplugged. Serve what
           came before it, then go. */
        ServeReads();
        HangUp();
        return;
    }
    ServeReads();
}

void PosixSerialPort::ServeReads()
{
    while (!reads_.empty() && !rx_.empty()) {
        LowerRequestPtr read = reads_.front();
        reads_.pop_front();
        std::size_t count = 0;
        auto output = read->Output();
        while (count < output.size() && !rx_.empty()) {
            output[count++] = rx_.front();
            rx_.pop_front();
        }
        read->Complete(STATUS_SUCCESS, count);
    }
}

/* ---- Sending ---- */

void PosixSerialPort::StartNextWrite()
{
    if (writes_.empty() || fd_ < 0) {
        return;
    }
    CancelDrainCheck();
    if (state_.transmitToggle && !state_.rs485) {
        SetRts(true);
    }
    ContinueWrite();
}

void PosixSerialPort::ContinueWrite()
{
    while (!writes_.empty()) {
        Write& write = writes_.front();
        auto input = write.request->Input();
        ssize_t count = ::write(fd_, input.data() + write.sent, input.size() - write.sent);
        if (count < 0 && errno == EINTR) {
            continue;
        }
        if (count < 0 && (errno == EAGAIN || errno == EWOULDBLOCK)) {
            WatchWritable(true);
            return;
        }
        if (count < 0) {
            if (errno == EIO) {
                HangUp();
                return;
            }
            LowerRequestPtr request = write.request;
            std::size_t sent = write.sent;
            writes_.pop_front();
            request->Complete(StatusFromErrno(errno), sent);
            continue;
        }
        write.sent += static_cast<std::size_t>(count);
        lineQuietAt_ = std::max(lineQuietAt_, dispatcher_.Now()) + CharacterTime() * count;
        if (write.sent < input.size()) {
            continue;
        }
        /* Done once the kernel holds the whole frame, as a FIFO UART's driver finishes:
           the driver allows for the time the frame still takes on the line. */
        LowerRequestPtr request = write.request;
        writes_.pop_front();
        request->Complete(STATUS_SUCCESS, input.size());
    }
    WatchWritable(false);
    WatchDrain();
}

void PosixSerialPort::WatchWritable(bool on)
{
    if (fd_ < 0 || watchingWritable_ == on) {
        return;
    }
    watchingWritable_ = on;
    dispatcher_.ModifyFd(fd_, kWatchedEvents | (on ? EPOLLOUT : 0u));
}

void PosixSerialPort::SetRts(bool on)
{
    if (fd_ >= 0 && state_.modemLines && lines_->SetModemLine(fd_, TIOCM_RTS, on)) {
        state_.rts = on;
    }
}

void PosixSerialPort::SetDtr(bool on)
{
    if (fd_ >= 0 && state_.modemLines && lines_->SetModemLine(fd_, TIOCM_DTR, on)) {
        state_.dtr = on;
    }
}

Ticks PosixSerialPort::CharacterTime() const
{
    const ULONG rate = state_.baudRate != 0 ? state_.baudRate : 1200;
    return Ticks{(static_cast<std::int64_t>(bitsPerCharacter_) * 10'000'000 + rate - 1) / rate};
}

void PosixSerialPort::WatchDrain()
{
    if (!state_.transmitToggle || state_.rs485 || !state_.rts || !writes_.empty() || drainCheck_) {
        return;
    }
    CheckDrain(false);
}

void PosixSerialPort::CheckDrain(bool lastCharacterAllowedFor)
{
    drainCheck_.reset();
    if (fd_ < 0 || !writes_.empty()) {
        return;
    }
    const Ticks now = dispatcher_.Now();
    Ticks wait{0};
    if (std::optional<int> queued = lines_->OutputQueue(fd_)) {
        if (*queued > 0) {
            /* Come back when what is queued should have gone. */
            wait = CharacterTime() * *queued;
        } else if (std::optional<bool> empty = lines_->TransmitterEmpty(fd_)) {
            wait = *empty ? Ticks{0} : CharacterTime();
        } else if (!lastCharacterAllowedFor) {
            /* The queue is empty but the shift register cannot be asked: its character takes one more character time. */
            wait = CharacterTime();
            lastCharacterAllowedFor = true;
        }
    } else if (now < lineQuietAt_ + CharacterTime()) {
        /* A tty that cannot tell its queue: trust the clock, with a character to spare. */
        wait = lineQuietAt_ + CharacterTime() - now;
        lastCharacterAllowedFor = true;
    }
    if (wait == Ticks{0}) {
        SetRts(false);
        return;
    }
    std::weak_ptr<PosixSerialPort> self = weak_from_this();
    drainCheck_ = dispatcher_.Schedule(now + wait, [self, lastCharacterAllowedFor] {
        if (auto port = self.lock()) {
            port->CheckDrain(lastCharacterAllowedFor);
        }
    });
}

void PosixSerialPort::CancelDrainCheck()
{
    if (drainCheck_) {
        dispatcher_.Cancel(*drainCheck_);
        drainCheck_.reset();
    }
}

/* ---- Ending ---- */

void PosixSerialPort::EndAll(NTSTATUS status)
{
    while (!reads_.empty()) {
        LowerRequestPtr read = reads_.front();
        reads_.pop_front();
        read->Complete(status);
    }
    while (!writes_.empty()) {
        Write write = writes_.front();
        writes_.pop_front();
        write.request->Complete(status, write.sent);
    }
    rx_.clear();
}

void PosixSerialPort::HangUp()
{
    if (removed_) {
        return;
    }
    removed_ = true;
    EndAll(STATUS_CANCELLED);
    Release();
    if (registry_ != nullptr && !deviceName_.empty()) {
        registry_->RemoveSerialPort(deviceName_);
    }
    ReportRemoved();
}

} // namespace platform
