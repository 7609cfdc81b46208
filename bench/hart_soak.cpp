/*
 * A long run on the virtual clock: the driver's port polls three field
 * devices as the primary master while a scripted secondary master polls
 * them too, the device at address 0 starts and stops bursting, and the line
 * has noise, garbled and lost characters throughout. It reports what the
 * line carried and what the clients got, and the framework objects, pool
 * blocks and heap in use early and at the end.
 *
 *   build/release/bench/hart_soak [hours]     (default 10; fractions allowed)
 *
 * Exits non-zero when a client request did not complete exactly once (it
 * completed twice, or a write never completed), when a write was confirmed
 * with another request's answer, or when memory or objects grew with the run.
 */
#include <malloc.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <memory>
#include <string>
#include <vector>

#include "link/HartTrace.h"
#include "sim/LineFaults.h"
#include "sim/PortPoller.h"
#include "sim/SimulatedSystem.h"

namespace {

using platform::Ticks;
using namespace std::chrono_literals;

constexpr Ticks kSegment = std::chrono::duration_cast<Ticks>(1min);
/* The device at address 0 bursts for seven minutes, then is quiet for five. */
constexpr int kBurstOnMinutes = 7;
constexpr int kBurstCycleMinutes = 12;
/* Heap that the clients' own bookkeeping takes per transaction (the poller's history of statuses). */
constexpr double kClientBytesPerTransaction = 16.0;
constexpr std::size_t kObjectSlack = 8;
constexpr std::size_t kMonitorFrames = 4096;

struct Memory {
    std::size_t objects = 0;
    std::size_t poolBlocks = 0;
    std::size_t heap = 0;
};

Memory Measure(platform::Host& host)
{
    return {host.LiveObjects(), host.PoolAllocations(), mallinfo2().uordblks};
}

/* The primary's client: a poller, replaced by a fresh one on a reopened port when its write is stuck. */
class Primary {
public:
    explicit Primary(sim::SimulatedSystem& system) : system_(system) { Open(); }

    sim::Poller& Current() { return *pollers_.back(); }

    /* A write that has not completed in a whole segment will not: close the port (which
       ends it as cancelled) and carry on with a new handle. */
    void RecoverIfStuck()
    {
        sim::Poller& poller = Current();
        if (poller.Idle() || poller.Writes() != writesAtLastLook_) {
            writesAtLastLook_ = poller.Writes();
            return;
        }
        stuck_++;
        std::printf("  %8.1f min: a write has not completed for a minute; the port is reopened\n",
                    std::chrono::duration<double>(system_.Host().Now()).count() / 60.0);
        poller.Stop();
        poller.Close();
        poller.Step();
        Open();
    }

    void Close()
    {
        for (auto& poller : pollers_) {
            poller->Close();
        }
    }

    std::size_t Stuck() const { return stuck_; }
    std::size_t Sum(std::size_t (sim::Poller::*count)() const) const
    {
        std::size_t total = 0;
        for (const auto& poller : pollers_) {
            total += ((*poller).*count)();
        }
        return total;
    }

private:
    void Open()
    {
        auto opened = system_.OpenMaster("1", true);
        if (!NT_SUCCESS(opened.status)) {
            std::fprintf(stderr, "COM1 did not open as the primary master: 0x%08X\n", static_cast<unsigned>(opened.status));
            std::exit(1);
        }
        pollers_.push_back(
            std::make_unique<sim::Poller>("primary", std::move(opened.file), true, sim::Targets(3, {0, 1, 3})));
        writesAtLastLook_ = 0;
    }

    sim::SimulatedSystem& system_;
    std::vector<std::unique_ptr<sim::Poller>> pollers_;
    std::size_t writesAtLastLook_ = 0;
    std::size_t stuck_ = 0;
};

void PrintMemory(const char* when, const Memory& memory)
{
    std::printf("  %-26s %6zu framework objects, %6zu pool blocks, %10zu heap bytes\n", when, memory.objects,
                memory.poolBlocks, memory.heap);
}

} // namespace

