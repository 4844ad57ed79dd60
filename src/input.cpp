// The input recording thread.  The RECORD context made at start-up
// intercepts key presses, button presses and pointer motion delivered to any
// client; its data stream arrives on a connection of our own, as a series of
// replies to the one enable request, until the context is disabled on the
// main connection.  Motion becomes cursor-position records; key and button
// presses become last-input records for our own user while no member takes
// part in the arbitration.
#include "input.h"

#include <err.h>
#include <poll.h>
#include <pthread.h>
#include <sys/eventfd.h>
#include <sys/socket.h>
#include <unistd.h>
#include <xcb/record.h>
#include <xcb/xcbext.h>

#include <atomic>
#include <cerrno>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <ctime>

#include "args.h"
#include "debugging.h"
#include "display.h"
#include "extensions.h"
#include "frontend.h"
#include "last-input.h"
#include "thread.h"
#include "timer.h"
#include "writer.h"
#include "x-errors.h"
#include "x-reply.h"
#include "zel.h"

// Set once the recording must end, by the thread itself or by the stopper;
// whoever sets it first while the main connection works disables the context.
static std::atomic<bool> done;
// Owned by the record thread from its start until it disconnects at its end.
static xcb_connection_t* record_connection;
static pthread_t thread;
static void* record_function(void*);
// Written by the stopper to wake the thread from its wait for the next reply
// when no EndOfData can be expected (the main connection is broken, or the
// server does not answer the disable in time).
static int wake_fd = -1;
// Held while the connection is closed, so that breaking it from another
// thread never touches a closed descriptor.
static pthread_mutex_t closing = PTHREAD_MUTEX_INITIALIZER;

// How long a stop waits for the EndOfData reply before waking the thread.
static constexpr time_t END_OF_DATA_WAIT_S = 1;

static constexpr const char* reply_category_name[] = {
    "FromServer", "FromClient", "ClientStarted", "ClientDied", "StartOfData", "EndOfData",
};

enum RecordCategory : uint8_t {
    CATEGORY_FROM_SERVER = 0,
    CATEGORY_FROM_CLIENT = 1,
    CATEGORY_CLIENT_STARTED = 2,
    CATEGORY_CLIENT_DIED = 3,
    CATEGORY_START_OF_DATA = 4,
    CATEGORY_END_OF_DATA = 5,
};

void input_connection_break()
{
    pthread_mutex_lock(&closing);
    if (record_connection) shutdown(xcb_get_file_descriptor(record_connection), SHUT_RDWR);
    pthread_mutex_unlock(&closing);
}

void input_connect()
{
    DEBUG_AS("record_setup", "connecting to display %s for RECORD extension", display_name());
    record_connection = xcb_connect(display_name(), nullptr);
    int error = xcb_connection_has_error(record_connection);
    if (error != 0)
        errx(1, "failed to connect to display %s for RECORD extension: %s", display_name(),
             xcb_error_code_to_string(error));
    DEBUG("connected");
}

void input_thread_start()
{
    DEBUG("starting record extension thread...");
    done = false;
    wake_fd = eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK);
    if (wake_fd < 0) err(1, "failed to start record data thread");
    thread = thread_start(record_function, nullptr, "input", "failed to start record data thread",
                          "failed to set name of record thread");
    DEBUG("thread setup complete");
}

// On the main connection; makes the server send EndOfData on ours.
static void record_disable()
{
    xcb_connection_t* c = display_connection();
    xcb_record_disable_context(c, record_context());
    xcb_flush(c);
    DEBUG("disabled recording context");
    xcb_record_free_context(c, record_context());
    xcb_flush(c);
    DEBUG("released recording context");
}

// Sets done; the first to do so disables the context, if the main
// connection still works.  True when this call disabled it.
static bool record_finish()
{
    if (done.exchange(true)) return false;
    if (xcb_connection_has_error(display_connection()) != 0) return false;
    record_disable();
    return true;
}

