#include "MachineCost.h"

#include <fcntl.h>
#include <pty.h>
#include <unistd.h>

#include <ctime>
#include <thread>

namespace bench {

double CpuSeconds(clockid_t clock)
{
    timespec now{};
    clock_gettime(clock, &now);
    return static_cast<double>(now.tv_sec) + static_cast<double>(now.tv_nsec) * 1e-9;
}

namespace {

template <typename Round>
double MicrosecondsPerRound(int count, Round round)
{
    const double start = CpuSeconds();
    for (int i = 0; i < count; i++) {
        round();
    }
    return 1e6 * (CpuSeconds() - start) / count;
}

} // namespace

double BareWakeUpMicroseconds(std::chrono::milliseconds sleep)
{
    return MicrosecondsPerRound(100, [sleep] { std::this_thread::sleep_for(sleep); });
}

double BareCharacterReadMicroseconds()
{
    int master = -1;
    int slave = -1;
    if (openpty(&master, &slave, nullptr, nullptr, nullptr) != 0) {
        return 0;
    }
    fcntl(slave, F_SETFL, O_NONBLOCK);
    constexpr int kReads = 1000;
    char character = 'x';
    for (int i = 0; i < kReads; i++) {
        [[maybe_unused]] ssize_t n = write(master, &character, 1);
    }
    const double cost = MicrosecondsPerRound(kReads, [&] { [[maybe_unused]] ssize_t n = read(slave, &character, 1); });
    close(master);
    close(slave);
    return cost;
}

} // namespace bench
