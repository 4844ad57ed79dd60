// Images in flight: the room they may take.
#include "image-room.h"

#include <algorithm>
#include <chrono>
#include <condition_variable>
#include <mutex>

#include "display.h"
#include "zel.h"

namespace {

size_t size; // bytes of room
uint8_t bits_per_pixel = 32;
uint8_t scanline_pad = 32;
// Bytes taken and given back since the start; the room holds taken - given.
uint64_t taken; // main thread only
uint64_t given; // under lock, written by the compressor
std::mutex lock;
std::condition_variable room_given;

uint64_t bytes_of(uint16_t width, uint16_t height)
{
    return static_cast<uint64_t>(stride_in_bytes(width, bits_per_pixel, scanline_pad)) * height;
}

} // namespace

void image_room_setup(xcb_connection_t* c, size_t bytes)
{
    size = bytes;
    taken = given = 0;
    for (auto it = xcb_setup_pixmap_formats_iterator(xcb_get_setup(c)); it.rem; xcb_format_next(&it))
        if (it.data->depth == root_depth()) {
            bits_per_pixel = it.data->bits_per_pixel;
            scanline_pad = it.data->scanline_pad;
        }
}

uint16_t image_room_rows_per_request(uint16_t width)
{
    // half the room: an empty room always takes it
    const uint64_t row = std::max<uint64_t>(bytes_of(width, 1), 1);
    return static_cast<uint16_t>(std::clamp<uint64_t>(size / 2 / row, 1, UINT16_MAX));
}

uint64_t image_room_take(xcb_connection_t* c, uint16_t width, uint16_t height)
{
    const uint64_t n = bytes_of(width, height);
    std::unique_lock<std::mutex> held(lock);
    const auto fits = [&] { return taken + n - given <= size || taken == given; };
    while (!fits()) {
        held.unlock();
        xcb_flush(c);
        if (xcb_connection_has_error(c) != 0) return 0;
        held.lock();
        // what holds the room comes back once the compressor has merged it;
        // a broken connection is noticed within the wait's bound
        room_given.wait_for(held, std::chrono::milliseconds(50), fits);
    }
    taken += n;
    return taken;
}

void image_room_give(uint64_t taken_to)
{
    {
        std::lock_guard<std::mutex> held(lock);
        given = taken_to;
    }
    room_given.notify_one();
}
