/*
 * hartd's figures on pseudo-terminals at 1200 bit/s, on the real clock.
 * Field devices (revision 5, one per line) run in a child process behind
 * the terminals; hartd's station and server run on a thread of this process;
 * UDP sessions on loopback keep one command-0 request each outstanding, so
 * every line always has requests waiting from every session.
 *
 *  - each line's transactions per second against the line's bound (request
 *    and answer characters, the device's turnaround and the master's wait
 *    after an answer), and how evenly the sessions of one line were served
 *    (Jain's index, 1.0 when all got the same);
 *  - the server's own time per transaction (p50, p99, as hartd counts it);
 *  - CPU of the server's thread (the server, the driver and the host) per
 *    transaction, and what is left of it once the cost of the open ports
 *    standing idle (5 s measured before the load) is taken off;
 *  - heap per session while all sessions are open and busy;
 *  - how often the server's thread woke and read per transaction, and what
 *    a bare wake-up and a bare one-character read cost on this machine: the
 *    floor under the CPU figure that no work in the server can lower.
 *
 *   build/release/bench/hartd_figures [seconds] [ports] [sessions per port]   (default 20 16 8)
 */
#include <malloc.h>
#include <netinet/in.h>
#include <pthread.h>
#include <sys/epoll.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <future>
#include <memory>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include <platform/Host.h>

#include "HartIp.h"
#include "MachineCost.h"
#include "PtyLine.h"
#include "Server.h"
#include "Station.h"
#include "TerminalServer.h"
#include "sim/FieldDevice.h"
#include "sim/HartLine.h"

namespace {

using namespace std::chrono_literals;
using Clock = std::chrono::steady_clock;

/* One line's bound: request and answer characters, the device's turnaround, and RT2 (8 link ticks). */
double LineBoundSeconds(std::size_t requestCharacters, std::size_t answerCharacters, double turnaround)
{
    const double character = std::chrono::duration<double>(sim::kHartCharacterTime).count();
    return static_cast<double>(requestCharacters + answerCharacters) * character + turnaround + 8 * 0.010;
}

/* The user and system seconds a thread of this process has run, as the kernel's accounting counts them. */
std::pair<double, double> ThreadUserSystemSeconds(pid_t tid)
{
    std::FILE* file = std::fopen(("/proc/self/task/" + std::to_string(tid) + "/stat").c_str(), "r");
    if (file == nullptr) {
        return {0, 0};
    }
    char line[1024] = {};
    const bool read = std::fgets(line, sizeof(line), file) != nullptr;
    std::fclose(file);
    /* The name may hold spaces; the fields count from the parenthesis that closes it. */
    const char* rest = read ? std::strrchr(line, ')') : nullptr;
    unsigned long user = 0;
    unsigned long system = 0;
    if (rest == nullptr ||
        std::sscanf(rest + 2, "%*c %*d %*d %*d %*d %*d %*u %*u %*u %*u %*u %lu %lu", &user, &system) != 2) {
        return {0, 0};
    }
    const double tick = static_cast<double>(sysconf(_SC_CLK_TCK));
    return {static_cast<double>(user) / tick, static_cast<double>(system) / tick};
}

/* A counter of a thread of this process from one of its /proc files, from its "key: value" line. */
unsigned long ThreadCounter(pid_t tid, const char* file, const std::string& key)
{
    std::FILE* stream = std::fopen(("/proc/self/task/" + std::to_string(tid) + "/" + file).c_str(), "r");
    if (stream == nullptr) {
        return 0;
    }
    char line[256];
    unsigned long value = 0;
    while (std::fgets(line, sizeof(line), stream) != nullptr) {
        if (std::strncmp(line, key.c_str(), key.size()) == 0 && line[key.size()] == ':') {
            value = std::strtoul(line + key.size() + 1, nullptr, 10);
            break;
        }
    }
    std::fclose(stream);
    return value;
}

struct WakesAndReads {
    unsigned long wakes = 0;
    unsigned long reads = 0;
};

WakesAndReads ThreadWakesAndReads(pid_t tid)
{
    return {ThreadCounter(tid, "status", "voluntary_ctxt_switches"), ThreadCounter(tid, "io", "syscr")};
}

hartip::Bytes CommandZero(std::uint16_t sequence)
{
    const hartip::Bytes frame{0x02, 0x80, 0x00, 0x00, 0x82};
    return hartip::BuildMessage(hartip::kRequest, hartip::kTokenPassingPdu, 0, sequence, frame);
}

struct Client {
    int fd = -1;
    int port = 0;
    std::uint16_t sequence = 0;
    long answered = 0;
    long failed = 0;
};

} // namespace

