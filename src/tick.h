// One frame tick: what changed on the screen since the last tick becomes
// clear, copy, image and frame tickets for the image receiver, in stacking
// order, with the damage of each window subtracted right before its images
// are asked for.
#pragma once

#include "window-model.h"

// Remembers the screen as composed at the start (its size and windows).
void tick_setup();
// A new connection: nothing is composed yet, and the cursor is asked for again.
void tick_reset();
void process_frame_tick(WindowModel& windows);
// The cursor changed: its image is asked for at the next tick (at most one
// per tick, however often it changes).
void tick_cursor_changed();
void request_cursor_image();
