// The image receiver thread: the frontend sends X requests without waiting
// and queues one ticket per request here; this thread waits for the replies
// in request order and passes images, clears and frame markers on to the
// compressor (in the order they were queued) and cursor images to the writer.
#include "receiver.h"

#include <err.h>
#include <pthread.h>
#include <xcb/xfixes.h>

#include <algorithm>
#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <vector>

#include "compressor.h"
#include "debugging.h"
#include "display.h"
#include "queue.h"
#include "thread.h"
#include "timer.h"
#include "writer.h"
#include "x-reply.h"

static P1C1Queue* queue;
static pthread_t thread;

// The image's room goes back in order, by the compressor, also when no
// image came (the window went, or the connection broke).
static void release_room(const RequestTicket* t)
{
    CompressorTicket ct{};
    ct.type = TICKET_RELEASE;
    ct.release_to = t->release_to;
    if (!send_to_compressor(&ct)) JOURNAL_ERROR("failed to send the release of an image to the compressor");
}

static void receive_image(const RequestTicket* t)
{
    xcb_connection_t* c = t->c;
    const xcb_rectangle_t& r = t->r;
    xcb_get_image_reply_t* reply =
        xcb_get_image_reply(c, xcb_get_image_cookie_t{t->cookie.sequence}, nullptr);
    if (reply == nullptr) {
        DEBUG("failed to get a reply for an image at %ux%u+%d+%d", r.width, r.height, r.x, r.y);
        return release_room(t);
    }
    DEBUG("got image at %ux%u+%d+%d, data length=%d, sequence=%u reply=%p", r.width, r.height, r.x, r.y,
          xcb_get_image_data_length(reply), t->cookie.sequence, static_cast<void*>(reply));
    CompressorTicket ct{};
    ct.type = TICKET_IMAGE;
    ct.rect = r;
    ct.reply = reply;
    ct.release_to = t->release_to;
    if (!send_to_compressor(&ct)) {
        JOURNAL_ERROR("failed to send reply to compressor");
        std::free(reply);
    }
}

// The cursor image last written; an image equal to it is not written again.
static std::vector<uint32_t> last_cursor;
static uint16_t last_cursor_geometry[4]; // width, height, hot spot x, y

static bool same_as_last(const xcb_xfixes_get_cursor_image_reply_t* reply, const uint32_t* pixels, size_t n)
{
    const uint16_t geometry[4] = {reply->width, reply->height, reply->xhot, reply->yhot};
    if (std::memcmp(geometry, last_cursor_geometry, sizeof geometry) == 0 && last_cursor.size() == n &&
        std::equal(pixels, pixels + n, last_cursor.begin()))
        return true;
    std::memcpy(last_cursor_geometry, geometry, sizeof geometry);
    last_cursor.assign(pixels, pixels + n);
    return false;
}

// A compressed cursor record of the reply; null without memory.
static ZelCompressedCursorImage* cursor_record(const xcb_xfixes_get_cursor_image_reply_t* reply,
                                               uint32_t* pixels, uint32_t n)
{
    ZelCursorImage image{ZEL_CURSOR_IMAGE,
                         time_in_us(),
                         reply->width,
                         reply->height,
                         reply->x,
                         reply->y,
                         reply->xhot,
                         reply->yhot,
                         reply->cursor_serial,
                         n,
                         pixels};
    return zel_cursor_image_compress(&image);
}

static void receive_cursor_image(const RequestTicket* t)
{
    xcb_connection_t* c = t->c;
    XcbReply<xcb_xfixes_get_cursor_image_reply_t> reply(xcb_xfixes_get_cursor_image_reply(
        c, xcb_xfixes_get_cursor_image_cookie_t{t->cookie.sequence}, nullptr));
    if (!reply) {
        JOURNAL_ERROR("failed to get a reply for a cursor image request");
        return;
    }
    DEBUG("cursor serial=0x%0x width=%d height=%d", reply->cursor_serial, reply->width, reply->height);
    // the length field counts the 32-bit pixels that follow the reply
    uint32_t* pixels = xcb_xfixes_get_cursor_image_cursor_image(reply.get());
    const uint32_t n = std::min<uint32_t>(reply->length, static_cast<uint32_t>(reply->width) * reply->height);
    if (same_as_last(reply.get(), pixels, n)) return;
    Owned<ZelCompressedCursorImage> record(cursor_record(reply.get(), pixels, n));
    if (!record) {
        JOURNAL_ERROR("failed to allocate a ZelCursorImage record");
        return;
    }
    (void)send_to_writer(std::move(record)); // a refusal is journaled by the writer
}

