// The clocks.
#include "timer.h"

#include <ctime>

#include "debugging.h"

namespace {

timespec start_realtime;
timespec start_monotonic;

timespec read_clock(clockid_t clock)
{
    timespec ts{};
    if (clock_gettime(clock, &ts) != 0)
        invariant_failed("clock_gettime should not fail", __FILE__, __LINE__, __func__);
    return ts;
}

uint64_t in_us(const timespec& ts)
{
    return static_cast<uint64_t>(ts.tv_sec) * 1000000u + static_cast<uint64_t>(ts.tv_nsec) / 1000u;
}

} // namespace

void time_start()
{
    start_realtime = read_clock(CLOCK_REALTIME);
    start_monotonic = read_clock(CLOCK_MONOTONIC_RAW);
}

uint64_t time_started_in_us()
{
    return in_us(start_realtime);
}

uint64_t time_in_us()
{
    // the raw clock only moves forward from start_monotonic
    return in_us(start_realtime) + in_us(read_clock(CLOCK_MONOTONIC_RAW)) - in_us(start_monotonic);
}

uint32_t time_in_ms()
{
    return static_cast<uint32_t>(time_in_us() / 1000u); // wraps about every 49.7 days, like X server times
}

timespec time_wall_after_ms(int ms)
{
    timespec t = read_clock(CLOCK_REALTIME);
    t.tv_sec += ms / 1000;
    t.tv_nsec += static_cast<long>(ms % 1000) * 1000000;
    if (t.tv_nsec >= 1000000000) t.tv_sec++, t.tv_nsec -= 1000000000;
    return t;
}

timespec time_wall_now()
{
    return read_clock(CLOCK_REALTIME);
}

int64_t time_monotonic_ms()
{
    const timespec now = read_clock(CLOCK_MONOTONIC);
    return static_cast<int64_t>(now.tv_sec) * 1000 + now.tv_nsec / 1000000;
}
