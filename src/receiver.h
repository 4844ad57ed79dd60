// The image receiver thread: takes X replies in request order and passes
// them on to the compressor (images, clears, frames) or the writer (cursors).
#pragma once

#include <xcb/xcb.h>

enum RequestType {
    REQUESTED_NOTHING = 0,
    REQUESTED_IMAGE = 1,
    REQUESTED_CURSOR_IMAGE = 2,
    REQUESTED_CLEAR = 3,
    REQUESTED_FRAME = 4,
};

struct request_ticket {
    RequestType type;
    xcb_void_cookie_t cookie;
    xcb_rectangle_t r;
};
typedef struct request_ticket RequestTicket;

struct queued_ticket {
    RequestType type;
    xcb_void_cookie_t cookie;
    xcb_rectangle_t r;
};
typedef struct queued_ticket QueuedTicket;

void receiver_thread_start();
void receiver_thread_stop();
[[nodiscard]] bool send_to_receiver(const RequestTicket* t);
void* receiver_function(void* arg);
