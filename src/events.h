// Everything the recorded server sends on the main connection.
#pragma once

#include <xcb/xcb.h>

#include <cstdint>

// What a pass over the display's queued events did: none, some, or some
// with more left queued (the pass stops after one frame period).
enum class EventPass { NONE, SOME, MORE };
EventPass event_from_source();
void source_process_event(const xcb_generic_event_t* e);
void root_changed(uint16_t width, uint16_t height);
const char* xcb_error_label(uint8_t error);
const char* xcb_major_code(uint8_t major_code);
