// Everything the recorded server sends on the main connection: errors of
// earlier requests, structure events of the tracked windows, root property
// changes, damage, cursor and screen-size notifications, keyboard mapping
// changes and the last-input members' client messages.
#include "events.h"

#include <xcb/damage.h>
#include <xcb/randr.h>
#include <xcb/xcb_keysyms.h>
#include <xcb/xfixes.h>

#include <algorithm>
#include <array>
#include <cstdio>
#include <cstdlib>
#include <ctime>

#include "args.h"
#include "compressor.h"
#include "console.h"
#include "debugging.h"
#include "display.h"
#include "extensions.h"
#include "frontend.h"
#include "last-input.h"
#include "tick.h"
#include "timer.h"
#include "window-list.h"
#include "writer.h"
#include "x-errors.h"
#include "x-reply.h"
#include "zel.h"

// The root property through which a session manager would announce a
// suspended session.  Never interned yet, so it stays None and matches nothing.
static xcb_atom_t toven_session_state = XCB_NONE;

// ---- names for log lines ----

const char* xcb_error_label(uint8_t error)
{
    static constexpr const char* names[] = {
        nullptr,     "BadRequest", "BadValue",    "BadWindow",   "BadPixmap", "BadAtom",
        "BadCursor", "BadFont",    "BadMatch",    "BadDrawable", "BadAccess", "BadAlloc",
        "BadColor",  "BadGC",      "BadIDChoice", "BadName",     "BadLength", "BadImplementation",
    };
    if (error == 0 || error >= std::size(names)) return "UnknownError";
    return names[error];
}

