// The capture driver on the main thread: set-up and teardown, the frame
// loop and its composition of the tracked windows, and the stop request
// through which every thread ends the recording.
#include "frontend.h"

#include <err.h>
#include <pixman.h>
#include <poll.h>
#include <sys/time.h>
#include <xcb/xcb_keysyms.h>
#include <xcb/xfixes.h>

#include <algorithm>
#include <cerrno>
#include <csignal>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <span>
#include <vector>

#include "args.h"
#include "backend.h"
#include "compressor.h"
#include "debugging.h"
#include "display.h"
#include "events.h"
#include "extensions.h"
#include "last-input.h"
#include "misc.h"
#include "pixel-format.h"
#include "receiver.h"
#include "record.h"
#include "signals.h"
#include "stdin-messages.h"
#include "timer.h"
#include "window-list.h"

// ---------------------------------------------------------------------------
// Stop request

// Cleared by any thread at any time; read by the loop at the top of each
// pass.  The accesses go through atomic built-ins so that the word stays a
// plain sig_atomic_t yet the thread sanitizer sees no data race.
static volatile sig_atomic_t frontend_is_running;
// Set by every stop request and never cleared: a stop asked for before the
// loop starts (a signal during set-up, a footer item without memory) must
// not be undone when the loop sets the running flag.
static volatile sig_atomic_t frontend_stop_requested;

void frontend_stop()
{
    __atomic_store_n(&frontend_stop_requested, 1, __ATOMIC_SEQ_CST);
    __atomic_store_n(&frontend_is_running, 0, __ATOMIC_SEQ_CST);
    DEBUG("stopping frontend");
}

bool frontend_running()
{
    return __atomic_load_n(&frontend_is_running, __ATOMIC_SEQ_CST) != 0;
}

// ---------------------------------------------------------------------------
// Set-up helpers

static xcb_key_symbols_t* keysyms;

xcb_key_symbols_t* frontend_keysyms()
{
    return keysyms;
}

xcb_atom_t intern_atom(xcb_connection_t* c, const char* name)
{
    const auto reply =
        xcb_reply(xcb_intern_atom_reply, c, xcb_intern_atom(c, 0, static_cast<uint16_t>(strlen(name)), name));
    return reply ? reply->atom : xcb_atom_t{XCB_ATOM_NONE};
}

// The root window's property as a NUL-terminated string of the caller's, or
// nullptr when it is absent, empty or of another type than UTF8_STRING and
// STRING.
static char* get_root_string_property(xcb_connection_t* c, xcb_window_t root, xcb_atom_t property)
{
    const xcb_atom_t utf8_string = intern_atom(c, "UTF8_STRING");
    const xcb_atom_t types[2] = {utf8_string != XCB_ATOM_NONE ? utf8_string : xcb_atom_t{XCB_ATOM_STRING},
                                 XCB_ATOM_STRING};
    for (const xcb_atom_t type : types) {
        const auto reply =
            xcb_reply(xcb_get_property_reply, c, xcb_get_property(c, 0, root, property, type, 0, 4096));
        if (!reply) continue;
        const int length = xcb_get_property_value_length(reply.get());
        if (length <= 0) continue;
        char* value = static_cast<char*>(malloc(static_cast<size_t>(length) + 1));
        if (!value) return nullptr;
        memcpy(value, xcb_get_property_value(reply.get()), static_cast<size_t>(length));
        value[length] = '\0';
        return value;
    }
    return nullptr;
}

// Whether s (up to its first NUL) ends with tail.
static bool matches_tail(const char* s, const char* tail)
{
    const size_t n = strlen(s);
    const size_t t = strlen(tail);
    return n >= t && memcmp(s + n - t, tail, t) == 0;
}

static void check_for_xpra_seamless()
{
    xcb_connection_t* c = display_connection();
    const xcb_atom_t mode_atom = intern_atom(c, "XPRA_SERVER_MODE");
    if (mode_atom == XCB_ATOM_NONE) errx(1, "XPRA_SERVER_MODE atom not found");
    char* mode = get_root_string_property(c, display_root(), mode_atom);
    if (!mode) errx(1, "not an xpra seamless session (XPRA_SERVER_MODE=%s)\n", "(missing)");
    if (!matches_tail(mode, "seamless"))
        errx(1, "not an xpra seamless session (XPRA_SERVER_MODE=%s)\n", mode);
    free(mode);
}

static void keysyms_setup()
{
    keysyms = xcb_key_symbols_alloc(display_connection());
    if (!keysyms) errx(1, "failed to get keysyms from display");
}

