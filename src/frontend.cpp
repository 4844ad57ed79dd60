// The capture driver on the main thread: set-up and teardown, the frame
// loop, and the connection to the display made again when another client
// kills it while the display lives.
#include "frontend.h"

#include <err.h>
#include <poll.h>

#include <algorithm>
#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "args.h"
#include "compressor.h"
#include "console.h"
#include "debugging.h"
#include "display.h"
#include "events.h"
#include "extensions.h"
#include "image-room.h"
#include "input.h"
#include "interruption.h"
#include "last-input.h"
#include "pixel-format.h"
#include "receiver.h"
#include "signals.h"
#include "stdin-messages.h"
#include "stop.h"
#include "tick.h"
#include "timer.h"
#include "window-model.h"
#include "window-records.h"
#include "writer.h"
#include "x-errors.h"
#include "x-reply.h"

namespace {

// The recorded windows: read from the server at set-up and after every
// reconnection, kept by the events.
WindowModel windows;

} // namespace

// ---------------------------------------------------------------------------
// Header and footer items

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
        if (const char* v = i.value()) send_footer_item(i.type, v);
}

// ---------------------------------------------------------------------------
// Set-up and teardown

void frontend_setup()
{
    DEBUG("setting up connection to display %s", display_name());
    display_connection_setup();
    // Everything the display must offer is checked before anything is
    // recorded, so that a refused display leaves no file behind.
    if (std::string why = extensions_setup(display_connection(), display_root()); !why.empty())
        errx(1, "%s", why.c_str());
    x_errors_setup(display_connection());
    (void)stop_wake_fd();
    windows.setup(display_connection(), display_root(), display_screen_nbr());
    window_records_setup(display_connection());
    // three quarters of a screen: with the frame and the rest of the process,
    // the peak stays within two screens and 16 MiB
    image_room_setup(display_connection(), static_cast<size_t>(root_width()) * root_height() * 3);
    input_connect();
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
    windows.reset(); // the pixmaps and damage objects go with the connection
    receiver_thread_stop();
    display_connection_teardown();
    compressor_thread_stop();
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
// How often every damage object is checked (another client may have
// destroyed one: no event says so).
constexpr int64_t DAMAGE_CHECK_MS = 1000;

void stop_for_stdin(int priority, const char* why)
{
    DEBUG("%s -> exiting", why);
    JOURNAL_AS("frontend_loop", priority, "%s -> exiting", why);
    stop_request(EndReason::STDIN_CLOSED);
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
    const int64_t now = time_monotonic_ms();
    if (now < next_frame_tick || display_connection() == nullptr) return false;
    process_frame_tick(windows);
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
int poll_timeout(int64_t next_frame_tick, bool work_left)
{
    if (work_left) return 0;
    return static_cast<int>(std::max<int64_t>(0, next_frame_tick - time_monotonic_ms()));
}

// What the model noticed that the file must tell: a new window manager,
// resources of ours made again (at most one record a second).
void record_model_notes()
{
    if (auto change = windows.take_manager_change())
        record_interruption(change->time, ZEL_GAP_MANAGER_CHANGED, change->detail);
    static int64_t last_note = 0;
    static uint64_t lost_since = 0;
    static unsigned remade = 0;
    if (const unsigned n = windows.take_resources_remade(); n > 0 && remade++ == 0) lost_since = time_in_us();
    if (remade > 0 && time_monotonic_ms() - last_note >= 1000) {
        record_interruption(
            lost_since, ZEL_GAP_RESOURCE_LOST,
            "window pixmaps, damage objects or the shared image segment were freed by another "
            "client and made again; the windows concerned were painted anew");
        last_note = time_monotonic_ms();
        remade = 0;
    }
}

// The connection broke while the display may live: it is made again, the
// model read anew and the whole screen painted again; the file tells the
// gap.  Only a display that is gone ends the recording.
void reconnect()
{
    const uint64_t lost_at = time_in_us();
    const int code = xcb_connection_has_error(display_connection());
    JOURNAL_ERROR("the connection to the display broke (%s): connecting again",
                  xcb_error_code_to_string(code));
    windows.reset();
    x_errors_reset();
    RequestTicket retire{};
    retire.type = REQUESTED_RETIRE;
    retire.c = display_connection_release(); // closed by the receiver after the tickets it still holds
    if (!send_to_receiver(&retire)) xcb_disconnect(retire.c);
    fds[FD_DISPLAY].fd = -1;
    std::string note;
    const Reconnected r = display_reconnect(stop_wake_fd(), &note);
    if (r == Reconnected::STOPPED) return;
    const std::string why =
        r == Reconnected::GONE ? note : extensions_setup(display_connection(), display_root());
    if (!why.empty()) {
        JOURNAL_ERROR("the display is gone: %s -> exiting", why.c_str());
        return stop_request(EndReason::DISPLAY_GONE);
    }
    x_errors_setup(display_connection());
    windows.setup(display_connection(), display_root(), display_screen_nbr());
    window_records_setup(display_connection());
    tick_reset();
    fds[FD_DISPLAY].fd = xcb_get_file_descriptor(display_connection());
    std::string detail = "the connection to the display was closed (another client may have killed it); "
                         "connected again and painted the whole screen anew";
    if (!note.empty()) detail += "; " + note + " (a root property any client can write): recording goes on";
    record_interruption(lost_at, ZEL_GAP_CONNECTION_LOST, detail);
}

void frontend_loop_setup()
{
    fds[FD_DISPLAY] = pollfd{xcb_get_file_descriptor(display_connection()), POLLIN, 0};
    fds[FD_STDIN] = pollfd{0, POLLIN, 0};
    fds[FD_STDOUT] = pollfd{-1, POLLOUT, 0};
    fds[FD_WAKE] = pollfd{stop_wake_fd(), POLLIN, 0};
}

void frontend_loop()
{
    const int64_t frame_period = 1000 / framerate();
    int64_t next_frame_tick = time_monotonic_ms() + frame_period;
    int64_t next_damage_check = time_monotonic_ms() + DAMAGE_CHECK_MS;
    bool work_left = false;
    int quiet_ticks = 0;
    while (!stop_requested()) {
        const int64_t period = quiet_ticks >= QUIET_TICKS ? QUIET_PERIOD_MS : frame_period;
        // never more than one period ahead, even after a long pause
        next_frame_tick = std::min(next_frame_tick, time_monotonic_ms() + period);
        fds[FD_STDOUT].fd = console_flush() ? -1 : console_fd();
        const int rc = poll(fds, FD_COUNT, poll_timeout(next_frame_tick, work_left));
        const int poll_errno = errno;
        if (rc < 0 && poll_errno != EINTR) {
            JOURNAL(LOG_ERR, "poll error: errno=%d %s -> exiting", poll_errno, strerror(poll_errno));
            stop_request(EndReason::UNSPECIFIED);
            continue;
        }
        if (tick_if_due(next_frame_tick, period)) ++quiet_ticks;
        if (time_monotonic_ms() >= next_damage_check) {
            windows.check_damage();
            next_damage_check = time_monotonic_ms() + DAMAGE_CHECK_MS;
        }
        // events queued inside xcb during the tick's round trips show no POLLIN
        const EventPass events = event_from_source(windows);
        if (events == EventPass::BROKEN) reconnect();
        if (rc > 0) handle_stdin(fds[FD_STDIN].revents);
        if (events != EventPass::NONE || (rc > 0 && fds[FD_STDIN].revents != 0)) {
            if (quiet_ticks >= QUIET_TICKS) next_frame_tick = time_monotonic_ms() + frame_period;
            quiet_ticks = 0;
        }
        record_model_notes();
        work_left = windows.work() || events == EventPass::MORE;
    }
}

} // namespace

void frontend_run()
{
    writer_recording_started();
    // A stop asked for during set-up stands: the loop is then not entered.
    if (stop_requested()) return;
    frontend_loop_setup();
    frontend_loop();
}
