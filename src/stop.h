// The one stop request through which every thread ends the recording, and
// why it ended: the first cause asked for is the one the end-of-data record
// carries.
#pragma once

#include <cstdint>

// Why a recording ended (the codes of the end-of-data record).
enum class EndReason : uint8_t {
    UNSPECIFIED = 0,
    SIGNAL = 1,       // a termination signal: which, and who sent it
    STDIN_CLOSED = 2, // the service closed standard input
    SIZE_LIMIT = 3,   // the file passed its size limit
    DISPLAY_GONE = 4, // the display no longer answers, or is no seamless session any more
    WRITE_FAILED = 5, // the file could not be written
};

struct StopCause {
    EndReason reason = EndReason::UNSPECIFIED;
    int32_t signal = 0; // with SIGNAL: the signal and its sender (siginfo)
    int32_t pid = 0;
    uint32_t uid = 0;
};

// Any thread, any number of times, never blocks: the main loop ends after
// its current pass.  Only the first call's cause is kept.
void stop_request(StopCause cause);
inline void stop_request(EndReason reason)
{
    stop_request(StopCause{reason, 0, 0, 0});
}
// Whether any stop was asked for (before the loop started or while it ran).
bool stop_requested();
StopCause stop_cause();
// A descriptor that becomes readable once a stop is asked for (the main
// loop polls it); it stays readable.
int stop_wake_fd();
// The word for a reason as the recording's readers print it.
const char* end_reason_name(EndReason reason);
