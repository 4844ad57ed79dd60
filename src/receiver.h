// The image receiver thread: takes X replies in request order and passes
// them on to the compressor (images, clears, frames, screen changes) or the
// writer (cursors).  Each ticket names the connection of its request: when
// the display connection is made again, the old one's tickets are still
// taken in order (their replies fail) and the old connection is closed after
// them.
#pragma once

#include <xcb/xcb.h>

enum RequestType {
    REQUESTED_NOTHING = 0,
    REQUESTED_IMAGE = 1,
    REQUESTED_CURSOR_IMAGE = 2,
    REQUESTED_CLEAR = 3,
    REQUESTED_FRAME = 4,
    REQUESTED_COPY = 5,          // no request: the pixels of r move to (to_x, to_y)
    REQUESTED_SCREEN_CHANGE = 7, // no request: the screen is now r.width x r.height
    REQUESTED_RETIRE = 8,        // no request: the connection c is closed, after every ticket before
};

struct request_ticket {
    RequestType type;
    xcb_connection_t* c; // the connection the request was made on
    xcb_void_cookie_t cookie;
    xcb_rectangle_t r;
    int16_t to_x;
    int16_t to_y;
    uint64_t release_to; // the images' room to give back after the image
};
typedef struct request_ticket RequestTicket;

void receiver_thread_start();
void receiver_thread_stop();
[[nodiscard]] bool send_to_receiver(const RequestTicket* t);
