/*
 * Figures of the driver as a whole, on the virtual clock:
 *  - command 0 back to back through a port device: transactions per
 *    simulated second against what the line allows, and host CPU time per
 *    transaction;
 *  - creating port devices through the enumeration and deleting them: time
 *    and heap memory per port device.
 *
 *   build/release/bench/hart_driver_figures [transactions] [ports]   (default 10000 256)
 */
#include <malloc.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <ctime>
#include <string>

#include "link/HartTrace.h"
#include "sim/SimulatedSystem.h"

namespace {

double CpuSeconds()
{
    timespec now{};
    clock_gettime(CLOCK_PROCESS_CPUTIME_ID, &now);
    return static_cast<double>(now.tv_sec) + static_cast<double>(now.tv_nsec) / 1e9;
}

sim::Bytes CommandZero()
{
    sim::HartFrame frame;
    frame.delimiter = sim::kDelimiterStx;
    frame.address = {0x80};
    return sim::OnLine(frame, 5);
}

/*
 * What the line allows for one transaction: the request's and the answer's
 * characters, the device's turnaround, and the master's wait after an
 * answered request before the bus is free again (RT2, 8 ticks of 10 ms).
 */
double LineBoundSeconds(std::size_t requestCharacters, std::size_t answerCharacters, double turnaround)
{
    double character = std::chrono::duration<double>(sim::kHartCharacterTime).count();
    return static_cast<double>(requestCharacters + answerCharacters) * character + turnaround + 8 * 0.010;
}

int Transactions(int count)
{
    sim::SimulatedSystem system({.clock = platform::Clock::Virtual, .serialPorts = 1, .fieldDevices = 1,
                                 .universalRevision = 5, .registry = {}});
    system.Host().SetDebugSink([](ULONG, ULONG, std::string_view) {});
    HartSetDebugLevel(0);
    if (!NT_SUCCESS(system.Load())) {
        return 1;
    }
    auto main = system.OpenMain();
    auto port = system.OpenPort("1");
    sim::Bytes request = CommandZero();
    /* The first transaction waits out the link's start-up; timing starts after it. */
    port.file.Write(request);
    platform::Ticks start = system.Host().Now();
    double cpuStart = CpuSeconds();
    int failed = 0;
    for (int i = 0; i < count; i++) {
        auto read = port.file.ReadAsync(300);
        failed += port.file.Write(request).Succeeded() ? 0 : 1;
        read.Wait();
    }
    double cpu = CpuSeconds() - cpuStart;
    double simulated = std::chrono::duration<double>(system.Host().Now() - start).count();
    const sim::FieldDeviceConfig& device = system.Device(0).Config();
    double bound = LineBoundSeconds(request.size(), static_cast<std::size_t>(device.preambles) + 19,
                                    std::chrono::duration<double>(device.turnaround).count());
    double rate = count / simulated;
    std::printf("command 0 back to back: %d transactions (%d failed) in %.1f simulated s\n", count, failed,
                simulated);
    std::printf("  %.3f transactions per simulated second; the line allows %.3f (%.1f%% of the bound)\n", rate,
                1.0 / bound, 100.0 * rate * bound);
    std::printf("  host CPU %.1f us per transaction\n", 1e6 * cpu / count);
    port.file.Close();
    main.file.Close();
    return failed == 0 ? 0 : 1;
}

int Enumeration(int ports)
{
    sim::SimulatedSystem system({.clock = platform::Clock::Virtual, .serialPorts = 0, .fieldDevices = 0,
                                 .registry = {}});
    system.Host().SetDebugSink([](ULONG, ULONG, std::string_view) {});
    HartSetDebugLevel(0);
    for (int i = 0; i < ports; i++) {
        system.Host().GetRegistry().AddSerialPort("\\Device\\Serial" + std::to_string(i),
                                                  "COM" + std::to_string(i + 1));
    }
    if (!NT_SUCCESS(system.Load())) {
        return 1;
    }
    /*
     * The first round also pays for the process's first touch of the heap
     * it grows (page faults, a kernel cost); the second reuses that memory
     * and shows what creating and deleting port devices costs by itself.
     */
    std::size_t portDevices = 0;
    for (const char* round : {"first round (fresh heap)", "second round (heap reused)"}) {
        std::size_t heapBefore = mallinfo2().uordblks;
        auto start = std::chrono::steady_clock::now();
        auto main = system.OpenMain();
        auto created = std::chrono::steady_clock::now();
        std::size_t heapAfter = mallinfo2().uordblks;
        portDevices = system.Host().LiveObjects("WDFDEVICE") - 1;
        main.file.Close();
        auto deleted = std::chrono::steady_clock::now();
        auto us = [](auto d) { return std::chrono::duration<double, std::micro>(d).count(); };
        std::printf("enumeration, %s: %zu port devices created in %.0f us (%.1f us each), deleted in %.0f us "
                    "(%.1f us each); heap per port device %.1f KiB\n",
                    round, portDevices, us(created - start), us(created - start) / ports, us(deleted - created),
                    us(deleted - created) / ports,
                    static_cast<double>(heapAfter - heapBefore) / 1024.0 / static_cast<double>(ports));
    }
    return portDevices == static_cast<std::size_t>(ports) ? 0 : 1;
}

} // namespace

int main(int argc, char** argv)
{
    int transactions = argc > 1 ? std::atoi(argv[1]) : 10000;
    int ports = argc > 2 ? std::atoi(argv[2]) : 256;
    int failures = Transactions(transactions);
    failures += Enumeration(ports);
    return failures == 0 ? 0 : 1;
}