// Names of the core request opcodes as the xcb library spells its constants.
static constexpr std::array<const char*, 256> major_code_names = [] {
    std::array<const char*, 256> t{};
    t[1] = "XCB_CREATE_WINDOW";
    t[2] = "XCB_CHANGE_WINDOW_ATTRIBUTES";
    t[3] = "XCB_GET_WINDOW_ATTRIBUTES";
    t[4] = "XCB_DESTROY_WINDOW";
    t[5] = "XCB_DESTROY_SUBWINDOWS";
    t[6] = "XCB_CHANGE_SAVE_SET";
    t[7] = "XCB_REPARENT_WINDOW";
    t[8] = "XCB_MAP_WINDOW";
    t[9] = "XCB_MAP_SUBWINDOWS";
    t[10] = "XCB_UNMAP_WINDOW";
    t[11] = "XCB_UNMAP_SUBWINDOWS";
    t[12] = "XCB_CONFIGURE_WINDOW";
    t[13] = "XCB_CIRCULATE_WINDOW";
    t[14] = "XCB_GET_GEOMETRY";
    t[15] = "XCB_QUERY_TREE";
    t[16] = "XCB_INTERN_ATOM";
    t[17] = "XCB_GET_ATOM_NAME";
    t[18] = "XCB_CHANGE_PROPERTY";
    t[19] = "XCB_DELETE_PROPERTY";
    t[20] = "XCB_GET_PROPERTY";
    t[21] = "XCB_LIST_PROPERTIES";
    t[22] = "XCB_SET_SELECTION_OWNER";
    t[23] = "XCB_GET_SELECTION_OWNER";
    t[24] = "XCB_CONVERT_SELECTION";
    t[25] = "XCB_SEND_EVENT";
    t[26] = "XCB_GRAB_POINTER";
    t[27] = "XCB_UNGRAB_POINTER";
    t[28] = "XCB_GRAB_BUTTON";
    t[29] = "XCB_UNGRAB_BUTTON";
    t[30] = "XCB_CHANGE_ACTIVE_POINTER_GRAB";
    t[31] = "XCB_GRAB_KEYBOARD";
    t[32] = "XCB_UNGRAB_KEYBOARD";
    t[33] = "XCB_GRAB_KEY";
    t[34] = "XCB_UNGRAB_KEY";
    t[35] = "XCB_ALLOW_EVENTS";
    t[36] = "XCB_GRAB_SERVER";
    t[37] = "XCB_UNGRAB_SERVER";
    t[38] = "XCB_QUERY_POINTER";
    t[39] = "XCB_GET_MOTION_EVENTS";
    t[40] = "XCB_TRANSLATE_COORDINATES";
    t[41] = "XCB_WARP_POINTER";
    t[42] = "XCB_SET_INPUT_FOCUS";
    t[43] = "XCB_GET_INPUT_FOCUS";
    t[44] = "XCB_QUERY_KEYMAP";
    t[45] = "XCB_OPEN_FONT";
    t[46] = "XCB_CLOSE_FONT";
    t[47] = "XCB_QUERY_FONT";
    t[48] = "XCB_QUERY_TEXT_EXTENTS";
    t[49] = "XCB_LIST_FONTS";
    t[50] = "XCB_LIST_FONTS_WITH_INFO";
    t[51] = "XCB_SET_FONT_PATH";
    t[52] = "XCB_GET_FONT_PATH";
    t[53] = "XCB_CREATE_PIXMAP";
    t[54] = "XCB_FREE_PIXMAP";
    t[55] = "XCB_CREATE_GC";
    t[56] = "XCB_CHANGE_GC";
    t[57] = "XCB_COPY_GC";
    t[58] = "XCB_SET_DASHES";
    t[59] = "XCB_SET_CLIP_RECTANGLES";
    t[60] = "XCB_FREE_GC";
    t[61] = "XCB_CLEAR_AREA";
    t[62] = "XCB_COPY_AREA";
    t[63] = "XCB_COPY_PLANE";
    t[64] = "XCB_POLY_POINT";
    t[65] = "XCB_POLY_LINE";
    t[66] = "XCB_POLY_SEGMENT";
    t[67] = "XCB_POLY_RECTANGLE";
    t[68] = "XCB_POLY_ARC";
    t[69] = "XCB_FILL_POLY";
    t[70] = "XCB_POLY_FILL_RECTANGLE";
    t[71] = "XCB_POLY_FILL_ARC";
    t[72] = "XCB_PUT_IMAGE";
    t[73] = "XCB_GET_IMAGE";
    t[74] = "XCB_POLY_TEXT_8";
    t[75] = "XCB_POLY_TEXT_16";
    t[76] = "XCB_IMAGE_TEXT_8";
    t[77] = "XCB_IMAGE_TEXT_16";
    t[78] = "XCB_CREATE_COLORMAP";
    t[79] = "XCB_FREE_COLORMAP";
    t[80] = "XCB_COPY_COLORMAP_AND_FREE";
    t[81] = "XCB_INSTALL_COLORMAP";
    t[82] = "XCB_UNINSTALL_COLORMAP";
    t[83] = "XCB_LIST_INSTALLED_COLORMAPS";
    t[84] = "XCB_ALLOC_COLOR";
    t[85] = "XCB_ALLOC_NAMED_COLOR";
    t[86] = "XCB_ALLOC_COLOR_CELLS";
    t[87] = "XCB_ALLOC_COLOR_PLANES";
    t[88] = "XCB_FREE_COLORS";
    t[89] = "XCB_STORE_COLORS";
    t[90] = "XCB_STORE_NAMED_COLOR";
    t[91] = "XCB_QUERY_COLORS";
    t[92] = "XCB_LOOKUP_COLOR";
    t[93] = "XCB_CREATE_CURSOR";
    t[94] = "XCB_CREATE_GLYPH_CURSOR";
    t[95] = "XCB_FREE_CURSOR";
    t[96] = "XCB_RECOLOR_CURSOR";
    t[97] = "XCB_QUERY_BEST_SIZE";
    t[98] = "XCB_QUERY_EXTENSION";
    t[99] = "XCB_LIST_EXTENSIONS";
    t[100] = "XCB_CHANGE_KEYBOARD_MAPPING";
    t[101] = "XCB_GET_KEYBOARD_MAPPING";
    t[102] = "XCB_CHANGE_KEYBOARD_CONTROL";
    t[103] = "XCB_GET_KEYBOARD_CONTROL";
    t[104] = "XCB_BELL";
    t[105] = "XCB_CHANGE_POINTER_CONTROL";
    t[106] = "XCB_GET_POINTER_CONTROL";
    t[107] = "XCB_SET_SCREEN_SAVER";
    t[108] = "XCB_GET_SCREEN_SAVER";
    t[109] = "XCB_CHANGE_HOSTS";
    t[110] = "XCB_LIST_HOSTS";
    t[111] = "XCB_SET_ACCESS_CONTROL";
    t[112] = "XCB_SET_CLOSE_DOWN_MODE";
    t[113] = "XCB_KILL_CLIENT";
    t[114] = "XCB_ROTATE_PROPERTIES";
    t[115] = "XCB_FORCE_SCREEN_SAVER";
    t[116] = "XCB_SET_POINTER_MAPPING";
    t[117] = "XCB_GET_POINTER_MAPPING";
    t[118] = "XCB_SET_MODIFIER_MAPPING";
    t[119] = "XCB_GET_MODIFIER_MAPPING";
    t[127] = "XCB_NO_OPERATION";
    for (auto& name : t)
        if (name == nullptr) name = "UNKNOWN";
    return t;
}();

