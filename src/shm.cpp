// Images in flight: the room, and the shared segment where there is one.
#include "shm.h"

#include <sys/mman.h>
#include <unistd.h>
#include <xcb/shm.h>

#include <algorithm>
#include <chrono>
#include <condition_variable>
#include <mutex>

#include "debugging.h"
#include "display.h"
#include "x-reply.h"
#include "zel.h"

namespace {

uint8_t* base; // the segment, or null: images come through the connection
size_t size;   // bytes of room
xcb_shm_seg_t segment;
uint8_t bits_per_pixel = 32;
uint8_t scanline_pad = 32;
// Bytes taken and given back since the start; the room holds taken - given.
uint64_t taken; // main thread only
uint64_t given; // under lock, written by the compressor
std::mutex lock;
std::condition_variable room_given;

bool offered(xcb_connection_t* c)
{
    const xcb_query_extension_reply_t* ext = xcb_get_extension_data(c, &xcb_shm_id);
    if (!ext || !ext->present) return false;
    const auto v = xcb_reply(xcb_shm_query_version_reply, c, xcb_shm_query_version(c));
    return v && (v->major_version > 1 || (v->major_version == 1 && v->minor_version >= 2));
}

void pixel_geometry(xcb_connection_t* c)
{
    for (auto it = xcb_setup_pixmap_formats_iterator(xcb_get_setup(c)); it.rem; xcb_format_next(&it))
        if (it.data->depth == root_depth()) {
            bits_per_pixel = it.data->bits_per_pixel;
            scanline_pad = it.data->scanline_pad;
        }
}

// A memory file mapped here and attached on the server side.
bool attach(xcb_connection_t* c, size_t bytes)
{
    const int fd = memfd_create("pelkrecorder-images", MFD_CLOEXEC);
    if (fd < 0) return false;
    void* p = ftruncate(fd, static_cast<off_t>(bytes)) == 0
                  ? mmap(nullptr, bytes, PROT_READ | PROT_WRITE, MAP_SHARED, fd, 0)
                  : MAP_FAILED;
    if (p == MAP_FAILED) {
        close(fd);
        return false;
    }
    segment = xcb_generate_id(c);
    // the library passes the descriptor to the server and closes it
    XcbReply<xcb_generic_error_t> error(xcb_request_check(c, xcb_shm_attach_fd_checked(c, segment, fd, 0)));
    if (error) {
        munmap(p, bytes);
        return false;
    }
    base = static_cast<uint8_t*>(p);
    return true;
}

uint64_t bytes_of(uint16_t width, uint16_t height)
{
    return static_cast<uint64_t>(stride_in_bytes(width, bits_per_pixel, scanline_pad)) * height;
}

// Where n bytes go in the ring if they fit now: never split at its end.
bool fits(uint64_t n, uint64_t* skip)
{
    const uint64_t at = taken % size;
    *skip = at + n > size ? size - at : 0;
    return taken + *skip + n - given <= size;
}

} // namespace

bool shm_setup(xcb_connection_t* c, size_t bytes)
{
    size = bytes;
    taken = given = 0;
    pixel_geometry(c);
    if (!offered(c) || !attach(c, bytes)) {
        DEBUG("no MIT-SHM: images come through the connection");
        return false;
    }
    DEBUG("images through a shared segment of %zu bytes", bytes);
    return true;
}

void shm_teardown()
{
    if (base) munmap(base, size);
    base = nullptr;
}

uint16_t shm_rows_per_request(uint16_t width)
{
    // half the room: an empty ring always has room for it, wherever it starts
    const uint64_t row = std::max<uint64_t>(bytes_of(width, 1), 1);
    return static_cast<uint16_t>(std::clamp<uint64_t>(size / 2 / row, 1, UINT16_MAX));
}

bool shm_reserve(xcb_connection_t* c, uint16_t width, uint16_t height, ShmSlot* slot)
{
    const uint64_t n = bytes_of(width, height);
    if (n == 0 || n > size) return false;
    uint64_t skip = 0;
    std::unique_lock<std::mutex> held(lock);
    while (!fits(n, &skip)) {
        held.unlock();
        xcb_flush(c);
        if (xcb_connection_has_error(c) != 0) return false;
        held.lock();
        // what holds the room comes back once the compressor has merged it;
        // a broken connection is noticed within the wait's bound
        room_given.wait_for(held, std::chrono::milliseconds(50), [&] { return fits(n, &skip); });
    }
    taken += skip + n;
    *slot = {base != nullptr, static_cast<uint32_t>((taken - n) % size), taken};
    return true;
}

uint32_t shm_segment()
{
    return segment;
}

const uint8_t* shm_data(uint32_t offset)
{
    return base + offset;
}

void shm_release(uint64_t release_to)
{
    {
        std::lock_guard<std::mutex> held(lock);
        given = release_to;
    }
    room_given.notify_one();
}
