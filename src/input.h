// The input recording thread: key, button and motion events through RECORD
// on connections of its own.  A context that another client disables or
// frees, or a connection it kills, is made again; the file tells the gap.
#pragma once

// At set-up, before anything is recorded: the thread's connections and its
// RECORD context; ends the process (status 1, or 4 when the server refuses
// the context) when they cannot be had.
void input_connect();
void input_thread_start();
// Disables the context and ends the thread (waiting at most a second for
// the server to confirm the disable).
void input_thread_stop();
// Ends every wait on the thread's connections at once (any thread).
void input_connection_break();
// A last-input record of our own user.
void input_own_user_as_last_input();
