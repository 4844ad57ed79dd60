// The input recording thread: key, button and motion events through RECORD
// on a connection of its own.
#pragma once

void record_thread_start();
void record_thread_stop();
void* record_function(void* arg);
void record_user_as_last_input();
// The socket of the record connection while the thread runs, -1 otherwise.
// Fault tests shut it down: the connection owns no resource, so the server
// offers no other way of breaking it (KillClient needs a resource id).
int record_connection_fd();
