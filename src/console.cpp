// Standard output that never blocks the recording.
//
// A write to a pipe or socket of at most PIPE_BUF bytes on a non-blocking
// descriptor either takes the whole line or nothing; a longer line may be
// taken in part, and its rest (`partial`) then goes first, so that lines
// stay whole and in order.
#include "console.h"

#include <fcntl.h>
#include <poll.h>
#include <pthread.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <string>

#include "debugging.h"
#include "timer.h"

namespace {

pthread_mutex_t mutex = PTHREAD_MUTEX_INITIALIZER;
std::string partial;      // the rest of a line already written in part
std::string announcement; // the latest announcement not yet started
unsigned long dropped;
bool dropping_reported;

// Writes as much of text as the descriptor takes now; what was written.
size_t write_some(std::string_view text)
{
    size_t done = 0;
    while (done < text.size()) {
        const ssize_t n = ::write(STDOUT_FILENO, text.data() + done, text.size() - done);
        if (n > 0) {
            done += static_cast<size_t>(n);
            continue;
        }
        if (n < 0 && errno == EINTR) continue;
        break; // EAGAIN, a closed reader (EPIPE) or another failure: later, or never
    }
    return done;
}

// Writes `partial`, then the announcement; true when nothing waits.
bool flush_locked()
{
    if (!partial.empty()) {
        partial.erase(0, write_some(partial));
        if (!partial.empty()) return false;
    }
    if (!announcement.empty()) {
        const size_t done = write_some(announcement);
        partial = announcement.substr(done);
        announcement.clear();
    }
    return partial.empty();
}

void drop()
{
    if (dropped++ == 0 && !dropping_reported) {
        dropping_reported = true;
        JOURNAL(LOG_WARNING, "standard output does not take console lines -> dropping them");
    }
}

} // namespace

void console_setup()
{
    struct stat st {};
    if (fstat(STDOUT_FILENO, &st) != 0 || !(S_ISFIFO(st.st_mode) || S_ISSOCK(st.st_mode))) return;
    const int flags = fcntl(STDOUT_FILENO, F_GETFL);
    if (flags >= 0) fcntl(STDOUT_FILENO, F_SETFL, flags | O_NONBLOCK);
}

void console_lock()
{
    if (pthread_mutex_lock(&mutex) != 0)
        invariant_failed("pthread_mutex_lock on the console should not fail", __FILE__, __LINE__, __func__);
}

void console_unlock()
{
    if (pthread_mutex_unlock(&mutex) != 0)
        invariant_failed("pthread_mutex_unlock on the console should not fail", __FILE__, __LINE__, __func__);
}

void console_line_locked(std::string_view text)
{
    if (!flush_locked()) {
        drop();
        return;
    }
    const size_t done = write_some(text);
    if (done == 0 && !text.empty()) {
        drop();
        return;
    }
    partial.assign(text.substr(done));
}

void console_line(std::string_view text)
{
    console_lock();
    console_line_locked(text);
    console_unlock();
}

void console_announce(std::string_view text)
{
    console_lock();
    announcement.assign(text);
    announcement.push_back('\n');
    flush_locked();
    console_unlock();
}

bool console_flush()
{
    console_lock();
    const bool done = flush_locked();
    console_unlock();
    return done;
}

int console_fd()
{
    return STDOUT_FILENO;
}

void console_drain(std::chrono::milliseconds limit)
{
    const int64_t deadline = time_monotonic_ms() + limit.count();
    while (!console_flush()) {
        const int64_t left = deadline - time_monotonic_ms();
        if (left <= 0) return;
        pollfd p{STDOUT_FILENO, POLLOUT, 0};
        if (poll(&p, 1, static_cast<int>(left)) < 0 && errno != EINTR) return;
        if (p.revents & (POLLERR | POLLNVAL)) return;
    }
}

unsigned long console_dropped()
{
    console_lock();
    const unsigned long n = dropped;
    console_unlock();
    return n;
}
