// Control messages on standard input while recording: one "keyword value"
// per line; the end of input stops the recording.
#pragma once

#include "zel.h"

void event_from_stdin();
// A read of standard input failed (not for an interruption): the loop stops
// watching it, and the recording goes on until it is told to stop otherwise.
bool stdin_is_broken();
void stdin_handle_message(char* msg);
ZelRecordType message_type(const char* msg);
// Input has ended: handles an unfinished last line, if any.
void stdin_end_of_input();
