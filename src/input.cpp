// The input recording thread.  A RECORD context intercepts key presses,
// button presses and pointer motion delivered to any client; its data
// stream arrives on a data connection of ours as a series of replies to the
// one enable request.  The context is made, and at the end disabled, on a
// second connection of ours, the control connection (the data connection
// takes no other request while the context is enabled).  Motion becomes
// cursor-position records; key and button presses become last-input records
// for our own user while no member takes part in the arbitration.
//
// Any client can disable or free the context, or kill either connection:
// the thread then makes what is gone again (with a growing pause when it is
// taken again and again), and the file tells the gap.  Only a stop ends it.
#include "input.h"

#include <err.h>
#include <poll.h>
#include <pthread.h>
#include <sys/eventfd.h>
#include <sys/socket.h>
#include <unistd.h>
#include <xcb/record.h>
#include <xcb/xcbext.h>
#include <xcb/xtest.h>

#include <algorithm>
#include <array>
#include <atomic>
#include <cerrno>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <mutex>
#include <string>

#include "args.h"
#include "debugging.h"
#include "display.h"
#include "interruption.h"
#include "last-input.h"
#include "thread.h"
#include "timer.h"
#include "writer.h"
#include "x-errors.h"
#include "x-reply.h"

namespace {

// How long a stop waits for the EndOfData of the disable.
constexpr int END_OF_DATA_WAIT_MS = 1000;
// How often the context's clients and ranges are checked: another client
// may unregister them (no data then comes, and no end either).
constexpr int CHECK_MS = 1000;
// Pauses before making the context again when it is taken again and again.
constexpr int PAUSE_FIRST_MS = 10;
constexpr int PAUSE_MAX_MS = 1000;

enum RecordCategory : uint8_t {
    CATEGORY_FROM_SERVER = 0,
    CATEGORY_START_OF_DATA = 4,
    CATEGORY_END_OF_DATA = 5,
};

struct Connections {
    xcb_connection_t* control = nullptr;
    xcb_connection_t* data = nullptr;
    xcb_record_context_t context = 0;
};

// Owned by the input thread once it runs (by set-up before); the lock keeps
// the stop's deadline from touching a connection being closed.
Connections conn;
std::mutex closing;
pthread_t thread;
std::atomic<bool> stopping;
int wake_fd = -1;

// Key presses, button presses and pointer motion of every client; releases
// are not recorded.
constexpr std::array<uint8_t, 3> DEVICE_EVENTS = {XCB_KEY_PRESS, XCB_BUTTON_PRESS, XCB_MOTION_NOTIFY};
const xcb_record_client_spec_t ALL_CLIENTS[] = {XCB_RECORD_CS_ALL_CLIENTS};

std::array<xcb_record_range_t, 3> our_ranges()
{
    std::array<xcb_record_range_t, 3> ranges{};
    for (size_t i = 0; i < ranges.size(); ++i) ranges[i].device_events = {DEVICE_EVENTS[i], DEVICE_EVENTS[i]};
    return ranges;
}

xcb_void_cookie_t create_context(xcb_connection_t* c, xcb_record_context_t rc)
{
    const auto ranges = our_ranges();
    return xcb_record_create_context_checked(c, rc, 0, 1, static_cast<uint32_t>(ranges.size()), ALL_CLIENTS,
                                             ranges.data());
}

xcb_connection_t* connect_display()
{
    xcb_connection_t* c = display_connect(nullptr, [] { return stopping.load(); });
    if (c && xcb_connection_has_error(c) == 0) return c;
    if (c) xcb_disconnect(c);
    return nullptr;
}

void disconnect(xcb_connection_t*& c)
{
    std::lock_guard<std::mutex> held(closing);
    if (c) xcb_disconnect(c);
    c = nullptr;
}

enum class Made { OK, REFUSED, NO_CONNECTION };

// Both connections (those still working are kept) and a new context.
Made make_context()
{
    for (xcb_connection_t** c : {&conn.control, &conn.data}) {
        if (*c && xcb_connection_has_error(*c) != 0) disconnect(*c);
        if (*c) continue;
        xcb_connection_t* made = connect_display();
        std::lock_guard<std::mutex> held(closing);
        *c = made;
    }
    if (!conn.control || !conn.data) return Made::NO_CONNECTION;
    xcb_test_grab_control(conn.control, 1); // another client's server grab must not hold up a stop
    conn.context = xcb_generate_id(conn.control);
    XcbReply<xcb_generic_error_t> error(
        xcb_request_check(conn.control, create_context(conn.control, conn.context)));
    if (!error) return Made::OK;
    return xcb_connection_has_error(conn.control) != 0 ? Made::NO_CONNECTION : Made::REFUSED;
}

// ---- the data ----

void process_motion(const xcb_motion_notify_event_t* e)
{
    auto record = new_record<ZelCursorPosition>(ZEL_CURSOR_POSITION, time_in_us());
    if (!record) {
        JOURNAL_ERROR("failed to allocate a ZelCursorPosition struct for x=%d y=%d", e->root_x, e->root_y);
        return;
    }
    record->x = e->root_x;
    record->y = e->root_y;
    (void)send_to_writer(std::move(record)); // a refusal is journaled by the writer
}

// Any client may add ranges to our context: data we did not ask for is
// skipped, with a journal entry now and then.
void skip_unexpected(const char* what, unsigned code)
{
    static RateLimit limit(5);
    unsigned long skipped = 0;
    if (limit.allow(time_in_us(), &skipped))
        JOURNAL_ERROR("skipping unexpected RECORD %s %u (%lu more skipped before)", what, code, skipped);
}

// The intercepted device events: 32-byte wire events, back to back (the
// xcb event structures are longer: they carry the widened sequence number).
constexpr size_t WIRE_EVENT_SIZE = 32;

void process_data_from_server(const xcb_record_enable_context_reply_t* reply)
{
    const uint8_t* data = xcb_record_enable_context_data(reply);
    const auto length = static_cast<size_t>(xcb_record_enable_context_data_length(reply));
    for (size_t offset = 0; offset + WIRE_EVENT_SIZE <= length; offset += WIRE_EVENT_SIZE) {
        // Copied out: the wire data carries no alignment promise.
        union {
            xcb_generic_event_t generic;
            xcb_motion_notify_event_t motion;
        } event{};
        std::memcpy(&event, data + offset, WIRE_EVENT_SIZE);
        const uint8_t code = event.generic.response_type;
        if (code == XCB_MOTION_NOTIFY) {
            process_motion(&event.motion);
        } else if (code == XCB_KEY_PRESS || code == XCB_BUTTON_PRESS) {
            if (last_input_quorum() == 0) input_own_user_as_last_input();
        } else {
            skip_unexpected("device event", code);
        }
    }
}

// ---- the context's registration ----

// Whether every client's ranges still hold ours (another client may have
// unregistered them or replaced their ranges), and whether they hold more.
struct Registration {
    bool ours = true;
    bool more = false;
};

Registration check(const xcb_record_get_context_reply_t* r)
{
    Registration g{xcb_record_get_context_intercepted_clients_length(r) > 0, false};
    for (auto c = xcb_record_get_context_intercepted_clients_iterator(r); c.rem;
         xcb_record_client_info_next(&c)) {
        std::array<bool, 256> device{};
        for (auto it = xcb_record_client_info_ranges_iterator(c.data); it.rem; xcb_record_range_next(&it)) {
            const xcb_record_range_t& range = *it.data;
            for (unsigned e = range.device_events.first; e <= range.device_events.last && e < 256; ++e)
                device[e] = true;
            static const xcb_record_range_t none{};
            xcb_record_range_t bare = range;
            bare.device_events = {};
            g.more = g.more || std::memcmp(&bare, &none, sizeof bare) != 0;
        }
        for (uint8_t e : DEVICE_EVENTS) g.ours = g.ours && device[e];
        g.more = g.more ||
                 std::count(device.begin(), device.end(), true) > static_cast<long>(DEVICE_EVENTS.size());
    }
    return g;
}

// Registers our ranges for every client again when another client changed
// them; true when ours were missing (input was lost meanwhile).
bool registration_lost()
{
    XcbReply<xcb_record_get_context_reply_t> r(xcb_record_get_context_reply(
        conn.control, xcb_record_get_context(conn.control, conn.context), nullptr));
    if (!r) return false; // the context is gone: its EndOfData tells
    const Registration g = check(r.get());
    if (g.ours && !g.more) return false;
    const auto ranges = our_ranges();
    xcb_record_register_clients(conn.control, conn.context, 0, 1, static_cast<uint32_t>(ranges.size()),
                                ALL_CLIENTS, ranges.data());
    xcb_flush(conn.control);
    if (g.ours) JOURNAL_ERROR("another client changed the RECORD context's ranges: registered again");
    return !g.ours;
}

// ---- the stream ----

enum class Ended { STOPPED, TAKEN, BROKEN };

// Waits for the next reply of the enable request, or for the stop.
enum class Wait { REPLY, WOKEN, FAILED, TIMEOUT };
Wait wait_for_reply(xcb_record_enable_context_cookie_t cookie, XcbReply<xcb_record_enable_context_reply_t>* r,
                    int timeout_ms, bool watch_stop = true)
{
    for (;;) {
        void* raw = nullptr;
        xcb_generic_error_t* error = nullptr;
        // replies already read into xcb's buffer are not signalled by poll
        if (xcb_poll_for_reply(conn.data, cookie.sequence, &raw, &error) != 0) {
            std::free(error);
            if (raw == nullptr) return Wait::FAILED;
            r->reset(static_cast<xcb_record_enable_context_reply_t*>(raw));
            return Wait::REPLY;
        }
        if (xcb_connection_has_error(conn.data) != 0) return Wait::FAILED;
        // nothing reads this connection's events: drop the few every client gets
        while (xcb_generic_event_t* event = xcb_poll_for_queued_event(conn.data)) std::free(event);
        pollfd fds[2] = {{xcb_get_file_descriptor(conn.data), POLLIN, 0}, {wake_fd, POLLIN, 0}};
        const int n = poll(fds, watch_stop ? 2 : 1, timeout_ms);
        if (n < 0 && errno != EINTR) return Wait::FAILED;
        if (n == 0) return Wait::TIMEOUT;
        if (watch_stop && fds[1].revents != 0) return Wait::WOKEN;
    }
}

// Disables the context (a stop) and reads up to its EndOfData, for a while.
void finish(xcb_record_enable_context_cookie_t cookie)
{
    if (xcb_connection_has_error(conn.control) == 0) {
        xcb_record_disable_context(conn.control, conn.context);
        xcb_record_free_context(conn.control, conn.context);
        xcb_flush(conn.control);
    }
    const int64_t deadline = time_monotonic_ms() + END_OF_DATA_WAIT_MS;
    for (int64_t left; (left = deadline - time_monotonic_ms()) > 0;) {
        XcbReply<xcb_record_enable_context_reply_t> r;
        if (wait_for_reply(cookie, &r, static_cast<int>(left), false) != Wait::REPLY) return;
        if (r->category == CATEGORY_END_OF_DATA) return;
        if (r->category == CATEGORY_FROM_SERVER && r->client_swapped == 0) process_data_from_server(r.get());
    }
}

// What was lost before this stream started, told in the file at its StartOfData.
struct Loss {
    uint64_t at = 0; // 0: nothing lost
    const char* why = "";
};

// Reads the stream of a context until it ends; `started` is set at its StartOfData.
Ended stream(uint64_t* started, Loss& lost)
{
    const auto cookie = xcb_record_enable_context(conn.data, conn.context);
    xcb_flush(conn.data);
    uint64_t checked = time_in_us();
    for (;;) {
        XcbReply<xcb_record_enable_context_reply_t> r;
        switch (wait_for_reply(cookie, &r, CHECK_MS)) {
        case Wait::WOKEN: finish(cookie); return Ended::STOPPED;
        case Wait::FAILED: return Ended::BROKEN;
        case Wait::TIMEOUT:
            if (*started != 0 && registration_lost())
                record_interruption(checked, ZEL_GAP_INPUT_LOST,
                                    "the RECORD context's clients were unregistered by another client");
            checked = time_in_us();
            continue;
        case Wait::REPLY: break;
        }
        if (r->category == CATEGORY_START_OF_DATA) {
            *started = time_in_us();
            if (lost.at != 0) record_interruption(lost.at, ZEL_GAP_INPUT_LOST, lost.why);
            lost.at = 0;
        } else if (r->category == CATEGORY_END_OF_DATA)
            return stopping ? Ended::STOPPED : Ended::TAKEN;
        else if (r->category == CATEGORY_FROM_SERVER && r->client_swapped == 0)
            process_data_from_server(r.get());
        else
            skip_unexpected("data of category", r->category);
    }
}

// Waits ms milliseconds, or until the stop: false on the stop.
bool pause_unless_stopped(int ms)
{
    pollfd fd{wake_fd, POLLIN, 0};
    while (poll(&fd, 1, ms) < 0 && errno == EINTR) {}
    return !stopping;
}

const char* why_lost(Ended e)
{
    return e == Ended::TAKEN ? "the RECORD context was disabled or freed by another client"
                             : "a connection of the input stream was closed (killed by another client?)";
}

void* input_function(void*)
{
    int pause_ms = 0;
    Loss lost;
    for (bool have_context = true; !stopping;) {
        if (!have_context) {
            have_context = make_context() == Made::OK;
            if (!have_context) {
                pause_ms = std::clamp(pause_ms * 2, PAUSE_FIRST_MS, PAUSE_MAX_MS);
                if (!pause_unless_stopped(pause_ms)) break;
                continue;
            }
        }
        uint64_t started = 0;
        const Ended e = stream(&started, lost);
        if (e == Ended::STOPPED) break;
        lost = {time_in_us(), why_lost(e)};
        have_context = false;
        // taken again soon after it was made: a growing pause bounds the work
        pause_ms = started != 0 && lost.at - started > 1000000
                       ? 0
                       : std::clamp(pause_ms * 2, PAUSE_FIRST_MS, PAUSE_MAX_MS);
        if (pause_ms > 0 && !pause_unless_stopped(pause_ms)) break;
    }
    if (lost.at != 0) record_interruption(lost.at, ZEL_GAP_INPUT_LOST, lost.why);
    disconnect(conn.data);
    disconnect(conn.control);
    return nullptr;
}

} // namespace

