// The compressor thread: it owns the screen framebuffer (the frame) and the
// 32 x 32 block change tracker.  Clear and image tickets paint the frame and
// mark blocks; a frame ticket turns the marks into one compressed record,
// either the changed blocks or the whole screen.
#include "compressor.h"

#include <err.h>
#include <pthread.h>
#include <semaphore.h>

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "backend.h"
#include "debugging.h"
#include "display.h"
#include "pixel-format.h"
#include "queue.h"
#include "timer.h"

// ---- module state ----

static PNC1Queue* queue;
static pthread_t compressor;
// Posted by the thread once it has read what it needs of the display's
// connection data, so that the connection may be closed at any time after
// compressor_thread_start returns (teardown closes it before stopping us).
static sem_t setup_done;

// Pixel geometry of the recorded screen.
static PixelFormat current_pixel_format = FORMAT_UNKNOWN;
static uint8_t bits_per_pixel;
static uint8_t scanline_pad;
static uint8_t bytes_per_pixel;

static MergeFunction merge_image;
static ExtractPixelFunction extract_pixels;
static ClearRectangleFunction clear_rectangle;

static ZelImage* frame;
static Tracker* tracker;
static Box* boxes;
// Block record payload: one buffer per screen size, large enough for every
// block of the screen (see image_blocks_max_length), reused at every tick.
static uint8_t* blocks_data;
static size_t blocks_data_size;

static CompressorSink record_sink = send_to_backend;

// ---- pixel geometry ----

static uint32_t stride_of(uint32_t width)
{
    return stride_in_bytes(width, bits_per_pixel, scanline_pad);
}

// The three pixel operations of one pixel size.
struct PixelOperations {
    MergeFunction merge;
    ExtractPixelFunction extract;
    ClearRectangleFunction clear;
};

static void use_pixel_operations(uint8_t pixel_bytes)
{
    static constexpr PixelOperations by_size[] = {
        {merge_image_depth8, extract_pixels_depth8, clear_rectangle_depth8},
        {merge_image_depth16, extract_pixels_depth16, clear_rectangle_depth16},
        {merge_image_depth32, extract_pixels_depth32, clear_rectangle_depth32},
    };
    const PixelOperations& ops = by_size[pixel_bytes == 1 ? 0 : pixel_bytes == 2 ? 1 : 2];
    merge_image = ops.merge;
    extract_pixels = ops.extract;
    clear_rectangle = ops.clear;
}

void compressor_geometry_set(PixelFormat format, uint8_t bpp, uint8_t pad)
{
    current_pixel_format = format;
    bits_per_pixel = bpp;
    scanline_pad = pad;
    bytes_per_pixel = static_cast<uint8_t>(bpp / 8);
    use_pixel_operations(bytes_per_pixel);
}

void compressor_sink_set(CompressorSink sink)
{
    record_sink = sink != nullptr ? sink : send_to_backend;
}

const ZelImage* compressor_frame()
{
    return frame;
}

const Tracker* compressor_tracker()
{
    return tracker;
}

// ---- framebuffer ----

ZelImage* image_create(uint16_t w, uint16_t h)
{
    auto* image = static_cast<ZelImage*>(std::calloc(1, sizeof(ZelImage)));
    if (image == nullptr) return nullptr;
    const uint32_t stride = stride_of(w);
    const size_t length = static_cast<size_t>(h) * stride;
    // calloc(0) may give null; keep a valid pointer for an empty screen.
    image->data = static_cast<uint8_t*>(std::calloc(length > 0 ? length : 1, 1));
    if (image->data == nullptr) {
        std::free(image);
        return nullptr;
    }
    image->type = ZEL_IMAGE;
    image->timestamp = 0;
    image->width = w;
    image->height = h;
    image->x = 0;
    image->y = 0;
    image->pixel_format = current_pixel_format;
    image->scanline_pad = scanline_pad;
    // The rows are laid out with the padded stride, so that is the line
    // length a reader must walk them with (also at depth 8 and 16).
    image->bytes_per_line = stride;
    image->length = static_cast<uint32_t>(length);
    return image;
}

