/*
 * Figures of the driver on real terminals, on the real clock: field devices
 * behind pseudo-terminals at 1200 bit/s, the driver on a real-clock host
 * with a PosixSerialPort on each terminal's other side.
 *
 *  - latency: from the instant the answer's last character was put on the
 *    terminal to the instant the client's write completes, per transaction
 *    (p50, p99, max);
 *  - CPU: 32 ports, each polled back to back by a client thread of its own,
 *    CPU time of this process per port-second. The field devices run in a
 *    child process so that the process's own accounting holds the driver,
 *    the host and the clients and nothing of the simulation.
 *
 *   build/release/bench/hart_pty_figures [transactions] [ports] [seconds]   (default 200 32 15)
 */
#include <sys/epoll.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <ctime>
#include <memory>
#include <string>
#include <thread>
#include <utility>
#include <vector>

#include <platform/Host.h>
#include <platform/PosixSerialPort.h>

#include "PtyLine.h"
#include "MachineCost.h"
#include "TerminalServer.h"
#include "driver/HartDriver.h"
#include "link/HartTrace.h"
#include "port/HartIoctl.h"
#include "sim/HartFrame.h"

namespace {

using namespace std::chrono_literals;
using Clock = std::chrono::steady_clock;

sim::Bytes CommandZero()
{
    sim::HartFrame frame;
    frame.delimiter = sim::kDelimiterStx;
    frame.address = {0x80};
    return sim::OnLine(frame, 5);
}

std::int64_t NowNs()
{
    return std::chrono::duration_cast<std::chrono::nanoseconds>(Clock::now().time_since_epoch()).count();
}

double Seconds(const timeval& time)
{
    return static_cast<double>(time.tv_sec) + static_cast<double>(time.tv_usec) / 1e6;
}

double UserCpu()
{
    rusage usage{};
    getrusage(RUSAGE_SELF, &usage);
    return Seconds(usage.ru_utime);
}

double ProcessCpu()
{
    rusage usage{};
    getrusage(RUSAGE_SELF, &usage);
    return Seconds(usage.ru_utime) + Seconds(usage.ru_stime);
}

/* Context switches of the whole process: every wake-up of the loop or of a client is one. */
long ContextSwitches()
{
    rusage usage{};
    getrusage(RUSAGE_SELF, &usage);
    return usage.ru_nvcsw + usage.ru_nivcsw;
}

/* The calling thread's waits (voluntary switches) and preemptions. */
std::pair<long, long> ThreadSwitches()
{
    rusage usage{};
    getrusage(RUSAGE_THREAD, &usage);
    return {usage.ru_nvcsw, usage.ru_nivcsw};
}

std::u16string PortLink(int number)
{
    std::u16string link(HART_PORT_LINK_NAME_PREFIX);
    std::string digits = std::to_string(number);
    link.append(digits.begin(), digits.end());
    return link;
}

std::u16string SerialName(int index)
{
    std::u16string name(u"\\Device\\Serial");
    std::string digits = std::to_string(index);
    name.append(digits.begin(), digits.end());
    return name;
}

std::string ComName(int number)
{
    std::string name("COM");
    name += std::to_string(number);
    return name;
}

/* A host with one PosixSerialPort per terminal and the driver loaded and started. */
class PtyHost {
public:
    explicit PtyHost(const std::vector<std::string>& paths)
    {
        host_.SetDebugSink([](ULONG, ULONG, std::string_view) {});
        HartSetDebugLevel(0);
        for (std::size_t i = 0; i < paths.size(); i++) {
            int index = static_cast<int>(i);
            serials_.push_back(
                platform::PosixSerialPort::Create(host_, paths[i], SerialName(index), ComName(index + 1)));
        }
        NTSTATUS status = DriverEntry(host_.DriverObject(), host_.RegistryPath());
        loaded_ = NT_SUCCESS(status);
        if (loaded_) {
            status = host_.AddDevice();
        }
        if (NT_SUCCESS(status)) {
            status = host_.StartDevice();
        }
        if (NT_SUCCESS(status)) {
            auto main = host_.Io().OpenInterface(GUID_DEVINTERFACE_HART_MAIN);
            status = main.status;
            main_ = std::move(main.file);
        }
        started_ = NT_SUCCESS(status);
        if (!started_) {
            std::fprintf(stderr, "the driver did not start: 0x%08x\n", static_cast<unsigned>(status));
        }
    }