const char* xcb_major_code(uint8_t major_code)
{
    return major_code_names[major_code];
}

// ---- the new screen size ----

// The compressor writes the screen-change record, after the frame of the
// size before it: no record then refers to a screen of another size.
void root_changed(uint16_t width, uint16_t height)
{
    root_size_changed(width, height);
    if (!send_screen_change_to_compressor(width, height))
        JOURNAL_ERROR("failed to inform compressor of root change to %dx%d", width, height);
}

// ---- handlers ----

// Errors and unknown events can come in floods that any client can cause:
// each kind is logged a few times a second at most.
static bool log_allowed(RateLimit& limit, const char* what)
{
    unsigned long skipped = 0;
    if (!limit.allow(time_in_us(), &skipped)) return false;
    if (skipped > 0) JOURNAL_ERROR("%lu more %s were not logged", skipped, what);
    return true;
}

static void source_handle_error(const xcb_generic_error_t* e)
{
    static RateLimit limit(10);
    // an image of a window that has just gone is expected: not worth an entry
    if (e->major_code != XCB_GET_IMAGE && log_allowed(limit, "X errors"))
        JOURNAL_ERROR("error at sequence number %d, major=%s(%d) minor=%d, resource=0x%0x: %s", e->sequence,
                      xcb_major_code(e->major_code), e->major_code, e->minor_code, e->resource_id,
                      xcb_error_label(e->error_code));
    DEBUG("error at sequence number %d, major=%d minor=%d, resource=0x%0x: %s", e->sequence, e->major_code,
          e->minor_code, e->resource_id, xcb_error_label(e->error_code));
}

static void source_handle_unknown(int type)
{
    static RateLimit limit(5);
    if (!log_allowed(limit, "unknown events")) return;
    char line[64];
    std::snprintf(line, sizeof line, "## %s: unknown event %d\n", "source_process_event", type);
    console_line(line);
    JOURNAL_AS("source_process_event", LOG_ERR, "unknown event type %d", type);
}

static bool from_root(xcb_window_t event_window)
{
    return event_window == display_root();
}

static void source_handle_configure_notify(const xcb_configure_notify_event_t* e)
{
    if (e->window == display_root()) {
        if (e->width == root_width() && e->height == root_height()) return;
        DEBUG("CONFIGURE NOTIFY: root changed from %dx%d to %dx%d", root_width(), root_height(), e->width,
              e->height);
        root_changed(e->width, e->height);
        return;
    }
    if (from_root(e->event))
        root_child_configured(e);
    else
        window_list_structure_changed(e->window, false);
}

static void source_handle_map_notify(const xcb_map_notify_event_t* e)
{
    if (from_root(e->event))
        root_child_mapped(e->window, e->override_redirect != 0);
    else
        window_list_structure_changed(e->window, true);
}

static void source_handle_unmap_notify(const xcb_unmap_notify_event_t* e)
{
    if (from_root(e->event))
        root_child_unmapped(e->window);
    else
        window_list_structure_changed(e->window, true);
}

static void source_handle_reparent_notify(const xcb_reparent_notify_event_t* e)
{
    if (!from_root(e->event)) {
        window_list_structure_changed(e->window, true);
        return;
    }
    root_child_gone(e->window);
    if (e->parent == display_root()) root_child_created(e->window, e->override_redirect != 0);
}

static void source_handle_property_notify(const xcb_property_notify_event_t* e)
{
    if (e->window != display_root()) return;
    if (toven_session_state != XCB_NONE && e->atom == toven_session_state && !ignore_suspended()) {
        JOURNAL_INFO("TODO: handle suspended sessions");
        DEBUG("TODO: handle suspended sessions");
        return;
    }
    if (e->atom == A_NET_CLIENT_LIST) window_list_update();
    if (e->atom == A_NET_CLIENT_LIST_STACKING) window_stack_retrieve();
    if (e->atom == A_NET_SUPPORTING_WM_CHECK) window_list_server_check_update();
}

static void source_handle_mapping_notify(const xcb_mapping_notify_event_t* e)
{
    if (xcb_key_symbols_t* keysyms = frontend_keysyms())
        xcb_refresh_keyboard_mapping(keysyms, const_cast<xcb_mapping_notify_event_t*>(e));
    DEBUG("updated keyboard mapping");
}