int main(int argc, char** argv)
{
    const double seconds = argc > 1 ? std::atof(argv[1]) : 20.0;
    const int ports = argc > 2 ? std::atoi(argv[2]) : 16;
    const int sessions = argc > 3 ? std::atoi(argv[3]) : 8;
    if (seconds <= 0 || ports < 1 || ports > 64 || sessions < 1 || sessions > 64) {
        std::fprintf(stderr, "usage: hartd_figures [seconds] [ports 1-64] [sessions per port 1-64]\n");
        return 2;
    }
    bench::TerminalServer terminals = bench::StartTerminalServer(ports);
    if (terminals.paths.size() != static_cast<std::size_t>(ports)) {
        std::fprintf(stderr, "hartd_figures: the field devices did not start\n");
        return 1;
    }

    hartd::Options options;
    options.ttys = terminals.paths;
    for (int i = 0; i < ports; i++) {
        options.listens.push_back(hartd::Listen{"COM" + std::to_string(i + 1), "127.0.0.1", 0});
    }
    options.maxSessions = static_cast<std::size_t>(sessions);
    int stop[2];
    if (pipe(stop) != 0) {
        return 1;
    }
    std::promise<std::vector<std::string>> bound;
    std::future<std::vector<std::string>> boundFuture = bound.get_future();
    hartd::Server::Figures own;
    std::size_t objectsLeft = 0;
    std::atomic<pid_t> serverTid{0};
    std::thread serverThread([&] {
        serverTid = gettid();
        std::ostringstream log;
        hartd::Station station(options);
        station.Host().SetDebugSink([](ULONG, ULONG, std::string_view) {});
        hartd::Server server(station, options, log);
        if (!station.LoadFailure().empty() || server.Start()) {
            std::fprintf(stderr, "hartd_figures: the server did not start: %s%s\n", station.LoadFailure().c_str(),
                         log.str().c_str());
            bound.set_value({});
        } else {
            bound.set_value(server.Bound());
            server.Run(stop[0]);
            own = server.OwnTime();
        }
        objectsLeft = station.Unload();
    });
    clockid_t serverCpu{};
    pthread_getcpuclockid(serverThread.native_handle(), &serverCpu);
    const std::vector<std::string> where = boundFuture.get();
    if (where.size() != static_cast<std::size_t>(ports)) {
        serverThread.join();
        return 1;
    }
    const std::size_t heapBefore = mallinfo2().uordblks;
    /* What the open ports cost with nothing to do (link ticks, the loop's wake-ups), to tell the rest apart. */
    const double idleStart = bench::CpuSeconds(serverCpu);
    const auto idleEnd = Clock::now() + 5s;
    const std::pair<double, double> bare{bench::BareWakeUpMicroseconds(10ms), bench::BareCharacterReadMicroseconds()};
    std::this_thread::sleep_until(idleEnd);
    const double idlePerSecond = (bench::CpuSeconds(serverCpu) - idleStart) / 5.0;

    const int epoll = epoll_create1(EPOLL_CLOEXEC);
    std::vector<Client> clients(static_cast<std::size_t>(ports * sessions));
    for (std::size_t i = 0; i < clients.size(); i++) {
        Client& client = clients[i];
        client.port = static_cast<int>(i) / sessions;
        client.fd = socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0);
        sockaddr_in address{};
        address.sin_family = AF_INET;
        address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        const std::string& text = where[static_cast<std::size_t>(client.port)];
        address.sin_port = htons(static_cast<std::uint16_t>(std::stoi(text.substr(text.rfind(':') + 1))));
        connect(client.fd, reinterpret_cast<sockaddr*>(&address), sizeof(address));
        epoll_event event{};
        event.events = EPOLLIN;
        event.data.u64 = i;
        epoll_ctl(epoll, EPOLL_CTL_ADD, client.fd, &event);
        const hartip::Bytes initiate = hartip::BuildMessage(hartip::kRequest, hartip::kSessionInitiate, 0, 0,
                                                            hartip::InitiateBodyBytes({1, 600000}));
        send(client.fd, initiate.data(), initiate.size(), 0);
    }

    /* Every answer is followed at once by the session's next request. */
    const auto warmUp = Clock::now() + 3s;
    const auto end = warmUp + std::chrono::duration_cast<Clock::duration>(std::chrono::duration<double>(seconds));
    bool measuring = false;
    double cpuStart = 0;
    std::pair<double, double> splitStart;
    WakesAndReads countsStart;
    std::size_t heapBusy = 0;
    std::vector<long> windowStart(clients.size(), 0);
    /* When each line's answers came: a line's rate is taken between its first and last answer in the
       window, so that the transactions cut by the window's edges do not count for or against it. */
    std::vector<std::vector<Clock::time_point>> answeredAt(static_cast<std::size_t>(ports));
    epoll_event events[64];
    while (Clock::now() < end) {
        if (!measuring && Clock::now() >= warmUp) {
            measuring = true;
            cpuStart = bench::CpuSeconds(serverCpu);
            splitStart = ThreadUserSystemSeconds(serverTid);
            countsStart = ThreadWakesAndReads(serverTid);
            heapBusy = mallinfo2().uordblks;
            for (std::size_t i = 0; i < clients.size(); i++) {
                windowStart[i] = clients[i].answered;
            }
        }
        const int ready = epoll_wait(epoll, events, 64, 100);
        for (int e = 0; e < ready; e++) {
            Client& client = clients[events[e].data.u64];
            std::uint8_t buffer[512];
            const ssize_t got = recv(client.fd, buffer, sizeof(buffer), MSG_DONTWAIT);
            if (got < static_cast<ssize_t>(hartip::kHeaderBytes)) {
                continue;
            }
            const hartip::Header header = *hartip::ReadHeader(std::span<const std::uint8_t>(buffer, 8));
            if (header.id == hartip::kTokenPassingPdu) {
                const bool answered = header.type == hartip::kResponse && header.status == 0;
                (answered ? client.answered : client.failed)++;
                if (answered && measuring) {
                    answeredAt[static_cast<std::size_t>(client.port)].push_back(Clock::now());
                }
            } else if (header.id != hartip::kSessionInitiate || header.status != 0) {
                continue;
            }
            const hartip::Bytes next = CommandZero(++client.sequence);
            send(client.fd, next.data(), next.size(), 0);
        }
    }
    const double cpu = bench::CpuSeconds(serverCpu) - cpuStart;
    const std::pair<double, double> splitEnd = ThreadUserSystemSeconds(serverTid);
    const WakesAndReads countsEnd = ThreadWakesAndReads(serverTid);
    [[maybe_unused]] ssize_t written = write(stop[1], "x", 1);
    serverThread.join();
    for (Client& client : clients) {
        close(client.fd);
    }
    close(epoll);
    bench::StopTerminalServer(terminals);

    const sim::FieldDeviceConfig device;
    const double boundSeconds =
        LineBoundSeconds(5 + 5, static_cast<std::size_t>(device.preambles) + 19,
                         std::chrono::duration<double>(device.turnaround).count());
    long total = 0;
    long failed = 0;
    double worstShare = 1e9;
    double shares = 0;
    double worstJain = 1.0;
    for (int port = 0; port < ports; port++) {
        double sum = 0;
        double squares = 0;
        for (int s = 0; s < sessions; s++) {
            const std::size_t i = static_cast<std::size_t>(port * sessions + s);
            const double count = static_cast<double>(clients[i].answered - windowStart[i]);
            sum += count;
            squares += count * count;
            failed += clients[i].failed;
        }
        total += static_cast<long>(sum);
        const auto& times = answeredAt[static_cast<std::size_t>(port)];
        const double span = times.size() > 1 ? std::chrono::duration<double>(times.back() - times.front()).count() : 0;
        const double share = span > 0 ? static_cast<double>(times.size() - 1) / span * boundSeconds : 0;
        const double jain = squares > 0 ? sum * sum / (sessions * squares) : 0;
        worstShare = std::min(worstShare, share);
        shares += share;
        worstJain = std::min(worstJain, jain);
    }
    const double cpuPerTransaction = total > 0 ? 1e6 * cpu / static_cast<double>(total) : 0.0;
    const double heapPerSession = static_cast<double>(heapBusy > heapBefore ? heapBusy - heapBefore : 0) / 1024.0 /
                                  static_cast<double>(clients.size());
    const double userShare = (splitEnd.first - splitStart.first) / std::max(1e-9, cpu);
    std::printf("hartd on %d pseudo-terminals at 1200 bit/s, %d UDP sessions each, %.0f s measured (after 3 s)\n",
                ports, sessions, seconds);
    std::printf("  %ld transactions answered, %ld failed; a line's bound is %.3f transactions/s\n\n", total, failed,
                1.0 / boundSeconds);
    std::printf("  %-58s %12s  %-10s\n", "figure", "measured", "target");
    const auto row = [](const char* figure, const std::string& measured, const char* target, bool met) {
        std::printf("  %-58s %12s  %-10s %s\n", figure, measured.c_str(), target, met ? "met" : "NOT MET");
    };
    char text[64];
    std::snprintf(text, sizeof(text), "%.1f %%", 100.0 * worstShare);
    row("each line's rate against its bound, slowest line", text, ">= 95 %", worstShare >= 0.95);
    std::snprintf(text, sizeof(text), "%.4f", worstJain);
    row("Jain's index between a line's sessions, least even line", text, ">= 0.99", worstJain >= 0.99);
    std::snprintf(text, sizeof(text), "%.0f us", own.p99Us);
    row("the server's own time per transaction, p99", text, "<= 1 ms", own.p99Us <= 1000.0);
    std::snprintf(text, sizeof(text), "%.0f us", cpuPerTransaction);
    row("CPU of the server's thread per transaction", text, "<= 100 us", cpuPerTransaction <= 100.0);
    std::snprintf(text, sizeof(text), "%.1f KiB", heapPerSession);
    row("heap per session while busy", text, "<= 64 KiB", heapPerSession <= 64.0);
    std::printf("\n  lines at %.1f %% of their bound on average\n", 100.0 * shares / ports);
    std::printf("  the server's own time: p50 %.0f us, max %.0f us (%llu transactions)\n", own.p50Us, own.maxUs,
                static_cast<unsigned long long>(own.transactions));
    std::printf("  the CPU figure holds the driver and the host as well: %.0f %% of it in user space, %.0f %% in the\n"
                "  kernel; the %d ports open and idle take %.2f ms a second, which leaves %.0f us per transaction\n",
                100.0 * userShare, 100.0 * (1.0 - userShare), ports, 1e3 * idlePerSecond,
                total > 0 ? 1e6 * (cpu - idlePerSecond * seconds) / static_cast<double>(total) : 0.0);
    const double perTransaction = total > 0 ? 1.0 / static_cast<double>(total) : 0.0;
    const double wakes = static_cast<double>(countsEnd.wakes - countsStart.wakes) * perTransaction;
    const double reads = static_cast<double>(countsEnd.reads - countsStart.reads) * perTransaction;
    std::printf("  per transaction the thread woke %.1f times and called read() %.1f times; on this machine a bare\n"
                "  10 ms wake-up costs %.1f us of CPU and a one-character read %.1f us, %.0f us per transaction\n"
                "  before the server does anything\n",
                wakes, reads, bare.first, bare.second, wakes * bare.first + reads * bare.second);
    std::printf("  framework objects left after unload: %zu\n", objectsLeft);
    return objectsLeft == 0 && failed == 0 ? 0 : 1;
}