int main(int argc, char** argv)
{
    const double hours = argc > 1 ? std::atof(argv[1]) : 10.0;
    if (!(hours > 0.0)) {
        std::fprintf(stderr, "usage: %s [simulated hours]\n", argv[0]);
        return 2;
    }
    const int minutes = std::max(1, static_cast<int>(hours * 60.0 + 0.5));
    const auto wallStart = std::chrono::steady_clock::now();

    sim::SystemOptions options;
    options.universalRevision = 5; /* the pollers send short frames */
    options.serialPorts = 1;
    options.fieldDevices = 3;
    options.burstDevice = true;
    options.scriptedSecondMaster = true;
    auto system = std::make_unique<sim::SimulatedSystem>(options);
    platform::Host& host = system->Host();
    host.SetDebugSink([](ULONG, ULONG, std::string_view) {});
    HartSetDebugLevel(0);
    if (!NT_SUCCESS(system->Load())) {
        std::fprintf(stderr, "the driver did not load\n");
        return 1;
    }
    auto main = system->OpenMain();
    if (!NT_SUCCESS(main.status)) {
        std::fprintf(stderr, "the main device did not open\n");
        return 1;
    }
    sim::LineFaults faults(system->Line());
    sim::LineFaults::Random noise;
    noise.seed = 20250101;
    noise.garbleRate = 0.0005;
    noise.dropRate = 0.0002;
    noise.meanNoiseInterval = std::chrono::duration_cast<Ticks>(20s);
    faults.StartRandom(noise);

    std::printf("soak: %d simulated minutes; primary COM1 polls 3 devices (commands 0, 1, 3), a scripted\n"
                "secondary polls them with command 2, device 0 bursts %d of every %d minutes, line noise\n",
                minutes, kBurstOnMinutes, kBurstCycleMinutes);
    Primary primary(*system);
    Memory early;
    int earlyMinute = 0;
    bool steady = false;
    std::size_t transactionsAtEarly = 0;
    std::size_t burstToggles = 0;
    for (int minute = 0; minute < minutes; minute++) {
        const bool burst = minute % kBurstCycleMinutes < kBurstOnMinutes;
        if (burst != system->Device(0).Bursting()) {
            system->Device(0).SetBurstMode(burst);
            burstToggles++;
        }
        sim::Poller* running = &primary.Current();
        sim::RunPollers(host, {running}, kSegment);
        primary.RecoverIfStuck();
        /* Memory is compared from the minute on which the line monitor's history (the last
           4096 frames) is full, or the first minute of a run too short for that. */
        if (minute == 0 || (!steady && system->Monitor().Frames().size() >= kMonitorFrames)) {
            steady = minute != 0;
            early = Measure(host);
            earlyMinute = minute + 1;
            transactionsAtEarly = primary.Sum(&sim::Poller::Writes);
        }
    }
    const Memory late = Measure(host);
    const std::size_t transactions = primary.Sum(&sim::Poller::Writes);

    primary.Current().Stop();
    primary.Close();
    main.file.Close();
    system->Unload();
    const std::size_t objectsAfterUnload = host.LiveObjects();
    const double wall = std::chrono::duration<double>(std::chrono::steady_clock::now() - wallStart).count();

    const sim::ScriptedMaster& secondary = *system->SecondMaster();
    const sim::HartLine& line = system->Line();
    const std::size_t bad = primary.Sum(&sim::Poller::BadCompletions);
    const std::size_t mismatched = primary.Sum(&sim::Poller::Mismatches);
    std::printf("\nafter %d simulated minutes (%.1f s wall):\n", minutes, wall);
    std::printf("  primary (driver):  %zu transactions: %zu answered, %zu timed out, %zu other failures, "
                "%zu CRC errors\n",
                transactions, primary.Sum(&sim::Poller::Succeeded), primary.Sum(&sim::Poller::TimedOut),
                primary.Sum(&sim::Poller::OtherFailures), primary.Sum(&sim::Poller::CrcErrors));
    std::printf("  secondary (scripted): %zu requests, %zu answered, %zu unanswered\n", secondary.RequestsSent(),
                secondary.AnswersReceived(), secondary.NoAnswers());
    std::printf("  burst frames %zu, burst mode switched %zu times\n", system->Device(0).BurstFramesSent(),
                burstToggles);
    std::printf("  line: %zu collisions, %zu characters garbled, %zu lost, %zu noise bursts\n", line.Collisions(),
                line.CharactersGarbled(), line.CharactersDropped(), faults.NoiseBursts());
    std::printf("  completions not exactly once: %zu (completed twice %zu, never completed %zu)\n",
                bad + primary.Stuck(), bad, primary.Stuck());
    std::printf("  writes confirmed with an answer that was not theirs: %zu\n", mismatched);
    char when[40];
    std::snprintf(when, sizeof(when), "after minute %d:", earlyMinute);
    PrintMemory(when, early);
    PrintMemory("at the end:", late);
    std::printf("  framework objects after unload: %zu\n", objectsAfterUnload);

    const double heapPerTransaction =
        transactions > transactionsAtEarly
            ? (static_cast<double>(late.heap) - static_cast<double>(early.heap)) /
                  static_cast<double>(transactions - transactionsAtEarly)
            : 0.0;
    std::printf("  heap growth: %.1f bytes per transaction (the clients' own records take up to %.0f)\n",
                heapPerTransaction, kClientBytesPerTransaction);
    const bool leaked = late.objects > early.objects + kObjectSlack || late.poolBlocks > early.poolBlocks + kObjectSlack ||
                        heapPerTransaction > kClientBytesPerTransaction || objectsAfterUnload != 0;
    const bool failed = bad + mismatched + primary.Stuck() != 0;
    if (failed || leaked) {
        std::printf("FAILED:%s%s\n", failed ? " completions not exactly once or wrong answers" : "",
                    leaked ? " objects or memory grew" : "");
        return 1;
    }
    std::printf("every request completed exactly once; nothing grew\n");
    return 0;
}