// ---- intersections (X SEGMENT boxes with inclusive corners, 16-bit) ----

static Box box_from_rectangle(Rectangle r)
{
    return Box{r.x, r.y, static_cast<int16_t>(r.x + r.width - 1), static_cast<int16_t>(r.y + r.height - 1)};
}

static Box box_from_image(const ZelImage* image)
{
    return Box{image->x, image->y, static_cast<int16_t>(image->x + image->width - 1),
               static_cast<int16_t>(image->y + image->height - 1)};
}

static bool boxes_do_intersect(Box a, Box b)
{
    return a.x1 <= b.x2 && b.x1 <= a.x2 && a.y1 <= b.y2 && b.y1 <= a.y2;
}

static Box box_intersection(Box a, Box b)
{
    return Box{std::max(a.x1, b.x1), std::max(a.y1, b.y1), std::min(a.x2, b.x2), std::min(a.y2, b.y2)};
}

static Rectangle rectangle_from_box(Box b)
{
    return Rectangle{b.x1, b.y1, static_cast<uint16_t>(std::max(b.x2 - b.x1, -1) + 1),
                     static_cast<uint16_t>(std::max(b.y2 - b.y1, -1) + 1)};
}

static Rectangle overlap(Box a, Box b)
{
    if (!boxes_do_intersect(a, b)) return Rectangle{0, 0, 0, 0};
    return rectangle_from_box(box_intersection(a, b));
}

Rectangle rectangle_from_image_intersection(const ZelImage* from, const ZelImage* into)
{
    return overlap(box_from_image(from), box_from_image(into));
}

Rectangle rectangle_from_intersection_image_rectangle(const ZelImage* from, Rectangle rect)
{
    return overlap(box_from_image(from), box_from_rectangle(rect));
}

// ---- pixel operations, one instance per pixel size ----
//
// All three copy or clear whole row pieces with memcpy/memset: the pixels
// are kept in the server's byte order, never converted.

template <unsigned BPP>
static void merge_rows(const ZelImage* from, ZelImage* to)
{
    INVARIANT(from != nullptr, "from != 0");
    INVARIANT(to != nullptr, "to != 0");
    const Rectangle r = rectangle_from_image_intersection(from, to);
    if (r.height == 0) return;
    const size_t from_stride = stride_of(from->width);
    const size_t to_stride = stride_of(to->width);
    const size_t row = static_cast<size_t>(r.width) * BPP;
    const uint8_t* src = from->data + static_cast<size_t>(r.y - from->y) * from_stride +
                         static_cast<size_t>(r.x - from->x) * BPP;
    uint8_t* dst =
        to->data + static_cast<size_t>(r.y - to->y) * to_stride + static_cast<size_t>(r.x - to->x) * BPP;
    if (row == from_stride && row == to_stride) { // whole unpadded rows on both sides: one block
        std::memcpy(dst, src, row * r.height);
        return;
    }
    for (uint16_t i = 0; i < r.height; ++i) {
        std::memcpy(dst, src, row);
        src += from_stride;
        dst += to_stride;
    }
}

template <unsigned BPP>
static uint8_t* extract_rows(const ZelImage* from, Rectangle rect, uint8_t* p)
{
    INVARIANT(from != nullptr, "from != 0");
    INVARIANT(p != nullptr, "p != 0");
    const Rectangle r = rectangle_from_intersection_image_rectangle(from, rect);
    if (r.height == 0) return p;
    const size_t from_stride = stride_of(from->width);
    const size_t out_stride = stride_of(rect.width);
    const size_t row = static_cast<size_t>(r.width) * BPP;
    const uint8_t* src = from->data + static_cast<size_t>(r.y - from->y) * from_stride +
                         static_cast<size_t>(r.x - from->x) * BPP;
    uint8_t* out = p;
    if (r.width == 32) {
        // A whole block row: a copy of constant size, which the compiler
        // turns into a few vector moves instead of a call per row.
        for (uint16_t i = 0; i < r.height; ++i) {
            std::memcpy(out, src, 32 * BPP);
            src += from_stride;
            out += out_stride;
        }
    } else {
        for (uint16_t i = 0; i < r.height; ++i) {
            std::memcpy(out, src, row);
            src += from_stride;
            out += out_stride;
        }
    }
    return p + static_cast<size_t>(r.height) * out_stride;
}

