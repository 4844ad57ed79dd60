// The X extensions the recorder needs: presence, versions, event codes and
// the set-up requests on the main connection.  RECORD is set up by the
// input thread on connections of its own.
#include "extensions.h"

#include <xcb/composite.h>
#include <xcb/randr.h>
#include <xcb/record.h>
#include <xcb/xfixes.h>
#include <xcb/xtest.h>

#include "args.h"
#include "debugging.h"
#include "x-reply.h"

namespace {

struct {
    uint8_t damage, randr, xfixes; // first event codes
} events = {};

struct Required {
    xcb_extension_t* id;
    const char* name;
    uint8_t* first_event; // null: nothing to keep
};

// Every extension present, all asked for before the first answer is read.
std::string check_presence(xcb_connection_t* c)
{
    const Required required[] = {
        {&xcb_composite_id, "COMPOSITE", nullptr},  {&xcb_damage_id, "DAMAGE", &events.damage},
        {&xcb_randr_id, "RANDR", &events.randr},    {&xcb_record_id, "RECORD", nullptr},
        {&xcb_xfixes_id, "XFIXES", &events.xfixes}, {&xcb_test_id, "XTEST", nullptr},
    };
    for (const Required& r : required) xcb_prefetch_extension_data(c, r.id);
    xcb_flush(c);
    for (const Required& r : required) {
        const xcb_query_extension_reply_t* data = xcb_get_extension_data(c, r.id);
        if (!data || !data->present)
            return std::string("no ") + r.name + " extension on display " + display_name();
        if (r.first_event) *r.first_event = data->first_event;
        DEBUG_RAW("\t%s event=%d error=%d\n", r.name, data->first_event, data->first_error);
    }
    return "";
}

// The version the server answered, or why not.
template <typename Reply, typename Cookie>
std::string expect_version(xcb_connection_t* c,
                           Reply* (*reply)(xcb_connection_t*, Cookie, xcb_generic_error_t**), Cookie cookie,
                           const char* name)
{
    const auto r = xcb_reply(reply, c, cookie);
    if (!r) return std::string("failed to initialize ") + name + " extension";
    DEBUG_RAW("\t%s version major=%d minor=%d\n", name, static_cast<int>(r->major_version),
              static_cast<int>(r->minor_version));
    return "";
}

// All five version queries go out before the first reply is read.
std::string check_versions(xcb_connection_t* c)
{
    const auto composite = xcb_composite_query_version(c, 1, 1);
    const auto damage = xcb_damage_query_version(c, 1, 1);
    const auto randr = xcb_randr_query_version(c, 1, 6);
    const auto record = xcb_record_query_version(c, 1, 13);
    const auto xfixes = xcb_xfixes_query_version(c, 5, 0);
    xcb_flush(c);
    for (const std::string& e : {expect_version(c, xcb_composite_query_version_reply, composite, "COMPOSITE"),
                                 expect_version(c, xcb_damage_query_version_reply, damage, "DAMAGE"),
                                 expect_version(c, xcb_randr_query_version_reply, randr, "RANDR"),
                                 expect_version(c, xcb_record_query_version_reply, record, "RECORD"),
                                 expect_version(c, xcb_xfixes_query_version_reply, xfixes, "XFIXES")})
        if (!e.empty()) return e;
    return "";
}

} // namespace

std::string extensions_setup(xcb_connection_t* c, xcb_window_t root)
{
    if (std::string e = check_presence(c); !e.empty()) return e;
    if (std::string e = check_versions(c); !e.empty()) return e;
    xcb_randr_select_input(c, root, XCB_RANDR_NOTIFY_MASK_SCREEN_CHANGE);
    xcb_xfixes_select_cursor_input(c, root, XCB_XFIXES_CURSOR_NOTIFY_MASK_DISPLAY_CURSOR);
    // server grabs by other clients must not stall the recorder
    xcb_test_grab_control(c, 1);
    xcb_flush(c);
    DEBUG_RAW("\tRANDR, XFIXES cursor notifications and XTEST imperviousness requested\n");
    return "";
}

int damage_event()
{
    return events.damage + XCB_DAMAGE_NOTIFY;
}

int cursor_notify_event()
{
    return events.xfixes + XCB_XFIXES_CURSOR_NOTIFY;
}

int selection_notify_event()
{
    return events.xfixes + XCB_XFIXES_SELECTION_NOTIFY;
}

int randr_event()
{
    return events.randr + XCB_RANDR_SCREEN_CHANGE_NOTIFY;
}
