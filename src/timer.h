// Record timestamps (microseconds since the epoch, never decreasing within a
// run) and the 32-bit millisecond clock of the last-input arbitration.
#pragma once

#include <cstddef>
#include <cstdint>

void time_start();
uint64_t time_started_in_us();
uint64_t time_in_us();
uint32_t time_in_ms();
