// What the recording says about each window, so that a reviewer finds the
// moment by title and program: a record when a window starts being shown
// (with what the X server knows of its client: the pid through X-Resource,
// and from the pid the uid and the command line; and what the client claims:
// its title, WM_CLASS, WM_TRANSIENT_FOR), one for each change of its title
// (at most one a second per window, the latest wins), of its place or
// stacking (likewise), and one when it is no longer shown.  Main thread only.
#pragma once

#include <xcb/xcb.h>

#include <vector>

#include "window-model.h"

// Interns the property names (on each new connection).
void window_records_setup(xcb_connection_t* c);
// A window's title property changed (a PropertyNotify): read again at most
// once a second.
void window_title_changed(xcb_window_t win, xcb_atom_t property);
// The windows shown at this tick, bottom first.
void window_records_tick(xcb_connection_t* c, const std::vector<WindowState*>& shown);
