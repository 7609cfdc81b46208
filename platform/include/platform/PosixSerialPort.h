/*
 * A serial port's driver for a real tty (a UART, a USB serial adapter, a
 * pseudo-terminal): the lower device the driver opens as its I/O target
 * when it runs on real hardware.
 *
 * The tty is opened when the driver opens the device and closed with it.
 * The serial requests become termios settings and modem-line changes;
 * reads are fed from the dispatcher's epoll, writes go out whole (the rest
 * of a partial write when the tty is writable again). RTS is up only while
 * sending: the kernel's RS-485 mode does it where the tty supports it,
 * otherwise RTS is raised before the write and dropped once the output
 * queue has drained and the last character has left, checked from timers
 * on the dispatcher. A hang-up (or EIO) removes the device.
 */
#pragma once

#include <cstdint>
#include <deque>
#include <memory>
#include <optional>
#include <string>

#include <ntddser.h>
#include <platform/Dispatcher.h>
#include <platform/LowerDevice.h>

namespace platform {

class Host;
class Registry;

/*
 * What the port asks the kernel about RTS and the transmitter. A seam of
 * its own because a pseudo-terminal has no modem lines: tests put a
 * recording one in to watch RTS around the writes.
 */
class TtyLines {
public:
    virtual ~TtyLines();
    /* Kernel RS-485 mode with RTS raised on send; false when the tty cannot. */
    virtual bool EnableRs485(int fd) = 0;
    /* Puts back what EnableRs485 changed. */
    virtual void RestoreRs485(int fd) = 0;
    /* The modem lines as TIOCM_* bits; nullopt when the tty has none (a pseudo-terminal). */
    virtual std::optional<int> ModemLines(int fd) = 0;
    /* One modem line (TIOCM_RTS, TIOCM_DTR); false when the tty has no such line. */
    virtual bool SetModemLine(int fd, int line, bool on) = 0;
    /* Bytes not yet sent from the tty's output queue; nullopt when it cannot tell. */
    virtual std::optional<int> OutputQueue(int fd) = 0;
    /* The transmitter's shift register is empty too; nullopt when the tty cannot tell. */
    virtual std::optional<bool> TransmitterEmpty(int fd) = 0;
};

/* The kernel's ioctls. */
std::unique_ptr<TtyLines> KernelTtyLines();

/* How the port stands, for tests and tools. */
struct PosixSerialState {
    bool open = false;
    bool rs485 = false;
    bool rts = false;
    bool dtr = false;
    /* The tty has RTS and DTR at all (a pseudo-terminal has not). */
    bool modemLines = false;
    bool transmitToggle = false;
    ULONG baudRate = 0;
    /* As last requested; zero until then. */
    SERIAL_LINE_CONTROL lineControl{};
    SERIAL_TIMEOUTS timeouts{};
    ULONG fifoControl = 0;
    ULONG waitMask = 0;
};

class PosixSerialPort : public LowerDevice, public std::enable_shared_from_this<PosixSerialPort> {
public:
    /* The port must not outlive the dispatcher. */
    PosixSerialPort(Dispatcher& dispatcher, std::string path, std::unique_ptr<TtyLines> lines = nullptr);
    ~PosixSerialPort() override;

    /* Registers a port for path as deviceName (\Device\Serial0) and lists it in
       the serial device map as comName. Null (and the status) when the name is taken. */
    static std::shared_ptr<PosixSerialPort> Create(Host& host, const std::string& path, const std::u16string& deviceName,
                                                   const std::string& comName, NTSTATUS* status = nullptr,
                                                   std::unique_ptr<TtyLines> lines = nullptr);

    const std::string& Path() const { return path_; }
    PosixSerialState State() const;
    std::size_t PendingReads() const { return reads_.size(); }

    /* ---- LowerDevice ---- */
    NTSTATUS Open(const LowerOpenParameters& parameters) override;
    void Close() override;
    void StartIo(const LowerRequestPtr& request) override;
    void Cancel(const LowerRequestPtr& request) override;

private:
    struct Write {
        LowerRequestPtr request;
        std::size_t sent = 0;
    };

    void Control(const LowerRequestPtr& request);
    NTSTATUS ApplyControl(ULONG code, std::span<const std::uint8_t> input);
    NTSTATUS SetBaudRate(ULONG rate);
    NTSTATUS SetLineControl(const SERIAL_LINE_CONTROL& control);
    NTSTATUS SetHandFlow(const SERIAL_HANDFLOW& handFlow);
    void Purge(ULONG mask);

    void OnEvents(std::uint32_t events);
    void ReadAvailable(bool hangUpReported);
    void ServeReads();
    void StartNextWrite();
    void ContinueWrite();
    void WatchWritable(bool on);
    void SetRts(bool on);
    void SetDtr(bool on);
    /* Toggle mode without the kernel's help: RTS drops when the line is quiet. */
    void WatchDrain();
    void CheckDrain(bool lastCharacterAllowedFor);
    void CancelDrainCheck();
    /* The time one character takes at the current settings. */
    Ticks CharacterTime() const;

    void EndAll(NTSTATUS status);
    void HangUp();
    void Release();

    Dispatcher& dispatcher_;
    std::string path_;
    std::unique_ptr<TtyLines> lines_;
    Registry* registry_ = nullptr;
    std::string deviceName_;

    int fd_ = -1;
    unsigned opens_ = 0;
    bool removed_ = false;
    bool watchingWritable_ = false;
    PosixSerialState state_;
    unsigned bitsPerCharacter_ = 11;

    std::deque<LowerRequestPtr> reads_;
    std::deque<std::uint8_t> rx_;
    std::deque<Write> writes_;
    std::optional<Dispatcher::TimerKey> drainCheck_;
    /* When the last character handed to the kernel should have left the line. */
    Ticks lineQuietAt_{0};

    /* Characters kept for the reader, as a UART driver's receive buffer; more are dropped. */
    static constexpr std::size_t kReceiveBuffer = 4096;
};

} // namespace platform
