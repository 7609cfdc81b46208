/*
 * Whole-line figures on the virtual clock: how two masters share a line
 * with three devices (throughput per master, bus utilisation, collisions,
 * fairness), the same with a burst-mode device, and how close one master
 * polling one device comes to what the line and the link's timing allow.
 *
 *   build/release/bench/hart_scenarios [minutes]     (default 10)
 */
#include <chrono>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <vector>

#include "link/HartTrace.h"
#include "sim/LinkHarness.h"
#include "sim/PortPoller.h"
#include "sim/SimulatedSystem.h"

namespace {

using platform::Ticks;

double Seconds(Ticks t)
{
    return std::chrono::duration<double>(t).count();
}

struct Line {
    std::unique_ptr<sim::SimulatedSystem> system;
    platform::File main;
    std::vector<std::unique_ptr<sim::Poller>> pollers;

    explicit Line(const sim::SystemOptions& options) : system(std::make_unique<sim::SimulatedSystem>(options))
    {
        system->Host().SetDebugSink([](ULONG, ULONG, std::string_view) {});
        HartSetDebugLevel(0);
        if (!NT_SUCCESS(system->Load())) {
            std::fprintf(stderr, "the driver did not load\n");
            std::exit(1);
        }
        main = std::move(system->OpenMain().file);
    }

    ~Line()
    {
        for (auto& poller : pollers) {
            poller->Close();
        }
        main.Close();
        system->Unload();
    }

    sim::Poller& Master(const std::string& suffix, bool primary, std::vector<sim::Poller::Target> targets)
    {
        platform::File port = std::move(system->OpenMaster(suffix, primary).file);
        std::string name = primary ? "primary" : "secondary";
        pollers.push_back(std::make_unique<sim::Poller>(name, std::move(port), primary, std::move(targets)));
        return *pollers.back();
    }

