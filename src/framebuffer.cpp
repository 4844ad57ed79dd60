// The frame and its block tracker.
#include "framebuffer.h"

#include <algorithm>
#include <climits>
#include <cstdlib>
#include <cstring>

#include "debugging.h"

namespace {

PixelFormat current_pixel_format = FORMAT_UNKNOWN;
uint8_t bits_per_pixel;
uint8_t scanline_pad;
uint8_t bytes_per_pixel;

uint8_t* pixel_at(const ZelImage* image, int x, int y)
{
    return image->data + static_cast<size_t>(y - image->y) * stride_of(image->width) +
           static_cast<size_t>(x - image->x) * bytes_per_pixel;
}

constexpr Bounds kUnchanged{INT16_MAX, INT16_MAX, INT16_MIN, INT16_MIN};

void extend(Bounds& b, int x1, int y1, int x2, int y2)
{
    b = {static_cast<int16_t>(std::min<int>(b.x1, x1)), static_cast<int16_t>(std::min<int>(b.y1, y1)),
         static_cast<int16_t>(std::max<int>(b.x2, x2)), static_cast<int16_t>(std::max<int>(b.y2, y2))};
}

// The first (or, backward, the last) byte of n at which a and b differ; a and
// b differ somewhere.  Eight bytes at a time: a row of a block is at most 128.
size_t differing_byte(const uint8_t* a, const uint8_t* b, size_t n, bool backward)
{
    const auto word_differs = [&](size_t at) {
        uint64_t x, y;
        std::memcpy(&x, a + at, 8);
        std::memcpy(&y, b + at, 8);
        return x != y;
    };
    if (!backward) {
        size_t i = 0;
        while (i + 8 <= n && !word_differs(i)) i += 8;
        while (i < n && a[i] == b[i]) ++i;
        return i;
    }
    size_t i = n;
    while (i >= 8 && !word_differs(i - 8)) i -= 8;
    while (i > 0 && a[i - 1] == b[i - 1]) --i;
    return i - 1;
}

// The pixels of one row from x1 to x2 (exclusive) that differ between a and
// b are marked in their blocks' bounds; then b takes a's bytes.
void merge_row(const uint8_t* a, uint8_t* b, int x1, int x2, int y, Tracker& t)
{
    Bounds* boxes = t.dirty.data() + static_cast<size_t>(y / BLOCK) * t.ncols;
    for (int x = x1; x < x2;) {
        const int end = std::min(x2, (x / BLOCK + 1) * BLOCK);
        const size_t n = static_cast<size_t>(end - x) * bytes_per_pixel;
        const size_t at = static_cast<size_t>(x - x1) * bytes_per_pixel;
        Bounds& box = boxes[x / BLOCK];
        const bool covered = box.x1 <= x && box.x2 >= end - 1 && box.y1 <= y && box.y2 >= y;
        if (!covered && std::memcmp(a + at, b + at, n) != 0) {
            const int first =
                x + static_cast<int>(differing_byte(a + at, b + at, n, false) / bytes_per_pixel);
            const int last = x + static_cast<int>(differing_byte(a + at, b + at, n, true) / bytes_per_pixel);
            extend(box, first, y, last, y);
        }
        x = end;
    }
    std::memcpy(b, a, static_cast<size_t>(x2 - x1) * bytes_per_pixel);
}

bool all_zero(const uint8_t* p, size_t n)
{
    return n == 0 || (p[0] == 0 && std::memcmp(p, p + 1, n - 1) == 0);
}

} // namespace

void compressor_geometry_set(PixelFormat format, uint8_t bpp, uint8_t pad)
{
    current_pixel_format = format;
    bits_per_pixel = bpp;
    scanline_pad = pad;
    bytes_per_pixel = static_cast<uint8_t>(bpp / 8);
}

PixelFormat framebuffer_pixel_format()
{
    return current_pixel_format;
}

uint8_t framebuffer_bytes_per_pixel()
{
    return bytes_per_pixel;
}

uint8_t framebuffer_scanline_pad()
{
    return scanline_pad;
}

uint32_t stride_of(uint32_t width)
{
    return stride_in_bytes(width, bits_per_pixel, scanline_pad);
}

ZelImage* image_create(uint16_t w, uint16_t h)
{
    auto* image = static_cast<ZelImage*>(std::calloc(1, sizeof(ZelImage)));
    if (image == nullptr) return nullptr;
    const size_t length = static_cast<size_t>(h) * stride_of(w);
    image->data = static_cast<uint8_t*>(std::calloc(length > 0 ? length : 1, 1));
    if (image->data == nullptr) {
        std::free(image);
        return nullptr;
    }
    image->type = ZEL_IMAGE;
    image->width = w;
    image->height = h;
    image->pixel_format = current_pixel_format;
    image->scanline_pad = scanline_pad;
    image->bytes_per_line = stride_of(w); // the padded stride, also at depth 8 and 16
    image->length = static_cast<uint32_t>(length);
    return image;
}

