// The signal thread and the stop's deadline.
#include "signals.h"

#include <err.h>
#include <poll.h>
#include <pthread.h>
#include <sys/eventfd.h>
#include <sys/signalfd.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <csignal>
#include <cstdint>
#include <cstring>

#include "debugging.h"
#include "display.h"
#include "input.h"
#include "stop.h"
#include "thread.h"
#include "timer.h"

static pthread_t thread;
static int signal_fd = -1;
static int stop_fd = -1; // a stop was requested
static int quit_fd = -1; // the teardown is over: the thread ends

static constexpr const char* signal_names[] = {
    "unknown",   "SIGHUP",  "SIGINT",    "SIGQUIT", "SIGILL",   "SIGTRAP", "SIGABRT", "SIGBUS",
    "SIGFPE",    "SIGKILL", "SIGUSR1",   "SIGSEGV", "SIGUSR2",  "SIGPIPE", "SIGALRM", "SIGTERM",
    "SIGSTKFLT", "SIGCHLD", "SIGCONT",   "SIGSTOP", "SIGTSTP",  "SIGTTIN", "SIGTTOU", "SIGURG",
    "SIGXCPU",   "SIGXFSZ", "SIGVTALRM", "SIGPROF", "SIGWINCH", "SIGIO",   "SIGPWR",  "SIGSYS",
};

const char* signal_name(int sig)
{
    if (sig <= 0 || sig >= static_cast<int>(std::size(signal_names))) return "unknown";
    return signal_names[sig];
}

static void post(int fd)
{
    const uint64_t one = 1;
    while (write(fd, &one, sizeof one) < 0 && errno == EINTR) {}
}

void signals_stop_requested()
{
    if (stop_fd >= 0) post(stop_fd);
}

static void take_signal()
{
    signalfd_siginfo info{};
    if (read(signal_fd, &info, sizeof info) != sizeof info) return;
    const int sig = static_cast<int>(info.ssi_signo);
    JOURNAL(LOG_DEBUG, "got signal %s (%d) from pid %u (uid %u): stopping", signal_name(sig), sig,
            info.ssi_pid, info.ssi_uid);
    stop_request(StopCause{EndReason::SIGNAL, sig, static_cast<int32_t>(info.ssi_pid), info.ssi_uid});
}

// The display did not let go in time: every wait on it ends now.
static void break_display()
{
    JOURNAL_ERROR("the display did not let the recording end within %lld ms -> breaking its connections",
                  static_cast<long long>(STOP_DEADLINE.count()));
    display_connection_break();
    input_connection_break();
}

static void* signals_function(void*)
{
    constexpr int64_t NONE = INT64_MAX;
    int64_t deadline = NONE; // the stop's, once one was asked for
    for (bool broken = false;;) {
        const int timeout = broken || deadline == NONE
                                ? -1
                                : static_cast<int>(std::max<int64_t>(0, deadline - time_monotonic_ms()));
        pollfd fds[3] = {{signal_fd, POLLIN, 0}, {stop_fd, POLLIN, 0}, {quit_fd, POLLIN, 0}};
        if (poll(fds, 3, timeout) < 0 && errno != EINTR) JOURNAL_ERROR("poll error in the signal thread");
        if (fds[2].revents) break;
        if (fds[0].revents) take_signal();
        if (fds[1].revents) {
            // taken, so that the deadline's wait does not spin on it
            eventfd_t n = 0;
            (void)eventfd_read(stop_fd, &n);
            if (deadline == NONE) deadline = time_monotonic_ms() + STOP_DEADLINE.count();
        }
        if (!broken && deadline != NONE && time_monotonic_ms() >= deadline) {
            break_display();
            broken = true;
        }
    }
    return nullptr;
}

void signals_thread_start()
{
    sigset_t all;
    sigfillset(&all);
    int rc = pthread_sigmask(SIG_BLOCK, &all, nullptr);
    if (rc != 0) {
        errno = rc;
        err(1, "failed to block all signals");
    }
    DEBUG("all signals blocked");
    sigset_t stop_signals;
    sigemptyset(&stop_signals);
    for (int s : {SIGHUP, SIGINT, SIGQUIT, SIGTERM}) sigaddset(&stop_signals, s);
    signal_fd = signalfd(-1, &stop_signals, SFD_CLOEXEC | SFD_NONBLOCK);
    stop_fd = eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK);
    quit_fd = eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK);
    if (signal_fd < 0 || stop_fd < 0 || quit_fd < 0) err(1, "failed to create signals thread");
    thread = thread_start(signals_function, nullptr, "signals", "failed to create signals thread",
                          "failed to set name of signal thread");
    if (stop_requested()) signals_stop_requested(); // a stop that came before us
    DEBUG("thread setup complete");
}

void signals_thread_stop()
{
    if (pthread_equal(pthread_self(), thread))
        invariant_failed("pthread_self() != thread && \"should stop from another thread\"", __FILE__,
                         __LINE__, __func__);
    post(quit_fd);
    (void)thread_join(thread, "signals");
}
