// Debug and verbose switches and the console log on standard output.
#include "debugging.h"

#include <err.h>
#include <pthread.h>
#include <sys/time.h>

#include <cerrno>
#include <cstdarg>
#include <cstdio>
#include <cstdlib>
#include <ctime>

struct debugging_state {
    bool debugging;
    bool verbose;
};

static debugging_state state;

// Usable from process start; initialised again when verbose mode is switched on.
static pthread_mutex_t debug_mutex = PTHREAD_MUTEX_INITIALIZER;

bool debugging()
{
    return state.debugging;
}

void debugging_set(bool on)
{
    state.debugging = on;
}

bool verbose()
{
    return state.verbose;
}

void verbose_set(bool on)
{
    state.verbose = on;
    if (on) {
        int rc = pthread_mutex_init(&debug_mutex, nullptr);
        if (rc != 0) {
            errno = rc;
            err(1, "failed to initialise debug_mutex");
        }
    }
}

void invariant_failed(const char* text, const char* file, unsigned line, const char* function)
{
    std::fprintf(stderr, "%s: %s:%u: %s: Assertion `%s' failed.\n", program_invocation_short_name, file, line,
                 function, text);
    std::abort();
}

static void debug_lock()
{
    if (pthread_mutex_lock(&debug_mutex) != 0)
        invariant_failed("pthread_mutex_lock on debug_mutex should not fail", __FILE__, __LINE__, __func__);
}

static void debug_unlock()
{
    if (pthread_mutex_unlock(&debug_mutex) != 0)
        invariant_failed("pthread_mutex_unlock on debug_mutex should not fail", __FILE__, __LINE__, __func__);
}

void debug_puts(const char* function, const char* format, ...)
{
    debug_lock();

    struct timeval tv {};
    gettimeofday(&tv, nullptr);
    char clock_text[64] = "";
    time_t seconds = tv.tv_sec;
    // localtime is not reentrant; nothing else calls it and the mutex is held.
    const struct tm* local = localtime(&seconds);
    if (local != nullptr) strftime(clock_text, sizeof clock_text, "%H:%M:%S", local);

    printf("%s.%03d %s: ", clock_text, static_cast<int>(tv.tv_usec / 1000), function);
    va_list args;
    va_start(args, format);
    vprintf(format, args);
    va_end(args);
    putchar('\n');

    debug_unlock();
}

void debug_printf(const char* format, ...)
{
    debug_lock();
    va_list args;
    va_start(args, format);
    vprintf(format, args);
    va_end(args);
    debug_unlock();
}
