// Replay: rebuilds the recorded screen by applying records in order, in the
// pixel layout the server delivered, and converts it to RGBA on request.
#include <algorithm>
#include <cerrno>
#include <cstdlib>
#include <new>
#include <vector>

#include "zel_internal.h"

struct zel_replay {
    bool has_screen = false;
    uint16_t width = 0;
    uint16_t height = 0;
    PixelFormat format = FORMAT_UNKNOWN;
    uint8_t scanline_pad = 0;
    uint8_t bytes_per_pixel = 0;
    uint32_t stride = 0;
    std::vector<uint8_t> canvas;
    std::vector<RgbValue> palette;
    uint64_t time = 0;
    bool damaged = false; // records are missing: pictures wait for a whole screen
    bool has_cursor = false;
    bool has_position = false;
    int16_t pointer_x = 0;
    int16_t pointer_y = 0;
    uint16_t cursor_width = 0;
    uint16_t cursor_height = 0;
    uint16_t xhot = 0;
    uint16_t yhot = 0;
    std::vector<uint32_t> cursor; // premultiplied ARGB, cursor_width * cursor_height
    std::vector<uint8_t> scratch; // decompressed image data, reused from record to record
};

namespace zel {
namespace {

int fail(int e)
{
    errno = e;
    return -1;
}

uint32_t stride_of(const ZelReplay* r, uint32_t width)
{
    return stride_in_bytes(width, static_cast<uint8_t>(r->bytes_per_pixel * 8), r->scanline_pad);
}

bool pad_ok(uint8_t pad)
{
    return pad == 0 || pad == 8 || pad == 16 || pad == 32 || pad == 64;
}

// Copies a w x h pixel rectangle whose rows lie src_stride apart to (x, y),
// clipped to the canvas.
void paint(ZelReplay* r, int32_t x, int32_t y, uint32_t w, uint32_t h, const uint8_t* src, size_t src_stride)
{
    int32_t x0 = std::max(x, 0), y0 = std::max(y, 0);
    int64_t x1 = std::min<int64_t>(static_cast<int64_t>(x) + w, r->width);
    int64_t y1 = std::min<int64_t>(static_cast<int64_t>(y) + h, r->height);
    if (x0 >= x1 || y0 >= y1) return;
    const size_t bpp = r->bytes_per_pixel;
    const size_t row_bytes = static_cast<size_t>(x1 - x0) * bpp;
    for (int64_t row = y0; row < y1; ++row) {
        const uint8_t* s =
            src + static_cast<size_t>(row - y) * src_stride + static_cast<size_t>(x0 - x) * bpp;
        uint8_t* d = r->canvas.data() + static_cast<size_t>(row) * r->stride + static_cast<size_t>(x0) * bpp;
        std::memcpy(d, s, row_bytes);
    }
}

// A new canvas of w x h keeping the top-left part of the old one.
int resize(ZelReplay* r, uint16_t w, uint16_t h)
{
    uint32_t stride = stride_of(r, w);
    uint64_t bytes = static_cast<uint64_t>(stride) * h;
    if (bytes > ZEL_MAX_UNCOMPRESSED) return fail(EFBIG);
    std::vector<uint8_t> canvas;
    try {
        canvas.assign(static_cast<size_t>(bytes), 0);
    } catch (const std::bad_alloc&) {
        return fail(ENOMEM);
    }
    const size_t rows = std::min(h, r->height);
    const size_t row_bytes = static_cast<size_t>(std::min(w, r->width)) * r->bytes_per_pixel;
    for (size_t row = 0; row < rows && row_bytes > 0; ++row)
        std::memcpy(canvas.data() + row * stride, r->canvas.data() + row * r->stride, row_bytes);
    r->canvas.swap(canvas);
    r->width = w;
    r->height = h;
    r->stride = stride;
    return 0;
}

int apply_header(ZelReplay* r, const ZelHeader* h)
{
    uint8_t bpp = pixel_format_bytes_per_pixel(h->pixel_format);
    if (bpp == 0 || !pad_ok(h->scanline_pad)) return fail(EINVAL);
    std::vector<RgbValue> palette;
    try {
        if (h->palette != nullptr) palette.assign(h->palette, h->palette + h->palette_size);
    } catch (const std::bad_alloc&) {
        return fail(ENOMEM);
    }
    ZelReplay fresh;
    fresh.format = h->pixel_format;
    fresh.bytes_per_pixel = bpp;
    fresh.scanline_pad = h->scanline_pad;
    if (resize(&fresh, h->width, h->height) != 0) return -1;
    // The cursor is not part of the screen: it survives a new header.
    r->has_screen = true;
    r->format = fresh.format;
    r->bytes_per_pixel = bpp;
    r->scanline_pad = fresh.scanline_pad;
    r->width = fresh.width;
    r->height = fresh.height;
    r->stride = fresh.stride;
    r->canvas.swap(fresh.canvas);
    r->palette.swap(palette);
    return 0;
}

int apply_image(ZelReplay* r, const ZelImage* i)
{
    if (!r->has_screen || i->pixel_format != r->format || !pad_ok(i->scanline_pad)) return fail(EINVAL);
    if (i->width == 0 || i->height == 0) return 0;
    size_t stride = stride_in_bytes(i->width, static_cast<uint8_t>(r->bytes_per_pixel * 8), i->scanline_pad);
    uint64_t need =
        static_cast<uint64_t>(i->height - 1) * stride + static_cast<uint64_t>(i->width) * r->bytes_per_pixel;
    if (i->data == nullptr || i->length < need) return fail(EINVAL);
    paint(r, i->x, i->y, i->width, i->height, i->data, stride);
    return 0;
}

int apply_blocks(ZelReplay* r, const uint8_t* data, uint32_t length)
{
    if (!r->has_screen) return fail(EINVAL);
    if (data == nullptr && length != 0) return fail(EINVAL);
    // Check every entry before painting any, so a bad record leaves the screen alone.
    for (int pass = 0; pass < 2; ++pass) {
        size_t at = 0;
        while (at < length) {
            if (length - at < 8) return fail(EINVAL);
            int16_t x, y;
            uint16_t w, h; // host byte order, as the recorder laid them out
            std::memcpy(&x, data + at, 2);
            std::memcpy(&y, data + at + 2, 2);
            std::memcpy(&w, data + at + 4, 2);
            std::memcpy(&h, data + at + 6, 2);
            at += 8;
            size_t stride = stride_of(r, w);
            uint64_t bytes = static_cast<uint64_t>(stride) * h;
            if (bytes > length - at) return fail(EINVAL);
            if (pass == 1) paint(r, x, y, w, h, data + at, stride);
            at += static_cast<size_t>(bytes);
        }
    }
    return 0;
}

int apply_cursor_image(ZelReplay* r, const ZelCursorImage* c);

bool inside(const ZelReplay* r, int32_t x, int32_t y, uint32_t w, uint32_t h)
{
    return x >= 0 && y >= 0 && x + static_cast<int64_t>(w) <= r->width &&
           y + static_cast<int64_t>(h) <= r->height;
}

// One rectangle, as if its whole source were read before any target pixel
// is written: rows bottom-up when the target lies below the source, each
// row with memmove.
void copy_rect(ZelReplay* r, const ZelCopyRect& c)
{
    const size_t bpp = r->bytes_per_pixel, row_bytes = static_cast<size_t>(c.width) * bpp;
    const bool upward = c.dst_y > c.src_y;
    for (uint32_t k = 0; k < c.height; ++k) {
        const uint32_t row = upward ? c.height - 1 - k : k;
        const uint8_t* s = r->canvas.data() + static_cast<size_t>(c.src_y + row) * r->stride + c.src_x * bpp;
        uint8_t* d = r->canvas.data() + static_cast<size_t>(c.dst_y + row) * r->stride + c.dst_x * bpp;
        std::memmove(d, s, row_bytes);
    }
}

// Every rectangle must lie inside the screen, or nothing is copied.
int apply_copy(ZelReplay* r, const ZelCopy* c)
{
    if (!r->has_screen || (c->rects == nullptr && c->count != 0)) return fail(EINVAL);
    for (uint32_t i = 0; i < c->count; ++i) {
        const ZelCopyRect& e = c->rects[i];
        if (e.width != 0 && e.height != 0 &&
            (!inside(r, e.src_x, e.src_y, e.width, e.height) ||
             !inside(r, e.dst_x, e.dst_y, e.width, e.height)))
            return fail(EINVAL);
    }
    for (uint32_t i = 0; i < c->count; ++i)
        if (c->rects[i].width != 0 && c->rects[i].height != 0) copy_rect(r, c->rects[i]);
    return 0;
}

int apply_compressed_cursor(ZelReplay* r, const ZelCompressedCursorImage* c)
{
    ZelCursorImage* plain = zel_cursor_image_decompress(c);
    if (plain == nullptr) return -1;
    int rc = apply_cursor_image(r, plain);
    int e = errno;
    zel_record_free(plain);
    errno = e;
    return rc;
}

int apply_cursor_image(ZelReplay* r, const ZelCursorImage* c)
{
    size_t n = static_cast<size_t>(c->width) * c->height;
    if (n > c->length || (n > 0 && c->data == nullptr))
        return fail(EINVAL); // fewer pixels than the size says
    std::vector<uint32_t> pixels;
    try {
        pixels.assign(n, 0);
    } catch (const std::bad_alloc&) {
        return fail(ENOMEM);
    }
    if (c->data != nullptr) std::copy_n(c->data, std::min<size_t>(n, c->length), pixels.begin());
    r->cursor.swap(pixels);
    r->cursor_width = c->width;
    r->cursor_height = c->height;
    r->xhot = c->xhot;
    r->yhot = c->yhot;
    r->pointer_x = c->x;
    r->pointer_y = c->y;
    r->has_cursor = true;
    r->has_position = true;
    return 0;
}

inline uint8_t scale(uint32_t v, uint32_t max)
{
    return static_cast<uint8_t>((v * 255 + max / 2) / max);
}

void put(uint8_t*& d, uint8_t red, uint8_t green, uint8_t blue, uint8_t alpha)
{
    d[0] = red;
    d[1] = green;
    d[2] = blue;
    d[3] = alpha;
    d += 4;
}

void convert_palette_row(const ZelReplay* r, const uint8_t* s, uint8_t* d, size_t w)
{
    for (size_t i = 0; i < w; ++i) {
        if (s[i] >= r->palette.size()) {
            put(d, 0, 0, 0, 255);
            continue;
        }
        const RgbValue& c = r->palette[s[i]];
        put(d, static_cast<uint8_t>(c.red >> 8), static_cast<uint8_t>(c.green >> 8),
            static_cast<uint8_t>(c.blue >> 8), 255);
    }
}

void convert_small_row(PixelFormat format, const uint8_t* s, uint8_t* d, size_t w)
{
    for (size_t i = 0; i < w; ++i) {
        const uint16_t v = format == RGB565 || format == BGR565 ? get_u16(s + 2 * i) : 0;
        const uint8_t hi = scale(v >> 11, 31), mid = scale((v >> 5) & 63, 63), lo = scale(v & 31, 31);
        switch (format) {
        case RGB332: put(d, scale(s[i] >> 5, 7), scale((s[i] >> 2) & 7, 7), scale(s[i] & 3, 3), 255); break;
        case BGR233: put(d, scale(s[i] & 7, 7), scale((s[i] >> 3) & 7, 7), scale(s[i] >> 6, 3), 255); break;
        case RGB565: put(d, hi, mid, lo, 255); break;
        case BGR565: put(d, lo, mid, hi, 255); break;
        default: put(d, 0, 0, 0, 255); break; // every pixel has its four bytes
        }
    }
}

// Shifts of red, green, blue and alpha (-1: none) in a 32-bit pixel.
struct Shifts {
    PixelFormat format;
    int r, g, b, a;
};
constexpr Shifts shifts[] = {
    {xRGB8888, 16, 8, 0, -1}, {xBGR8888, 0, 8, 16, -1}, {RGBx8888, 24, 16, 8, -1}, {BGRx8888, 8, 16, 24, -1},
    {ARGB8888, 16, 8, 0, 24}, {ABGR8888, 0, 8, 16, 24}, {RGBA8888, 24, 16, 8, 0},  {BGRA8888, 8, 16, 24, 0},
};

void convert_wide_row(PixelFormat format, const uint8_t* s, uint8_t* d, size_t w)
{
    const Shifts* f = std::find_if(std::begin(shifts), std::end(shifts),
                                   [&](const Shifts& x) { return x.format == format; });
    for (size_t i = 0; i < w; ++i) {
        if (f == std::end(shifts)) {
            put(d, 0, 0, 0, 255);
            continue;
        }
        const uint32_t v = get_u32(s + 4 * i);
        put(d, static_cast<uint8_t>(v >> f->r), static_cast<uint8_t>(v >> f->g),
            static_cast<uint8_t>(v >> f->b), f->a < 0 ? 255 : static_cast<uint8_t>(v >> f->a));
    }
}

void convert_row(const ZelReplay* r, const uint8_t* s, uint8_t* d, size_t w)
{
    if (r->format == PALETTE8)
        convert_palette_row(r, s, d, w);
    else if (r->bytes_per_pixel < 4)
        convert_small_row(r->format, s, d, w);
    else
        convert_wide_row(r->format, s, d, w);
}

void draw_cursor(const ZelReplay* r, uint8_t* out)
{
    int32_t left = r->pointer_x - r->xhot, top = r->pointer_y - r->yhot;
    for (int32_t cy = 0; cy < r->cursor_height; ++cy) {
        int32_t y = top + cy;
        if (y < 0 || y >= r->height) continue;
        for (int32_t cx = 0; cx < r->cursor_width; ++cx) {
            int32_t x = left + cx;
            if (x < 0 || x >= r->width) continue;
            uint32_t p = r->cursor[static_cast<size_t>(cy) * r->cursor_width + static_cast<size_t>(cx)];
            uint32_t a = p >> 24;
            if (a == 0 && (p & 0xFFFFFF) == 0) continue;
            uint8_t* d = out + (static_cast<size_t>(y) * r->width + static_cast<size_t>(x)) * 4;
            const uint32_t src[3] = {(p >> 16) & 0xff, (p >> 8) & 0xff, p & 0xff};
            for (int k = 0; k < 3; ++k)
                d[k] = static_cast<uint8_t>(std::min<uint32_t>(255, src[k] + (d[k] * (255 - a) + 127) / 255));
            d[3] = static_cast<uint8_t>(std::min<uint32_t>(255, a + (d[3] * (255 - a) + 127) / 255));
        }
    }
}

int apply_compressed_image(ZelReplay* r, const ZelCompressedImage* c)
{
    if (!r->has_screen || c->pixel_format != r->format) return fail(EINVAL);
    if (!decompress_into(c->data, c->compressed_length, c->length, r->scratch)) return -1;
    const ZelImage view{ZEL_IMAGE, c->timestamp, c->width,         c->height,
                        c->x,      c->y,         c->pixel_format,  c->scanline_pad,
                        0,         c->length,    r->scratch.data()};
    return apply_image(r, &view);
}

int apply_compressed_blocks(ZelReplay* r, const ZelCompressedImageBlocks* c)
{
    if (!r->has_screen) return fail(EINVAL);
    if (!decompress_into(c->data, c->compressed_length, c->length, r->scratch)) return -1;
    return apply_blocks(r, r->scratch.data(), c->length);
}

int apply_position(ZelReplay* r, const ZelCursorPosition* p)
{
    r->pointer_x = p->x;
    r->pointer_y = p->y;
    r->has_position = true;
    return 0;
}

// Records that paint on what the screen showed before them.
bool is_picture(uint8_t type)
{
    switch (type) {
    case ZEL_IMAGE:
    case ZEL_COMPRESSED_IMAGE:
    case ZEL_KEYFRAME:
    case ZEL_IMAGE_BLOCKS:
    case ZEL_COMPRESSED_IMAGE_BLOCKS:
    case ZEL_COPY: return true;
    default: return false;
    }
}

// An image (plain or compressed: the same geometry fields) that covers the screen.
bool covers_screen(const ZelReplay* r, const ZelRecord* head)
{
    if (head->type != ZEL_IMAGE && head->type != ZEL_COMPRESSED_IMAGE && head->type != ZEL_KEYFRAME)
        return false;
    const auto* i = reinterpret_cast<const ZelImage*>(head);
    return r->has_screen && i->x <= 0 && i->y <= 0 && i->x + i->width >= r->width &&
           i->y + i->height >= r->height;
}

int apply_record(ZelReplay* r, const ZelRecord* head)
{
    switch (head->type) {
    case ZEL_HEADER: return apply_header(r, reinterpret_cast<const ZelHeader*>(head));
    case ZEL_IMAGE: return apply_image(r, reinterpret_cast<const ZelImage*>(head));
    case ZEL_COMPRESSED_IMAGE:
    case ZEL_KEYFRAME: return apply_compressed_image(r, reinterpret_cast<const ZelCompressedImage*>(head));
    case ZEL_IMAGE_BLOCKS: {
        const auto* b = reinterpret_cast<const ZelImageBlocks*>(head);
        return apply_blocks(r, b->data, b->length);
    }
    case ZEL_COMPRESSED_IMAGE_BLOCKS:
        return apply_compressed_blocks(r, reinterpret_cast<const ZelCompressedImageBlocks*>(head));
    case ZEL_SCREEN_CHANGE: {
        if (!r->has_screen) return fail(EINVAL);
        const auto* s = reinterpret_cast<const ZelScreenChange*>(head);
        return resize(r, s->width, s->height);
    }
    case ZEL_CURSOR_IMAGE: return apply_cursor_image(r, reinterpret_cast<const ZelCursorImage*>(head));
    case ZEL_COMPRESSED_CURSOR_IMAGE:
        return apply_compressed_cursor(r, reinterpret_cast<const ZelCompressedCursorImage*>(head));
    case ZEL_COPY: return apply_copy(r, reinterpret_cast<const ZelCopy*>(head));
    case ZEL_CURSOR_POSITION: return apply_position(r, reinterpret_cast<const ZelCursorPosition*>(head));
    default: return 0;
    }
}

} // namespace
} // namespace zel