static void keysyms_teardown()
{
    if (keysyms) xcb_key_symbols_free(keysyms);
    keysyms = nullptr;
}

void palette_fetch(uint16_t* palette_size, RgbValue** palette)
{
    DEBUG("retrieving color palette...");
    xcb_connection_t* c = display_connection();
    xcb_screen_t* screen = display_screen();

    xcb_colormap_t colormap = screen->default_colormap;
    if (use_installed_colormap()) {
        const auto installed =
            xcb_reply(xcb_list_installed_colormaps_reply, c, xcb_list_installed_colormaps(c, display_root()));
        if (!installed) errx(1, "failed to retrieve list of installed colormaps");
        // an empty list keeps the default colormap
        if (xcb_list_installed_colormaps_cmaps_length(installed.get()) > 0)
            colormap = xcb_list_installed_colormaps_cmaps(installed.get())[0];
    }

    // A palette holds at most 256 colours, whatever the visual reports.
    const xcb_visualtype_t* visual = find_visual_by_id(screen, screen->root_visual);
    const uint32_t entries = visual ? std::min<uint32_t>(visual->colormap_entries, 256) : 0;

    uint32_t pixels[256];
    for (uint32_t i = 0; i < entries; ++i) pixels[i] = i;
    const auto colors = xcb_reply(xcb_query_colors_reply, c, xcb_query_colors(c, colormap, entries, pixels));
    if (!colors) errx(1, "failed to get a reply from colors query");

    const int count = std::min(xcb_query_colors_colors_length(colors.get()), 256);
    RgbValue* entries_out = nullptr;
    if (count > 0) {
        entries_out = static_cast<RgbValue*>(calloc(static_cast<size_t>(count), sizeof(RgbValue)));
        if (!entries_out) errx(1, "failed to allocate %d palette entries", count);
        const xcb_rgb_t* rgb = xcb_query_colors_colors(colors.get());
        for (int i = 0; i < count; ++i) {
            entries_out[i].red = rgb[i].red;
            entries_out[i].green = rgb[i].green;
            entries_out[i].blue = rgb[i].blue;
        }
    }
    *palette_size = static_cast<uint16_t>(count);
    *palette = entries_out;
    DEBUG("color palette retrieved");
}

static uint8_t* copy_of(const char* s)
{
    if (!s) return nullptr;
    char* copy = strdup(s);
    if (!copy) err(1, "failed to allocate header struct");
    return reinterpret_cast<uint8_t*>(copy);
}

static void send_header_to_backend()
{
    auto* header = static_cast<ZelHeader*>(calloc(1, sizeof(ZelHeader)));
    if (!header) err(1, "failed to allocate header struct");

    xcb_connection_t* c = display_connection();
    const xcb_setup_t* setup = xcb_get_setup(c);
    header->type = ZEL_HEADER;
    header->version = 1;
    header->timestamp = time_started_in_us();
    header->depth = root_depth();
    header->width = root_width();
    header->height = root_height();
    header->pixel_format = pixel_format(c, display_screen_nbr());
    header->scanline_pad = setup->bitmap_format_scanline_pad;
    header->min_keycode = setup->min_keycode;
    header->max_keycode = setup->max_keycode;
    header->user = copy_of(user());
    header->tfn = copy_of(tfn());
    if (header->pixel_format == PALETTE8) palette_fetch(&header->palette_size, &header->palette);

    if (!send_to_backend(&header)) {
        DEBUG("failed to send header to backend -> freeing");
        zel_record_free(header);
        err(1, "failed to send display info to backend");
    }
    DEBUG("sent header for display info to backend");
}

void send_footer_item_to_backend(ZelRecordType type, const char* item)
{
    auto* record = static_cast<ZelFooterItem*>(calloc(1, sizeof(ZelFooterItem)));
    char* copy = record ? strdup(item) : nullptr;
    if (!record || !copy) {
        free(record);
        JOURNAL_ERROR("failed to allocate ZelFooterItem record -> exiting");
        frontend_stop();
        return;
    }
    record->type = static_cast<uint8_t>(type);
    record->timestamp = time_in_us();
    record->item = reinterpret_cast<uint8_t*>(copy);
    // A refusal is logged by the writer; the record then is still ours.
    if (!send_to_backend(&record)) zel_record_free(record);
}

