// Window images through shared memory.
#include "shm.h"

#include <sys/mman.h>
#include <unistd.h>
#include <xcb/shm.h>

#include <atomic>

#include "debugging.h"
#include "display.h"
#include "misc.h"
#include "zel.h"

namespace {

uint8_t* base;
size_t size;
xcb_shm_seg_t segment;
uint8_t bits_per_pixel;
uint8_t scanline_pad;
// Bytes taken and given back since the start; the ring holds taken - given.
uint64_t taken;                 // main thread only
std::atomic<uint64_t> given{0}; // written by the compressor

bool offered(xcb_connection_t* c)
{
    const xcb_query_extension_reply_t* ext = xcb_get_extension_data(c, &xcb_shm_id);
    if (!ext || !ext->present) return false;
    const auto v = xcb_reply(xcb_shm_query_version_reply, c, xcb_shm_query_version(c));
    return v && (v->major_version > 1 || (v->major_version == 1 && v->minor_version >= 2));
}

bool pixel_geometry(xcb_connection_t* c)
{
    for (auto it = xcb_setup_pixmap_formats_iterator(xcb_get_setup(c)); it.rem; xcb_format_next(&it))
        if (it.data->depth == root_depth()) {
            bits_per_pixel = it.data->bits_per_pixel;
            scanline_pad = it.data->scanline_pad;
            return true;
        }
    return false;
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
    size = bytes;
    return true;
}

} // namespace

bool shm_setup(xcb_connection_t* c, size_t bytes)
{
    if (!offered(c) || !pixel_geometry(c) || !attach(c, bytes)) {
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

bool shm_reserve(uint16_t width, uint16_t height, ShmSlot* slot)
{
    if (!base) return false;
    const uint64_t n = static_cast<uint64_t>(stride_in_bytes(width, bits_per_pixel, scanline_pad)) * height;
    const uint64_t at = taken % size;
    const uint64_t skip = at + n > size ? size - at : 0; // an image is never split at the ring's end
    if (n == 0 || n > size || taken + skip + n - given.load(std::memory_order_acquire) > size) return false;
    taken += skip + n;
    *slot = {static_cast<uint32_t>((at + skip) % size), taken};
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
    given.store(release_to, std::memory_order_release);
}
