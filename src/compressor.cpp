// The compressor thread.
//
// The frame always equals what a reader of the records written so far shows,
// plus what this tick has painted.  Within a tick:
// - a copy (a moved window, or a scroll found in an image) moves pixels of
//   the frame; readers apply the same copies, in order, before the tick's
//   blocks, so a copy may only read pixels this tick has not painted yet;
// - clears are kept aside and applied at the end of the tick to what no
//   image of the tick covered, so that clearing and repainting the same
//   pixels is no change;
// - images are merged, and a block is marked only where pixels differ.
#include "compressor.h"

#include <err.h>
#include <pthread.h>
#include <semaphore.h>

#include <algorithm>
#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <vector>

#include "debugging.h"
#include "display.h"
#include "image-room.h"
#include "pixel-format.h"
#include "queue.h"
#include "region.h"
#include "scroll.h"
#include "thread.h"
#include "timer.h"
#include "writer.h"

namespace {

PNC1Queue* queue;
pthread_t compressor;
// Posted once the thread has read what it needs of the display's
// connection data, so the connection may be closed any time after start.
sem_t setup_done;

ZelImage* frame;
Tracker tracker;
// Whole screens now and then (keyframes), so that a reader can start there.
uint64_t last_whole_screen;      // record time of the last one
uint64_t block_bytes_since;      // uncompressed block bytes written since
bool changed_since;              // blocks or copies written since
Region pending_clear;            // cleared this tick and not painted since
Region painted;                  // painted this tick: no copy may read it
std::vector<ZelCopyRect> copies; // this tick's copies, in order
CompressorSink record_sink = send_record_to_writer;

bool inside_screen(Rectangle r)
{
    return r.x >= 0 && r.y >= 0 && r.x + r.width <= frame->width && r.y + r.height <= frame->height;
}

// The record (null: it could not be made) goes to the writer.
template <typename T>
void sink(T* made, const char* what)
{
    RecordPtr record(reinterpret_cast<ZelRecord*>(made));
    if (!record)
        JOURNAL_AS("handle_frame_tick", LOG_ERR, "failed to allocate a %s record", what);
    else if (!record_sink(std::move(record)))
        JOURNAL_AS("handle_frame_tick", LOG_ERR, "failed to send %s record to the writer", what);
}

// Copies src to (to_x, to_y) in the frame and in the tick's copy record, if
// both lie on the screen and nothing of src was painted this tick.
void copy_area(Rectangle src, int16_t to_x, int16_t to_y)
{
    if (src.width == 0 || src.height == 0 || (src.x == to_x && src.y == to_y)) return;
    if (!inside_screen(src) || !inside_screen({to_x, to_y, src.width, src.height})) return;
    Region read(src.x, src.y, src.width, src.height);
    read.intersect(painted);
    if (!read.empty()) return;
    framebuffer_copy(frame, src, to_x, to_y);
    copies.push_back({src.x, src.y, src.width, src.height, to_x, to_y});
}

// A window moved with its content: copy what the frame shows of its old
// place, clipped with its new place to the screen.
void handle_copy(const CompressorTicket* t)
{
    Rectangle src = t->rect;
    const int dx = t->to_x - src.x, dy = t->to_y - src.y;
    const int x1 = std::max({0, static_cast<int>(src.x), -dx}),
              y1 = std::max({0, static_cast<int>(src.y), -dy});
    const int x2 = std::min({static_cast<int>(frame->width), src.x + src.width, frame->width - dx});
    const int y2 = std::min({static_cast<int>(frame->height), src.y + src.height, frame->height - dy});
    if (x1 >= x2 || y1 >= y2) return;
    src = {static_cast<int16_t>(x1), static_cast<int16_t>(y1), static_cast<uint16_t>(x2 - x1),
           static_cast<uint16_t>(y2 - y1)};
    copy_area(src, static_cast<int16_t>(x1 + dx), static_cast<int16_t>(y1 + dy));
}

// Content of the image that the frame holds higher or lower at the same
// place becomes a copy.
void find_scrolled(const ZelImage& image)
{
    const Rectangle r =
        rectangle_from_intersection_image_rectangle(frame, {image.x, image.y, image.width, image.height});
    if (r.width < BLOCK || r.height < BLOCK) return;
    const uint8_t bpp = framebuffer_bytes_per_pixel();
    const uint8_t* old_rows =
        frame->data + static_cast<size_t>(r.y) * stride_of(frame->width) + static_cast<size_t>(r.x) * bpp;
    const uint8_t* new_rows = image.data + static_cast<size_t>(r.y - image.y) * stride_of(image.width) +
                              static_cast<size_t>(r.x - image.x) * bpp;
    const Scroll s = find_scroll(old_rows, stride_of(frame->width), new_rows, stride_of(image.width),
                                 static_cast<size_t>(r.width) * bpp, r.height);
    if (s.found)
        copy_area({r.x, static_cast<int16_t>(r.y + s.from_row), r.width, s.rows}, r.x,
                  static_cast<int16_t>(r.y + s.to_row));
}

// Done with an image: its reply freed, or its room in the segment given back.
void image_done(const CompressorTicket* t)
{
    std::free(t->reply);
    if (t->release_to != 0) image_room_give(t->release_to);
}

void handle_image(const CompressorTicket* t)
{
    const Rectangle& r = t->rect;
    const uint32_t stride = stride_of(r.width);
    const auto length = static_cast<uint32_t>(xcb_get_image_data_length(t->reply));
    // A reply with fewer bytes than its area needs (another depth than the
    // screen's) would be read past its end: leave it out.
    if (static_cast<uint64_t>(r.height) * stride > length) {
        JOURNAL_ERROR("image reply at %ux%u+%d+%d has %u bytes, %u expected", r.width, r.height, r.x, r.y,
                      length, r.height * stride);
        image_done(t);
        return;
    }
    ZelImage view{};
    view.type = ZEL_IMAGE;
    view.x = r.x;
    view.y = r.y;
    view.width = r.width;
    view.height = r.height;
    view.pixel_format = framebuffer_pixel_format();
    view.scanline_pad = framebuffer_scanline_pad();
    view.bytes_per_line = stride;
    view.length = length;
    view.data = xcb_get_image_data(t->reply);
    find_scrolled(view);
    framebuffer_merge(&view, frame, tracker);
    const Region area(r.x, r.y, r.width, r.height);
    pending_clear.subtract(area);
    painted.add(area);
    image_done(t);
}

void handle_clear(const CompressorTicket* t)
{
    pending_clear.add(t->rect.x, t->rect.y, t->rect.width, t->rect.height, frame->width, frame->height);
}

void emit_copies(uint64_t timestamp)
{
    auto record = new_record<ZelCopy>(ZEL_COPY, timestamp);
    if (record) record->rects = static_cast<ZelCopyRect*>(std::malloc(copies.size() * sizeof(ZelCopyRect)));
    if (!record || !record->rects) return sink<ZelCopy>(nullptr, "copy");
    std::copy(copies.begin(), copies.end(), record->rects);
    record->count = static_cast<uint32_t>(copies.size());
    sink(record.release(), "copy");
}

// The blocks' entries go to the record's compression in pieces of about
// 64 KiB: no buffer of the whole payload is ever needed.
void emit_blocks(const std::vector<Rectangle>& blocks, uint64_t timestamp)
{
    size_t length = 0;
    for (const Rectangle& r : blocks) length += block_entry_size(r);
    // a piece that fails (or a builder that could not begin) makes the end
    // give no record: the sink journals that
    ZelBlocksBuilder* b = zel_blocks_begin(static_cast<uint32_t>(length));
    static std::vector<uint8_t> stage(64 * 1024);
    size_t staged = 0;
    for (const Rectangle& r : blocks) {
        if (staged + BLOCK_ENTRY_MAX > stage.size()) {
            (void)zel_blocks_add(b, stage.data(), staged);
            staged = 0;
        }
        block_entry_write(frame, r, stage.data() + staged);
        staged += block_entry_size(r);
    }
    (void)zel_blocks_add(b, stage.data(), staged);
    ZelCompressedImageBlocks* record = zel_blocks_end(b, timestamp);
    block_bytes_since += length;
    sink(record, "compressed image blocks");
}

void emit_whole_screen(uint64_t timestamp, uint8_t type)
{
    frame->timestamp = timestamp;
    ZelCompressedImage* record = zel_image_compress(frame);
    if (record != nullptr) record->type = type;
    sink(record, type == ZEL_KEYFRAME ? "keyframe" : "compressed image");
    last_whole_screen = timestamp;
    block_bytes_since = 0;
    changed_since = false;
}

// A keyframe once ZEL_KEYFRAME_PERIOD of record time or ZEL_KEYFRAME_INTERVAL
// bytes of blocks have passed since the last whole screen, if anything
// changed since.
void keyframe_if_due(uint64_t timestamp)
{
    if (!changed_since) return;
    if (timestamp - last_whole_screen >= ZEL_KEYFRAME_PERIOD || block_bytes_since >= ZEL_KEYFRAME_INTERVAL)
        emit_whole_screen(timestamp, ZEL_KEYFRAME);
}

// The tick's records: the copies, then the changed blocks, or the whole
// screen (which makes the copies needless) when 80% of the blocks changed.
void handle_frame_tick()
{
    for (const pixman_box16_t& box : pending_clear.boxes())
        framebuffer_clear(rectangle_of(box), frame, tracker);
    const std::vector<Rectangle> blocks = tracker_changed_blocks(tracker);
    const size_t n = tracker.dirty.size();
    DEBUG("changed blocks: %zu of %zu, %zu copies", blocks.size(), n, copies.size());
    const uint64_t now = time_in_us();
    if (last_whole_screen == 0) last_whole_screen = now;
    if (blocks.size() * 5 >= n * 4 && !blocks.empty()) {
        emit_whole_screen(now, ZEL_COMPRESSED_IMAGE);
    } else {
        if (!copies.empty()) emit_copies(now);
        if (!blocks.empty()) emit_blocks(blocks, now);
        changed_since = changed_since || !copies.empty() || !blocks.empty();
        keyframe_if_due(now);
    }
    tracker_reset(tracker);
    pending_clear.clear();
    painted.clear();
    copies.clear();
}

void emit_screen_change(uint16_t width, uint16_t height)
{
    auto record = new_record<ZelScreenChange>(ZEL_SCREEN_CHANGE, time_in_us());
    if (record) record->width = width, record->height = height;
    sink(record.release(), "screen change");
}

void handle_screen_change(uint16_t width, uint16_t height)
{
    handle_frame_tick();
    emit_screen_change(width, height);
    ZelImage* resized = image_create(width, height);
    if (resized == nullptr) errx(1, "failed to create new frame with size %dx%d", width, height);
    Tracker scratch = tracker_create(width, height);
    framebuffer_merge(frame, resized, scratch); // the top-left part stays, as readers keep it
    zel_record_free(frame);
    frame = resized;
    tracker = tracker_create(width, height);
}

void compressor_setup()
{
    xcb_connection_t* c = display_connection();
    const PixelFormat format = pixel_format(c, display_screen_nbr());
    const uint8_t bytes = pixel_format_bytes_per_pixel(format);
    uint8_t bpp = 0, pad = 0;
    for (auto it = xcb_setup_pixmap_formats_iterator(xcb_get_setup(c)); it.rem > 0; xcb_format_next(&it))
        if (it.data->depth == root_depth()) {
            bpp = it.data->bits_per_pixel;
            pad = it.data->scanline_pad;
            break;
        }
    // A visual of no known layout, or no pixmap format for the root depth,
    // is no geometry: the operations would write pixels into rows of no length.
    if (bytes * 8 != bpp || bpp == 0)
        errx(1, "%s: bits_per_pixel %d does not match bytes_per_pixel %d", __func__, bpp, bytes);
    compressor_geometry_set(format, bpp, pad);
    compressor_screen_setup(root_width(), root_height());
}

void compressor_loop(PNC1Queue* q)
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
    compressor_setup();
    if (sem_post(&setup_done) != 0)
        invariant_failed("sem_post on setup_done should not fail", __FILE__, __LINE__, __func__);
    compressor_loop(static_cast<PNC1Queue*>(arg));
    compressor_teardown();
    DEBUG("thread %0lx exiting", static_cast<unsigned long>(pthread_self()));
    return nullptr;
}

} // namespace

