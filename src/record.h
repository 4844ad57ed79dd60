// The input recording thread: key, button and motion events through RECORD
// on a connection of its own.
#pragma once

void record_thread_start();
void record_thread_stop();
void* record_function(void* arg);
void record_user_as_last_input();