void input_own_user_as_last_input()
{
    Owned<ZelLastInput> record = last_input_record(user(), tfn());
    if (!record) {
        JOURNAL_ERROR("failed to allocate a LAST_INPUT record");
        return;
    }
    if (send_to_writer(std::move(record)))
        DEBUG("last input user=%s tfn=%s", user() != nullptr ? user() : "(null)",
              tfn() != nullptr ? tfn() : "(null)");
}

static void process_key_press(const xcb_key_press_event_t* e)
{
    DEBUG("keycode %d", e->detail);
}

static void process_button_press(const xcb_button_press_event_t* e)
{
    DEBUG("button %d root_x %d root_y %d", e->detail, e->root_x, e->root_y);
}

static void process_motion_notify(const xcb_motion_notify_event_t* e)
{
    auto record = new_record<ZelCursorPosition>(ZEL_CURSOR_POSITION, time_in_us());
    if (!record) {
        JOURNAL_ERROR("failed to allocate a ZelCursorPosition struct for x=%d y=%d", e->root_x, e->root_y);
        return;
    }
    record->x = e->root_x;
    record->y = e->root_y;
    if (!send_to_writer(std::move(record))) return;
    DEBUG("type=%d sequence=%d time=%d root_x=%d root_y=%d ZEL_CURSOR_POSITION", e->response_type,
          e->sequence, static_cast<int>(e->time), e->root_x, e->root_y);
}

// Any client may add ranges to our context: data we did not ask for is
// skipped, with a journal entry now and then.
static void skip_unexpected(const char* what, unsigned code)
{
    static RateLimit limit(5);
    unsigned long skipped = 0;
    if (limit.allow(time_in_us(), &skipped))
        JOURNAL_ERROR("skipping unexpected RECORD %s %u (%lu more skipped before)", what, code, skipped);
}

// The intercepted device events: 32-byte wire events, back to back (the
// xcb event structures are longer: they carry the widened sequence number).
static constexpr size_t WIRE_EVENT_SIZE = 32;

static void process_data_from_server(const xcb_record_enable_context_reply_t* reply)
{
    const uint8_t* data = xcb_record_enable_context_data(reply);
    size_t length = static_cast<size_t>(xcb_record_enable_context_data_length(reply));
    size_t count = 0;
    for (size_t offset = 0; offset + WIRE_EVENT_SIZE <= length; offset += WIRE_EVENT_SIZE) {
        // Copied out: the wire data carries no alignment promise.
        union {
            xcb_generic_event_t generic;
            xcb_key_press_event_t key;
            xcb_button_press_event_t button;
            xcb_motion_notify_event_t motion;
        } event{};
        memcpy(&event, data + offset, WIRE_EVENT_SIZE);
        count++;

        uint8_t code = event.generic.response_type;
        DEBUG("response_type %d", code);
        switch (code) {
        case XCB_KEY_PRESS: process_key_press(&event.key); break;
        case XCB_BUTTON_PRESS: process_button_press(&event.button); break;
        case XCB_MOTION_NOTIFY: process_motion_notify(&event.motion); break;
        default: skip_unexpected("device event", code); continue;
        }
        if (code != XCB_MOTION_NOTIFY && last_input_quorum() == 0) input_own_user_as_last_input();
    }
    DEBUG("%zu device events in record from server", count);
}

enum class Wait { REPLY, WOKEN, FAILED };

