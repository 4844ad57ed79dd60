// Standard output, which the session service may read slowly or not at all.
// Writing to it never blocks the recording: console lines (debug mode, the
// unknown-event line) that the reader cannot take now are dropped and
// counted; announcements ("##lastInputBy", "##recordingDigest") are never
// lost: the latest one waiting is kept and written as soon as the reader
// takes it.  Lines never interleave: everything goes out under one lock.
#pragma once

#include <chrono>
#include <string_view>

// Makes standard output non-blocking when it is a pipe or a socket.
void console_setup();

// A complete console line (or dump piece ending in a line end).  Dropped
// when standard output cannot take it whole right now.
void console_line(std::string_view text);

// An announcement line (without its line end).
void console_announce(std::string_view text);

// Writes what waits, without blocking; true when nothing waits any more.
bool console_flush();

// The descriptor to watch for POLLOUT while console_flush() is false.
int console_fd();

// At the end: waits up to `limit` for what waits to be written.
void console_drain(std::chrono::milliseconds limit);

// Console lines dropped so far.
unsigned long console_dropped();

// The console lock, for formatting a line in place (debugging.cpp).
void console_lock();
void console_unlock();
void console_line_locked(std::string_view text);
