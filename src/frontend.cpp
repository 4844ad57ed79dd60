// The capture driver on the main thread: set-up and teardown, the frame
// loop and its composition of the tracked windows, and the stop request
// through which every thread ends the recording.
#include "frontend.h"

#include <err.h>
#include <pixman.h>
#include <poll.h>
#include <sys/eventfd.h>
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
#include "compressor.h"
#include "console.h"
#include "debugging.h"
#include "display.h"
#include "events.h"
#include "extensions.h"
#include "input.h"
#include "last-input.h"
#include "pixel-format.h"
#include "receiver.h"
#include "shm.h"
#include "signals.h"
#include "stdin-messages.h"
#include "tick.h"
#include "timer.h"
#include "window-list.h"
#include "writer.h"
#include "x-reply.h"

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
// Written by a stop, so that a loop asleep in poll sees it at once.
static int frontend_wake_fd = -1;

void frontend_stop()
{
    __atomic_store_n(&frontend_stop_requested, 1, __ATOMIC_SEQ_CST);
    __atomic_store_n(&frontend_is_running, 0, __ATOMIC_SEQ_CST);
    const int wake = __atomic_load_n(&frontend_wake_fd, __ATOMIC_SEQ_CST);
    if (wake >= 0) (void)!eventfd_write(wake, 1);
    signals_stop_requested();
    DEBUG("stopping frontend");
}