template <unsigned BPP>
static void clear_rows(const Rectangle* rect, ZelImage* to)
{
    INVARIANT(rect != nullptr, "rect != 0");
    INVARIANT(to != nullptr, "to != 0");
    const Rectangle r = rectangle_from_intersection_image_rectangle(to, *rect);
    if (r.height == 0) return;
    const size_t to_stride = stride_of(to->width);
    const size_t row = static_cast<size_t>(r.width) * BPP;
    uint8_t* dst =
        to->data + static_cast<size_t>(r.y - to->y) * to_stride + static_cast<size_t>(r.x - to->x) * BPP;
    if (row == to_stride) { // whole unpadded rows: one block
        std::memset(dst, 0, row * r.height);
        return;
    }
    for (uint16_t i = 0; i < r.height; ++i) {
        std::memset(dst, 0, row);
        dst += to_stride;
    }
}

void merge_image_depth8(const ZelImage* from, ZelImage* to)
{
    merge_rows<1>(from, to);
}
void merge_image_depth16(const ZelImage* from, ZelImage* to)
{
    merge_rows<2>(from, to);
}
void merge_image_depth32(const ZelImage* from, ZelImage* to)
{
    merge_rows<4>(from, to);
}

uint8_t* extract_pixels_depth8(const ZelImage* from, Rectangle rect, uint8_t* p)
{
    return extract_rows<1>(from, rect, p);
}
uint8_t* extract_pixels_depth16(const ZelImage* from, Rectangle rect, uint8_t* p)
{
    return extract_rows<2>(from, rect, p);
}
uint8_t* extract_pixels_depth32(const ZelImage* from, Rectangle rect, uint8_t* p)
{
    return extract_rows<4>(from, rect, p);
}

void clear_rectangle_depth8(const Rectangle* rect, ZelImage* to)
{
    clear_rows<1>(rect, to);
}
void clear_rectangle_depth16(const Rectangle* rect, ZelImage* to)
{
    clear_rows<2>(rect, to);
}
void clear_rectangle_depth32(const Rectangle* rect, ZelImage* to)
{
    clear_rows<4>(rect, to);
}

void merge_function_setup()
{
    const uint8_t depth = root_depth();
    switch (depth) {
    case 8: use_pixel_operations(1); break;
    case 16: use_pixel_operations(2); break;
    case 24:
    case 32: use_pixel_operations(4); break;
    default: errx(1, "%s: unknown case with depth=%d -> exiting", __func__, depth);
    }
    DEBUG("chosen merge function for depth %d", depth);
}

// ---- change tracker ----

Tracker* tracker_create(uint16_t w, uint16_t h, uint16_t bw, uint16_t bh)
{
    if (bw == 0 || bh == 0) return nullptr;
    auto* t = static_cast<Tracker*>(std::calloc(1, sizeof(Tracker)));
    if (t == nullptr) return nullptr;
    t->width = w;
    t->height = h;
    t->block_width = bw;
    t->block_height = bh;
    t->ncols = static_cast<uint16_t>((w + bw - 1) / bw);
    t->nrows = static_cast<uint16_t>((h + bh - 1) / bh);
    t->partial_width = static_cast<uint16_t>(w % bw);
    t->partial_height = static_cast<uint16_t>(h % bh);
    const size_t n = static_cast<size_t>(t->ncols) * t->nrows;
    t->changed = static_cast<bool*>(std::calloc(n > 0 ? n : 1, sizeof(bool)));
    if (t->changed == nullptr) {
        std::free(t);
        return nullptr;
    }
    return t;
}

void tracker_destroy(Tracker* t)
{
    if (t == nullptr) return;
    std::free(t->changed);
    std::free(t);
}

