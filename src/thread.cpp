// Starting the recorder's named threads.
#include "thread.h"

#include <err.h>

#include <cerrno>
#include <cstring>

#include "debugging.h"

pthread_t thread_start(void* (*body)(void*), void* arg, const char* name, const char* start_failure,
                       const char* name_failure)
{
    pthread_t thread;
    int rc = pthread_create(&thread, nullptr, body, arg);
    if (rc != 0) {
        errno = rc;
        err(1, "%s", start_failure);
    }
    // a thread that has already ended needs no name: its name's file is gone
    // (ENOENT) or belongs to no task any more (ESRCH)
    rc = pthread_setname_np(thread, name);
    if (rc != 0 && rc != ENOENT && rc != ESRCH) {
        errno = rc;
        err(1, "%s", name_failure);
    }
    return thread;
}

bool thread_join(pthread_t thread, const char* name)
{
    const int rc = pthread_join(thread, nullptr);
    if (rc != 0)
        JOURNAL_AS("thread_join", LOG_ERR, "failed to join the %s thread: %s", name, std::strerror(rc));
    return rc == 0;
}
