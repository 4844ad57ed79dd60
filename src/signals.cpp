// The signal thread: all signals are blocked in every thread, and this one
// thread takes the first termination signal and asks the frontend to stop.
#include "signals.h"

#include <err.h>
#include <pthread.h>

#include <atomic>
#include <cerrno>
#include <csignal>
#include <cstring>

#include "debugging.h"
#include "frontend.h"

static pthread_t thread;
// True while the thread waits; read by the stopping thread to decide
// whether it has to be woken.
static std::atomic<bool> running;

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

// err() reads errno; the pthread functions return their error instead.
[[noreturn]] static void fail(int rc, const char* message)
{
    errno = rc;
    err(1, "%s", message);
}

static void signals_block_all()
{
    sigset_t all;
    if (sigfillset(&all) != 0) err(1, "failed to set signal mask");
    int rc = pthread_sigmask(SIG_BLOCK, &all, nullptr);
    if (rc != 0) fail(rc, "failed to block all signals");
    DEBUG("all signals blocked");
}

void signals_thread_start()
{
    signals_block_all();
    // Set before the thread exists, so that a stop that comes before the
    // thread reaches sigwait still wakes it: the SIGTERM then waits, blocked,
    // until sigwait takes it.
    running = true;
    int rc = pthread_create(&thread, nullptr, signals_function, nullptr);
    if (rc != 0) fail(rc, "failed to create signals thread");
    rc = pthread_setname_np(thread, "signals");
    if (rc != 0) fail(rc, "failed to set name of signal thread");
    DEBUG("thread setup complete");
}

void* signals_function(void* /*arg*/)
{
    DEBUG("thread %0lx starting...", static_cast<unsigned long>(pthread_self()));
    running = true;

    sigset_t waited;
    if (sigemptyset(&waited) != 0) err(1, "sigemptyset failed");
    if (sigaddset(&waited, SIGHUP) != 0) err(1, "sigaddset SIGHUP");
    if (sigaddset(&waited, SIGINT) != 0) err(1, "sigaddset SIGINT");
    if (sigaddset(&waited, SIGQUIT) != 0) err(1, "sigaddset SIGQUIT");
    if (sigaddset(&waited, SIGTERM) != 0) err(1, "sigaddset SIGTERM");

    int sig = 0;
    if (sigwait(&waited, &sig) == 0) {
        if (debugging()) {
            JOURNAL(LOG_DEBUG, "got signal %s (%d): stopping frontend", signal_name(sig), sig);
            debug_puts(__func__, "got signal %s (%d): stopping frontend", signal_name(sig), sig);
        }
    } else {
        JOURNAL_ERROR("sigwait error");
    }
    frontend_stop();

    DEBUG("thread %0lx exiting", static_cast<unsigned long>(pthread_self()));
    running = false;
    return nullptr;
}

void signals_thread_stop()
{
    if (pthread_equal(pthread_self(), thread))
        invariant_failed("pthread_self() != thread && \"should stop from another thread\"", __FILE__,
                         __LINE__, __func__);

    // A SIGTERM that arrives just after the thread stopped waiting stays
    // pending in it; the join completes either way.
    if (running && pthread_kill(thread, SIGTERM) != 0)
        JOURNAL_ERROR("failed to send SIGTERM to the signal-handling thread.");

    int rc = pthread_join(thread, nullptr);
    if (rc != 0) {
        JOURNAL_ERROR("failed to join signals thread: %s", strerror(rc));
        return;
    }
    DEBUG("collected signals thread");
}
