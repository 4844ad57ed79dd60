// Starting the recorder's named threads.
#include "thread.h"

#include <err.h>

#include <cerrno>

pthread_t thread_start(void* (*body)(void*), void* arg, const char* name, const char* start_failure,
                       const char* name_failure)
{
    pthread_t thread;
    int rc = pthread_create(&thread, nullptr, body, arg);
    if (rc != 0) {
        errno = rc;
        err(1, "%s", start_failure);
    }
    // a thread that has already ended (ENOENT: its name's file is gone) needs none
    rc = pthread_setname_np(thread, name);
    if (rc != 0 && rc != ENOENT) {
        errno = rc;
        err(1, "%s", name_failure);
    }
    return thread;
}
