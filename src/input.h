// The input recording thread: key, button and motion events through RECORD
// on a connection of its own.
#pragma once

void input_thread_start();
void input_thread_stop();
void input_own_user_as_last_input();
// Connects the record thread's own connection (at set-up, before anything
// is recorded); ends the process when it cannot.
void input_connect();
// Ends every wait on the record connection at once (any thread).
void input_connection_break();
