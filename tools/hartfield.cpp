/*
 * hartfield: simulated HART field devices behind a pseudo-terminal, to try
 * hartctl --tty (or any HART master program) without a modem. Prints the
 * terminal's path and answers until interrupted.
 */
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <exception>

#include "PtyLine.h"

int main(int argc, char** argv)
{
    int devices = argc > 1 ? std::atoi(argv[1]) : 1;
    if (argc > 2 || devices < 1 || devices > 15 || (argc > 1 && argv[1][0] == '-')) {
        std::fprintf(stderr, "usage: hartfield [DEVICES]   (1 to 15 field devices, polling addresses 0, 1, ...)\n");
        return 2;
    }
    sigset_t signals;
    sigemptyset(&signals);
    sigaddset(&signals, SIGINT);
    sigaddset(&signals, SIGTERM);
    /* The line's thread inherits the mask, so the signal waits for sigwait below. */
    pthread_sigmask(SIG_BLOCK, &signals, nullptr);
    try {
        tools::PtyLine line(devices);
        std::printf("%s\n", line.Path().c_str());
        std::fflush(stdout);
        std::fprintf(stderr, "hartfield: %d field device%s behind %s; try: hartctl --tty %s identify\n", devices,
                     devices == 1 ? "" : "s", line.Path().c_str(), line.Path().c_str());
        int received = 0;
        sigwait(&signals, &received);
    } catch (const std::exception& e) {
        std::fprintf(stderr, "hartfield: %s\n", e.what());
        return 1;
    }
    return 0;
}
