/*
 * One scripted transaction of the link engine on the virtual clock: the
 * master starts up, waits out the quiet time, sends a client's Read Unique
 * Identifier request, and a field device's answer arrives character by
 * character at 1200 bit/s. Every master state and trace line is printed with
 * the simulated time at which it happened.
 */
#include <cstdio>
#include <string>

#include <platform/Host.h>

#include "link/HartTrace.h"
#include "sim/LinkHarness.h"

namespace {

/* 11 bits per character at 1200 bit/s. */
constexpr platform::Ticks kCharacterTime{110000000 / 1200};
/* The field device starts its answer a few character times after the request. */
constexpr int kTurnaroundCharacters = 2;

std::string Hex(const sim::Bytes& bytes)
{
    std::string text;
    char digits[4];
    for (auto b : bytes) {
        std::snprintf(digits, sizeof(digits), "%02X ", b);
        text += digits;
    }
    if (!text.empty()) {
        text.pop_back();
    }
    return text;
}

/* Prints the debug output a line at a time, stamped with the simulated time. */
class TimedPrinter {
public:
    explicit TimedPrinter(platform::Host& host) : host_(host) {}

    void Take(std::string_view text)
    {
        for (char c : text) {
            if (c == '\n') {
                Line(pending_);
                pending_.clear();
            } else {
                pending_ += c;
            }
        }
    }

    void Line(const std::string& line) const
    {
        double ms = static_cast<double>(host_.Now().count()) / 10000.0;
        std::printf("%9.2f ms  %s\n", ms, line.c_str());
    }

private:
    platform::Host& host_;
    std::string pending_;
};

} // namespace

int main()
{
    platform::Host host;
    TimedPrinter printer(host);
    host.SetDebugSink([&](ULONG, ULONG, std::string_view text) { printer.Take(text); });
    /* Errors and notable events, master states, receiver events, timer expiries. */
    HartSetDebugLevel(0x21);

    std::printf("HartDriver demo: one transaction of the link engine on the simulated clock\n\n");
    sim::LinkHarness harness(host);
    harness.StartLinkTimer();

    const sim::Bytes request = sim::Frame(5, sim::FrameBody(0x02, {0x80}, 0x00));
    const sim::Bytes answer = sim::Frame(
        5, sim::FrameBody(0x06, {0x80}, 0x00,
                          {0x00, 0x00, 0xFE, 0x26, 0x06, 0x05, 0x07, 0x01, 0x03, 0x10, 0x00, 0x12, 0x34, 0x56}));

    /* The field device hears the request and answers after its turnaround. */
    harness.OnSerialWrite([&](const sim::Bytes& frame) {
        printer.Line("serial write: " + Hex(frame));
        platform::Ticks onLine = static_cast<long>(frame.size()) * kCharacterTime;
        /* Like a UART with a FIFO, the serial driver completes as soon as it took the frame. */
        host.Post([&harness, size = frame.size()] { harness.SerialWriteCompletes(STATUS_SUCCESS, size); });
        platform::Ticks start = host.Now() + onLine + kTurnaroundCharacters * kCharacterTime;
        for (size_t i = 0; i < answer.size(); i++) {
            host.GetDispatcher().Schedule(start + static_cast<long>(i) * kCharacterTime,
                                          [&harness, c = answer[i]] { harness.Receive({c}); });
        }
    });

    harness.Tick(40);
    printer.Line("client writes: " + Hex(request));
    auto write = harness.ClientWrite(request);
    harness.Tick(60);

    std::printf("\nclient write completed: status 0x%08X, %lu bytes written\n",
                static_cast<unsigned>(write->Status()), static_cast<unsigned long>(write->Information()));
    std::printf("answer for the client:  %s\n", Hex(harness.ReadableFrame()).c_str());
    std::printf("master state now:       %s\n", harness.State().c_str());
    return write->Completed() && write->Status() == STATUS_SUCCESS ? 0 : 1;
}