static void receive_clear_request(const RequestTicket* t)
{
    CompressorTicket ct{};
    ct.type = TICKET_CLEAR;
    ct.rect = t->r;
    ct.reply = nullptr;
    if (!send_to_compressor(&ct)) JOURNAL_ERROR("failed to send clear request to compressor");
}

static void receive_copy_request(const RequestTicket* t)
{
    CompressorTicket ct{};
    ct.type = TICKET_COPY;
    ct.rect = t->r;
    ct.to_x = t->to_x;
    ct.to_y = t->to_y;
    if (!send_to_compressor(&ct)) JOURNAL_ERROR("failed to send copy request to compressor");
}

static void receive_frame_request()
{
    CompressorTicket ct{};
    ct.type = TICKET_FRAME;
    ct.reply = nullptr;
    if (send_to_compressor(&ct))
        DEBUG("forwarded frame request to compressor");
    else
        JOURNAL_ERROR("failed to send frame request to compressor");
}

static bool dequeue(P1C1Queue* q, RequestTicket* t)
{
    *t = RequestTicket{};
    if (p1c1_dequeue(q, t)) return true;
    JOURNAL_AS("receiver_loop", LOG_ERR, "error while dequeuing from receiver queue");
    return false;
}

static void receive_screen_change(const RequestTicket* t)
{
    if (!send_screen_change_to_compressor(t->r.width, t->r.height))
        JOURNAL_ERROR("failed to inform compressor of root change to %dx%d", t->r.width, t->r.height);
}

static void receiver_loop(P1C1Queue* q)
{
    for (;;) {
        RequestTicket t{};
        if (!dequeue(q, &t)) continue;
        switch (t.type) {
        case REQUESTED_NOTHING: DEBUG("end of data"); return;
        case REQUESTED_IMAGE: receive_image(&t); break;
        case REQUESTED_CURSOR_IMAGE: receive_cursor_image(&t); break;
        case REQUESTED_CLEAR: receive_clear_request(&t); break;
        case REQUESTED_FRAME: receive_frame_request(); break;
        case REQUESTED_COPY: receive_copy_request(&t); break;
        case REQUESTED_SCREEN_CHANGE: receive_screen_change(&t); break;
        case REQUESTED_RETIRE: xcb_disconnect(t.c); break;
        default: break;
        }
    }
}

static void* receiver_function(void* arg)
{
    DEBUG("thread %0lx starting...", static_cast<unsigned long>(pthread_self()));
    if (arg == nullptr) errx(1, "%s: no valid queue provided", __func__);
    DEBUG("entering...");
    receiver_loop(static_cast<P1C1Queue*>(arg));
    DEBUG("exiting");
    DEBUG("thread %0lx exiting", static_cast<unsigned long>(pthread_self()));
    return nullptr;
}

void receiver_thread_start()
{
    queue = p1c1_create(4096, sizeof(RequestTicket));
    if (queue == nullptr) err(2, "failed to create queue for request receiver");
    thread = thread_start(receiver_function, queue, "receiver", "failed to start request receiver thread",
                          "failed to set name of receiver thread");
    DEBUG("thread setup complete");
}

bool send_to_receiver(const RequestTicket* t)
{
    RequestTicket q = *t;
    if (t->type == REQUESTED_NOTHING || t->type == REQUESTED_CURSOR_IMAGE || t->type == REQUESTED_FRAME)
        q.r = {};
    if (q.c == nullptr) q.c = display_connection();
    if (!p1c1_enqueue(queue, &q)) {
        JOURNAL_ERROR("failed to enqueue ticket (type=%d)", t->type);
        return false;
    }
    return true;
}

void receiver_thread_stop()
{
    const RequestTicket t{};
    if (!p1c1_enqueue(queue, &t)) JOURNAL_ERROR("failed to enqueue end of data record for image receiver");
    (void)thread_join(thread, "receiver");
    p1c1_destroy(queue);
    queue = nullptr;
}
