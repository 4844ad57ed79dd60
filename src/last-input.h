// Last-input arbitration among cooperating member clients.
#pragma once

#include <xcb/xcb.h>

#include <cstddef>
#include <cstdint>

#include "writer.h"

enum last_input_message_types {
    LI_EMPTY = 0,
    LI_MEMBER_REGISTER = 1,
    LI_MEMBER_HEARTBEAT = 2,
    LI_MEMBER_LEAVE = 3,
    LI_KEY_PRESS = 4,
    LI_BUTTON_PRESS = 5,
};

void last_input_setup();
void last_input_teardown();
// Whether a client message is in the members' protocol (LAST_INPUT, format
// 32, to the root window); no other is handed to last_input_handle_message.
bool last_input_is_member_message(const xcb_client_message_event_t* e);
void last_input_handle_message(const xcb_client_message_event_t* e);
size_t last_input_quorum();
// A new last-input record of this user and tfn (copied; either may be null),
// stamped now; null without memory.
Owned<ZelLastInput> last_input_record(const char* user, const char* tfn);

// The arbitration's millisecond clock; time_in_ms unless replaced (tests
// drive it to cross the member time-out exactly).  nullptr restores it.
using last_input_clock_fn = uint32_t (*)();
void last_input_clock_set(last_input_clock_fn clock);
