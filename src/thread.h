// Starting the recorder's named threads.
#pragma once

#include <pthread.h>

// Starts body(arg) on a new thread named `name`; ends the process with
// status 1 and start_failure or name_failure (with the system's error text)
// when the thread cannot be created or named.
pthread_t thread_start(void* (*body)(void*), void* arg, const char* name, const char* start_failure,
                       const char* name_failure);
// Joins the thread; false, with a journal entry, when it cannot be joined.
bool thread_join(pthread_t thread, const char* name);
