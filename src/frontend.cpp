// The capture driver on the main thread and the stop request through which
// every thread ends the recording.
#include "frontend.h"

#include <csignal>

#include "debugging.h"

// Cleared by any thread at any time; read by the loop at the top of each
// pass.  The accesses go through relaxed atomic built-ins so that the word
// stays a plain sig_atomic_t yet the thread sanitizer sees no data race.
static volatile sig_atomic_t frontend_is_running;

void frontend_stop()
{
    __atomic_store_n(&frontend_is_running, 0, __ATOMIC_RELAXED);
    DEBUG("stopping frontend");
}

bool frontend_running()
{
    return __atomic_load_n(&frontend_is_running, __ATOMIC_RELAXED) != 0;
}

// Temporary: set-up, loop and teardown are still to be written.
void frontend_setup() {}

void frontend_run()
{
    __atomic_store_n(&frontend_is_running, 1, __ATOMIC_RELAXED);
}

void frontend_teardown() {}
