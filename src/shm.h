// Window images through shared memory (MIT-SHM) where the server offers
// it: the server writes the pixels straight into a segment that it shares
// with us alone, instead of sending them through the socket.  The segment
// is a ring: the frame tick (main thread) takes room for each image in
// request order, the compressor gives it back in the same order once it
// has merged the image.  Without room, or without MIT-SHM, images travel
// the plain way.
#pragma once

#include <xcb/xcb.h>

#include <cstddef>
#include <cstdint>

// Attaches a segment of `bytes` (one screen) to the display; false when the
// server offers no MIT-SHM 1.2 (images then go the plain way).
bool shm_setup(xcb_connection_t* c, size_t bytes);
// Unmaps the segment; after the compressor, which reads it, has stopped.
void shm_teardown();

struct ShmSlot {
    uint32_t offset;     // where the image goes in the segment
    uint64_t release_to; // what shm_release takes once it is merged
};

// Room for an image of width x height at the screen's depth (main thread);
// false when the segment is not there or has no room now.
bool shm_reserve(uint16_t width, uint16_t height, ShmSlot* slot);
uint32_t shm_segment();
const uint8_t* shm_data(uint32_t offset);
// Gives back every slot up to this one (compressor thread, in order).
void shm_release(uint64_t release_to);
