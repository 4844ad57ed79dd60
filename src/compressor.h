// The compressor thread: the screen framebuffer, the 32 x 32 block change
// tracker and frame emission; and the framebuffer's pixel operations.
#pragma once

#include <xcb/xcb.h>

#include <cstddef>
#include <cstdint>

#include "zel.h"

enum CompressorTicketType {
    TICKET_END = 0,
    TICKET_IMAGE = 1,
    TICKET_SCREEN_CHANGE = 2,
    TICKET_CLEAR = 3,
    TICKET_FRAME = 4,
};

struct CompressorTicket {
    CompressorTicketType type;
    xcb_rectangle_t rect;
    xcb_get_image_reply_t* reply; // owned by the compressor once queued
};

typedef xcb_segment_t Box; // inclusive corners
typedef xcb_rectangle_t Rectangle;

struct Tracker {
    uint16_t width;
    uint16_t height;
    uint16_t block_width;
    uint16_t block_height;
    uint16_t ncols;
    uint16_t nrows;
    uint16_t partial_width;
    uint16_t partial_height;
    bool* changed; // ncols * nrows, row-major
};

void compressor_thread_start();
void compressor_thread_stop();
[[nodiscard]] bool send_to_compressor(const CompressorTicket* t);
[[nodiscard]] bool send_screen_change_to_compressor(uint16_t width, uint16_t height);
void* compressor_function(void* arg);

// Pixel geometry used by the operations below; set by compressor set-up, or
// by tests through compressor_geometry_set.
void compressor_geometry_set(PixelFormat format, uint8_t bits_per_pixel, uint8_t scanline_pad);

typedef void (*MergeFunction)(const ZelImage* from, ZelImage* to);
typedef uint8_t* (*ExtractPixelFunction)(const ZelImage* from, Rectangle rect, uint8_t* p);
typedef void (*ClearRectangleFunction)(const Rectangle* rect, ZelImage* to);

ZelImage* image_create(uint16_t w, uint16_t h);
Rectangle rectangle_from_image_intersection(const ZelImage* from, const ZelImage* into);
Rectangle rectangle_from_intersection_image_rectangle(const ZelImage* from, Rectangle rect);
void merge_image_depth8(const ZelImage* from, ZelImage* to);
void merge_image_depth16(const ZelImage* from, ZelImage* to);
void merge_image_depth32(const ZelImage* from, ZelImage* to);
uint8_t* extract_pixels_depth8(const ZelImage* from, Rectangle rect, uint8_t* p);
uint8_t* extract_pixels_depth16(const ZelImage* from, Rectangle rect, uint8_t* p);
uint8_t* extract_pixels_depth32(const ZelImage* from, Rectangle rect, uint8_t* p);
void clear_rectangle_depth8(const Rectangle* rect, ZelImage* to);
void clear_rectangle_depth16(const Rectangle* rect, ZelImage* to);
void clear_rectangle_depth32(const Rectangle* rect, ZelImage* to);
void merge_function_setup();

Tracker* tracker_create(uint16_t w, uint16_t h, uint16_t bw, uint16_t bh);
void tracker_destroy(Tracker* tracker);
void tracker_transfer(const Tracker* old_tracker, Tracker* new_tracker);
void tracker_reset(Tracker* tracker);
void tracker_add_box(Tracker* tracker, Box box);
void tracker_add_image(Tracker* tracker, const ZelImage* img);
uint32_t tracker_number_of_blocks(const Tracker* tracker);
bool tracker_changed_at(const Tracker* tracker, uint16_t col, uint16_t row);
void tracker_list_changed_blocks(const Tracker* tracker, Box* blocks, uint32_t* nchanged);

// Block record payload: the largest it can be for a tracker's screen (every
// block's rectangle and padded rows), and the filling of it with the given
// blocks of an image; returns the bytes written.
size_t image_blocks_max_length(const Tracker* tracker);
uint32_t image_blocks_data_fill(const ZelImage* from, const Box* blocks, uint32_t n, uint8_t* data);

// The compressor's work without its thread or a display (tests,
// benchmarks): compressor_geometry_set, which also picks the operations by
// bits per pixel, then compressor_screen_setup for a screen of that size,
// then tickets handled exactly as the thread handles them.  Records go to
// the sink (send_to_backend unless replaced; null restores it).
typedef bool (*CompressorSink)(void* p);
void compressor_sink_set(CompressorSink sink);
void compressor_screen_setup(uint16_t width, uint16_t height);
void compressor_handle_ticket(const CompressorTicket* t);
void compressor_teardown();
const ZelImage* compressor_frame();
const Tracker* compressor_tracker();
