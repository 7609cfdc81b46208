/*
 * hartfield: simulated HART field devices behind a pseudo-terminal, to try
 * hartctl --tty (or any HART master program) without a modem. Prints the
 * terminal's path and answers until interrupted. Commands can be made slow,
 * to see how a master copes with a device that is busy or answers through
 * delayed responses.
 */
#include <cerrno>
#include <chrono>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <exception>
#include <map>
#include <optional>
#include <string>

#include "PtyLine.h"

namespace {

void Usage()
{
    std::fprintf(stderr,
                 "usage: hartfield [OPTIONS] [DEVICES]   (1 to 15 field devices, polling addresses 0, 1, ...)\n"
                 "  --busy CMD:N         command CMD answers \"busy\" N times before it is carried out\n"
                 "  --delayed CMD:SECS   command CMD runs as a delayed response that takes SECS seconds\n"
                 "  --dead CMD:SECS      likewise, but the device loses it: \"delayed response dead\"\n"
                 "Options apply to every device and may be repeated; CMD is 0 to 65535.\n");
}

/* "CMD:VALUE" with a command number and a positive number after the colon. */
std::optional<std::pair<std::uint16_t, double>> CommandAndValue(const char* text)
{
    char* end = nullptr;
    errno = 0;
    const unsigned long command = std::strtoul(text, &end, 10);
    if (end == text || *end != ':' || errno != 0 || command > 0xFFFF || text[0] == '-' || text[0] == '+') {
        return std::nullopt;
    }
    const char* valueText = end + 1;
    const double value = std::strtod(valueText, &end);
    if (end == valueText || *end != '\0' || errno != 0 || !(value > 0.0)) {
        return std::nullopt;
    }
    return std::pair{static_cast<std::uint16_t>(command), value};
}

} // namespace

int main(int argc, char** argv)
{
    int devices = 1;
    bool devicesGiven = false;
    std::map<std::uint16_t, sim::SlowCommand> slow;
    for (int i = 1; i < argc; i++) {
        const std::string option = argv[i];
        if (option == "--busy" || option == "--delayed" || option == "--dead") {
            auto parsed = i + 1 < argc ? CommandAndValue(argv[++i]) : std::nullopt;
            /* A busy count must be whole, and a delay no longer than an hour. */
            if (!parsed || (option == "--busy" && (parsed->second != static_cast<int>(parsed->second) ||
                                                    parsed->second > 1000)) ||
                (option != "--busy" && parsed->second > 3600.0)) {
                std::fprintf(stderr, "hartfield: %s wants CMD:%s\n", option.c_str(),
                             option == "--busy" ? "N (1 to 1000)" : "SECONDS (up to 3600)");
                Usage();
                return 2;
            }
            sim::SlowCommand& how = slow[parsed->first];
            if (option == "--busy") {
                how.busyAnswers = static_cast<int>(parsed->second);
            } else {
                how.delayedResponse = true;
                how.delay = std::chrono::duration_cast<sim::Ticks>(std::chrono::duration<double>(parsed->second));
                how.dies = option == "--dead";
            }
            continue;
        }
        char* end = nullptr;
        const long count = std::strtol(argv[i], &end, 10);
        if (devicesGiven || option.empty() || option[0] == '-' || *end != '\0' || count < 1 || count > 15) {
            Usage();
            return 2;
        }
        devices = static_cast<int>(count);
        devicesGiven = true;
    }
    sigset_t signals;
    sigemptyset(&signals);
    sigaddset(&signals, SIGINT);
    sigaddset(&signals, SIGTERM);
    /* The line's thread inherits the mask, so the signal waits for sigwait below. */
    pthread_sigmask(SIG_BLOCK, &signals, nullptr);
    try {
        tools::PtyLine line(devices);
        line.Call([&] {
            for (int i = 0; i < devices; i++) {
                line.Device(i).Config().slowCommands = slow;
            }
        });
        std::printf("%s\n", line.Path().c_str());
        std::fflush(stdout);
        std::fprintf(stderr, "hartfield: %d field device%s behind %s; try: hartctl --tty %s identify\n", devices,
                     devices == 1 ? "" : "s", line.Path().c_str(), line.Path().c_str());
        for (const auto& [command, how] : slow) {
            std::fprintf(stderr, "hartfield: command %u", static_cast<unsigned>(command));
            if (how.busyAnswers > 0) {
                std::fprintf(stderr, " answers busy %d time%s", how.busyAnswers, how.busyAnswers == 1 ? "" : "s");
            }
            if (how.delayedResponse) {
                std::fprintf(stderr, "%s takes %.1f s as a delayed response%s", how.busyAnswers > 0 ? " and" : "",
                             std::chrono::duration<double>(how.delay).count(), how.dies ? " and dies" : "");
            }
            std::fprintf(stderr, "\n");
        }
        int received = 0;
        sigwait(&signals, &received);
    } catch (const std::exception& e) {
        std::fprintf(stderr, "hartfield: %s\n", e.what());
        return 1;
    }
    return 0;
}
