// Images in flight.  Room for every image a frame tick asks for is taken
// before the request and given back by the compressor once it has merged
// the image (or learnt that none came), so the pixels between the X server
// and the frame never take more than one screen's worth of memory, whatever
// the display does and however slow the writer is: a tick that finds no
// room waits for it.
//
// Where the server offers MIT-SHM the room is a shared segment that the
// server writes the pixels into, used as a ring; elsewhere the same
// accounting bounds the replies that travel through the connection.
#pragma once

#include <xcb/xcb.h>

#include <cstddef>
#include <cstdint>

// Sets the room to `bytes` (one screen) and attaches a segment of that size
// where the server offers MIT-SHM 1.2; false when images travel the plain way.
bool shm_setup(xcb_connection_t* c, size_t bytes);
// Unmaps the segment; after the compressor, which reads it, has stopped.
void shm_teardown();

struct ShmSlot {
    bool shared;         // in the segment at offset, else through the connection
    uint32_t offset;     // where the image goes in the segment
    uint64_t release_to; // what shm_release takes once it is merged
};

// The most rows of an image `width` pixels wide that one request may ask
// for: every image fits into the room, even when the screen has grown.
uint16_t shm_rows_per_request(uint16_t width);
// Room for an image of width x height at the screen's depth (main thread).
// Waits while the room is full (c flushed first, so that what holds it can
// come back); false, with nothing taken, once c has broken.
bool shm_reserve(xcb_connection_t* c, uint16_t width, uint16_t height, ShmSlot* slot);
uint32_t shm_segment();
const uint8_t* shm_data(uint32_t offset);
// Gives back every slot up to this one (compressor thread, in order).
void shm_release(uint64_t release_to);