static void send_footer_items_to_backend()
{
    const struct {
        const char* (*value)();
        ZelRecordType type;
    } items[] = {
        {app, ZEL_FOOTER_ITEM_APP}, {appfmt, ZEL_FOOTER_ITEM_APPFMT}, {host, ZEL_FOOTER_ITEM_HOST},
        {ip, ZEL_FOOTER_ITEM_IP},   {sid, ZEL_FOOTER_ITEM_SID},       {tid, ZEL_FOOTER_ITEM_TID},
    };
    for (const auto& i : items)
        if (const char* v = i.value()) send_footer_item_to_backend(i.type, v);
}

// ---------------------------------------------------------------------------
// Set-up and teardown

void frontend_setup()
{
    DEBUG("setting up connection to display %s", display_name());
    display_connection_setup();
    check_for_xpra_seamless();
    keysyms_setup();
    time_start();

    DEBUG("starting worker threads...");
    signals_thread_start();
    backend_thread_start();
    compressor_thread_start();
    receiver_thread_start();

    DEBUG("header and footer items...");
    send_header_to_backend();
    send_footer_items_to_backend();

    DEBUG("setting up extensions...");
    extensions_setup(display_connection(), display_root());
    window_list_setup();
    request_cursor_image();
    record_thread_start();
    last_input_setup();
}

void frontend_teardown()
{
    DEBUG("stopping worker threads...");
    last_input_teardown();
    record_thread_stop();
    window_list_teardown();
    receiver_thread_stop();
    keysyms_teardown();
    display_connection_teardown();
    compressor_thread_stop();
    backend_thread_stop();
    signals_thread_stop();
    DEBUG("stopped worker threads");
}

// ---------------------------------------------------------------------------
// Frame composition

static int64_t current_time_in_ms()
{
    timeval tv{};
    gettimeofday(&tv, nullptr);
    return static_cast<int64_t>(tv.tv_sec) * 1000 + tv.tv_usec / 1000;
}

static void request_image(xcb_drawable_t drawable, int16_t x, int16_t y, uint16_t width, uint16_t height,
                          int16_t x_root, int16_t y_root, uint16_t border_width)
{
    // The named pixmap includes the border: the inside starts at
    // (border_width, border_width) in it.
    const auto src_x = static_cast<int16_t>(x - x_root + border_width);
    const auto src_y = static_cast<int16_t>(y - y_root + border_width);
    xcb_connection_t* c = display_connection();
    const xcb_get_image_cookie_t cookie = xcb_get_image_unchecked(c, XCB_IMAGE_FORMAT_Z_PIXMAP, drawable,
                                                                  src_x, src_y, width, height, 0xFFFFFFFFu);
    // flush before queuing the ticket so the reply can arrive
    xcb_flush(c);
    RequestTicket t{};
    t.type = REQUESTED_IMAGE;
    t.cookie.sequence = cookie.sequence;
    t.r = xcb_rectangle_t{x, y, width, height};
    if (!send_to_receiver(&t))
        JOURNAL_ERROR("failed to send ticket for image request at %ux%u+%d+%d to image receiver", width,
                      height, src_x, src_y);
}

void request_cursor_image()
{
    xcb_connection_t* c = display_connection();
    const xcb_xfixes_get_cursor_image_cookie_t cookie = xcb_xfixes_get_cursor_image(c);
    xcb_flush(c);
    RequestTicket t{};
    t.type = REQUESTED_CURSOR_IMAGE;
    t.cookie.sequence = cookie.sequence;
    if (!send_to_receiver(&t))
        JOURNAL_ERROR("failed to enqueue ticket for cursor image (sequence=%d)",
                      static_cast<int>(cookie.sequence));
}

static void window_stack_dump()
{
    if (!debugging()) return;
    debug_puts(__func__, "#stack=%zu", window_stack_size);
    for (size_t i = 0; i < window_stack_size; ++i) debug_printf("\t[%zu] 0x%0x\n", i + 1, window_stack[i]);
}

// Adds the part of a rectangle that lies on the screen: nothing outside it
// is recorded, and 16-bit region boxes cannot hold x + width beyond 32767.
static void region_add_rectangle(pixman_region16_t* region, int16_t x, int16_t y, uint16_t w, uint16_t h)
{
    const int x1 = std::max<int>(x, 0);
    const int y1 = std::max<int>(y, 0);
    const int x2 = std::min<int>(x + w, root_width());
    const int y2 = std::min<int>(y + h, root_height());
    if (x1 >= x2 || y1 >= y2) return;
    pixman_region_union_rect(region, region, x1, y1, static_cast<unsigned>(x2 - x1),
                             static_cast<unsigned>(y2 - y1));
}