    ~PtyHost()
    {
        main_.Close();
        if (loaded_) {
            if (host_.PnpDevice() != nullptr) {
                host_.RemoveDevice();
            }
            host_.UnloadDriver();
        }
    }

    bool Started() const { return started_; }
    platform::Host& Get() { return host_; }

private:
    platform::Host host_{platform::Clock::Real};
    std::vector<std::shared_ptr<platform::PosixSerialPort>> serials_;
    platform::File main_;
    bool loaded_ = false;
    bool started_ = false;
};

double Percentile(std::vector<double> sorted, double fraction)
{
    if (sorted.empty()) {
        return 0;
    }
    std::sort(sorted.begin(), sorted.end());
    /* Nearest rank: the smallest value with at least `fraction` of them at or below it. */
    std::size_t rank = static_cast<std::size_t>(fraction * static_cast<double>(sorted.size()) + 0.999999);
    rank = std::clamp<std::size_t>(rank, 1, sorted.size());
    return sorted[rank - 1];
}

int Latency(int transactions)
{
    /* Revision 5: the figures were taken with its 19-byte answer to command 0. */
    tools::PtyLine line(1, nullptr, 5);
    std::atomic<std::int64_t> lastCharacter{0};
    line.WatchToTerminal([&](std::uint8_t) { lastCharacter.store(NowNs(), std::memory_order_relaxed); });

    std::vector<std::string> paths{line.Path()};
    PtyHost host(paths);
    if (!host.Started()) {
        return 1;
    }
    auto opened = host.Get().Io().Open(PortLink(1));
    if (!NT_SUCCESS(opened.status)) {
        std::fprintf(stderr, "could not open the port device: 0x%08x\n", static_cast<unsigned>(opened.status));
        return 1;
    }
    platform::File port = std::move(opened.file);
    sim::Bytes request = CommandZero();

    /* The first transactions wait out the link's start-up; they are not counted. */
    for (int i = 0; i < 3; i++) {
        auto read = port.ReadAsync(300);
        port.Write(request);
        read.Wait();
    }
    std::size_t heardBefore = line.RequestsHeard(0);

    std::vector<double> writeMs;
    std::vector<double> readMs;
    int failed = 0;
    for (int i = 0; i < transactions; i++) {
        auto read = port.ReadAsync(300);
        /* The answer's characters are the last ones put on the terminal before the write completes. */
        platform::IoStatus written = port.Write(request);
        std::int64_t writeDone = NowNs();
        platform::IoResult answer = read.Wait();
        std::int64_t readDone = NowNs();
        if (!written.Succeeded() || !answer.Succeeded() || answer.data.size() != 19) {
            failed++;
            continue;
        }
        std::int64_t last = lastCharacter.load(std::memory_order_relaxed);
        writeMs.push_back(static_cast<double>(writeDone - last) / 1e6);
        readMs.push_back(static_cast<double>(readDone - last) / 1e6);
    }
    std::size_t heard = line.RequestsHeard(0) - heardBefore;
    port.Close();

    std::printf("latency, last answer character on the terminal -> client's write complete (%d transactions, "
                "%d failed, %zu requests heard by the device):\n",
                transactions, failed, heard);
    if (writeMs.empty()) {
        return 1;
    }
    double p99 = Percentile(writeMs, 0.99);
    std::printf("  write: p50 %.3f ms, p99 %.3f ms, max %.3f ms (target: p99 <= 10 ms, one link tick: %s)\n",
                Percentile(writeMs, 0.50), p99, *std::max_element(writeMs.begin(), writeMs.end()),
                p99 <= 10.0 ? "met" : "NOT met");
    std::printf("  (read, for comparison, measured after the write returned: p50 %.3f ms, p99 %.3f ms)\n",
                Percentile(readMs, 0.50), Percentile(readMs, 0.99));
    return failed == 0 ? 0 : 1;
}

int CpuPerPortSecond(bench::TerminalServer& server, int ports, double seconds)
{
    if (static_cast<int>(server.paths.size()) != ports) {
        std::fprintf(stderr, "the field devices' process made %zu terminals of %d\n", server.paths.size(), ports);
        return 1;
    }
    int result = 0;
    {
        PtyHost host(server.paths);
        if (!host.Started()) {
            return 1;
        }
        platform::Host& h = host.Get();
        std::vector<platform::File> files;
        for (int i = 0; i < ports; i++) {
            auto opened = h.Io().Open(PortLink(i + 1));
            if (!NT_SUCCESS(opened.status)) {
                std::fprintf(stderr, "could not open port %d: 0x%08x\n", i + 1,
                             static_cast<unsigned>(opened.status));
                return 1;
            }
            files.push_back(std::move(opened.file));
        }

        /* Open and quiet first: what the ports cost with nothing to say, the link's ticks above all. */
        double idleSeconds = std::min(5.0, seconds);
        double idleCpuStart = ProcessCpu();
        long idleSwitchesStart = ContextSwitches();
        Clock::time_point idleStart = Clock::now();
        h.RunFor(std::chrono::duration_cast<platform::Ticks>(std::chrono::duration<double>(idleSeconds)));
        double idleWall = std::chrono::duration<double>(Clock::now() - idleStart).count();
        double idleCpu = ProcessCpu() - idleCpuStart;
        long idleSwitches = ContextSwitches() - idleSwitchesStart;

        std::atomic<bool> stop{false};
        std::atomic<int> finished{0};
        std::vector<std::atomic<std::uint64_t>> done(static_cast<std::size_t>(ports));
        std::vector<std::atomic<std::uint64_t>> failed(static_cast<std::size_t>(ports));
        std::vector<std::thread> clients;
        for (int i = 0; i < ports; i++) {
            clients.emplace_back([&, i] {
                auto index = static_cast<std::size_t>(i);
                platform::File& port = files[index];
                sim::Bytes request = CommandZero();
                while (!stop.load()) {
                    auto read = port.ReadAsync(300);
                    bool ok = port.Write(request).Succeeded();
                    ok = read.Wait().Succeeded() && ok;
                    (ok ? done[index] : failed[index]).fetch_add(1);
                }
                port.Close();
                finished.fetch_add(1);
            });
        }

        /* The host's dispatcher runs here; the window opens once every port has answered once. */
        auto allAnswered = [&] {
            return std::all_of(done.begin(), done.end(), [](const auto& count) { return count.load() > 0; });
        };
        Clock::time_point giveUp = Clock::now() + 30s;
        while (!allAnswered() && Clock::now() < giveUp) {
            h.RunFor(10ms);
        }
        std::vector<std::uint64_t> doneBefore;
        for (auto& count : done) {
            doneBefore.push_back(count.load());
        }
        double cpuStart = ProcessCpu();
        double userStart = UserCpu();
        double dispatcherStart = bench::CpuSeconds();
        long switchesStart = ContextSwitches();
        const auto [waitsStart, preemptionsStart] = ThreadSwitches();
        Clock::time_point start = Clock::now();
        Clock::time_point end = start + std::chrono::duration_cast<Clock::duration>(
                                            std::chrono::duration<double>(seconds));
        while (Clock::now() < end) {
            h.RunFor(std::chrono::duration_cast<platform::Ticks>(end - Clock::now()));
        }
        double wall = std::chrono::duration<double>(Clock::now() - start).count();
        std::size_t liveAtEnd = h.LiveObjects();
        double cpu = ProcessCpu() - cpuStart;
        double user = UserCpu() - userStart;
        double dispatcher = bench::CpuSeconds() - dispatcherStart;
        long switches = ContextSwitches() - switchesStart;
        const auto [waitsEnd, preemptionsEnd] = ThreadSwitches();
        std::uint64_t transactions = 0;
        std::uint64_t slowest = ~std::uint64_t{0};
        std::uint64_t fastest = 0;
        for (std::size_t i = 0; i < done.size(); i++) {
            std::uint64_t count = done[i].load() - doneBefore[i];
            transactions += count;
            slowest = std::min(slowest, count);
            fastest = std::max(fastest, count);
        }

        stop = true;
        while (finished.load() < ports) {
            h.RunFor(10ms);
        }
        for (std::thread& client : clients) {
            client.join();
        }
        std::uint64_t failures = 0;
        for (auto& count : failed) {
            failures += count.load();
        }

        double portSeconds = wall * ports;
        double perPortSecondMs = cpu / portSeconds * 1e3;
        std::printf("CPU, %d ports on pseudo-terminals polled back to back, %.1f s wall (%.0f port-seconds):\n",
                    ports, wall, portSeconds);
        std::printf("  %llu transactions (%.2f per port-second, %llu..%llu per port), %llu failed overall\n",
                    static_cast<unsigned long long>(transactions), static_cast<double>(transactions) / portSeconds,
                    static_cast<unsigned long long>(slowest), static_cast<unsigned long long>(fastest),
                    static_cast<unsigned long long>(failures));
        std::printf("  process CPU (getrusage, driver + host + clients): %.3f s = %.3f ms per port-second "
                    "(target <= 1 ms: %s)\n",
                    cpu, perPortSecondMs, perPortSecondMs <= 1.0 ? "met" : "NOT met");
        std::printf("  of which in user space: %.3f s, in the kernel: %.3f s\n", user, cpu - user);
        std::printf("  of which the host's dispatcher thread (the driver and the serial ports): %.3f s = %.3f ms "
                    "per port-second\n",
                    dispatcher, dispatcher / portSeconds * 1e3);
        std::printf("  context switches: %.0f per second (the dispatcher thread: %.0f waits and %.0f preemptions "
                    "per second); framework objects live at the end: %zu\n",
                    static_cast<double>(switches) / wall, static_cast<double>(waitsEnd - waitsStart) / wall,
                    static_cast<double>(preemptionsEnd - preemptionsStart) / wall, liveAtEnd);
        std::printf("  the same ports open and not polled, %.1f s wall: %.3f ms per port-second, %.0f context "
                    "switches per second\n",
                    idleWall, idleCpu / (idleWall * ports) * 1e3, static_cast<double>(idleSwitches) / idleWall);
        if (transactions > 0) {
            std::printf("  %.1f us of process CPU per transaction\n", cpu / static_cast<double>(transactions) * 1e6);
        }
        result = (perPortSecondMs <= 1.0 && failures == 0) ? 0 : 1;
    }
    std::printf("  (one sleep and wake-up of a thread costs this machine %.1f us of CPU just now)\n",
                bench::BareWakeUpMicroseconds(std::chrono::milliseconds(2)));
    double childCpu = bench::StopTerminalServer(server);
    std::printf("  (the field devices' process, not counted: %.3f s CPU over its whole life)\n", childCpu);
    return result;
}

} // namespace

int main(int argc, char** argv)
{
    int transactions = argc > 1 ? std::atoi(argv[1]) : 200;
    int ports = argc > 2 ? std::atoi(argv[2]) : 32;
    double seconds = argc > 3 ? std::atof(argv[3]) : 15.0;
    if (transactions <= 0 || ports <= 0 || seconds <= 0) {
        std::fprintf(stderr, "usage: %s [transactions] [ports] [seconds]\n", argv[0]);
        return 2;
    }
    bench::TerminalServer server = bench::StartTerminalServer(ports);
    int result = Latency(transactions);
    std::printf("\n");
    result |= CpuPerPortSecond(server, ports, seconds);
    bench::StopTerminalServer(server);
    return result;
}
