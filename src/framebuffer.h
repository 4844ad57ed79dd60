// The compressor's image of the whole screen (the frame) and the 32 x 32
// block tracker: pixels are merged in, cleared and copied, and a block is
// marked changed only when its pixels really changed.  Pixels stay in the
// server's layout, moved as bytes; only their size (1, 2 or 4 bytes) and
// the scanline pad matter.  Compressor thread only.
#pragma once

#include <xcb/xcb.h>

#include <cstddef>
#include <cstdint>
#include <vector>

#include "zel.h"

// The bounds of a block's changed pixels, inclusive corners.
struct Bounds {
    int16_t x1, y1, x2, y2;
};
typedef xcb_rectangle_t Rectangle;

// Pixel geometry of the recorded screen; set once before any operation.
void compressor_geometry_set(PixelFormat format, uint8_t bits_per_pixel, uint8_t scanline_pad);
PixelFormat framebuffer_pixel_format();
uint8_t framebuffer_bytes_per_pixel();
uint8_t framebuffer_scanline_pad();
uint32_t stride_of(uint32_t width);

// A black image of the screen's layout at the origin; null without memory.
ZelImage* image_create(uint16_t w, uint16_t h);
// The overlap of an image and a rectangle, in root coordinates (empty: 0 x 0).
Rectangle rectangle_from_intersection_image_rectangle(const ZelImage* from, Rectangle rect);

// Per 32 x 32 block, the bounds of the pixels that changed since the last
// reset: a block record then carries only that part of each block (a cursor
// blink, a glyph, the strip a moved window uncovered), not all of it.
struct Tracker {
    uint16_t width;
    uint16_t height;
    uint16_t ncols;
    uint16_t nrows;
    std::vector<Bounds> dirty; // ncols * nrows, row-major; x1 > x2 where nothing changed
};
inline constexpr uint16_t BLOCK = 32;

Tracker tracker_create(uint16_t width, uint16_t height);
void tracker_mark(Tracker& t, Rectangle r);
// The changed part of each changed block, top block row first.
std::vector<Rectangle> tracker_changed_blocks(const Tracker& t);
void tracker_reset(Tracker& t);

// Copies `from` (an image at its x, y) into the frame, clipped; the pixels
// that differ are marked.
void framebuffer_merge(const ZelImage* from, ZelImage* frame, Tracker& t);
// Sets the rectangle to zero, clipped; rows that held anything are marked.
void framebuffer_clear(Rectangle rect, ZelImage* frame, Tracker& t);
// Moves the pixels of src to (to_x, to_y) as memmove would; both rectangles
// must lie inside the frame.  Nothing is marked: readers copy as well.
void framebuffer_copy(ZelImage* frame, Rectangle src, int16_t to_x, int16_t to_y);

// One entry of a block record: the block's 8-byte rectangle and its rows at
// the padded stride of its width (padding zeroed).  At most BLOCK_ENTRY_MAX
// bytes, written at out.
inline constexpr size_t BLOCK_ENTRY_MAX = sizeof(Rectangle) + BLOCK * BLOCK * 4 + BLOCK * 8;
size_t block_entry_size(Rectangle block);
void block_entry_write(const ZelImage* from, Rectangle block, uint8_t* out);
