// The capture driver on the main thread: set-up and teardown, the frame
// loop, and the stop request through which every thread ends the recording.
#pragma once

#include <xcb/xcb.h>

#include <csignal>
#include <cstdint>

#include "zel.h"

void frontend_setup();
void frontend_run();
void frontend_teardown();

// Any thread, any number of times: the loop ends after its current pass.
void frontend_stop();
bool frontend_running();
// Whether any stop was asked for, before the loop started or while it ran.
bool frontend_stop_was_requested();

void send_footer_item_to_writer(ZelRecordType type, const char* item);
xcb_atom_t intern_atom(xcb_connection_t* c, const char* name);
void palette_fetch(uint16_t* palette_size, RgbValue** palette);

typedef struct _XCBKeySymbols xcb_key_symbols_t; // as xcb_keysyms.h names it
xcb_key_symbols_t* frontend_keysyms();