void compressor_sink_set(CompressorSink s)
{
    record_sink = s != nullptr ? s : send_record_to_writer;
}

const ZelImage* compressor_frame()
{
    return frame;
}

void compressor_screen_setup(uint16_t width, uint16_t height)
{
    compressor_teardown();
    frame = image_create(width, height);
    if (frame == nullptr) errx(1, "failed to create framebuffer for caching damages");
    tracker = tracker_create(width, height);
    last_whole_screen = 0;
    block_bytes_since = 0;
    changed_since = false;
}

void compressor_teardown()
{
    zel_record_free(frame);
    frame = nullptr;
    pending_clear.clear();
    painted.clear();
    copies.clear();
}

void compressor_handle_ticket(const CompressorTicket* t)
{
    switch (t->type) {
    case TICKET_IMAGE: handle_image(t); break;
    case TICKET_CLEAR: handle_clear(t); break;
    case TICKET_COPY: handle_copy(t); break;
    case TICKET_SCREEN_CHANGE: handle_screen_change(t->rect.width, t->rect.height); break;
    case TICKET_FRAME: handle_frame_tick(); break;
    case TICKET_RELEASE: image_done(t); break;
    case TICKET_END: break;
    default:
        warnx("%s: unknown ticket type '%d'", "compressor_loop", t->type);
        std::free(t->reply);
        break;
    }
}

void compressor_thread_start()
{
    queue = pNc1_create(4096, sizeof(CompressorTicket));
    if (queue == nullptr) err(1, "failed to create queue for compressor");
    if (sem_init(&setup_done, 0, 0) != 0) err(1, "failed to start compressor thread");
    compressor = thread_start(compressor_function, queue, "compressor", "failed to start compressor thread",
                              "failed to set name of compressor thread");
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
    return send_to_compressor(&t);
}

void compressor_thread_stop()
{
    DEBUG("stopping compressor thread");
    CompressorTicket t{};
    if (!pNc1_enqueue(queue, &t)) JOURNAL_ERROR("failed to enqueue end of data record for compressor");
    (void)thread_join(compressor, "compressor");
    pNc1_destroy(queue);
    queue = nullptr;
}