void tracker_transfer(const Tracker* old_tracker, Tracker* new_tracker)
{
    INVARIANT(old_tracker->block_width == new_tracker->block_width, "block width should be the same");
    INVARIANT(old_tracker->block_height == new_tracker->block_height, "block height should be the same");
    const uint16_t ncols = std::min(old_tracker->ncols, new_tracker->ncols);
    const uint16_t nrows = std::min(old_tracker->nrows, new_tracker->nrows);
    for (uint16_t row = 0; row < nrows; ++row)
        for (uint16_t col = 0; col < ncols; ++col)
            if (old_tracker->changed[static_cast<size_t>(row) * old_tracker->ncols + col])
                new_tracker->changed[static_cast<size_t>(row) * new_tracker->ncols + col] = true;
}

void tracker_reset(Tracker* t)
{
    INVARIANT(t != nullptr, "tracker should not be NULL");
    std::memset(t->changed, 0, static_cast<size_t>(t->ncols) * t->nrows * sizeof(bool));
}

// The blocks tile the screen, so the blocks whose areas overlap the box are
// the columns from the one holding max(x1, 0) to the one holding
// min(x2, width - 1), and likewise for the rows.
void tracker_add_box(Tracker* t, Box box)
{
    INVARIANT(t != nullptr, "tracker should not be NULL");
    if (t->width == 0 || t->height == 0) return;
    const int right = t->width - 1;
    const int bottom = t->height - 1;
    if (box.x2 < 0 || box.y2 < 0 || box.x1 > right || box.y1 > bottom) return;
    const int col1 = std::max<int>(box.x1, 0) / t->block_width;
    const int col2 = std::min<int>(box.x2, right) / t->block_width;
    const int row1 = std::max<int>(box.y1, 0) / t->block_height;
    const int row2 = std::min<int>(box.y2, bottom) / t->block_height;
    for (int row = row1; row <= row2; ++row) {
        bool* flags = t->changed + static_cast<size_t>(row) * t->ncols;
        for (int col = col1; col <= col2; ++col) flags[col] = true;
    }
}

void tracker_add_image(Tracker* t, const ZelImage* img)
{
    INVARIANT(t != nullptr, "tracker should not be NULL");
    tracker_add_box(t, box_from_image(img));
}

uint32_t tracker_number_of_blocks(const Tracker* t)
{
    INVARIANT(t != nullptr, "tracker should not be NULL");
    return static_cast<uint32_t>(t->ncols) * t->nrows;
}

bool tracker_changed_at(const Tracker* t, uint16_t col, uint16_t row)
{
    if (t == nullptr || col >= t->ncols || row >= t->nrows) return false;
    return t->changed[static_cast<size_t>(row) * t->ncols + col];
}

static Box tracker_block_area(const Tracker* t, uint16_t col, uint16_t row)
{
    const bool last_col = col == t->ncols - 1 && t->partial_width != 0;
    const bool last_row = row == t->nrows - 1 && t->partial_height != 0;
    const int w = last_col ? t->partial_width : t->block_width;
    const int h = last_row ? t->partial_height : t->block_height;
    const int x1 = col * t->block_width;
    const int y1 = row * t->block_height;
    return Box{static_cast<int16_t>(x1), static_cast<int16_t>(y1), static_cast<int16_t>(x1 + w - 1),
               static_cast<int16_t>(y1 + h - 1)};
}

void tracker_list_changed_blocks(const Tracker* t, Box* blocks, uint32_t* nchanged)
{
    const uint32_t n = tracker_number_of_blocks(t);
    std::memset(blocks, 0, n * sizeof(Box));
    uint32_t count = 0;
    for (uint16_t row = 0; row < t->nrows; ++row)
        for (uint16_t col = 0; col < t->ncols; ++col)
            if (t->changed[static_cast<size_t>(row) * t->ncols + col])
                blocks[count++] = tracker_block_area(t, col, row);
    *nchanged = count;
}

// ---- block records ----