// Damage is only collected here; it is subtracted once per window at the
// next tick, right before that tick's images of the window are asked for.
static void source_handle_damage(const xcb_damage_notify_event_t* e)
{
    WindowState* w = window_find(e->drawable);
    if (w == nullptr) return;
    // the rectangle is relative to the inside; the accumulator to the border's corner
    w->accumulator.add(e->area.x + w->border_width, e->area.y + w->border_width, e->area.width,
                       e->area.height, w->width, w->height);
    w->damaged = true;
}

static void source_handle_screen_change(const xcb_randr_screen_change_notify_event_t* e)
{
    if (e->width == root_width() && e->height == root_height()) return;
    DEBUG("SCREEN CHANGE: from %dx%d to %dx%d", root_width(), root_height(), e->width, e->height);
    root_changed(e->width, e->height);
}

// ---- dispatch ----

template <typename T>
static const T* as(const xcb_generic_event_t* e)
{
    return reinterpret_cast<const T*>(e);
}

static bool dispatch_core(int type, const xcb_generic_event_t* e)
{
    switch (type) {
    case 0: source_handle_error(as<xcb_generic_error_t>(e)); return true;
    case XCB_VISIBILITY_NOTIFY:
        window_list_structure_changed(as<xcb_visibility_notify_event_t>(e)->window, true);
        return true;
    case XCB_CREATE_NOTIFY: {
        const auto* c = as<xcb_create_notify_event_t>(e);
        if (c->parent == display_root()) root_child_created(c->window, c->override_redirect != 0);
        return true;
    }
    case XCB_DESTROY_NOTIFY: {
        const auto* d = as<xcb_destroy_notify_event_t>(e);
        if (from_root(d->event)) root_child_gone(d->window);
        window_list_destroyed(d->window);
        return true;
    }
    case XCB_UNMAP_NOTIFY: source_handle_unmap_notify(as<xcb_unmap_notify_event_t>(e)); return true;
    case XCB_MAP_NOTIFY: source_handle_map_notify(as<xcb_map_notify_event_t>(e)); return true;
    case XCB_REPARENT_NOTIFY: source_handle_reparent_notify(as<xcb_reparent_notify_event_t>(e)); return true;
    case XCB_CONFIGURE_NOTIFY:
        source_handle_configure_notify(as<xcb_configure_notify_event_t>(e));
        return true;
    case XCB_CIRCULATE_NOTIFY: {
        const auto* c = as<xcb_circulate_notify_event_t>(e);
        if (from_root(c->event)) root_child_restacked(c->window, XCB_NONE, c->place == XCB_PLACE_ON_TOP);
        return true;
    }
    case XCB_PROPERTY_NOTIFY: source_handle_property_notify(as<xcb_property_notify_event_t>(e)); return true;
    case XCB_CLIENT_MESSAGE: last_input_handle_message(as<xcb_client_message_event_t>(e)); return true;
    case XCB_MAPPING_NOTIFY: source_handle_mapping_notify(as<xcb_mapping_notify_event_t>(e)); return true;
    default: return false;
    }
}

void source_process_event(const xcb_generic_event_t* e)
{
    // the top bit says the event came through SendEvent; it is handled all the same
    const int type = e->response_type & 0x7F;
    if (dispatch_core(type, e)) return;
    if (type == damage_event())
        source_handle_damage(as<xcb_damage_notify_event_t>(e));
    else if (type == cursor_notify_event())
        tick_cursor_changed();
    else if (type == randr_event())
        source_handle_screen_change(as<xcb_randr_screen_change_notify_event_t>(e));
    else
        source_handle_unknown(type);
}

static int64_t monotonic_ns()
{
    timespec now{};
    clock_gettime(CLOCK_MONOTONIC, &now);
    return static_cast<int64_t>(now.tv_sec) * 1000000000LL + now.tv_nsec;
}

EventPass event_from_source()
{
    xcb_connection_t* c = display_connection();
    // Handlers make round trips, during which xcb queues more events: take
    // them all, but give the loop back after one frame period, so that a
    // client that makes events faster than we handle them cannot hold off the
    // frame ticks; what is left is taken in the next pass.
    const int64_t budget_ns = 1000000000LL / std::max<int>(framerate(), 1);
    const int64_t start = monotonic_ns();
    EventPass pass = EventPass::NONE;
    while (XcbReply<xcb_generic_event_t> e{xcb_poll_for_event(c)}) {
        source_process_event(e.get());
        pass = EventPass::SOME;
        if (monotonic_ns() - start >= budget_ns) return EventPass::MORE;
    }
    const int code = xcb_connection_has_error(c);
    if (code == 0) return pass;
    DEBUG("connection has error %d: %s", code, xcb_error_code_to_string(code));
    frontend_stop();
    return pass;
}
