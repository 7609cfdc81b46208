/*
 * What this machine charges for the things a loop on the real clock cannot
 * avoid, measured on the calling thread at the moment of asking: the unit
 * the benchmarks' CPU figures are made of, and the one that swings from run
 * to run on a virtual machine.
 */
#pragma once

#include <chrono>
#include <ctime>

namespace bench {

/* The CPU seconds a clock has counted: this thread's by default, or another thread's clock. */
double CpuSeconds(clockid_t clock = CLOCK_THREAD_CPUTIME_ID);

/* CPU of one sleep of the given length and the wake-up after it, in microseconds. */
double BareWakeUpMicroseconds(std::chrono::milliseconds sleep);
/* CPU of one read() of one character already waiting on a pseudo-terminal, in microseconds. */
double BareCharacterReadMicroseconds();

} // namespace bench
