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
    REQUESTED_COPY = 5,      // no request: the pixels of r move to (to_x, to_y)
    REQUESTED_SHM_IMAGE = 6, // a GetImage into the shared segment (shm.h) at shm_offset
};

struct request_ticket {
    RequestType type;
    xcb_void_cookie_t cookie;
    xcb_rectangle_t r;
    int16_t to_x;
    int16_t to_y;
    uint32_t shm_offset;
    uint64_t release_to; // the segment's room to give back after the image
};
typedef struct request_ticket RequestTicket;

void receiver_thread_start();
void receiver_thread_stop();
[[nodiscard]] bool send_to_receiver(const RequestTicket* t);
