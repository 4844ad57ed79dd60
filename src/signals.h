// The signal thread: every signal is blocked in every thread; this one
// takes SIGHUP, SIGINT, SIGQUIT and SIGTERM and asks the frontend to stop.
// It also keeps the stop's deadline: a stop (from any cause) that has not
// let go of the display within STOP_DEADLINE breaks the display's
// connections, so that no wait on a display that no longer answers can keep
// the recording from ending in order.
#pragma once

#include <chrono>

inline constexpr std::chrono::milliseconds STOP_DEADLINE{1500};

void signals_thread_start();
void signals_thread_stop();
// Called by every stop request, from any thread; never blocks.
void signals_stop_requested();
const char* signal_name(int sig);
