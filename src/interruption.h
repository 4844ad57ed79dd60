// Gaps in the recording: every stretch in which it was not whole (the
// display connection lost, the input stream lost, a resource of ours freed
// by another client) and every change of the window manager is written into
// the file with its cause and journaled at error priority.
#pragma once

#include <cstdint>
#include <string>

#include "zel.h"

// Any thread.  from: when the loss began (µs); the record's time is now,
// when the recording is whole again.
void record_interruption(uint64_t from, uint8_t cause, const std::string& detail);
