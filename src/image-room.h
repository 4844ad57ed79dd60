// Images in flight.  Room for every image a frame tick asks for is taken
// before the request and given back by the compressor once it has merged
// the image (or learnt that none came), so that the image replies between
// the X server and the frame never take more than the room (three quarters
// of a screen), whatever the display does and however slow the writer is: a
// tick that finds no room waits for it.
//
// Images travel through the connection, never through MIT-SHM: any client
// can make the server write into another client's shared segment by its id
// (ShmGetImage names the segment, and nothing checks whose it is), so
// pixels in a segment of ours could be another client's, not the server's.
#pragma once

#include <xcb/xcb.h>

#include <cstddef>
#include <cstdint>

// Sets the room to `bytes` (one screen) and learns the screen's pixel size.
void image_room_setup(xcb_connection_t* c, size_t bytes);
// The most rows of an image `width` pixels wide that one request may ask
// for: every image fits into the room, even when the screen has grown.
uint16_t image_room_rows_per_request(uint16_t width);
// Takes room for an image of width x height at the screen's depth (main
// thread); what image_room_give takes back once it is merged.  Waits while
// the room is full (c flushed first, so that what holds it can come back);
// 0, with nothing taken, once c has broken.
uint64_t image_room_take(xcb_connection_t* c, uint16_t width, uint16_t height);
// Gives back every image's room up to this one (compressor thread, in order).
void image_room_give(uint64_t taken_to);
