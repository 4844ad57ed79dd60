// The one place that reads clocks.  Record timestamps: microseconds since
// the epoch, the wall clock at start plus the time elapsed since (never
// decreasing within a run); the last-input arbitration's 32-bit
// milliseconds (derived from them, wrapping like X server times); and a
// monotonic millisecond clock for frame ticks and deadlines.
#pragma once

#include <cstddef>
#include <cstdint>
#include <ctime>

void time_start();
uint64_t time_started_in_us();
uint64_t time_in_us();
uint32_t time_in_ms();
int64_t time_monotonic_ms();
// The wall clock ms milliseconds from now, as an absolute time for waits
// that take one (sem_timedwait).
timespec time_wall_after_ms(int ms);
// The wall clock now (for people: debug lines).
timespec time_wall_now();
