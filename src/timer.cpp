// Record timestamps: the wall clock at start plus the time elapsed since on
// the raw monotonic clock, so they never run backwards within a run.
#include "timer.h"

#include "debugging.h"

#include <sys/time.h>

#include <cstdio>
#include <ctime>

static struct timespec start_realtime;
static struct timespec start_monotonic;

static void read_clock(clockid_t clock, struct timespec* ts)
{
    if (clock_gettime(clock, ts) != 0)
        invariant_failed("clock_gettime should not fail", __FILE__, __LINE__, __func__);
}

void time_start()
{
    read_clock(CLOCK_REALTIME, &start_realtime);
    read_clock(CLOCK_MONOTONIC_RAW, &start_monotonic);
}

uint64_t time_started_in_us()
{
    return static_cast<uint64_t>(start_realtime.tv_sec) * 1000000u +
           static_cast<uint64_t>(start_realtime.tv_nsec) / 1000u;
}

uint64_t time_in_us()
{
    struct timespec now {};
    read_clock(CLOCK_MONOTONIC_RAW, &now);
    // Unsigned arithmetic throughout; the sum is positive since the raw clock
    // only moves forward from start_monotonic.
    return (static_cast<uint64_t>(start_realtime.tv_sec) + static_cast<uint64_t>(now.tv_sec)) * 1000000u +
           static_cast<uint64_t>(now.tv_nsec) / 1000u +
           static_cast<uint64_t>(start_realtime.tv_nsec) / 1000u -
           static_cast<uint64_t>(start_monotonic.tv_sec) * 1000000u -
           static_cast<uint64_t>(start_monotonic.tv_nsec) / 1000u;
}

uint32_t time_in_ms()
{
    struct timeval tv {};
    if (gettimeofday(&tv, nullptr) != 0) return 0;
    uint64_t ms = static_cast<uint64_t>(tv.tv_sec) * 1000u + static_cast<uint64_t>(tv.tv_usec) / 1000u;
    return static_cast<uint32_t>(ms); // wraps about every 49.7 days, like X server times
}