// Every block's entry is its 8-byte rectangle and its rows at the padded
// stride of its width.  Summed over all blocks that is 8 per block plus, as
// every block row spans the whole screen height once per column,
// height x (sum of the column strides).
size_t image_blocks_max_length(const Tracker* t)
{
    const size_t nfull = t->partial_width != 0 ? t->ncols - 1u : t->ncols;
    size_t column_strides = nfull * stride_of(t->block_width);
    if (t->partial_width != 0) column_strides += stride_of(t->partial_width);
    return static_cast<size_t>(tracker_number_of_blocks(t)) * sizeof(Rectangle) +
           static_cast<size_t>(t->height) * column_strides;
}

uint32_t image_blocks_data_fill(const ZelImage* from, const Box* blocks, uint32_t n, uint8_t* data)
{
    uint8_t* p = data;
    for (uint32_t i = 0; i < n; ++i) {
        const Box& b = blocks[i];
        const Rectangle r{b.x1, b.y1, static_cast<uint16_t>(b.x2 - b.x1 + 1),
                          static_cast<uint16_t>(b.y2 - b.y1 + 1)};
        std::memcpy(p, &r, sizeof r);
        uint8_t* rows = p + sizeof r;
        p = extract_pixels(from, r, rows);
        // Row padding (only in narrow last-column blocks at depth 8 and 16)
        // is set to zero, so no stale bytes of the buffer reach the file.
        const size_t stride = stride_of(r.width);
        const size_t used = static_cast<size_t>(r.width) * bytes_per_pixel;
        if (stride > used)
            for (uint8_t* row = rows; row < p; row += stride) std::memset(row + used, 0, stride - used);
    }
    return static_cast<uint32_t>(p - data);
}

// ---- screen state: frame, tracker, block list, payload buffer ----

static void release_screen_state()
{
    std::free(blocks_data);
    blocks_data = nullptr;
    blocks_data_size = 0;
    std::free(boxes);
    boxes = nullptr;
    tracker_destroy(tracker);
    tracker = nullptr;
}

// Block list and payload buffer for the current tracker; both are replaced
// only when the screen size changes.
static void block_storage_setup()
{
    const uint32_t n = tracker_number_of_blocks(tracker);
    auto* new_boxes = static_cast<Box*>(std::calloc(n > 0 ? n : 1, sizeof(Box)));
    if (new_boxes == nullptr) err(1, "failed to allocate boxes array");
    const size_t size = image_blocks_max_length(tracker);
    auto* new_data = static_cast<uint8_t*>(std::calloc(size > 0 ? size : 1, 1));
    if (new_data == nullptr) err(1, "failed to allocate data for PelkImageBlocks");
    std::free(boxes);
    boxes = new_boxes;
    std::free(blocks_data);
    blocks_data = new_data;
    blocks_data_size = size;
}

void compressor_screen_setup(uint16_t width, uint16_t height)
{
    compressor_teardown();
    frame = image_create(width, height);
    if (frame == nullptr) errx(1, "failed to create framebuffer for caching damages");
    tracker = tracker_create(width, height, 32, 32);
    if (tracker == nullptr) errx(1, "failed to create damage tracker");
    block_storage_setup();
}

void compressor_teardown()
{
    release_screen_state();
    zel_record_free(frame);
    frame = nullptr;
}

static void compressor_setup()
{
    xcb_connection_t* c = display_connection();
    current_pixel_format = pixel_format(c, display_screen_nbr());
    bytes_per_pixel = pixel_format_bytes_per_pixel(current_pixel_format);
    DEBUG("bytes_per_pixel=%d", bytes_per_pixel);

    const xcb_setup_t* setup = xcb_get_setup(c);
    DEBUG("number of supported pixmap formats: %d", xcb_setup_pixmap_formats_length(setup));
    bits_per_pixel = 0;
    scanline_pad = 0;
    const uint8_t depth = root_depth();
    for (auto it = xcb_setup_pixmap_formats_iterator(setup); it.rem > 0; xcb_format_next(&it)) {
        if (it.data->depth == depth) {
            bits_per_pixel = it.data->bits_per_pixel;
            scanline_pad = it.data->scanline_pad;
            DEBUG("bits_per_pixel=%d", bits_per_pixel);
            DEBUG("scanline_pad=%d", scanline_pad);
            break;
        }
    }
    // Zero on both sides (a visual of no known layout and no pixmap format
    // for the root depth) is no geometry either: the operations would write
    // pixels into rows of no length.
    if (bytes_per_pixel * 8 != bits_per_pixel || bits_per_pixel == 0)
        errx(1, "%s: bits_per_pixel %d does not match bytes_per_pixel %d", __func__, bits_per_pixel,
             bytes_per_pixel);

    compressor_screen_setup(root_width(), root_height());
}

