// The input recording thread: key, button and motion events through RECORD
// on a connection of its own.
#pragma once

#include <cstdint>

void record_thread_start();
void record_thread_stop();
void* record_function(void* arg);
void record_user_as_last_input();
// The resource-id base of the record connection, which names that client
// to the X server (KillClient); 0 before the thread was first started.
uint32_t record_connection_id_base();