bool frontend_stop_was_requested()
{
    return __atomic_load_n(&frontend_stop_requested, __ATOMIC_SEQ_CST) != 0;
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

static void send_header_to_writer()
{
    auto header = new_record<ZelHeader>(ZEL_HEADER, time_started_in_us());
    if (!header) err(1, "failed to allocate header struct");

    xcb_connection_t* c = display_connection();
    const xcb_setup_t* setup = xcb_get_setup(c);
    header->version = 1;
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

    if (!send_to_writer(std::move(header))) err(1, "failed to send display info to the writer");
    DEBUG("sent header for display info to the writer");
}

void send_footer_item_to_writer(ZelRecordType type, const char* item)
{
    auto record = new_record<ZelFooterItem>(type, time_in_us());
    if (record) record->item = reinterpret_cast<uint8_t*>(strdup(item));
    if (!record || !record->item) {
        JOURNAL_ERROR("failed to allocate ZelFooterItem record -> exiting");
        frontend_stop();
        return;
    }
    // a refusal is journaled by the writer
    (void)send_to_writer(std::move(record));
}

static void send_footer_items_to_writer()
{
    const struct {
        const char* (*value)();
        ZelRecordType type;
    } items[] = {
        {app, ZEL_FOOTER_ITEM_APP}, {appfmt, ZEL_FOOTER_ITEM_APPFMT}, {host, ZEL_FOOTER_ITEM_HOST},
        {ip, ZEL_FOOTER_ITEM_IP},   {sid, ZEL_FOOTER_ITEM_SID},       {tid, ZEL_FOOTER_ITEM_TID},
    };
    for (const auto& i : items)
        if (const char* v = i.value()) send_footer_item_to_writer(i.type, v);
}

// ---------------------------------------------------------------------------
// Set-up and teardown

void frontend_setup()
{
    DEBUG("setting up connection to display %s", display_name());
    display_connection_setup();
    check_for_xpra_seamless();
    // Everything the display must offer is checked before anything is
    // recorded, so that a refused display leaves no file behind.
    DEBUG("setting up extensions...");
    extensions_setup(display_connection(), display_root());
    window_list_setup();
    shm_setup(display_connection(), static_cast<size_t>(root_width()) * root_height() * 4);
    input_connect();
    keysyms_setup();
    time_start();
    writer_open();

    DEBUG("starting worker threads...");
    signals_thread_start();
    writer_thread_start();
    compressor_thread_start();
    receiver_thread_start();

    DEBUG("header and footer items...");
    send_header_to_writer();
    send_footer_items_to_writer();
    tick_setup();
    request_cursor_image();
    input_thread_start();
    last_input_setup();
}

void frontend_teardown()
{
    DEBUG("stopping worker threads...");
    last_input_teardown();
    input_thread_stop();
    window_list_teardown();
    receiver_thread_stop();
    keysyms_teardown();
    display_connection_teardown();
    compressor_thread_stop();
    shm_teardown(); // the compressor no longer reads it
    writer_thread_stop();
    signals_thread_stop();
    writer_print_digest();
    if (const unsigned long dropped = console_dropped())
        JOURNAL_INFO("%lu console lines were dropped: standard output did not take them", dropped);
    DEBUG("stopped worker threads");
}

// ---------------------------------------------------------------------------
// The loop

namespace {

enum { FD_DISPLAY, FD_STDIN, FD_STDOUT, FD_WAKE, FD_COUNT };
pollfd fds[FD_COUNT];

// After this many ticks in a row without an event from the display or a
// line on standard input, the loop ticks once a second instead: an idle
// session costs almost nothing.  The first event brings the frame rate back
// within one frame period.
constexpr int QUIET_TICKS = 10;
constexpr int64_t QUIET_PERIOD_MS = 1000;

int64_t current_time_in_ms()
{
    timeval tv{};
    gettimeofday(&tv, nullptr);
    return static_cast<int64_t>(tv.tv_sec) * 1000 + tv.tv_usec / 1000;
}

void stop_for_stdin(int priority, const char* why)
{
    DEBUG("%s -> exiting", why);
    JOURNAL_AS("frontend_loop", priority, "%s -> exiting", why);
    frontend_stop();
}

void frontend_loop_setup()
{
    const int fd = xcb_get_file_descriptor(display_connection());
    fds[FD_DISPLAY] = pollfd{fd, POLLIN, 0};
    fds[FD_STDIN] = pollfd{0, POLLIN, 0};
    fds[FD_STDOUT] = pollfd{-1, POLLOUT, 0};
    const int wake = eventfd(0, EFD_NONBLOCK | EFD_CLOEXEC);
    fds[FD_WAKE] = pollfd{wake, POLLIN, 0};
    __atomic_store_n(&frontend_wake_fd, wake, __ATOMIC_SEQ_CST);
    DEBUG("display_connection() -> fd=%d", fd);
    if (fd == 0) {
        // Standard input was closed when we started and the display
        // connection took its number: reading it would eat the X stream.
        // There is no standard input, as if it had been closed.
        fds[FD_STDIN].fd = -1;
        stop_for_stdin(LOG_INFO, "stdin is not open");
    }
}

void handle_stdin(short revents)
{
    if (revents & POLLIN) {
        event_from_stdin();
        if (stdin_is_broken()) fds[FD_STDIN].fd = -1;
    } else if (revents & POLLHUP) {
        // the writer has gone: its last line counts even without a line end
        stdin_end_of_input();
        stop_for_stdin(LOG_INFO, "stdin was closed");
    } else if (revents & POLLERR) {
        stop_for_stdin(LOG_ERR, "error on stdin");
    } else if (revents & POLLNVAL) {
        // no standard input at all: as if it had been closed, rather than
        // spinning on a report that repeats at once
        stop_for_stdin(LOG_INFO, "stdin is not open");
    }
}

// Runs the tick if it is due (true), moving next_frame_tick on by a period.
// Late ticks are dropped, not made up.
bool tick_if_due(int64_t& next_frame_tick, int64_t period)
{
    const int64_t now = current_time_in_ms();
    if (now < next_frame_tick) return false;
    process_frame_tick();
    next_frame_tick += period;
    if (next_frame_tick <= now) {
        const int64_t late = now - next_frame_tick;
        DEBUG("frame late by %ld milliseconds -> skipping some frames", static_cast<long>(late));
        next_frame_tick += (late / period + 1) * period;
    }
    return true;
}

// How long poll may wait: never past the next tick, and not at all while
// work is queued.
int poll_timeout(int64_t& next_frame_tick, int64_t period, bool work_left)
{
    const int64_t now = current_time_in_ms();
    // never more than one period ahead, even when the wall clock was set back
    if (next_frame_tick - now > period) next_frame_tick = now + period;
    if (work_left) return 0;
    return static_cast<int>(std::max<int64_t>(0, next_frame_tick - now));
}

void frontend_loop()
{
    DEBUG("entering...");
    const int64_t frame_period = 1000 / framerate();
    int64_t next_frame_tick = current_time_in_ms() + frame_period;
    bool work_left = false;
    int quiet_ticks = 0;
    while (frontend_running()) {
        const int64_t period = quiet_ticks >= QUIET_TICKS ? QUIET_PERIOD_MS : frame_period;
        fds[FD_STDOUT].fd = console_flush() ? -1 : console_fd();
        const int rc = poll(fds, FD_COUNT, poll_timeout(next_frame_tick, period, work_left));
        const int poll_errno = errno;
        if (tick_if_due(next_frame_tick, period)) ++quiet_ticks;
        if (rc < 0 && poll_errno != EINTR) {
            JOURNAL(LOG_ERR, "poll error: errno=%d %s", poll_errno, strerror(poll_errno));
            JOURNAL(LOG_INFO, "exiting");
            frontend_stop();
            continue;
        }
        // events queued inside xcb during the tick's round trips show no POLLIN
        const EventPass events = event_from_source();
        if (rc > 0) handle_stdin(fds[FD_STDIN].revents);
        if (events != EventPass::NONE || (rc > 0 && fds[FD_STDIN].revents != 0)) {
            if (quiet_ticks >= QUIET_TICKS) next_frame_tick = current_time_in_ms() + frame_period;
            quiet_ticks = 0;
        }
        work_left = window_list_work() || events == EventPass::MORE;
    }
    DEBUG("done");
}

} // namespace

void frontend_run()
{
    DEBUG("starting frontend");
    writer_recording_started();
    // A stop asked for during set-up stands: the loop is then not entered.
    // (Set, then look at the latch: a stop between the two still clears it.)
    __atomic_store_n(&frontend_is_running, 1, __ATOMIC_SEQ_CST);
    if (frontend_stop_was_requested()) {
        __atomic_store_n(&frontend_is_running, 0, __ATOMIC_SEQ_CST);
        DEBUG("stop requested during set-up -> not entering the loop");
        return;
    }
    frontend_loop_setup();
    frontend_loop();
}