// ---- ticket handling ----

static void image_cache(const ZelImage* view)
{
    merge_image(view, frame);
}

static void handle_image(const CompressorTicket* t)
{
    const Rectangle& r = t->rect;
    const uint32_t stride = stride_of(r.width);
    const auto length = static_cast<uint32_t>(xcb_get_image_data_length(t->reply));
    // A reply with fewer bytes than its area needs (another depth than the
    // screen's) would be read past its end: leave it out.
    if (static_cast<uint64_t>(r.height) * stride > length) {
        JOURNAL_ERROR("image reply at %ux%u+%d+%d has %u bytes, %u expected", r.width, r.height, r.x, r.y,
                      length, r.height * stride);
        std::free(t->reply);
        return;
    }
    ZelImage view{};
    view.type = ZEL_IMAGE;
    view.timestamp = time_in_us();
    view.x = r.x;
    view.y = r.y;
    view.width = r.width;
    view.height = r.height;
    view.pixel_format = current_pixel_format;
    view.scanline_pad = scanline_pad;
    view.bytes_per_line = stride;
    view.length = length;
    view.data = xcb_get_image_data(t->reply);
    image_cache(&view);
    tracker_add_image(tracker, &view);
    std::free(t->reply);
}

static void handle_clear(const CompressorTicket* t)
{
    clear_rectangle(&t->rect, frame);
    tracker_add_box(tracker, box_from_rectangle(t->rect));
}

static void handle_screen_change(uint16_t width, uint16_t height)
{
    ZelImage* new_frame = image_create(width, height);
    if (new_frame == nullptr) {
        JOURNAL_ERROR("failed to create new frame with size %dx%d", width, height);
        return;
    }
    merge_image(frame, new_frame);
    zel_record_free(frame);
    frame = new_frame;

    Tracker* new_tracker = tracker_create(width, height, tracker->block_width, tracker->block_height);
    if (new_tracker == nullptr) errx(1, "failed to create new tracker for new geometry %dx%d", width, height);
    tracker_transfer(tracker, new_tracker);
    tracker_destroy(tracker);
    tracker = new_tracker;

    block_storage_setup();
}

static void handle_frame_tick()
{
    const uint32_t n = tracker_number_of_blocks(tracker);
    uint32_t nchanged = 0;
    tracker_list_changed_blocks(tracker, boxes, &nchanged);
    DEBUG("changed blocks: %d of %d (%.0f%%)", nchanged, n, n > 0 ? nchanged * 100.0 / n : 0.0);
    if (nchanged == 0) return;

    if (n * 0.8 > nchanged) {
        ZelImageBlocks blocks{};
        blocks.type = ZEL_IMAGE_BLOCKS;
        blocks.timestamp = time_in_us();
        blocks.data = blocks_data;
        blocks.length = image_blocks_data_fill(frame, boxes, nchanged, blocks_data);
        INVARIANT(blocks.length <= blocks_data_size, "block data should fit its buffer");
        ZelCompressedImageBlocks* compressed = zel_image_blocks_compress(&blocks);
        if (compressed == nullptr) {
            JOURNAL_ERROR("failed to allocate a ZelCompressedImageBlocks");
        } else {
            ZelRecord* record = reinterpret_cast<ZelRecord*>(compressed);
            if (record_sink(&record)) {
                DEBUG("sent compressed image blocks to backend");
            } else {
                JOURNAL_ERROR("failed to send compressed image blocks record to backend");
                zel_record_free(compressed);
            }
        }
    } else {
        frame->timestamp = time_in_us();
        ZelCompressedImage* compressed = zel_image_compress(frame);
        if (compressed == nullptr) {
            JOURNAL_ERROR("failed to allocate a ZelCompressedImage");
        } else {
            ZelRecord* record = reinterpret_cast<ZelRecord*>(compressed);
            if (record_sink(&record)) {
                DEBUG("sending full image");
            } else {
                JOURNAL_ERROR("failed to send compressed image record to backend");
                zel_record_free(compressed);
            }
        }
    }
    tracker_reset(tracker);
}

