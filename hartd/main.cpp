/*
 * hartd: hosts HartDriver on the real clock, keeps its ports open and serves
 * them over HART-IP. Runs in the foreground and logs to stderr; SIGTERM or
 * SIGINT stops it cleanly, and the framework objects left after the driver
 * unloaded are counted at the end (0, or the exit status is 1).
 */
#include <csignal>
#include <cstdio>
#include <iostream>

#include <sys/signalfd.h>
#include <unistd.h>

#include "Options.h"
#include "Server.h"
#include "Station.h"

int main(int argc, char** argv)
{
    const std::vector<std::string> args(argv + 1, argv + argc);
    hartd::ParseOutcome parsed = hartd::ParseArguments(args, std::cout, std::cerr);
    if (!parsed.options) {
        return parsed.exitCode;
    }
    /* Taken as events on the loop, never as handlers that interrupt it. */
    sigset_t stops;
    sigemptyset(&stops);
    sigaddset(&stops, SIGTERM);
    sigaddset(&stops, SIGINT);
    sigprocmask(SIG_BLOCK, &stops, nullptr);
    const int signals = signalfd(-1, &stops, SFD_NONBLOCK | SFD_CLOEXEC);
    std::signal(SIGPIPE, SIG_IGN);

    int status = 0;
    {
        hartd::Station station(*parsed.options);
        if (!station.LoadFailure().empty()) {
            std::cerr << "hartd: " << station.LoadFailure() << std::endl;
            status = 1;
        } else {
            hartd::Server server(station, *parsed.options, std::cerr);
            if (auto failure = server.Start()) {
                std::cerr << "hartd: " << *failure << std::endl;
                status = 1;
            } else {
                std::cerr << "hartd: ready" << std::endl;
                server.Run(signals);
                const hartd::Server::Figures own = server.OwnTime();
                if (own.transactions > 0) {
                    std::fprintf(stderr,
                                 "hartd: %llu line transactions; the server's own time per transaction p50 %.0f us, "
                                 "p99 %.0f us, max %.0f us\n",
                                 static_cast<unsigned long long>(own.transactions), own.p50Us, own.p99Us, own.maxUs);
                }
            }
        }
        const std::size_t left = station.Unload();
        std::cerr << "hartd: driver unloaded; " << left << " framework objects left" << std::endl;
        if (left != 0) {
            status = 1;
        }
    }
    close(signals);
    return status;
}