// The root size the last tick composed for.  When the screen has changed
// size since, the compressor's frame keeps only what fitted both sizes and
// clears the rest, so the next tick repaints the whole screen: the parts of
// windows that a larger screen uncovers have no damage of their own.
static uint16_t composed_width;
static uint16_t composed_height;

// The windows that were mapped at the last tick, with their rectangles.
struct ShownWindow {
    xcb_window_t win;
    int16_t x;
    int16_t y;
    uint16_t width;
    uint16_t height;
};
static std::vector<ShownWindow> shown_windows;

// The stacking order the last tick composed in.  A restack moves no
// window and damages no window contents, yet it changes which window shows
// where two overlap: those overlaps are repainted.
static std::vector<xcb_window_t> composed_stack;

static const WindowState* shown_window(xcb_window_t id)
{
    const WindowState* w = list_find(&list_of_windows, id);
    return w && w->mapped ? w : nullptr;
}

// The on-screen part of a window's rectangle, as a new region.
static void window_region_init(pixman_region16_t* region, const WindowState* w)
{
    pixman_region_init(region);
    region_add_rectangle(region, w->x_root, w->y_root, w->width, w->height);
}

static void add_window_overlap(pixman_region16_t* damage, const WindowState* a, const WindowState* b)
{
    pixman_region16_t ra;
    pixman_region16_t rb;
    window_region_init(&ra, a);
    window_region_init(&rb, b);
    pixman_region_intersect(&ra, &ra, &rb);
    pixman_region_union(damage, damage, &ra);
    pixman_region_fini(&ra);
    pixman_region_fini(&rb);
}

static void add_restacking_damage(pixman_region16_t* damage)
{
    const std::span<const xcb_window_t> now(window_stack, window_stack ? window_stack_size : 0);
    if (std::ranges::equal(now, composed_stack)) return;
    DEBUG("stacking order changed -> repainting where it matters");
    // each shown window with its place in the last composed order, or none
    std::vector<std::pair<const WindowState*, ptrdiff_t>> shown;
    for (const xcb_window_t id : now) {
        const WindowState* w = shown_window(id);
        if (!w) continue;
        const auto at = std::ranges::find(composed_stack, id);
        shown.emplace_back(w, at == composed_stack.end() ? -1 : at - composed_stack.begin());
    }
    for (size_t i = 0; i < shown.size(); ++i) {
        if (shown[i].second < 0) {
            // newly stacked: painted from now on
            region_add_rectangle(damage, shown[i].first->x_root, shown[i].first->y_root,
                                 shown[i].first->width, shown[i].first->height);
            continue;
        }
        for (size_t j = i + 1; j < shown.size(); ++j)
            if (shown[j].second >= 0 && shown[j].second < shown[i].second)
                add_window_overlap(damage, shown[i].first, shown[j].first);
    }
    // shown windows that left the order: no longer painted
    for (const xcb_window_t id : composed_stack)
        if (std::ranges::find(now, id) == now.end())
            if (const WindowState* w = shown_window(id))
                region_add_rectangle(damage, w->x_root, w->y_root, w->width, w->height);
    composed_stack.assign(now.begin(), now.end());
}

