// The compressor thread: it keeps the frame (the screen as the recording
// shows it) and turns each frame tick's clears, copies and images into
// records: a copy record for content that moved, then the blocks whose
// pixels really changed, or the whole screen when most of it changed.
#pragma once

#include <xcb/xcb.h>

#include <cstdint>

#include "framebuffer.h"
#include "writer.h"
#include "zel.h"

enum CompressorTicketType {
    TICKET_END = 0,
    TICKET_IMAGE = 1,
    TICKET_SCREEN_CHANGE = 2,
    TICKET_CLEAR = 3,
    TICKET_FRAME = 4,
    TICKET_COPY = 5,    // the pixels of rect move to (to_x, to_y)
    TICKET_RELEASE = 6, // no image came: give back its room (release_to)
};

struct CompressorTicket {
    CompressorTicketType type = TICKET_END;
    xcb_rectangle_t rect = {};
    xcb_get_image_reply_t* reply = nullptr; // owned by the compressor once queued
    int16_t to_x = 0;
    int16_t to_y = 0;
    uint64_t release_to = 0; // the images' room given back once the image is merged
};

void compressor_thread_start();
void compressor_thread_stop();
[[nodiscard]] bool send_to_compressor(const CompressorTicket* t);
// A new screen size: the frame of the tick in progress is written first,
// then the screen-change record, so that no record refers to the other size.
[[nodiscard]] bool send_screen_change_to_compressor(uint16_t width, uint16_t height);

// The compressor's work without its thread or a display (tests, benchmarks):
// compressor_geometry_set, then compressor_screen_setup, then tickets handled
// as the thread handles them.  Records go to the sink (send_to_writer unless
// replaced; null restores it).
typedef bool (*CompressorSink)(RecordPtr record);
void compressor_sink_set(CompressorSink sink);
void compressor_screen_setup(uint16_t width, uint16_t height);
void compressor_handle_ticket(const CompressorTicket* t);
void compressor_teardown();
const ZelImage* compressor_frame();
