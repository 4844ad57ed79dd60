// The X extensions the recorder needs (COMPOSITE, DAMAGE, RANDR, RECORD,
// XFIXES, XTEST): presence, versions, event codes and the set-up requests.
#pragma once

#include <xcb/damage.h>
#include <xcb/xcb.h>

#include <string>

// Checks every extension and makes the main connection's selections; why
// the display cannot be recorded, or "" when it can.
std::string extensions_setup(xcb_connection_t* c, xcb_window_t root);
int damage_event();
int cursor_notify_event();
int selection_notify_event();
int randr_event();
