/*
 * A simulated HART line behind a pseudo-terminal: field devices on a
 * HartLine, and a bridge station that puts what arrives at the pty's master
 * side on the line and hands every character heard there back to it. A
 * program that opens the pty's other side (hartctl --tty, the posix tests)
 * talks to the field devices as it would through a HART modem, at 1200 bit/s.
 *
 * The line runs on a dispatcher and thread of its own, on the real clock,
 * so it can sit next to a host in the same process; or many lines share one
 * dispatcher, which costs one thread and few wake-ups for them all.
 */
#pragma once

#include <atomic>
#include <functional>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include <termios.h>

#include <platform/Dispatcher.h>

#include "sim/FieldDevice.h"
#include "sim/HartLine.h"

namespace tools {

class PtyLine {
public:
    /* Field devices at polling addresses 0, 1, ..., of that universal revision;
       throws std::system_error without a pty. The line runs on a real-clock
       dispatcher and thread of its own, or on shared, whose loop the caller
       runs (and then calls every method on its thread). */
    explicit PtyLine(int fieldDevices = 1, platform::Dispatcher* shared = nullptr, std::uint8_t universalRevision = 7);
    ~PtyLine();
    PtyLine(const PtyLine&) = delete;
    PtyLine& operator=(const PtyLine&) = delete;

    /* The terminal to open: /dev/pts/N. */
    const std::string& Path() const { return path_; }

    /* Runs task on the line's thread and waits for it. */
    void Call(const std::function<void()>& task);
    sim::FieldDevice& Device(int index) { return *devices_.at(static_cast<std::size_t>(index)); }
    /* Requests the device has heard, asked on the line's thread. */
    std::size_t RequestsHeard(int index);
    /* The terminal's settings as whoever opened it left them. */
    termios Settings();
    /* Closes the master side: whoever has the terminal open sees a hang-up. */
    void HangUp();
    /* Called on the line's thread with each character just after it was put on the
       terminal, so a measurement can tell when an answer's last character arrived. */
    void WatchToTerminal(std::function<void(std::uint8_t)> watcher);

private:
    void FromTerminal();

    std::string path_;
    int master_ = -1;
    /* Keeps the terminal from hanging up while nobody else has it open. */
    int keepOpen_ = -1;
    std::unique_ptr<platform::Dispatcher> ownDispatcher_;
    platform::Dispatcher& dispatcher_;
    std::unique_ptr<sim::HartLine> line_;
    std::vector<std::unique_ptr<sim::FieldDevice>> devices_;
    sim::StationId bridge_ = 0;
    std::function<void(std::uint8_t)> toTerminal_;
    std::atomic<bool> stop_{false};
    std::thread thread_;
};

} // namespace tools