static void process_frame_tick()
{
    DEBUG("start...");
    timespec start{};
    clock_gettime(CLOCK_MONOTONIC, &start);

    pixman_region16_t global_damage;
    pixman_region_init(&global_damage);

    // Windows shown at the last tick that have left the list since (the
    // client list dropped them, or they were destroyed and removed): their
    // areas must be repainted from what lies under them.
    for (const ShownWindow& shown : shown_windows)
        if (!list_find(&list_of_windows, shown.win)) {
            DEBUG("window 0x%0x is gone -> repainting its area", shown.win);
            region_add_rectangle(&global_damage, shown.x, shown.y, shown.width, shown.height);
        }
    shown_windows.clear();

    if (root_width() != composed_width || root_height() != composed_height) {
        DEBUG("screen is now %ux%u -> repainting all of it", root_width(), root_height());
        composed_width = root_width();
        composed_height = root_height();
        region_add_rectangle(&global_damage, 0, 0, composed_width, composed_height);
    }

    for (size_t i = 0; i < list_of_windows.size; ++i) {
        WindowState* w = &list_of_windows.ws[i];
        window_map_state_update(w);
        const bool geometry_changed = w->x_root != w->previous.x_root || w->y_root != w->previous.y_root ||
                                      w->width != w->previous.width || w->height != w->previous.height;
        const bool was_mapped = w->previous.mapped;
        if (was_mapped && !w->mapped) {
            region_add_rectangle(&global_damage, w->previous.x_root, w->previous.y_root, w->previous.width,
                                 w->previous.height);
        } else if (!was_mapped && w->mapped) {
            region_add_rectangle(&global_damage, w->x_root, w->y_root, w->width, w->height);
        } else if (was_mapped && w->mapped) {
            if (geometry_changed) {
                region_add_rectangle(&global_damage, w->previous.x_root, w->previous.y_root,
                                     w->previous.width, w->previous.height);
                region_add_rectangle(&global_damage, w->x_root, w->y_root, w->width, w->height);
            }
            if (pixman_region_not_empty(&w->accumulator)) {
                pixman_region16_t moved;
                pixman_region_init(&moved);
                pixman_region_copy(&moved, &w->accumulator);
                pixman_region_translate(&moved, w->x_root, w->y_root);
                pixman_region_intersect_rect(&moved, &moved, 0, 0, root_width(), root_height());
                pixman_region_union(&global_damage, &global_damage, &moved);
                pixman_region_fini(&moved);
            }
        }
        pixman_region_clear(&w->accumulator);
        if (w->mapped)
            shown_windows.push_back(ShownWindow{w->win, w->x_root, w->y_root, w->width, w->height});
        w->previous.mapped = w->mapped;
        w->previous.width = w->width;
        w->previous.height = w->height;
        w->previous.x_root = w->x_root;
        w->previous.y_root = w->y_root;
    }

    add_restacking_damage(&global_damage);

    if (!pixman_region_not_empty(&global_damage)) {
        pixman_region_fini(&global_damage);
        DEBUG("nothing changed!");
        return;
    }

    int n_rects = 0;
    const pixman_box16_t* boxes = pixman_region_rectangles(&global_damage, &n_rects);
    DEBUG("global_damage: n_rects=%d", n_rects);
    for (int i = 0; i < n_rects; ++i) {
        RequestTicket t{};
        t.type = REQUESTED_CLEAR;
        t.r = xcb_rectangle_t{boxes[i].x1, boxes[i].y1, static_cast<uint16_t>(boxes[i].x2 - boxes[i].x1),
                              static_cast<uint16_t>(boxes[i].y2 - boxes[i].y1)};
        if (!send_to_receiver(&t))
            JOURNAL_ERROR("failed to send ticket for clear request at %ux%u+%d+%d to image receiver",
                          t.r.width, t.r.height, t.r.x, t.r.y);
    }

    window_list_dump();
    window_stack_dump();

    // Bottom of the stack first: each window paints over what lies under it,
    // so the ticket order decides which pixels stay.
    for (size_t i = 1; i <= window_stack_size; ++i) {
        const xcb_window_t id = window_stack[i - 1];
        DEBUG("compositing stack: %zu/%zu window 0x%0x", i, window_stack_size, id);
        const WindowState* w = list_find(&list_of_windows, id);
        if (!w) {
            DEBUG("failed to find stack window 0x%0x in window list", id);
            continue;
        }
        if (!w->mapped) {
            DEBUG("window 0x%0x is not mapped", id);
            continue;
        }
        pixman_region16_t window_region;
        pixman_region16_t render_region;
        window_region_init(&window_region, w);
        pixman_region_init(&render_region);
        pixman_region_intersect(&render_region, &global_damage, &window_region);
        if (pixman_region_not_empty(&render_region)) {
            int n_render_rects = 0;
            const pixman_box16_t* r = pixman_region_rectangles(&render_region, &n_render_rects);
            DEBUG("window 0x%0x: n_render_rects=%d", id, n_render_rects);
            for (int k = 0; k < n_render_rects; ++k)
                request_image(w->pixmap, r[k].x1, r[k].y1, static_cast<uint16_t>(r[k].x2 - r[k].x1),
                              static_cast<uint16_t>(r[k].y2 - r[k].y1), w->x_root, w->y_root,
                              w->border_width);
        }
        pixman_region_fini(&window_region);
        pixman_region_fini(&render_region);
    }

    pixman_region_fini(&global_damage);

    RequestTicket frame{};
    frame.type = REQUESTED_FRAME;
    if (!send_to_receiver(&frame))
        JOURNAL_ERROR("failed to send frame request");
    else
        DEBUG("sent frame request");

    for (size_t i = list_of_windows.size; i-- > 0;) {
        WindowState* w = &list_of_windows.ws[i];
        if (w->destroyed) {
            DEBUG("removing window 0x%0x", w->win);
            window_list_remove(w);
        }
    }

    timespec end{};
    clock_gettime(CLOCK_MONOTONIC, &end);
    DEBUG("duration: %.3f ms", static_cast<double>(end.tv_sec - start.tv_sec) * 1000.0 +
                                   static_cast<double>(end.tv_nsec - start.tv_nsec) / 1000000.0);
}

