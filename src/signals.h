// The signal thread: every signal is blocked in every thread; one thread
// waits for SIGHUP, SIGINT, SIGQUIT or SIGTERM and asks the frontend to stop.
#pragma once

void signals_thread_start();
void signals_thread_stop();
void* signals_function(void* arg);
const char* signal_name(int sig);