    /* Runs for duration; the wall-clock seconds it took. */
    double Run(Ticks duration)
    {
        std::vector<sim::Poller*> running;
        for (auto& poller : pollers) {
            running.push_back(poller.get());
        }
        const auto started = std::chrono::steady_clock::now();
        sim::RunPollers(system->Host(), running, duration);
        return std::chrono::duration<double>(std::chrono::steady_clock::now() - started).count();
    }
};

void TwoMasters(int minutes, bool burst)
{
    sim::SystemOptions options;
    options.universalRevision = 5; /* the pollers send short frames */
    options.serialPorts = 2;
    options.fieldDevices = 3;
    options.burstDevice = burst;
    Line line(options);
    sim::Poller& primary = line.Master("1", true, sim::Targets(3, {1}));
    sim::Poller& secondary = line.Master("2", false, sim::Targets(3, {1}));
    const Ticks start = line.system->Host().Now();
    const Ticks busyBefore = line.system->Line().BusyTime();
    const Ticks duration = std::chrono::duration_cast<Ticks>(std::chrono::minutes(minutes));
    const double wall = line.Run(duration);
    const double elapsed = Seconds(line.system->Host().Now() - start);
    const double busy = Seconds(line.system->Line().BusyTime() - busyBefore);

    const double a = static_cast<double>(primary.Succeeded());
    const double b = static_cast<double>(secondary.Succeeded());
    /* Jain's index: 1 when both get the same, 0.5 when one gets everything. */
    const double fairness = (a + b) * (a + b) / (2.0 * (a * a + b * b));
    std::printf("two masters, three devices%s, %d simulated minutes (%.1f s wall)\n",
                burst ? ", device 0 in burst mode" : "", minutes, wall);
    std::printf("  primary:   %8.1f transactions/min  (%zu ok, %zu timed out)\n", a * 60.0 / elapsed,
                primary.Succeeded(), primary.TimedOut());
    std::printf("  secondary: %8.1f transactions/min  (%zu ok, %zu timed out)\n", b * 60.0 / elapsed,
                secondary.Succeeded(), secondary.TimedOut());
    if (burst) {
        std::printf("  burst frames: %zu (%.1f/min)\n", line.system->Device(0).BurstFramesSent(),
                    static_cast<double>(line.system->Device(0).BurstFramesSent()) * 60.0 / elapsed);
    }
    std::printf("  bus utilisation: %.1f %%\n", 100.0 * busy / elapsed);
    std::printf("  collisions: %zu\n", line.system->Line().Collisions());
    std::printf("  fairness (Jain): %.4f\n", fairness);
    std::printf("  requests completed once: %s\n",
                primary.BadCompletions() + secondary.BadCompletions() + primary.Mismatches() + secondary.Mismatches() == 0
                    ? "yes"
                    : "NO");
}

/*
 * The bound for one master polling one device with command 1:
 *
 *   request  5 preambles + delimiter, address, command, count, check = 10 characters
 *   answer   5 preambles + delimiter, address, command, count,
 *            response code, status, units, 4-byte value, check        = 17 characters
 *   turnaround of the device                                          =  2 characters
 *
 * so the line is busy for B = 29 characters of 11 bits at 1200 bit/s
 * (265.8 ms) per transaction. After the answer the master must leave the
 * bus to the other master for Rt2 (8 ticks of its 10 ms link timer): the
 * counter is loaded when the answer ends and expires on the 8th tick after
 * that, and the next request starts on that tick. Measured from the tick on
 * which a request starts, the next one can therefore start no sooner than
 * (ceil(B / tick) + Rt2 - 1) ticks later: 34 ticks, 340 ms, 2.94
 * transactions per second. (Counting a whole 80 ms for Rt2 instead would
 * give 345.8 ms; the tick-exact figure is the stricter one.)
 */
void OneMasterOneDevice(int minutes)
{
    sim::SystemOptions options;
    options.universalRevision = 5; /* the pollers send short frames */
    options.serialPorts = 1;
    options.fieldDevices = 1;
    Line line(options);
    sim::Poller& master = line.Master("1", true, sim::Targets(1, {1}));
    const Ticks duration = std::chrono::duration_cast<Ticks>(std::chrono::minutes(minutes));
    /* Let the link come up (quiet time) before counting. */
    line.Run(std::chrono::duration_cast<Ticks>(std::chrono::seconds(2)));
    const std::size_t before = master.Succeeded();
    const Ticks start = line.system->Host().Now();
    const double wall = line.Run(duration);
    const double elapsed = Seconds(line.system->Host().Now() - start);
    const double rate = static_cast<double>(master.Succeeded() - before) / elapsed;

    const sim::FieldDeviceConfig& device = line.system->Device(0).Config();
    const double character = Seconds(line.system->Line().CharacterDuration());
    const double tick = Seconds(sim::kLinkTick);
    const int requestCharacters = 5 + 5;
    const int answerCharacters = device.preambles + 4 + 7 + 1;
    const double busy = (requestCharacters + answerCharacters) * character + Seconds(device.turnaround);
    const int rt2 = 8;
    const double cycle = (std::ceil(busy / tick - 1e-9) + rt2 - 1) * tick;
    const double bound = 1.0 / cycle;
    std::printf("one master, one device, command 1, %d simulated minutes (%.1f s wall)\n", minutes, wall);
    std::printf("  line busy per transaction: %.2f ms; cycle bound %.1f ms\n", busy * 1000.0, cycle * 1000.0);
    std::printf("  achieved: %.4f transactions/s; bound %.4f/s; %.2f %% of the bound\n", rate, bound,
                100.0 * rate / bound);
    std::printf("  collisions: %zu, timed out: %zu\n", line.system->Line().Collisions(), master.TimedOut());
}

} // namespace

int main(int argc, char** argv)
{
    const int minutes = argc > 1 ? std::atoi(argv[1]) : 10;
    if (minutes <= 0) {
        std::fprintf(stderr, "usage: %s [simulated minutes]\n", argv[0]);
        return 2;
    }
    TwoMasters(minutes, false);
    TwoMasters(minutes, true);
    OneMasterOneDevice(minutes);
    return 0;
}
