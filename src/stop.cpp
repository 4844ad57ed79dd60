// The stop request.
#include "stop.h"

#include <err.h>
#include <sys/eventfd.h>

#include <atomic>
#include <mutex>

#include "debugging.h"
#include "signals.h"

namespace {

std::atomic<bool> requested{false};
std::once_flag first;
StopCause cause; // written once, under `first`, before `requested` is set
std::atomic<int> wake_fd{-1};
std::once_flag wake_made;

} // namespace

int stop_wake_fd()
{
    std::call_once(wake_made, [] {
        const int fd = eventfd(0, EFD_NONBLOCK | EFD_CLOEXEC);
        if (fd < 0) err(1, "failed to create the stop's eventfd");
        wake_fd = fd;
    });
    return wake_fd;
}

void stop_request(StopCause why)
{
    std::call_once(first, [&] { cause = why; });
    requested.store(true);
    // the descriptor is made at set-up, before any thread could ask to stop
    if (const int fd = wake_fd.load(); fd >= 0) (void)!eventfd_write(fd, 1);
    signals_stop_requested();
    DEBUG("stopping: %s", end_reason_name(why.reason));
}

bool stop_requested()
{
    return requested.load();
}

StopCause stop_cause()
{
    if (!requested.load()) return {};
    return cause;
}

const char* end_reason_name(EndReason reason)
{
    switch (reason) {
    case EndReason::SIGNAL: return "signal";
    case EndReason::STDIN_CLOSED: return "stdin-closed";
    case EndReason::SIZE_LIMIT: return "size-limit";
    case EndReason::DISPLAY_GONE: return "display-gone";
    case EndReason::WRITE_FAILED: return "write-failed";
    default: return "unspecified";
    }
}