extern "C" {

ZelReplay* zel_replay_new(void)
{
    return new (std::nothrow) zel_replay;
}

ZelReplay* zel_replay_clone(const ZelReplay* replay)
{
    if (replay == nullptr) return nullptr;
    try {
        return new zel_replay(*replay);
    } catch (const std::bad_alloc&) {
        errno = ENOMEM;
        return nullptr;
    }
}

void zel_replay_free(ZelReplay* replay)
{
    delete replay;
}

int zel_replay_apply(ZelReplay* r, const void* record)
{
    using namespace zel;
    if (r == nullptr || record == nullptr) return fail(EINVAL);
    const auto* head = static_cast<const ZelRecord*>(record);
    const bool whole = head->type == ZEL_HEADER || covers_screen(r, head);
    if (r->damaged && is_picture(head->type) && !whole) {
        r->time = head->timestamp; // passed over: it would paint on a picture that is not there
        return 0;
    }
    const int rc = apply_record(r, head);
    if (rc == 0) r->time = head->timestamp;
    if (rc == 0 && whole) r->damaged = false;
    return rc;
}

void zel_replay_mark_damage(ZelReplay* r)
{
    if (r != nullptr) r->damaged = true;
}

int zel_replay_is_whole(const ZelReplay* r)
{
    return r != nullptr && !r->damaged ? 1 : 0;
}

int zel_replay_has_screen(const ZelReplay* r)
{
    return r != nullptr && r->has_screen ? 1 : 0;
}
uint16_t zel_replay_width(const ZelReplay* r)
{
    return r ? r->width : 0;
}
uint16_t zel_replay_height(const ZelReplay* r)
{
    return r ? r->height : 0;
}
PixelFormat zel_replay_pixel_format(const ZelReplay* r)
{
    return r ? r->format : FORMAT_UNKNOWN;
}
uint64_t zel_replay_time(const ZelReplay* r)
{
    return r ? r->time : 0;
}

const uint8_t* zel_replay_canvas(const ZelReplay* r, uint32_t* stride)
{
    if (stride != nullptr) *stride = r ? r->stride : 0;
    if (r == nullptr || !r->has_screen || r->canvas.empty()) return nullptr;
    return r->canvas.data();
}

int zel_replay_render_rgba(const ZelReplay* r, uint8_t* out, size_t size, int with_cursor)
{
    if (r == nullptr || !r->has_screen || out == nullptr) return zel::fail(EINVAL);
    const size_t row = static_cast<size_t>(r->width) * 4;
    if (size < row * r->height) return zel::fail(EINVAL);
    for (size_t y = 0; y < r->height; ++y)
        zel::convert_row(r, r->canvas.data() + y * r->stride, out + y * row, r->width);
    if (with_cursor && r->has_cursor && r->has_position) zel::draw_cursor(r, out);
    return 0;
}

int zel_replay_cursor(const ZelReplay* r, int16_t* x, int16_t* y)
{
    if (r == nullptr) return 0;
    if (r->has_position) {
        if (x != nullptr) *x = r->pointer_x;
        if (y != nullptr) *y = r->pointer_y;
    }
    return r->has_cursor ? 1 : 0;
}

} // extern "C"