// ---------------------------------------------------------------------------
// The loop

static pollfd fds[2];

static void frontend_loop_setup()
{
    const int fd = xcb_get_file_descriptor(display_connection());
    fds[0] = pollfd{fd, POLLIN, 0};
    fds[1] = pollfd{0, POLLIN, 0};
    DEBUG("display_connection() -> fd=%d", fd);
    if (fd == 0) {
        // Standard input was closed when we started and the display
        // connection took its number: reading it would eat the X stream.
        // There is no standard input, as if it had been closed.
        fds[1].fd = -1;
        DEBUG("stdin is not open -> exiting");
        JOURNAL_AS("frontend_loop", LOG_INFO, "stdin is not open -> exiting");
        frontend_stop();
    }
}

static void frontend_loop()
{
    DEBUG("entering...");
    const int64_t frame_period = 1000 / framerate();
    composed_width = root_width();
    composed_height = root_height();
    composed_stack.assign(window_stack, window_stack + (window_stack ? window_stack_size : 0));
    int64_t next_frame_tick = current_time_in_ms() + frame_period;

    while (frontend_running()) {
        // The next tick is never more than one period ahead, even when the
        // wall clock has been set back (the tick would stall for as long).
        const int64_t before = current_time_in_ms();
        if (next_frame_tick - before > frame_period) next_frame_tick = before + frame_period;
        const int32_t remaining = static_cast<int32_t>(next_frame_tick - before);
        const int timeout = remaining < 0 ? 0 : remaining;
        const int rc = poll(fds, 2, timeout);
        const int poll_errno = errno;
        const int64_t now = current_time_in_ms();

        if (now >= next_frame_tick) {
            process_frame_tick();
            next_frame_tick += frame_period;
            if (next_frame_tick <= now) {
                const int64_t late = now - next_frame_tick;
                DEBUG("frame late by %ld milliseconds -> skipping some frames", static_cast<long>(late));
                next_frame_tick += (late / frame_period + 1) * frame_period;
            }
        }

        if (rc > 0) {
            if (fds[0].revents & (POLLIN | POLLERR | POLLHUP)) event_from_source();
            const short in = fds[1].revents;
            if (in & POLLIN) {
                event_from_stdin();
                if (stdin_is_broken()) fds[1].fd = -1;
            } else if (in & POLLHUP) {
                // the writer has gone: its last line counts even without a line end
                stdin_end_of_input();
                DEBUG("stdin was closed -> exiting");
                JOURNAL(LOG_INFO, "stdin was closed -> exiting");
                frontend_stop();
            } else if (in & POLLERR) {
                DEBUG("error on stdin -> exiting");
                JOURNAL(LOG_ERR, "error on stdin -> exiting");
                frontend_stop();
            } else if (in & POLLNVAL) {
                // no standard input at all: as if it had been closed, rather
                // than spinning on a report that repeats at once
                DEBUG("stdin is not open -> exiting");
                JOURNAL(LOG_INFO, "stdin is not open -> exiting");
                frontend_stop();
            }
        } else if (rc == 0) {
            event_from_source();
        } else if (poll_errno != EINTR) {
            JOURNAL(LOG_ERR, "poll error: errno=%d %s", poll_errno, strerror(poll_errno));
            JOURNAL(LOG_INFO, "exiting");
            frontend_stop();
            errno = poll_errno;
        }
    }
    DEBUG("done");
}

void frontend_run()
{
    DEBUG("starting frontend");
    // A stop asked for during set-up stands: the loop is then not entered.
    // (Set, then look at the latch: a stop between the two still clears it.)
    __atomic_store_n(&frontend_is_running, 1, __ATOMIC_SEQ_CST);
    if (__atomic_load_n(&frontend_stop_requested, __ATOMIC_SEQ_CST)) {
        __atomic_store_n(&frontend_is_running, 0, __ATOMIC_SEQ_CST);
        DEBUG("stop requested during set-up -> not entering the loop");
        return;
    }
    frontend_loop_setup();
    frontend_loop();
}
