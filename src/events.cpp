// Everything the recorded server sends on the main connection: errors of
// earlier requests, structure events of the root, of the manager's frames
// and of the recorded windows, damage, cursor, selection and screen-size
// notifications, and the last-input members' client messages.
#include "events.h"

#include <xcb/damage.h>
#include <xcb/randr.h>
#include <xcb/xfixes.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>

#include "args.h"
#include "console.h"
#include "debugging.h"
#include "display.h"
#include "extensions.h"
#include "last-input.h"
#include "receiver.h"
#include "tick.h"
#include "timer.h"
#include "window-records.h"
#include "x-errors.h"
#include "x-reply.h"

namespace {

// Errors and unknown events can come in floods that any client can cause:
// each kind is logged a few times a second at most.
bool log_allowed(RateLimit& limit, const char* what)
{
    unsigned long skipped = 0;
    if (!limit.allow(time_in_us(), &skipped)) return false;
    if (skipped > 0) JOURNAL_ERROR("%lu more %s were not logged", skipped, what);
    return true;
}

// An image that did not come: the pixmap was freed (by another client, or
// the window went).
void image_failed(WindowModel& windows, xcb_window_t win)
{
    windows.image_lost(win);
}

void handle_error(WindowModel& windows, const xcb_generic_error_t* e)
{
    const std::optional<XExpected> expected = x_error_meaning(e);
    if (expected && expected->meaning == XErrorMeaning::IMAGE) return image_failed(windows, expected->window);
    if (expected && expected->meaning == XErrorMeaning::DAMAGE_CHECK) {
        static RateLimit limit(2);
        if (log_allowed(limit, "lost damage objects"))
            JOURNAL_ERROR("the damage object of window 0x%x was destroyed by another client: made again",
                          expected->window);
        return windows.damage_lost(expected->window);
    }
    if (expected) return;
    static RateLimit limit(10);
    if (log_allowed(limit, "X errors")) JOURNAL_ERROR("unexpected X error: %s", x_error_text(e).c_str());
}

void handle_unknown(int type)
{
    static RateLimit limit(5);
    if (!log_allowed(limit, "unknown events")) return;
    char line[64];
    std::snprintf(line, sizeof line, "## %s: unknown event %d\n", "source_process_event", type);
    console_line(line);
    JOURNAL_AS("source_process_event", LOG_ERR, "unknown event type %d", type);
}

// The new screen size goes to the compressor behind the images already
// asked for, so that the frame of the old size is written first.
void root_changed(uint16_t width, uint16_t height)
{
    DEBUG_AS("root_changed", "screen changed from %dx%d to %dx%d", root_width(), root_height(), width,
             height);
    root_size_changed(width, height);
    RequestTicket t{};
    t.type = REQUESTED_SCREEN_CHANGE;
    t.r = {0, 0, width, height};
    if (!send_to_receiver(&t)) JOURNAL_ERROR("failed to send the screen change to %ux%u", width, height);
}

// Structure events reach us selected on the root, on a frame of the
// manager (about its children) or on a recorded window itself.
enum class From { ROOT, FRAME, WINDOW };
From from(const WindowModel& windows, xcb_window_t event_window)
{
    if (event_window == display_root()) return From::ROOT;
    return windows.is_frame(event_window) ? From::FRAME : From::WINDOW;
}

void handle_configure(WindowModel& windows, const xcb_configure_notify_event_t* e)
{
    if (e->window == display_root()) {
        if (e->width != root_width() || e->height != root_height()) root_changed(e->width, e->height);
        return;
    }
    switch (from(windows, e->event)) {
    case From::ROOT: windows.root_child_configured(e); break;
    case From::FRAME: windows.frame_changed(e->event, e->window, false); break;
    case From::WINDOW: windows.structure_changed(e->window, false); break;
    }
}

void handle_map(WindowModel& windows, xcb_window_t event, xcb_window_t win, bool mapped,
                bool override_redirect)
{
    switch (from(windows, event)) {
    case From::ROOT:
        if (mapped)
            windows.root_child_mapped(win, override_redirect);
        else
            windows.root_child_unmapped(win);
        break;
    case From::FRAME: windows.frame_changed(event, win, true); break;
    case From::WINDOW: windows.structure_changed(win, true); break;
    }
}

void handle_reparent(WindowModel& windows, const xcb_reparent_notify_event_t* e)
{
    switch (from(windows, e->event)) {
    case From::ROOT:
        windows.root_child_gone(e->window);
        if (e->parent == display_root()) windows.root_child_created(e->window, e->override_redirect != 0);
        break;
    case From::FRAME: windows.frame_changed(e->event, e->window, true); break;
    case From::WINDOW: windows.structure_changed(e->window, true); break;
    }
}

void handle_create(WindowModel& windows, const xcb_create_notify_event_t* e)
{
    if (e->parent == display_root())
        windows.root_child_created(e->window, e->override_redirect != 0);
    else if (windows.is_frame(e->parent))
        windows.frame_changed(e->parent, e->window, false);
}

void handle_destroy(WindowModel& windows, const xcb_destroy_notify_event_t* e)
{
    if (e->event == display_root()) windows.root_child_gone(e->window);
    if (windows.is_frame(e->event) && e->event != e->window) windows.frame_changed(e->event, e->window, true);
    windows.destroyed(e->window);
}

void handle_circulate(WindowModel& windows, const xcb_circulate_notify_event_t* e)
{
    if (e->event == display_root())
        windows.root_child_restacked(e->window, XCB_NONE, e->place == XCB_PLACE_ON_TOP);
    else if (windows.is_frame(e->event))
        windows.frame_changed(e->event, e->window, false);
}

// Damage is only collected here; it is subtracted once per window at the
// next tick, right before that tick's images of the window are asked for.
void handle_damage(WindowModel& windows, const xcb_damage_notify_event_t* e)
{
    WindowState* w = windows.find(e->drawable);
    if (w == nullptr || w->damage != e->damage) return;
    // the rectangle is relative to the inside; the accumulator to the border's corner
    w->accumulator.add(e->area.x + w->border_width, e->area.y + w->border_width, e->area.width,
                       e->area.height, w->width, w->height);
    w->damaged = true;
}

void handle_screen_change(const xcb_randr_screen_change_notify_event_t* e)
{
    if (e->width != root_width() || e->height != root_height()) root_changed(e->width, e->height);
}

void handle_selection(WindowModel& windows, const xcb_xfixes_selection_notify_event_t* e)
{
    if (e->selection == windows.manager_selection()) windows.manager_changed();
}

template <typename T>
const T* as(const xcb_generic_event_t* e)
{
    return reinterpret_cast<const T*>(e);
}

bool dispatch_core(WindowModel& windows, int type, const xcb_generic_event_t* e)
{
    switch (type) {
    case 0: handle_error(windows, as<xcb_generic_error_t>(e)); return true;
    case XCB_VISIBILITY_NOTIFY:
        windows.structure_changed(as<xcb_visibility_notify_event_t>(e)->window, true);
        return true;
    case XCB_CREATE_NOTIFY: handle_create(windows, as<xcb_create_notify_event_t>(e)); return true;
    case XCB_DESTROY_NOTIFY: handle_destroy(windows, as<xcb_destroy_notify_event_t>(e)); return true;
    case XCB_UNMAP_NOTIFY: {
        const auto* u = as<xcb_unmap_notify_event_t>(e);
        handle_map(windows, u->event, u->window, false, false);
        return true;
    }
    case XCB_MAP_NOTIFY: {
        const auto* m = as<xcb_map_notify_event_t>(e);
        handle_map(windows, m->event, m->window, true, m->override_redirect != 0);
        return true;
    }
    case XCB_REPARENT_NOTIFY: handle_reparent(windows, as<xcb_reparent_notify_event_t>(e)); return true;
    case XCB_CONFIGURE_NOTIFY: handle_configure(windows, as<xcb_configure_notify_event_t>(e)); return true;
    case XCB_CIRCULATE_NOTIFY: handle_circulate(windows, as<xcb_circulate_notify_event_t>(e)); return true;
    case XCB_PROPERTY_NOTIFY: {
        const auto* p = as<xcb_property_notify_event_t>(e);
        if (p->window != display_root()) window_title_changed(p->window, p->atom);
        return true;
    }
    case XCB_GRAVITY_NOTIFY:
    case XCB_MAPPING_NOTIFY: return true;
    case XCB_CLIENT_MESSAGE: {
        const auto* m = as<xcb_client_message_event_t>(e);
        // only the members' protocol: window-manager traffic is none of ours
        if (last_input_is_member_message(m)) last_input_handle_message(m);
        return true;
    }
    default: return false;
    }
}

void process_event(WindowModel& windows, const xcb_generic_event_t* e)
{
    const int type = e->response_type & 0x7F;
    // The top bit says another client made the event up (SendEvent): a
    // claim, not what the server did.  Only the members' messages come so.
    if ((e->response_type & 0x80) != 0 && type != XCB_CLIENT_MESSAGE) {
        static RateLimit limit(1);
        if (log_allowed(limit, "made-up events"))
            JOURNAL_ERROR("ignoring an event of type %d that another client sent (SendEvent)", type);
        return;
    }
    if (dispatch_core(windows, type, e)) return;
    if (type == damage_event())
        handle_damage(windows, as<xcb_damage_notify_event_t>(e));
    else if (type == cursor_notify_event())
        tick_cursor_changed();
    else if (type == selection_notify_event())
        handle_selection(windows, as<xcb_xfixes_selection_notify_event_t>(e));
    else if (type == randr_event())
        handle_screen_change(as<xcb_randr_screen_change_notify_event_t>(e));
    else
        handle_unknown(type);
}

} // namespace

EventPass event_from_source(WindowModel& windows)
{
    xcb_connection_t* c = display_connection();
    // Handlers make round trips, during which xcb queues more events: take
    // them all, but give the loop back after one frame period, so that a
    // client that makes events faster than we handle them cannot hold off the
    // frame ticks; what is left is taken in the next pass.
    const int64_t budget_ms = 1000 / std::max<int>(framerate(), 1);
    const int64_t start = time_monotonic_ms();
    EventPass pass = EventPass::NONE;
    while (XcbReply<xcb_generic_event_t> e{xcb_poll_for_event(c)}) {
        process_event(windows, e.get());
        x_errors_seen(e->full_sequence);
        pass = EventPass::SOME;
        if (time_monotonic_ms() - start >= budget_ms) return EventPass::MORE;
    }
    return xcb_connection_has_error(c) == 0 ? pass : EventPass::BROKEN;
}