void compressor_handle_ticket(const CompressorTicket* t)
{
    switch (t->type) {
    case TICKET_IMAGE: handle_image(t); break;
    case TICKET_CLEAR: handle_clear(t); break;
    case TICKET_SCREEN_CHANGE: handle_screen_change(t->rect.width, t->rect.height); break;
    case TICKET_FRAME: handle_frame_tick(); break;
    case TICKET_END: break;
    default:
        DEBUG_AS("compressor_loop", "%s: unknown ticket type '%d'", "compressor_loop", t->type);
        warnx("%s: unknown ticket type '%d'", "compressor_loop", t->type);
        std::free(t->reply);
        break;
    }
}

// ---- thread ----

static void compressor_loop(PNC1Queue* q)
{
    for (;;) {
        CompressorTicket t{};
        if (!pNc1_dequeue(q, &t)) {
            JOURNAL_ERROR("error while dequeuing from compressor queue");
            continue;
        }
        if (t.type == TICKET_END) break;
        compressor_handle_ticket(&t);
    }
}

void* compressor_function(void* arg)
{
    DEBUG("thread %0lx started", static_cast<unsigned long>(pthread_self()));
    if (arg == nullptr) errx(1, "%s: no valid queue provided", __func__);
    merge_function_setup();
    compressor_setup();
    if (sem_post(&setup_done) != 0)
        invariant_failed("sem_post on setup_done should not fail", __FILE__, __LINE__, __func__);
    DEBUG("entering...");
    compressor_loop(static_cast<PNC1Queue*>(arg));
    DEBUG("END");
    DEBUG("exiting");
    compressor_teardown();
    DEBUG("thread %0lx exiting", static_cast<unsigned long>(pthread_self()));
    return nullptr;
}

void compressor_thread_start()
{
    queue = pNc1_create(4096, sizeof(CompressorTicket));
    if (queue == nullptr) err(1, "failed to create queue for compressor");
    if (sem_init(&setup_done, 0, 0) != 0) err(1, "failed to start compressor thread");
    int rc = pthread_create(&compressor, nullptr, compressor_function, queue);
    if (rc != 0) {
        errno = rc;
        err(1, "failed to start compressor thread");
    }
    DEBUG("started compressor thread");
    rc = pthread_setname_np(compressor, "compressor");
    if (rc != 0) {
        errno = rc;
        err(1, "failed to set name of compressor thread");
    }
    while (sem_wait(&setup_done) != 0)
        if (errno != EINTR)
            invariant_failed("sem_wait on setup_done should not fail", __FILE__, __LINE__, __func__);
    sem_destroy(&setup_done);
    DEBUG("thread setup complete");
}

bool send_to_compressor(const CompressorTicket* t)
{
    return pNc1_enqueue(queue, t);
}

bool send_screen_change_to_compressor(uint16_t width, uint16_t height)
{
    CompressorTicket t{};
    t.type = TICKET_SCREEN_CHANGE;
    t.rect = Rectangle{0, 0, width, height};
    t.reply = nullptr;
    return send_to_compressor(&t);
}

void compressor_thread_stop()
{
    DEBUG("stopping compressor thread");
    CompressorTicket t{};
    if (!pNc1_enqueue(queue, &t)) JOURNAL_ERROR("failed to enqueue end of data record for compressor");
    const int rc = pthread_join(compressor, nullptr);
    if (rc != 0)
        JOURNAL_ERROR("failed to join compressor thread: %s", std::strerror(rc));
    else
        DEBUG("collected compressor thread");
    pNc1_destroy(queue);
    queue = nullptr;
}
