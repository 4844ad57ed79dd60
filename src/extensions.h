// COMPOSITE, DAMAGE, RANDR, RECORD, XFIXES and XTEST: presence, versions,
// event codes and the set-up requests.
#pragma once

#include <xcb/damage.h>
#include <xcb/record.h>
#include <xcb/xcb.h>

void extensions_setup(xcb_connection_t* c, xcb_window_t root);
int damage_event();
int cursor_notify_event();
int randr_event();
xcb_record_context_t record_context();