Rectangle rectangle_from_intersection_image_rectangle(const ZelImage* from, Rectangle rect)
{
    const int x1 = std::max<int>(from->x, rect.x), y1 = std::max<int>(from->y, rect.y);
    const int x2 = std::min<int>(from->x + from->width, rect.x + rect.width);
    const int y2 = std::min<int>(from->y + from->height, rect.y + rect.height);
    if (x1 >= x2 || y1 >= y2) return {0, 0, 0, 0};
    return {static_cast<int16_t>(x1), static_cast<int16_t>(y1), static_cast<uint16_t>(x2 - x1),
            static_cast<uint16_t>(y2 - y1)};
}

Tracker tracker_create(uint16_t width, uint16_t height)
{
    Tracker t{width,
              height,
              static_cast<uint16_t>((width + BLOCK - 1) / BLOCK),
              static_cast<uint16_t>((height + BLOCK - 1) / BLOCK),
              {}};
    t.dirty.assign(static_cast<size_t>(t.ncols) * t.nrows, kUnchanged);
    return t;
}

void tracker_mark(Tracker& t, Rectangle r)
{
    const int x1 = std::max<int>(r.x, 0), y1 = std::max<int>(r.y, 0);
    const int x2 = std::min<int>(r.x + r.width, t.width), y2 = std::min<int>(r.y + r.height, t.height);
    for (int row = y1 / BLOCK; x1 < x2 && row <= (y2 - 1) / BLOCK && y1 < y2; ++row)
        for (int col = x1 / BLOCK; col <= (x2 - 1) / BLOCK; ++col)
            extend(t.dirty[static_cast<size_t>(row) * t.ncols + col], std::max(x1, col * BLOCK),
                   std::max(y1, row * BLOCK), std::min(x2, (col + 1) * BLOCK) - 1,
                   std::min(y2, (row + 1) * BLOCK) - 1);
}

std::vector<Rectangle> tracker_changed_blocks(const Tracker& t)
{
    std::vector<Rectangle> parts;
    for (const Bounds& b : t.dirty)
        if (b.x1 <= b.x2)
            parts.push_back(
                {b.x1, b.y1, static_cast<uint16_t>(b.x2 - b.x1 + 1), static_cast<uint16_t>(b.y2 - b.y1 + 1)});
    return parts;
}

void tracker_reset(Tracker& t)
{
    std::fill(t.dirty.begin(), t.dirty.end(), kUnchanged);
}

void framebuffer_merge(const ZelImage* from, ZelImage* frame, Tracker& t)
{
    INVARIANT(from != nullptr && frame != nullptr, "from != 0 && to != 0");
    const Rectangle r =
        rectangle_from_intersection_image_rectangle(frame, {from->x, from->y, from->width, from->height});
    for (int y = r.y; y < r.y + r.height; ++y)
        merge_row(pixel_at(from, r.x, y), pixel_at(frame, r.x, y), r.x, r.x + r.width, y, t);
}

void framebuffer_clear(Rectangle rect, ZelImage* frame, Tracker& t)
{
    const Rectangle r = rectangle_from_intersection_image_rectangle(frame, rect);
    const size_t row = static_cast<size_t>(r.width) * bytes_per_pixel;
    for (int y = r.y; y < r.y + r.height; ++y) {
        uint8_t* p = pixel_at(frame, r.x, y);
        if (all_zero(p, row)) continue;
        tracker_mark(t, {r.x, static_cast<int16_t>(y), r.width, 1});
        std::memset(p, 0, row);
    }
}

void framebuffer_copy(ZelImage* frame, Rectangle src, int16_t to_x, int16_t to_y)
{
    const size_t row = static_cast<size_t>(src.width) * bytes_per_pixel;
    const bool upward = to_y <= src.y; // rows in the order that never reads a row already written
    for (int i = 0; i < src.height; ++i) {
        const int k = upward ? i : src.height - 1 - i;
        std::memmove(pixel_at(frame, to_x, to_y + k), pixel_at(frame, src.x, src.y + k), row);
    }
}

size_t block_entry_size(Rectangle block)
{
    return sizeof block + static_cast<size_t>(block.height) * stride_of(block.width);
}

void block_entry_write(const ZelImage* from, Rectangle r, uint8_t* out)
{
    std::memcpy(out, &r, sizeof r);
    out += sizeof r;
    const size_t stride = stride_of(r.width), used = static_cast<size_t>(r.width) * bytes_per_pixel;
    for (int y = r.y; y < r.y + r.height; ++y, out += stride) {
        std::memcpy(out, pixel_at(from, r.x, y), used);
        std::memset(out + used, 0, stride - used); // no stale bytes reach the file
    }
}
