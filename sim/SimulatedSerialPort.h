/*
 * A serial port's driver for the simulated line: a UART whose transmitter
 * and receiver are a station on a HartLine. It takes the serial requests a
 * serial port driver takes (recording the configuration so that tests can
 * read it back), completes a one-character read when a character arrives,
 * puts a written frame on the line at the configured bit rate with RTS up
 * while it goes out, purges, cancels, and can be removed. Faults can be
 * injected for tests: refused or late requests, read and write errors.
 */
#pragma once

#include <cstdint>
#include <deque>
#include <functional>
#include <map>
#include <memory>
#include <optional>
#include <string>

#include <ntddser.h>
#include <platform/Host.h>
#include <platform/LowerDevice.h>

#include "sim/HartLine.h"

namespace sim {

/* When a write completes: once the UART took the frame, or once it has left the line. */
enum class WriteCompletion { WhenQueued, WhenSent };

/* The configuration the port's driver has been sent, as the port holds it now. */
struct SerialSettings {
    ULONG baudRate = 9600;
    SERIAL_LINE_CONTROL lineControl{STOP_BIT_1, NO_PARITY, 8};
    SERIAL_HANDFLOW handFlow{};
    SERIAL_TIMEOUTS timeouts{};
    ULONG fifoControl = 0;
    ULONG waitMask = 0;
    bool dtr = false;
    unsigned purges = 0;
    ULONG lastPurgeMask = 0;
    /* What the last open asked for. */
    ACCESS_MASK openAccess = 0;
};

class SimulatedSerialPort : public platform::LowerDevice {
public:
    SimulatedSerialPort(HartLine& line, std::string name);
    /* The host keeps its lower devices until it goes, which is after the line
       it runs: whoever owns the line disconnects the port from it first. */
    ~SimulatedSerialPort() override;
    void Disconnect();

    /* Registers the port as deviceName (e.g. \Device\Serial0) and lists it in
       the serial device map as comName. */
    static std::shared_ptr<SimulatedSerialPort> Create(platform::Host& host, HartLine& line,
                                                       const std::u16string& deviceName, const std::string& comName);

    const SerialSettings& Settings() const { return settings_; }
    /* What an earlier program left on the port, as the next one to open it finds it. */
    SerialSettings& Settings() { return settings_; }
    StationId Station() const { return station_; }
    /* RTS: up while the UART sends. */
    bool Rts() const { return line_.Transmitting(station_); }
    std::size_t PendingReads() const { return reads_.size(); }
    std::size_t WritesSeen() const { return writesSeen_; }
    /* Characters received and not yet read. */
    std::size_t Buffered() const { return rx_.size(); }
    /* Called with every character the UART receives, as it arrives, whether or
       not a read takes it: what an analyser on the port's receive pin sees. */
    void Tap(std::function<void(const LineCharacter&)> tap) { tap_ = std::move(tap); }

    WriteCompletion writeCompletion = WriteCompletion::WhenSent;
    /* WhenQueued only: the UART reports the write this long after taking it,
       as a driver whose completion waits for its next interrupt would. */
    Ticks queuedWriteReportDelay{0};

    /* ---- Fault injection ---- */
    /* Requests of this kind (an IOCTL code, or 0 for reads/writes with the major) fail at once with status. */
    void RejectIoControl(ULONG ioControlCode, NTSTATUS status) { rejectedControls_[ioControlCode] = status; }
    void RejectWrites(std::optional<NTSTATUS> status) { rejectedWrite_ = status; }
    /* Opens fail with status until cleared, as a port that another program took or that lost its power. */
    void RejectOpens(std::optional<NTSTATUS> status) { rejectedOpen_ = status; }
    /* Control requests complete after this delay instead of at once. */
    void DelayControls(Ticks delay) { controlDelay_ = delay; }
    /* The next read completes with this status; with a character when carry is
       set, in which case it waits for one to arrive. */
    void InjectReadStatus(NTSTATUS status, bool carryCharacter);
    /* The serial port goes away at instant at (line time). */
    void RemoveAt(Ticks at);

    /* ---- LowerDevice ---- */
    NTSTATUS Open(const platform::LowerOpenParameters& parameters) override;
    void Close() override;
    void StartIo(const platform::LowerRequestPtr& request) override;
    void Cancel(const platform::LowerRequestPtr& request) override;

private:
    struct InjectedRead {
        NTSTATUS status;
        bool carryCharacter;
    };

    void Control(const platform::LowerRequestPtr& request);
    NTSTATUS ApplyControl(ULONG code, std::span<const std::uint8_t> input);
    void Purge(ULONG mask);
    void Write(const platform::LowerRequestPtr& request);
    void Hear(const LineCharacter& character);
    /* Completes waiting reads while characters (or injected faults) are there. */
    void ServeReads();
    void CancelReads(NTSTATUS status);
    void EndAll(NTSTATUS status);
    void Later(Ticks delay, std::function<void()> task);

    HartLine& line_;
    StationId station_;
    bool connected_ = true;
    SerialSettings settings_;
    std::deque<platform::LowerRequestPtr> reads_;
    std::deque<std::uint8_t> rx_;
    std::deque<InjectedRead> injectedReads_;
    platform::LowerRequestPtr write_;
    std::size_t writesSeen_ = 0;
    /* What else goes when the port goes: its entry in the serial device map. */
    std::function<void()> onRemoved_;
    std::function<void(const LineCharacter&)> tap_;
    std::map<ULONG, NTSTATUS> rejectedControls_;
    std::optional<NTSTATUS> rejectedWrite_;
    std::optional<NTSTATUS> rejectedOpen_;
    Ticks controlDelay_{0};
    std::map<std::uint64_t, platform::Dispatcher::TimerKey> scheduled_;
    std::uint64_t nextScheduled_ = 0;
    /* Characters the UART keeps for the reader, as a driver's receive buffer. */
    static constexpr std::size_t kReceiveBuffer = 4096;
};

} // namespace sim
