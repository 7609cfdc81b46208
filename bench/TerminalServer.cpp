#include "TerminalServer.h"

#include <sys/epoll.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdio>
#include <exception>
#include <memory>

#include <platform/Dispatcher.h>
#include <platform/Host.h>

#include "PtyLine.h"

namespace bench {

namespace {

double Seconds(const timeval& time)
{
    return static_cast<double>(time.tv_sec) + static_cast<double>(time.tv_usec) * 1e-6;
}

/*
 * The field devices' side, in a child process: makes the
 * terminals, tells the parent their paths, and serves them until the parent
 * closes the pipe.
 */
[[noreturn]] void ServeTerminals(int ports, int toParent, int fromParent)
{
    int status = 0;
    try {
        /* One loop for all lines, moderated as the host's is: a field device is not
           a program on the host, and one that woke for every character of every
           line would take the CPU and caches the measured process runs on. */
        platform::Dispatcher loop(platform::Clock::Real);
        loop.SetWakeCoalescing(platform::HostOptions{}.wakeCoalescing);
        std::vector<std::unique_ptr<tools::PtyLine>> lines;
        std::string paths;
        for (int i = 0; i < ports; i++) {
            lines.push_back(std::make_unique<tools::PtyLine>(1, &loop, 5));
            paths += lines.back()->Path();
            paths += '\n';
        }
        paths += '\n';
        [[maybe_unused]] ssize_t sent = write(toParent, paths.data(), paths.size());
        close(toParent);
        bool parentGone = false;
        loop.WatchFd(fromParent, EPOLLIN | EPOLLHUP, [&](std::uint32_t) {
            char ignored;
            parentGone = read(fromParent, &ignored, 1) <= 0;
        });
        loop.RunUntil([&] { return parentGone; }, platform::Ticks::max());
        loop.UnwatchFd(fromParent);
    } catch (const std::exception& e) {
        std::fprintf(stderr, "field devices: %s\n", e.what());
        status = 1;
    }
    std::fflush(stderr);
    _exit(status);
}

} // namespace

TerminalServer StartTerminalServer(int ports)
{
    TerminalServer server;
    int up[2];
    int down[2];
    if (pipe(up) != 0 || pipe(down) != 0) {
        return server;
    }
    std::fflush(stdout);
    server.child = fork();
    if (server.child == 0) {
        close(up[0]);
        close(down[1]);
        ServeTerminals(ports, up[1], down[0]);
    }
    close(up[1]);
    close(down[0]);
    server.toChild = down[1];
    if (server.child < 0) {
        close(up[0]);
        return server;
    }
    std::string text;
    char buffer[1024];
    while (text.size() < 2 || text.compare(text.size() - 2, 2, "\n\n") != 0) {
        ssize_t count = read(up[0], buffer, sizeof(buffer));
        if (count <= 0) {
            break;
        }
        text.append(buffer, static_cast<std::size_t>(count));
    }
    close(up[0]);
    std::size_t at = 0;
    for (std::size_t end; (end = text.find('\n', at)) != std::string::npos && end > at; at = end + 1) {
        server.paths.push_back(text.substr(at, end - at));
    }
    return server;
}

double StopTerminalServer(TerminalServer& server)
{
    if (server.toChild >= 0) {
        close(server.toChild);
        server.toChild = -1;
    }
    if (server.child <= 0) {
        return 0;
    }
    int status = 0;
    rusage usage{};
    wait4(server.child, &status, 0, &usage);
    server.child = -1;
    return Seconds(usage.ru_utime) + Seconds(usage.ru_stime);
}

} // namespace bench