// Waits for the next reply to the enable request, or for the stopper's wake.
// An X error (the enable was refused) is FAILED: no reply follows it.
static Wait record_wait_for_reply(xcb_record_enable_context_cookie_t cookie,
                                  XcbReply<xcb_record_enable_context_reply_t>* reply)
{
    for (;;) {
        void* raw = nullptr;
        xcb_generic_error_t* error = nullptr;
        // Reads whatever the socket holds without blocking; replies already
        // buffered by an earlier read are returned here, not signalled by poll.
        if (xcb_poll_for_reply(record_connection, cookie.sequence, &raw, &error) != 0) {
            if (error != nullptr)
                JOURNAL_ERROR("the server refused to enable the RECORD context: error %d", error->error_code);
            free(error);
            if (raw == nullptr) return Wait::FAILED;
            reply->reset(static_cast<xcb_record_enable_context_reply_t*>(raw));
            return Wait::REPLY;
        }
        // Nothing reads this connection's events; drop the few the server
        // sends every client (MappingNotify) so they do not pile up.
        while (xcb_generic_event_t* event = xcb_poll_for_queued_event(record_connection)) free(event);

        pollfd fds[2] = {
            {xcb_get_file_descriptor(record_connection), POLLIN, 0},
            {wake_fd, POLLIN, 0},
        };
        if (poll(fds, 2, -1) < 0) {
            if (errno == EINTR) continue;
            return Wait::FAILED;
        }
        if (fds[1].revents != 0) return Wait::WOKEN;
    }
}

// One reply of the data stream.
static void handle_reply(const xcb_record_enable_context_reply_t* reply)
{
    const uint8_t category = reply->category;
    DEBUG("category %s sequence=%u time=%u", category < 6 ? reply_category_name[category] : "(none)",
          reply->sequence, reply->server_time);
    switch (category) {
    case CATEGORY_FROM_SERVER:
        if (reply->client_swapped == 0)
            process_data_from_server(reply);
        else
            skip_unexpected("byte-swapped data of category", category);
        break;
    case CATEGORY_START_OF_DATA: DEBUG("START OF DATA"); break;
    case CATEGORY_END_OF_DATA:
        DEBUG("END OF DATA");
        done = true;
        break;
    default: skip_unexpected("data of category", category); break;
    }
}

static void* record_function(void* /*arg*/)
{
    DEBUG("enabling RECORD context");
    const xcb_record_enable_context_cookie_t cookie =
        xcb_record_enable_context(record_connection, record_context());
    xcb_flush(record_connection);

    bool disable = false;
    while (!done) {
        XcbReply<xcb_record_enable_context_reply_t> reply;
        const Wait w = xcb_connection_has_error(record_connection) ? Wait::FAILED
                                                                   : record_wait_for_reply(cookie, &reply);
        if (w == Wait::WOKEN) break;
        if (w == Wait::FAILED) {
            DEBUG("record connection has error -> stopping recording");
            disable = true;
            break;
        }
        handle_reply(reply.get());
    }

    if (disable) record_finish();
    pthread_mutex_lock(&closing);
    xcb_connection_t* c = record_connection;
    record_connection = nullptr;
    pthread_mutex_unlock(&closing);
    xcb_disconnect(c);
    DEBUG_AS("record_teardown", "closed record connection");
    frontend_stop();
    return nullptr;
}

static void record_wake()
{
    uint64_t one = 1;
    while (write(wake_fd, &one, sizeof one) < 0 && errno == EINTR) {}
}

void input_thread_stop()
{
    DEBUG("stopping record data thread (done=%d)...", done ? 1 : 0);
    bool disabled = record_finish();

    int rc = -1;
    if (disabled) {
        // The server answers the disable with EndOfData, which ends the
        // thread by itself; wake it anyway should that not come in time.
        timespec deadline{};
        clock_gettime(CLOCK_REALTIME, &deadline);
        deadline.tv_sec += END_OF_DATA_WAIT_S;
        rc = pthread_timedjoin_np(thread, nullptr, &deadline);
    }
    if (rc != 0) {
        record_wake();
        rc = pthread_join(thread, nullptr);
    }
    if (rc != 0) {
        JOURNAL_ERROR("failed to join record data thread: %s", strerror(rc));
        return;
    }
    close(wake_fd);
    wake_fd = -1;
    DEBUG("collected record data thread");
}
