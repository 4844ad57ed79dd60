// Control messages on standard input while recording: one "keyword value"
// per line; the end of input stops the recording.
#pragma once

#include "zel.h"

void event_from_stdin();
void stdin_handle_message(char* msg);
ZelRecordType message_type(const char* msg);
// Input has ended: handles an unfinished last line, if any.
void stdin_end_of_input();