void input_connect()
{
    conn.control = connect_display();
    conn.data = connect_display();
    if (!conn.control || !conn.data)
        errx(1, "failed to connect to display %s for RECORD extension", display_name());
    xcb_test_grab_control(conn.control, 1);
    conn.context = xcb_generate_id(conn.control);
    if (XcbReply<xcb_generic_error_t> e{
            xcb_request_check(conn.control, create_context(conn.control, conn.context))})
        errx(4, "failed to create RECORD context on display %s", display_name());
}

void input_thread_start()
{
    stopping = false;
    wake_fd = eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK);
    if (wake_fd < 0) err(1, "failed to start record data thread");
    thread = thread_start(input_function, nullptr, "input", "failed to start record data thread",
                          "failed to set name of record thread");
}

void input_thread_stop()
{
    stopping = true;
    const uint64_t one = 1;
    while (write(wake_fd, &one, sizeof one) < 0 && errno == EINTR) {}
    if (!thread_join(thread, "input")) return;
    close(wake_fd);
    wake_fd = -1;
}

void input_connection_break()
{
    std::lock_guard<std::mutex> held(closing);
    for (xcb_connection_t* c : {conn.control, conn.data})
        if (c) shutdown(xcb_get_file_descriptor(c), SHUT_RDWR);
}

void input_own_user_as_last_input()
{
    Owned<ZelLastInput> record = last_input_record(user(), tfn());
    if (!record) {
        JOURNAL_ERROR("failed to allocate a LAST_INPUT record");
        return;
    }
    (void)send_to_writer(std::move(record)); // a refusal is journaled by the writer
}
